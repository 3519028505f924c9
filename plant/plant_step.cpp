// One sub-step of a plant layer. Step A: the radiation reaching the layer, the
// aerodynamic profile, visible and infrared transfer through foliage and stems,
// interception, the leaf calls and the carbon updates. Step B: the air node, the
// water stores, the foliage and stem temperatures and the output sums.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "files/forcing_record.h"
#include "physics/physics.h"
#include "plant/pass.h"
#include "plant/plant.h"

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

// Keeps a surface or air-node temperature within `bound` K of the forcing air;
// counts the sub-steps in which the bound acts.
double near_air(double t, double tk, int64_t& clamps, double bound = 5) {
    const double kept = std::clamp(t, tk - bound, tk + bound);
    if (kept != t) ++clamps;
    return kept;
}

// Bound of the foliage and the stems in the energy-conserving physics, K from the
// forcing air. Their joint backward step is stable without the 5 K bound, which
// removed the heat of every degree it cut off: at a dry forest sunlit leaves with
// closing stomata pass 5 K above the air in the summer afternoons. 15 K stays as a
// last guard, beyond what leaves in sun and still air, or wet leaves cooling
// towards the wet bulb under dry air, reach.
constexpr double kConservingBound = 15;

// Heat capacity (J m-2 K-1) of foliage or stems of `carbon` kgC m-2 and dry matter
// content `dmc`, with the water on the wet fraction `wet` of their area index `a`.
double heat_capacity(double carbon, double dmc, double wet, double a) {
    return ((1 - dmc) * 2 * carbon / dmc + wet * a) * phys::kCpWater +
           2 * carbon * phys::kCpDryMatter;
}

// Roughness dimension of the layer: the area-weighted mean of leaf width and
// branch diameter; a layer without any area takes the leaf width.
double layer_dimension(const Plant& p) {
    const double l = leaf_area(p);
    const double s = stem_area(p);
    if (l + s <= 0) return p.foliage._dim;
    return (p.stem._dim * s + p.foliage._dim * l) / (l + s);
}

// Stomatal conductance for water vapour of one leaf side, m s-1. The leaf's
// conductance is already a canopy value (its capacity is scaled by the leaf area),
// so the energy-conserving physics divides it among the 2 lai leaf sides that the
// transpiration and the air node sum over again; _physics 0 counts the
// leaf area twice.
double stomatal_per_side(const Plant& p, double leaf_area_index) {
    const double c = p.foliage.leaf.vapour_conductance;
    return p.conserving && leaf_area_index > 0 ? c / (2 * leaf_area_index) : c;
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
    const double c = stomatal_per_side(p, l);
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
void update_store(Interception& w, size_t k, double dt, bool exact) {
    if (exact) {
        // The means of the exact solution: the store ends where they take it; a
        // warmer surface than the solution assumed may not take more than it held.
        const double next = w.store[k] + (w.intercepted[k] - w.drainage[k] - w.evaporation[k]) * dt;
        if (next < 0) w.evaporation[k] += next / dt;
        w.store[k] = std::max(next, 0.0);
        return;
    }
    const double held = w.store[k];
    const double lost = std::min((w.drainage[k] + w.evaporation[k]) * dt, held);
    const double next =
        held > 0 ? held + w.intercepted[k] * dt - lost : held + w.intercepted[k] * dt;
    w.store[k] = std::max(next, 0.0);
}

// Output sums of the foliage after its temperature update, with its sensible and
// latent heat of the sub-step.
void add_foliage_sums(Plant& p, double h, double le, double t) {
    const Foliage& f = p.foliage;
    const Interception& w = p.interception;
    Foliage::Sums& sums = p.foliage.sums;
    sums.temperature += t - phys::kZeroCelsius;
    sums.carbon += f.carbon;
    sums.litter += f._litter;
    sums.decomposition += f.decomposition;
    sums.evaporation += w.evaporation[kLeaves];
    sums.transpiration += w.transpiration;
    sums.net_radiation += p.radiation.foliage_net;
    sums.sensible += h;
    sums.latent += le;
}

// The same for the stems.
void add_stem_sums(Plant& p, double h, double le, double t) {
    const Stem& st = p.stem;
    Stem::Sums& sums = p.stem.sums;
    sums.temperature += t - phys::kZeroCelsius;
    sums.carbon += st._carbon;
    sums.litter += st._litter;
    sums.respiration += st.respiration;
    sums.decomposition += st.decomposition;
    sums.evaporation += p.interception.evaporation[kStems];
    sums.net_radiation += p.radiation.stem_net;
    sums.sensible += h;
    sums.latent += le;
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
    const double ch = heat_capacity(cf, f._dmc, wf, l);
    const double net = p.radiation.foliage_net;
    f.temperature =
        near_air(f.temperature + (net - hf - lef) * dt / ch, record.tk, p.clamps.foliage);
    add_foliage_sums(p, hf, lef, f.temperature);
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
    const double ch = heat_capacity(ct, st._dmc, ws, s);
    const double net = p.radiation.stem_net;
    st.temperature =
        ch > 0 ? near_air(st.temperature + (net - hs - les) * dt / ch, record.tk, p.clamps.stem)
               : record.tk;
    add_stem_sums(p, hs, les, st.temperature);
}

// Energy-conserving physics: the foliage and stem temperatures and the air node
// settled together by an implicit step of their energy balances, linearised
// around the current temperatures in the sensible heat to the air node and the
// latent heat. Stable at any time step; the bounds
// stay as a last guard.

VapourSlopes vapour_slopes(Plant& p, const ForcingRecord& record, size_t k, double a, double t) {
    VapourSlopes v;
    if (a <= 0) return v;
    const Interception& w = p.interception;
    SurfaceConductance& gb = k == kLeaves ? p.gb_leaves : p.gb_stems;
    const double g = gb.vapour(p.aero.u12, k == kLeaves ? p.foliage._dim : p.stem._dim, p.aero.rho);
    const double rho = record.rho_air;
    const double wet = w.wet_fraction[k];
    const double q = p.surface_qsat(k, t, record.pa);
    v.slope = qsat_slope(q, t);
    if (q - p.q12 >= 0) {
        // The store's exact solution never runs it dry; the end of the sub-step
        // trims a warmer surface's evaporation to what the store held.
        v.evaporation = wet * a * 2 * g * rho;
        if (k == kLeaves) {
            v.transpiration = (1 - wet) * 2 * a * rho / (1 / stomatal_per_side(p, a) + 1 / g);
        }
    } else {
        v.evaporation = (1 - wet) * a * 2 * g * rho;
    }
    return v;
}

SurfaceStep surface_step(Plant& p, const ForcingRecord& record, double dt, size_t k, double g_heat,
                         double ta) {
    SurfaceStep s;
    const Interception& w = p.interception;
    const bool leaves = k == kLeaves;
    const double a = leaves ? leaf_area(p) : stem_area(p);
    const double carbon = leaves ? p.foliage.carbon : p.stem._carbon;
    const double dmc = leaves ? p.foliage._dmc : p.stem._dmc;
    s.t = leaves ? p.foliage.temperature : p.stem.temperature;
    const double ch = heat_capacity(carbon, dmc, w.wet_fraction[k], a);
    s.fixed = leaves ? carbon <= 0 : ch <= 0;
    if (s.fixed) return s;
    s.capacity = ch / dt;
    s.g = g_heat;
    s.k = record.rho_air * phys::kCpAir * g_heat;
    const double latent = (w.evaporation[k] + (leaves ? w.transpiration : 0)) * phys::kLatentHeat;
    const double net = leaves ? p.radiation.foliage_net : p.radiation.stem_net;
    s.balance = net - s.k * (s.t - ta) - latent;
    s.vapour = vapour_slopes(p, record, k, a, s.t);
    s.gv = s.vapour.evaporation + s.vapour.transpiration;
    // The emission stays that of the old temperature, as the radiation transfer
    // handed it on: what a surface emits is what its neighbours receive, at every
    // step (a slope here would emit heat that no stream carries).
    s.slope = s.gv * s.vapour.slope * phys::kLatentHeat;
    return s;
}

// The weight theta of the step's end in its mean state: a surface relaxing
// towards its balance at the rate r (its conductances over its heat capacity)
// has the mean flux of the step at the state theta of the way to the end of a
// step with its heat capacity divided by theta, theta = 1 / (1 - e^-x) - 1 / x,
// x = r dt: a half for slow stems (the trapezoidal rule), 1 for quick leaves
// (backward Euler). The solved changes are then those of the mean state.
void weigh_step(SurfaceStep& s, double sum) {
    if (s.fixed) return;
    const double x = (s.k * (1 - s.g / sum) + s.slope) / s.capacity;  // capacity is C / dt
    s.theta = x < 1e-3 ? 0.5 + x / 12 : 1 / -std::expm1(-x) - 1 / x;
    s.capacity /= s.theta;
}

// A surface whose step was large takes the secant of its saturation humidity
// over the step instead of the tangent at the start: the curve bends upward, and
// the tangent from a warm leaf that rain cools by several K leaves it too warm
// and its evaporation too small. Returns whether the slope changed.
bool take_secant(Plant& p, const ForcingRecord& record, size_t k, SurfaceStep& s, double x) {
    if (s.fixed || !(std::fabs(x) > 0.5)) return false;
    const double q0 = p.surface_qsat(k, s.t, record.pa);
    s.vapour.slope = (p.surface_qsat(k, s.t + x, record.pa) - q0) / x;
    s.slope = s.gv * s.vapour.slope * phys::kLatentHeat;
    return true;
}

// The changes of both surfaces, the air node's temperature against its old
// weighted mean and its humidity for the changes `up` and `low` of its partners.
struct Solution {
    double xf = 0;
    double xs = 0;
    double dta = 0;
    double q = 0;
};

// The node's humidity balances what its partners and the surfaces bring, the
// surfaces' fluxes following their saturation and the node's change; its
// temperature is the conductance-weighted mean of its partners.
double node_q(const Settling& s, NodeChange up, NodeChange low, double xf, double xs) {
    return (s.q0 + s.gv_up * up.q + s.gv_low * low.q + s.f.gv * s.f.vapour.slope * xf +
            s.st.gv * s.st.vapour.slope * xs) /
           s.gv_total;
}
double node_dt(const Settling& s, NodeChange up, NodeChange low, double xf, double xs) {
    return (s.f.g * xf + s.st.g * xs + s.g_up * up.t + s.g_low * low.t) / s.sum;
}

Solution solve(const Settling& s, NodeChange up, NodeChange low) {
    const double d0 = node_q(s, up, low, 0, 0) - s.q_old;
    const double dt0 = node_dt(s, up, low, 0, 0);
    const auto rhs = [&](const SurfaceStep& x) {
        return x.fixed ? 0 : x.balance + phys::kLatentHeat * x.gv * d0 + x.k * dt0;
    };
    const double b1 = rhs(s.f);
    const double b2 = rhs(s.st);
    Solution r;
    r.xf = s.inverse[0] * b1 + s.inverse[1] * b2;
    r.xs = s.inverse[2] * b1 + s.inverse[3] * b2;
    r.dta = node_dt(s, up, low, r.xf, r.xs);
    r.q = node_q(s, up, low, r.xf, r.xs);
    return r;
}

// The surfaces' linearised balances with the node's temperature and humidity
// following them: the inverse of their 2 x 2 matrix.
void invert_surfaces(Settling& s) {
    const auto row = [&](const SurfaceStep& x, const SurfaceStep& other, double& own,
                         double& cross) {
        const double latent = phys::kLatentHeat * x.gv / s.gv_total;
        own = x.capacity + x.k * (1 - x.g / s.sum) + x.slope - latent * x.gv * x.vapour.slope;
        cross = -x.k * other.g / s.sum - latent * other.gv * other.vapour.slope;
    };
    double a11 = 1, a12 = 0, a21 = 0, a22 = 1;
    if (!s.f.fixed) row(s.f, s.st, a11, a12);
    if (!s.st.fixed) row(s.st, s.f, a22, a21);
    const double det = a11 * a22 - a12 * a21;
    s.inverse = {a22 / det, -a12 / det, -a21 / det, a11 / det};
}

// The foliage's temperature at the end of a sub-step, as its own backward step
// predicts it before the leaf has run: its balance under the sub-step's
// radiation, with the last stomatal conductance and interception, against the
// air node moved on by `air_change`, the forcing air's change since the last
// sub-step. Carrying on the foliage's last change instead overshoots wherever
// the sunshine turns between half hours, and the leaf's respiration, steep in
// temperature, with it.
double foliage_ahead(Plant& p, const ForcingRecord& record, double dt, double air_change) {
    if (p.foliage.carbon <= 0 || leaf_area(p) <= 0) return p.foliage.temperature;
    const SurfaceStep s =
        surface_step(p, record, dt, kLeaves, surfaces(p).foliage_heat, p.t12 + air_change);
    return s.t + s.balance / (s.capacity + s.k + s.slope);
}

}  // namespace

Failure Plant::step_a(const ForcingRecord& record, double dt, const LayerInput& in) {
    radiation.vis_in_down = in.down.vis;
    radiation.ir_in_down = in.down.ir;
    radiation.vis_in_up = in.up.vis;
    radiation.ir_in_up = in.up.ir;
    // Sensible heat to the reference height with the conductance of the previous
    // sub-step, which judges the profile's stability. The energy-conserving
    // physics books instead the flux its air node settles in step B, against the
    // air of this sub-step: at long steps the air above has moved on from the
    // node of the last one, and every kelvin of it would read as 120 W m-2.
    const double h = record.rho_air * phys::kCpAir * aero.ga * (t12 - in.air_t);
    if (!conserving) sums.sensible += h;
    const double fc = cover_fraction();
    if (conserving) {
        aero.settle_profile(in.wind, fc, layer_dimension(*this), record.rho_air, h, t12);
    } else {
        aero.update_profile(in.wind, fc, layer_dimension(*this), record.rho_air, h, t12);
    }
    transfer_vis();
    transfer_ir();
    intercept(record, dt, Interception::kFoliage, fc * in.water);
    intercept(record, dt, Interception::kStem, interception.passed[kLeaves]);
    interception.passed[kStems] += (1 - fc) * in.water;
    foliage.refill_carbon(record);
    // The leaf sees the foliage where the sub-step will take it; with the
    // energy-conserving physics its own backward step under this sub-step's
    // radiation and air predicts it, which at long steps is most of the way.
    double leaf_t = foliage.temperature;
    if (conserving) {
        leaf_t =
            foliage_ahead(*this, record, dt, forcing_air_t > 0 ? record.tk - forcing_air_t : 0);
        forcing_air_t = record.tk;
    }
    const LeafInput leaf_in{leaf_t,
                            foliage.carbon * foliage._sla,
                            radiation.vis_abs_down,
                            radiation.vis_abs_up,
                            aero.u12,
                            foliage._dim,
                            aero.rho,
                            in.soil_water};
    Leaf& leaf = foliage.leaf;
    if (!leaf.iterate(record, leaf_in, 1) || !leaf.iterate(record, leaf_in, 0)) {
        return std::string(kLeafFailure);
    }
    foliage.update_carbon(record, dt, in.soil_t, in.soil_fw, _alloc1, alloc_sum());
    const double net = leaf.gross_production - leaf.dark_respiration;
    // With the energy-conserving physics the stems respire at their temperature in
    // the middle of the sub-step, carried on from their last change.
    const double stem_t = stem.temperature + (conserving ? 0.5 * stem_trend : 0);
    stem.update_carbon(dt, in.soil_fw, net, _alloc2, alloc_sum(), stem_t);
    return {};
}

void Plant::step_b(const ForcingRecord& record, double dt, const Air& above, const Partner& below) {
    if (conserving) {
        prepare_b(record, dt, above, below);
        finish_b(record, dt, {}, {});
        return;
    }
    const Surfaces g = surfaces(*this);
    const Partner up{aero.ga, vapour_to_above(), above.t, above.e};
    const Partner& low = below;
    const double tf = foliage.temperature;
    const double tt = stem.temperature;
    const double sum = up.g_heat + g.foliage_heat + g.stem_heat + low.g_heat;
    const double ta =
        (up.t * up.g_heat + tf * g.foliage_heat + tt * g.stem_heat + low.t * low.g_heat) / sum;
    const double sat_f = saturation_[kLeaves].esat(tf - phys::kZeroCelsius);
    const double sat_t = saturation_[kStems].esat(tt - phys::kZeroCelsius);
    const double ea = (up.e * up.g_vapour + sat_f * g.foliage_vapour + sat_t * g.stem_vapour +
                       low.e * low.g_vapour) /
                      (up.g_vapour + g.foliage_vapour + g.stem_vapour + low.g_vapour);
    update_store(interception, kLeaves, dt, false);
    update_store(interception, kStems, dt, false);
    foliage_balance(*this, record, dt, g.gb_leaf);
    stem_balance(*this, record, dt, g.gb_stem);
    t12 = near_air(ta, record.tk, clamps.air);
    q12 = ea * phys::kWaterAirRatio / record.pa;
    add_node_sums();
}

NodeResponse Plant::prepare_b(const ForcingRecord& record, double dt, const Air& above,
                              const Partner& below) {
    const Surfaces g = surfaces(*this);
    Settling& s = settling_;
    s.g_up = aero.ga;
    s.g_low = below.g_heat;
    s.t_up = above.t;
    s.sum = aero.ga + g.foliage_heat + g.stem_heat + below.g_heat;
    s.ta_old = (above.t * aero.ga + foliage.temperature * g.foliage_heat +
                stem.temperature * g.stem_heat + below.t * below.g_heat) /
               s.sum;
    s.f = surface_step(*this, record, dt, kLeaves, g.foliage_heat, s.ta_old);
    s.st = surface_step(*this, record, dt, kStems, g.stem_heat, s.ta_old);
    weigh_step(s.f, s.sum);
    weigh_step(s.st, s.sum);
    const double rho = record.rho_air;
    const double to_q = phys::kWaterAirRatio / record.pa;
    const Interception& w = interception;
    s.gv_up = rho * vapour_to_above();
    s.gv_low = rho * below.g_vapour;
    s.gv_total = s.gv_up + s.gv_low + s.f.gv + s.st.gv;
    s.q_old = q12;
    s.q0 = (s.gv_up * above.e + s.gv_low * below.e) * to_q + w.evaporation[kLeaves] +
           w.transpiration + w.evaporation[kStems] + (s.f.gv + s.st.gv) * q12;
    invert_surfaces(s);
    return node_response();
}

bool Plant::refine_b(const ForcingRecord& record, NodeChange up, NodeChange low) {
    Settling& s = settling_;
    const Solution x = solve(s, up, low);
    const bool leaves = take_secant(*this, record, kLeaves, s.f, x.xf / s.f.theta);
    const bool stems = take_secant(*this, record, kStems, s.st, x.xs / s.st.theta);
    if (leaves || stems) invert_surfaces(s);
    return leaves || stems;
}

NodeResponse Plant::node_response() const {
    const Settling& s = settling_;
    // The node's response is linear in its partners' changes: the base and the
    // response to a unit change of each.
    const auto node = [&](NodeChange up, NodeChange low) {
        const Solution x = solve(s, up, low);
        return NodeChange{s.ta_old + x.dta - t12, x.q - q12};
    };
    NodeResponse r;
    r.base = node({}, {});
    const NodeChange units[4][2] = {{{1, 0}, {}}, {{0, 1}, {}}, {{}, {1, 0}}, {{}, {0, 1}}};
    for (int j = 0; j < 4; ++j) {
        const NodeChange c = node(units[j][0], units[j][1]);
        std::array<double, 4>& m = j < 2 ? r.up : r.low;
        m[j % 2] = c.t - r.base.t;
        m[2 + j % 2] = c.q - r.base.q;
    }
    return r;
}

void Plant::finish_b(const ForcingRecord& record, double dt, NodeChange up, NodeChange low) {
    const Settling& s = settling_;
    // The solution holds the changes of the step's mean state, theta times the
    // changes of the surfaces' temperatures at its end.
    const Solution x = solve(s, up, low);
    Foliage& fo = foliage;
    fo.temperature =
        s.f.fixed ? record.tk
                  : near_air(s.f.t + x.xf / s.f.theta, record.tk, clamps.foliage, kConservingBound);
    stem.temperature =
        s.st.fixed ? record.tk
                   : near_air(s.st.t + x.xs / s.st.theta, record.tk, clamps.stem, kConservingBound);
    stem_trend = stem.temperature - s.st.t;
    const double xf = s.f.fixed ? 0 : (fo.temperature - s.f.t) * s.f.theta;
    const double xs = s.st.fixed ? 0 : (stem.temperature - s.st.t) * s.st.theta;
    const double ta = s.ta_old + node_dt(s, up, low, xf, xs);
    const double q = node_q(s, up, low, xf, xs);
    const double dq = q - s.q_old;
    Interception& w = interception;
    const VapourSlopes& vf = s.f.vapour;
    const VapourSlopes& vs = s.st.vapour;
    w.evaporation[kLeaves] += vf.evaporation * (vf.slope * xf - dq);
    w.transpiration += vf.transpiration * (vf.slope * xf - dq);
    w.evaporation[kStems] += vs.evaporation * (vs.slope * xs - dq);
    if (s.f.fixed) {
        fo.sums.temperature += record.tk - phys::kZeroCelsius;
    } else {
        add_foliage_sums(*this, s.f.k * (s.f.t + xf - ta),
                         (w.evaporation[kLeaves] + w.transpiration) * phys::kLatentHeat,
                         s.f.t + xf);
    }
    const double ts = s.st.fixed ? record.tk : s.st.t + xs;
    add_stem_sums(*this, s.st.k * (ts - ta), w.evaporation[kStems] * phys::kLatentHeat, ts);
    // The stores lose the evaporation of the settled temperatures.
    update_store(interception, kLeaves, dt, true);
    update_store(interception, kStems, dt, true);
    // The sensible heat to the air above as the node settled it.
    sums.sensible += record.rho_air * phys::kCpAir * s.g_up * (ta - (s.t_up + up.t));
    t12 = near_air(ta, record.tk, clamps.air);
    q12 = q;
    add_node_sums();
}

void Plant::add_node_sums() {
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
        // What little still comes from below (the soil's reflection of the last
        // light) passes upward with the energy-conserving physics; _physics 0 drops it.
        rad.vis_out_up = conserving ? rad.vis_in_up : 0;
        return;
    }
    const double l = leaf_area(*this);
    const double s = stem_area(*this);
    const double fc = cover_fraction();
    const int n = sublayers(l, s);
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
    rad.vis_out_down += down;
    rad.vis_out_up += up;
}

void Plant::transfer_ir() {
    Radiation& rad = radiation;
    // The foliage stands above the stems: downward infrared meets the foliage
    // first, upward infrared the stems first. Each element emits from both sides;
    // the foliage's downward and the stems' upward emission reach only the other.
    const double fc = cover_fraction();
    const double ef = fc * emission_share(kLeaves, leaf_area(*this));
    const double es = fc * emission_share(kStems, stem_area(*this));
    const double e_f = ef * black_body(foliage.temperature);
    const double e_s = es * black_body(stem.temperature);
    const double i_d = rad.ir_in_down;
    const double i_u = rad.ir_in_up;
    rad.ir_out_down = (1 - ef) * (1 - es) * i_d + e_s;
    rad.foliage_net += ef * i_d + (1 - es) * ef * i_u + ef * e_s - 2 * e_f;
    rad.stem_net += (1 - ef) * es * i_d + es * i_u + es * e_f - 2 * e_s;
    rad.ir_out_up = (1 - ef) * (1 - es) * i_u + e_f;
    if (conserving) {
        // Emission conserved: what the stems do not absorb of the foliage's downward
        // emission leaves through the bottom, what the foliage does not absorb of the
        // stems' upward emission through the top.
        rad.ir_out_down += (1 - es) * e_f;
        rad.ir_out_up += (1 - ef) * e_s;
    }
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
    const double dq = surface_qsat(k, t, record.pa) - q12;
    if (conserving && dq >= 0) {
        drain_exactly(k, a, dt, input, g * dq * rho);
        return;
    }
    if (dq >= 0) {  // evaporation, at most half the store per sub-step
        w.evaporation[k] = std::min(wet * a * 2 * g * dq * rho, 0.5 * held / dt);
        if (leaves) {
            const double c = stomatal_per_side(*this, a);
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

void Plant::drain_exactly(size_t k, double a, double dt, double input, double rate) {
    // The store S gains the catch I and loses the evaporation rate * S (the wet
    // share of the area times its evaporation) and the drip S / 43200:
    // dS/dt = I - m S, m = rate + 1 / 43200, solved exactly over the sub-step. The
    // fluxes are their means over the sub-step, so that the store's end follows
    // from them; a store that fills and dries within a long sub-step is caught.
    Interception& w = interception;
    const double held = w.store[k];
    const double m = rate + 1.0 / 43200;
    const double x = m * dt;
    // (1 - e^-x) / x, by its series where x is small and the difference cancels.
    const double kept = x < 1e-4 ? 1 - x * (0.5 - x / 6) : -std::expm1(-x) / x;
    // Rain fills the store up to a at the end of the sub-step, with what it loses
    // meanwhile made up: S(dt) = a at the catch m (a - S e^-x) / (1 - e^-x).
    const double room = (a - held * (1 - x * kept)) / (dt * kept);
    const double caught =
        std::min((1 - catch_exp_[k](-0.5 * cover_fraction() * a)) * _fpr * input, room);
    const double end = caught / m;
    const double mean = end + (held - end) * kept;
    const double wet = mean / (2 * a);
    w.wet_fraction[k] = wet;
    w.evaporation[k] = rate * mean;
    w.drainage[k] = mean / 43200;
    w.intercepted[k] = caught;
    if (k == kLeaves) {
        const double c = stomatal_per_side(*this, a);
        const double g = gb_leaves.vapour(aero.u12, foliage._dim, aero.rho);
        // rate = g dq rho: the transpiration of the dry share through stomata in series.
        w.transpiration = (1 - wet) * 2 * a * rate / g / (1 / c + 1 / g);
    }
    w.passed[k] = input - caught + w.drainage[k];
}

}  // namespace kelmora
