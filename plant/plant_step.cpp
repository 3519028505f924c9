// One sub-step of a plant layer. Step A: the radiation reaching the layer, the
// aerodynamic profile, visible and infrared transfer through foliage and stems,
// interception, the leaf calls and the carbon updates. Step B: the air node, the
// water stores, the foliage and stem temperatures and the output sums.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "physics/physics.h"
#include "plant/plant.h"
#include "run/forcing.h"

namespace kelmora {

namespace {

constexpr size_t kLeaves = Interception::kFoliage;
constexpr size_t kStems = Interception::kStem;

// Area index of a pool; a pool run down to nothing (or below) holds no area.
double area(double index) {
    return index > 0 ? index : 0;
}
double leaf_area(const Plant& p) {
    return area(p.lai());
}
double stem_area(const Plant& p) {
    return area(p.sai());
}

// Keeps a surface or air-node temperature within 5 K of the forcing air.
double near_air(double t, double tk) {
    return std::clamp(t, tk - 5, tk + 5);
}

// Roughness dimension of the layer: the area-weighted mean of leaf width and
// branch diameter; a layer without any area takes the leaf width.
double layer_dimension(const Plant& p) {
    const double l = leaf_area(p);
    const double s = stem_area(p);
    if (l + s <= 0) return p.foliage._dim;
    return (p.stem._dim * s + p.foliage._dim * l) / (l + s);
}

// One linear pass of a stream through `n` sub-layers: each sub-layer absorbs the
// fraction `fa` and reflects `fr` of what reaches it; the reflected part joins
// the opposite stream at once. The absorbed parts add to `net` and `absorbed`.
// The streams and sums are carried in locals so that the sub-layer chain stays
// in registers; the additions are the same, in the same order.
void pass(int n, double fa, double fr, double& stream_io, double& opposite_io, double& net_io,
          double& absorbed_io) {
    double stream = stream_io;
    double opposite = opposite_io;
    double net = net_io;
    double absorbed = absorbed_io;
    for (int i = 0; i < n; ++i) {
        const double a = stream * fa;
        const double r = stream * fr;
        stream -= a + r;
        net += a;
        absorbed += a;
        opposite += r;
    }
    stream_io = stream;
    opposite_io = opposite;
    net_io = net;
    absorbed_io = absorbed;
}

// Conductances of the layer's own surfaces per unit ground, m s-1.
struct Surfaces {
    double gb_leaf;  // one-sided boundary-layer conductance for heat of a leaf
    double gb_stem;  // the same for a stem
    double foliage_heat;
    double stem_heat;
    double foliage_vapour;
    double stem_vapour;
};

Surfaces surfaces(Plant& p) {
    const double u = p.aero.u12;
    const double rho = p.aero.rho;
    const double l = leaf_area(p);
    const double s = stem_area(p);
    const double wf = p.interception.wet_fraction[kLeaves];
    const double ws = p.interception.wet_fraction[kStems];
    const double c = p.foliage.leaf.vapour_conductance;
    const double gf = p.gb_leaves.vapour(u, p.foliage._dim, rho);
    Surfaces g;
    g.gb_leaf = p.gb_leaves.heat(u, p.foliage._dim, rho);
    g.gb_stem = p.gb_stems.heat(u, p.stem._dim, rho);
    g.foliage_heat = 2 * l * g.gb_leaf;
    g.stem_heat = 2 * s * g.gb_stem;
    g.foliage_vapour = 2 * l * ((1 - wf) / (1 / gf + 1 / c) + wf * gf);
    g.stem_vapour = 2 * s * ws * p.gb_stems.vapour(u, p.stem._dim, rho);
    return g;
}

// Water held on one surface after the sub-step: what was caught, less drip and
// evaporation; condensation adds only to a store that already holds water.
void update_store(Interception& w, size_t k, double dt) {
    const double held = w.store[k];
    const double lost = std::min((w.drainage[k] + w.evaporation[k]) * dt, held);
    const double next =
        held > 0 ? held + w.intercepted[k] * dt - lost : held + w.intercepted[k] * dt;
    w.store[k] = std::max(next, 0.0);
}

// Energy balance of the foliage with the air node of the previous sub-step; a
// layer without leaves takes the air temperature.
void foliage_balance(Plant& p, const ForcingRecord& record, double dt, double gb_leaf) {
    Foliage& f = p.foliage;
    const double cf = f.carbon;
    if (cf <= 0) {
        f.temperature = record.tk;
        f.sums.temperature += record.tk - phys::kZeroCelsius;
        return;
    }
    const Interception& w = p.interception;
    const double l = leaf_area(p);
    const double wf = w.wet_fraction[kLeaves];
    const double hf = 2 * record.rho_air * phys::kCpAir * gb_leaf * l * (f.temperature - p.t12);
    const double lef = (w.evaporation[kLeaves] + w.transpiration) * phys::kLatentHeat;
    const double ch =
        ((1 - f._dmc) * 2 * cf / f._dmc + wf * l) * phys::kCpWater + 2 * cf * phys::kCpDryMatter;
    const double net = p.radiation.foliage_net;
    f.temperature = near_air(f.temperature + (net - hf - lef) * dt / ch, record.tk);
    Foliage::Sums& sums = f.sums;
    sums.temperature += f.temperature - phys::kZeroCelsius;
    sums.carbon += cf;
    sums.litter += f._litter;
    sums.decomposition += f.decomposition;
    sums.evaporation += w.evaporation[kLeaves];
    sums.transpiration += w.transpiration;
    sums.net_radiation += net;
    sums.sensible += hf;
    sums.latent += lef;
}

// Energy balance of the stems. Stems without heat capacity (no carbon, no water
// held) take the air temperature; their sums are added all the same.
void stem_balance(Plant& p, const ForcingRecord& record, double dt, double gb_stem) {
    Stem& st = p.stem;
    const Interception& w = p.interception;
    const double ct = st._carbon;
    const double s = stem_area(p);
    const double ws = w.wet_fraction[kStems];
    const double hs = 2 * record.rho_air * phys::kCpAir * gb_stem * s * (st.temperature - p.t12);
    const double les = w.evaporation[kStems] * phys::kLatentHeat;
    const double ch =
        ((1 - st._dmc) * 2 * ct / st._dmc + ws * s) * phys::kCpWater + 2 * ct * phys::kCpDryMatter;
    const double net = p.radiation.stem_net;
    st.temperature =
        ch > 0 ? near_air(st.temperature + (net - hs - les) * dt / ch, record.tk) : record.tk;
    Stem::Sums& sums = st.sums;
    sums.temperature += st.temperature - phys::kZeroCelsius;
    sums.carbon += ct;
    sums.litter += st._litter;
    sums.respiration += st.respiration;
    sums.decomposition += st.decomposition;
    sums.evaporation += w.evaporation[kStems];
    sums.net_radiation += net;
    sums.sensible += hs;
    sums.latent += les;
}

}  // namespace

Failure Plant::step_a(const ForcingRecord& record, double dt, const LayerInput& in) {
    radiation.vis_in_down = in.down.vis;
    radiation.ir_in_down = in.down.ir;
    radiation.vis_in_up = in.up.vis;
    radiation.ir_in_up = in.up.ir;
    // Sensible heat to the reference height with the conductance of the previous sub-step.
    const double h = record.rho_air * phys::kCpAir * aero.ga * (t12 - in.air_t);
    sums.sensible += h;
    const double fc = cover_fraction();
    aero.update_profile(in.wind, fc, layer_dimension(*this), record.rho_air, h, t12);
    transfer_vis();
    transfer_ir();
    intercept(record, dt, Interception::kFoliage, fc * in.water);
    intercept(record, dt, Interception::kStem, interception.passed[kLeaves]);
    interception.passed[kStems] += (1 - fc) * in.water;
    foliage.refill_carbon(record);
    const LeafInput leaf_in{foliage.temperature,
                            foliage.carbon * foliage._sla,
                            radiation.vis_abs_down,
                            radiation.vis_abs_up,
                            aero.u12,
                            foliage._dim,
                            aero.rho};
    Leaf& leaf = foliage.leaf;
    if (!leaf.iterate(record, leaf_in, 1) || !leaf.iterate(record, leaf_in, 0)) {
        return std::string(kLeafFailure);
    }
    foliage.update_carbon(record, dt, in.soil_t, in.soil_fw, _alloc1, alloc_sum());
    const double net = leaf.gross_production - leaf.dark_respiration;
    stem.update_carbon(dt, in.soil_fw, net, _alloc2, alloc_sum());
    return {};
}

void Plant::step_b(const ForcingRecord& record, double dt, const Air& above, const Partner& below) {
    const Surfaces g = surfaces(*this);
    const Partner up{aero.ga, aero.gav, above.t, above.e};
    const Partner& low = below;
    const double tf = foliage.temperature;
    const double tt = stem.temperature;
    const double ta =
        (up.t * up.g_heat + tf * g.foliage_heat + tt * g.stem_heat + low.t * low.g_heat) /
        (up.g_heat + g.foliage_heat + g.stem_heat + low.g_heat);
    const double sat_f = saturation_[kLeaves].esat(tf - phys::kZeroCelsius);
    const double sat_t = saturation_[kStems].esat(tt - phys::kZeroCelsius);
    const double ea = (up.e * up.g_vapour + sat_f * g.foliage_vapour + sat_t * g.stem_vapour +
                       low.e * low.g_vapour) /
                      (up.g_vapour + g.foliage_vapour + g.stem_vapour + low.g_vapour);
    update_store(interception, kLeaves, dt);
    update_store(interception, kStems, dt);
    foliage_balance(*this, record, dt, g.gb_leaf);
    stem_balance(*this, record, dt, g.gb_stem);
    t12 = near_air(ta, record.tk);
    q12 = ea * phys::kWaterAirRatio / record.pa;
    sums.t12 += t12 - phys::kZeroCelsius;
    sums.q12 += q12;
    sums.vis_out_down += radiation.vis_out_down;
    sums.vis_out_up += radiation.vis_out_up;
    sums.ir_out_down += radiation.ir_out_down;
    sums.ir_out_up += radiation.ir_out_up;
}

void Plant::transfer_vis() {
    Radiation& rad = radiation;
    // Both transfers of the sub-step add to what the foliage and the stems absorb.
    rad.vis_abs_down = 0;
    rad.vis_abs_up = 0;
    rad.foliage_net = 0;
    rad.stem_net = 0;
    if (rad.vis_in_down < 0.1) {  // night: nothing to absorb
        rad.vis_out_down = 0;
        rad.vis_out_up = 0;
        return;
    }
    const double l = leaf_area(*this);
    const double s = stem_area(*this);
    const double fc = cover_fraction();
    // Sub-layers thin enough that none holds more than 0.1 of area index.
    const int n = std::max(10, static_cast<int>(std::max(l, s) / 0.1 + 1.0));
    rad.vis_out_down = (1 - fc) * rad.vis_in_down;  // through the gaps
    rad.vis_out_up = (1 - fc) * rad.vis_in_up;
    double down = fc * rad.vis_in_down;
    double up = fc * rad.vis_in_up;
    const double af = foliage._abs * l / n;
    const double rf = foliage._refl * l / n;
    const double as = stem._abs * s / n;
    const double rs = stem._refl * s / n;
    double stem_absorbed = 0;  // the stems' absorption is their net radiation alone
    pass(n, af, rf, down, up, rad.foliage_net, rad.vis_abs_down);
    pass(n, as, rs, down, up, rad.stem_net, stem_absorbed);
    pass(n, as, rs, up, down, rad.stem_net, stem_absorbed);
    pass(n, af, rf, up, down, rad.foliage_net, rad.vis_abs_up);
    rad.vis_in_down = down;
    rad.vis_in_up = up;
    rad.vis_out_down += down;
    rad.vis_out_up += up;
}

void Plant::transfer_ir() {
    Radiation& rad = radiation;
    // The foliage stands above the stems: downward infrared meets the foliage
    // first, upward infrared the stems first. Each element emits from both sides;
    // the foliage's downward and the stems' upward emission reach only the other.
    const double fc = cover_fraction();
    const double ef = fc * (1 - emissivity_exp_[kLeaves](-0.5 * _fem * leaf_area(*this)));
    const double es = fc * (1 - emissivity_exp_[kStems](-0.5 * _fem * stem_area(*this)));
    const double e_f = ef * black_body(foliage.temperature);
    const double e_s = es * black_body(stem.temperature);
    const double i_d = rad.ir_in_down;
    const double i_u = rad.ir_in_up;
    rad.ir_out_down = (1 - ef) * (1 - es) * i_d + e_s;
    rad.foliage_net += ef * i_d + (1 - es) * ef * i_u + ef * e_s - 2 * e_f;
    rad.stem_net += (1 - ef) * es * i_d + es * i_u + es * e_f - 2 * e_s;
    rad.ir_out_up = (1 - ef) * (1 - es) * i_u + e_f;
}

void Plant::intercept(const ForcingRecord& record, double dt, int surface, double input) {
    Interception& w = interception;
    const size_t k = surface == Interception::kFoliage ? kLeaves : kStems;
    const bool leaves = k == kLeaves;
    const double a = leaves ? leaf_area(*this) : stem_area(*this);
    if (a <= 0) {
        w.wet_fraction[k] = 0;
        w.evaporation[k] = 0;
        w.store[k] = 0;
        w.drainage[k] = 0;
        w.intercepted[k] = 0;
        if (leaves) w.transpiration = 0;
        w.passed[k] = input;
        return;
    }
    const double t = leaves ? foliage.temperature : stem.temperature;
    const double g = leaves ? gb_leaves.vapour(aero.u12, foliage._dim, aero.rho)
                            : gb_stems.vapour(aero.u12, stem._dim, aero.rho);
    const double rho = record.rho_air;
    const double held = w.store[k];  // at most 2 a kg m-2; rain fills it up to a
    const double wet = held / (2 * a);
    w.wet_fraction[k] = wet;
    const double dq = saturation_[k].qsat(t, record.pa) - q12;
    if (dq >= 0) {  // evaporation, at most half the store per sub-step
        w.evaporation[k] = std::min(wet * a * 2 * g * dq * rho, 0.5 * held / dt);
        if (leaves) {
            const double c = foliage.leaf.vapour_conductance;
            w.transpiration = (1 - wet) * 2 * a * rho * dq / (1 / c + 1 / g);
        }
    } else {  // condensation on the dry part, at most half the free room
        w.evaporation[k] = std::max((1 - wet) * a * 2 * g * dq * rho, -(2 * a - held) * 0.5 / dt);
        if (leaves) w.transpiration = 0;
    }
    w.drainage[k] = std::max(0.0, (held - dt * w.evaporation[k]) / 43200);
    w.intercepted[k] =
        std::min((1 - catch_exp_[k](-0.5 * cover_fraction() * a)) * _fpr * input, (a - held) / dt);
    w.passed[k] = input - w.intercepted[k] + w.drainage[k];
}

}  // namespace kelmora
