#include <algorithm>
#include <cmath>

#include "files/forcing_record.h"
#include "soil/soil.h"

namespace kelmora {

namespace {

// Volumetric heat capacities (J m-3 K-1), thermal conductivities (W m-1 K-1) with
// their weights, and the density of root dry matter (kg m-3).
constexpr double kCvWater = 4180000;
constexpr double kCvRoot = 2496000;
constexpr double kCvMineral = 2252500;
constexpr double kLambdaWater = 0.56;
constexpr double kLambdaMineral = 2.5;
constexpr double kLambdaAir = 0.024;
constexpr double kWeightWater = 0.92;
constexpr double kWeightMineral = 0.54;
constexpr double kWeightAir = 1.75;
constexpr double kRootDensity = 1300;

// Heat conductance (m s-1) of the soil surface for its sensible heat. _physics 0
// never lets it fall below 0.1 m s-1, but the air node above receives the flux
// through the plain boundary-layer conductance: the difference vanishes. The
// energy-conserving physics uses the node's conductance for both.
double surface_heat_conductance(double g, bool conserving) {
    return conserving ? g : std::max(g, 0.1);
}

// Temperature change of a layer of thickness `dz` that gains `heat` W m-2 for `dt`
// s. The update of _physics 0 leaves out the thickness; the energy-conserving physics
// divides by the heat capacity per unit area, cv * dz.
double warming(double dt, double heat, double cv, double dz, bool conserving) {
    return conserving ? dt * heat / (cv * dz) : dt * heat / cv;
}

// Energy-conserving physics: the vapour conductance (m s-1) of the soil surface
// for evaporation, the boundary layer's `g` in series with the resistance of the
// drying soil above the evaporating front, r = exp(8.206 - 4.255 W) s m-1 with W
// the top layer's relative saturation (Sellers et al. 1992, J. Geophys. Res. 97:
// 18345-18371): 52 s m-1 at saturation, 1,500 s m-1 at a fifth of it.
// Condensation onto the surface meets no such resistance.
double evaporation_conductance(double g, double saturation, bool evaporating) {
    if (!evaporating) return g;
    return 1 / (1 / g + std::exp(8.206 - 4.255 * saturation));
}

// Hydraulic conductivity (kg s m-3) between a layer and the one below it, for
// the flow their water potentials drive. _physics 0 takes the lower layer's
// whatever the direction: water rising from a wet layer into a drying one moved
// with the wet layer's conductivity, orders of magnitude above what the drying
// layer lets through, so the fixed wet reservoir at the bottom kept the root zone
// and the surface wet. The energy-conserving physics takes the geometric mean,
// the same for both directions and between the two layers' values.
double interface_conductivity(double k_above, double k_below, bool conserving) {
    return conserving ? std::sqrt(k_above * k_below) : k_below;
}

// The forest floor's litter lies between the skin and the mineral soil. Packed
// at about 100 kg m-3 of dry matter (twice its carbon) and conducting heat at
// about 0.1 W m-1 K-1, a tenth of a moist soil's (values typical of forest-floor
// litter), it insulates the ground from the sunflecks by day and the cold sky by
// night: 0.6 kgC m-2 of litter lie 1.2 cm deep and add 0.12 m2 K W-1.
constexpr double kLitterDensity = 100;  // kg dry matter m-3
constexpr double kLambdaLitter = 0.1;   // W m-1 K-1

// Depth (m) of a litter layer holding `carbon` kgC m-2.
double litter_depth(double carbon) {
    return 2 * std::max(0.0, carbon) / kLitterDensity;
}

}  // namespace

void Soil::surface_balance(const ForcingRecord& record, double dt, const SoilInput& in) {
    // Wind driving the surface profile: under the trees alone their wind at the
    // foliage bottom; under shrubs the shrubs' air-node wind when the reference
    // height lies above their foliage bottom.
    double u_ref = in.wind_bottom;
    if (in.under_shrubs) u_ref = aero.zrf > in.foliage_bottom ? in.wind_node : in.wind_bottom;
    ts = 0.5 * (temp[0] + temp[1]);
    // Conductance of the previous profile, with _physics 0 never below 0.1 m s-1.
    const double g = gb.heat(aero.u12, _rgh, aero.rho);
    skin_conduction_ =
        conserving && lambda_top_ > 0
            ? 1 / (0.5 * _dz[0] / lambda_top_ + litter_depth(in.litter) / kLambdaLitter)
            : 0;
    surface_t = conserving ? skin_temperature(record, in, g) : ts;
    // The surface absorbs all infrared arriving and emits as a black body.
    const double rn = (1 - _refl) * in.vis_down + in.ir_down - black_body(surface_t);
    const double h = record.rho_air * phys::kCpAir * surface_heat_conductance(g, conserving) *
                     (surface_t - in.air_t);
    heat[0] = rn - h;
    aero.update_profile(u_ref, 1.0, _rgh, record.rho_air, h, in.air_t);
    settling_ = {};
    settling_.k = record.rho_air * phys::kCpAir * g;
    settling_.skin = skin_conduction_;

    runoff = dt * in.throughfall;
    qs = (water[0] > 0 || runoff > 0) ? qsat(surface_t, record.pa) : 0;
    // Evaporation (or condensation) from the top layer; a frozen surface neither.
    flow[0] = 0;
    evaporation = 0;
    g_evaporation = gb.vapour(aero.u12, _rgh, aero.rho);
    if (surface_t > phys::kZeroCelsius) {
        double e = (qs - in.air_q) * g_evaporation * record.rho_air * dt;
        if (conserving) e = drying_surface_evaporation(record, dt, in.air_q, e);
        flow[0] = -e;
        evaporation = e;
        if (conserving) {
            // Energy-conserving physics: evaporation cools the top layer (condensation
            // warms it), and its latent heat joins the site's.
            const double le = phys::kLatentHeat * e / dt;
            heat[0] -= le;
            latent_sum += le;
        }
    }
    surface_flux = heat[0];
    // Infiltration into the top layer up to saturation; the rest runs off.
    if (runoff > 0) {
        const double room = phys::kWaterDensity * _porosity * _dz[0] - water[0];
        if (runoff < room) {
            water[0] += runoff;
            runoff = 0;
        } else {
            water[0] += room;
            runoff -= room;
        }
    }
}

double Soil::drying_surface_evaporation(const ForcingRecord& record, double dt, double air_q,
                                        double e) {
    // The drying top layer resists evaporation and gives none below its minimum
    // water of 5 % of saturation (condensation, e <= 0, is never held back).
    const double sat = phys::kWaterDensity * _porosity * _dz[0];
    g_evaporation = evaporation_conductance(g_evaporation, water[0] / sat, e > 0);
    e = (qs - air_q) * g_evaporation * record.rho_air * dt;
    const double held = std::max(0.0, water[0] - 0.05 * sat);
    if (e > held) {
        // Evaporation held at what the layer has left does not follow the temperatures.
        g_evaporation *= held / e;
        return held;
    }
    if (qs > 0) {
        settling_.gv = record.rho_air * g_evaporation;
        settling_.slope = qsat_slope(qs, surface_t);
    }
    return e;
}

double Soil::skin_temperature(const ForcingRecord& record, const SoilInput& in, double g) {
    // The surface exchanges radiation, heat and vapour at its skin, which
    // conducts through the litter to the middle of the top layer. _physics 0
    // takes the mean of the top two layers, some 6 cm deep with the default
    // layers: it lags the surface by hours, so the day's heat went into the
    // ground and came back at night. The skin holds no heat: its balance gives
    // it, linearised around the skin's last temperature, since under the litter
    // the top layer may lie many kelvin away.
    const double t0 = temp[0];
    if (!(lambda_top_ > 0)) return t0;  // before the first conductivity
    const double p = surface_t > 0 ? surface_t : t0;
    const double rho = record.rho_air;
    const double qp = qsat(p, record.pa);
    double le = 0, dle = 0;
    if ((water[0] > 0 || in.throughfall > 0) && p > phys::kZeroCelsius) {
        const double sat = phys::kWaterDensity * _porosity * _dz[0];
        const double gv = evaporation_conductance(gb.vapour(aero.u12, _rgh, aero.rho),
                                                  water[0] / sat, qp > in.air_q);
        le = phys::kLatentHeat * rho * gv * (qp - in.air_q);
        dle = phys::kLatentHeat * rho * gv * qsat_slope(qp, p);
    }
    const double k = rho * phys::kCpAir * g;
    const double c = skin_conduction_;
    const double balance = (1 - _refl) * in.vis_down + in.ir_down - black_body(p) -
                           k * (p - in.air_t) - le - c * (p - t0);
    const double slope = 4 * black_body(p) / p + k + dle + c;
    return p + balance / slope;
}

void Soil::water_flows(double dt) {
    const size_t n = layers();
    if (curves_.size() != n) curves_.assign(n, WaterCurves{});
    double psi_above = 0;
    double k_above = 0;
    for (size_t i = 0; i < n; ++i) {
        const double theta = water[i] / phys::kWaterDensity / _dz[i];
        WaterCurves& c = curves_[i];
        // Decomposition follows the moisture of the second layer.
        if (i == 1) {
            if (!(c.theta == theta && c.pw == _pw)) {
                c.theta = theta;
                c.pw = _pw;
                c.moisture = std::pow(theta, _pw);
            }
            const double x = c.moisture;
            fw = x / (_kw + x);
        }
        // Retention and conductivity curves of the relative saturation.
        const double s = theta / _porosity;
        if (!(c.s == s && c.b == _b)) {
            c.s = s;
            c.b = _b;
            c.retention = std::pow(s, -_b);
            c.conductivity = std::pow(s, 2 * _b + 3);
        }
        const double psi = _psie * c.retention;
        const double k = _ks * c.conductivity;
        // Gravity drainage, only above the minimum of 5 % of saturation.
        double g = 0;
        if (water[i] > 0.05 * phys::kWaterDensity * _porosity * _dz[i]) {
            g = dt * k * phys::kGravity;
            flow[i] -= g;
        }
        if (i + 1 < n) flow[i + 1] = g;
        // Potential-driven flow from the layer above, with this layer's conductivity
        // (_physics 0) or the two layers' geometric mean.
        if (i > 0) {
            const double kq = interface_conductivity(k_above, k, conserving);
            const double q = kq * (psi_above - psi) * dt / (0.5 * (_dz[i - 1] + _dz[i]));
            flow[i - 1] -= q;
            flow[i] += q;
        }
        psi_above = psi;
        k_above = k;
        // What the deepest layer drains itself is never applied: it keeps its water.
        if (i + 1 == n) into_deepest_ = flow[i] + g;
    }
}

void Soil::heat_flows() {
    const size_t n = layers();
    // Root dry matter is twice its carbon; its water follows from the coarse roots'
    // dry matter content.
    const double m = 2 * (fine._life + fine._dead + coarse._life + coarse._dead);
    const double d = coarse._dmc;
    if (root_terms_.size() != n) root_terms_.assign(n, RootTerms{});
    double lambda_above = 0;
    for (size_t j = 0; j < n; ++j) {
        const double theta = water[j] / phys::kWaterDensity / _dz[j];
        RootTerms& r = root_terms_[j];
        if (!(r.m == m && r.d == d && r.share == root_share[j] && r.dz == _dz[j])) {
            const double wr = m * (1 - d) / d;
            r = {m,
                 d,
                 root_share[j],
                 _dz[j],
                 wr * root_share[j] / _dz[j] / phys::kWaterDensity,
                 m * root_share[j] / _dz[j] / kRootDensity};
        }
        const double h = r.h;
        const double e = r.e;
        const double l = 1 - _porosity - e - h;
        const double a = _porosity - theta;
        const double wet = theta + h;
        cv[j] = _fcv * (kCvWater * wet + kCvRoot * e + kCvMineral * l) / (wet + e + l);
        const double lambda = _fgh *
                              (kLambdaWater * kWeightWater * wet +
                               kLambdaMineral * kWeightMineral * l + kLambdaAir * kWeightAir * a) /
                              (kWeightWater * wet + kWeightMineral * l + kWeightAir * a);
        if (j == 0) lambda_top_ = lambda;
        if (j > 0) {
            const double conductance =
                1 / (0.5 * _dz[j - 1] / lambda_above + 0.5 * _dz[j] / lambda);
            const double g = (temp[j - 1] - temp[j]) * conductance;
            if (j == 1) settling_.conduction = conductance;
            heat[j - 1] -= g;
            heat[j] = g;
        }
        lambda_above = lambda;
    }
}

void Soil::step_a(const ForcingRecord& record, double dt, const SoilInput& in) {
    surface_balance(record, dt, in);
    water_flows(dt);
    heat_flows();
    fine.compute_rates(dt, ts, fw);
    coarse.compute_rates(dt, ts, fw);
}

void Soil::bound_water(size_t i) {
    const size_t n = layers();
    const double sat = phys::kWaterDensity * _porosity * _dz[i];
    const double low = 0.05 * sat;
    // The layer above the deepest loses its excess and has its deficit made up
    // from outside the column.
    const bool hand_down = i + 2 < n;
    if (water[i] > sat) {
        if (hand_down) {
            water[i + 1] += water[i] - sat;
        } else {
            drained += water[i] - sat;
        }
        water[i] = sat;
    } else if (water[i] < low) {
        if (hand_down) {
            water[i + 1] -= low - water[i];
        } else {
            drained -= low - water[i];
        }
        water[i] = low;
    }
}

void Soil::update_available() {
    const double range = theta_free_ - theta_wilting_;
    double w = 0;
    for (size_t i = 0; i < layers(); ++i) {
        const double theta = water[i] / phys::kWaterDensity / _dz[i];
        const double x = range > 0 ? (theta - theta_wilting_) / range : 1;
        w += root_share[i] * std::clamp(x, 0.0, 1.0);
    }
    available = w;
}

void Soil::step_b(const ForcingRecord& record, double dt, std::span<const PlantUptake> plants) {
    const size_t n = layers();
    // The plant layers' transpiration, summed from the top layer down.
    double tr = plants.empty() ? 0 : plants[0].transpiration;
    for (size_t k = 1; k < plants.size(); ++k) tr += plants[k].transpiration;
    // Every layer but the deepest, a fixed reservoir, takes its flows and gives up
    // its root share of the transpiration.
    for (size_t i = 0; i + 1 < n; ++i) {
        water[i] += flow[i] - root_share[i] * tr * dt;
        bound_water(i);
        temp[i] += warming(dt, heat[i], cv[i], _dz[i], conserving);
        temp_sum[i] += temp[i] - phys::kZeroCelsius;
        water_sum[i] += water[i];
    }
    temp_sum[n - 1] += temp[n - 1] - phys::kZeroCelsius;
    water_sum[n - 1] += water[n - 1];
    // The deepest layer keeps its water: what flows into it leaves the column,
    // and what its roots take up comes from outside.
    drained += into_deepest_ - root_share[n - 1] * tr * dt;
    if (conserving) update_available();
    // The output reports what enters the surface with the energy-conserving
    // physics; _physics 0 reports the top layer's gain, which leaves out what it
    // conducts down to the layers below.
    flux_sum += conserving ? surface_flux : heat[0];
    // The surface stays within 5 K of the air; the sums keep the unclamped value.
    // With the energy-conserving physics the top layer has its true heat capacity
    // and needs no bound, which would only add or remove heat: under warm air a
    // soil more than 5 K colder is no fault.
    if (!conserving) {
        const double kept = std::clamp(temp[0], record.tk - 5, record.tk + 5);
        if (kept != temp[0]) ++surface_clamps;
        temp[0] = kept;
    }
    coarse._life += fine.update_carbon(dt, plants);
    coarse.update_carbon(dt, plants);
}

NodeChange Soil::response(double dt, std::array<double, 4>& follows) const {
    // Backward Euler in the top layer's temperature x: its conduction to the layer
    // below follows it, and the skin's sensible and latent heat to the air node
    // follows the skin, which follows the top layer and the node (the emission
    // stays where the plants received it). The skin's change, as the node sees it,
    // is base + follows * the node's change: with a = k + L gv s, S = a + c (c the
    // conduction from the top layer's middle to the skin), the skin
    // y = (c x + k dT + L gv dq) / S and the layer
    // (C / dt + c01 + a c / S) x = heat + c / S (k dT + L gv dq).
    const Settling& s = settling_;
    const double a = s.k + phys::kLatentHeat * s.gv * s.slope;
    const double capacity = cv[0] * _dz[0] / dt + s.conduction;
    const double q = s.gv > 0 ? s.slope : 0;
    double base = 0, by = 1;  // skin = base + by * (k dT + L gv dq)
    if (s.skin > 0) {
        const double total = a + s.skin;
        const double den = capacity + a * s.skin / total;
        base = s.skin * heat[0] / (total * den);
        by = (s.skin * s.skin / (total * den) + 1) / total;
    } else {  // the skin is the top layer
        base = heat[0] / (capacity + a);
        by = 1 / (capacity + a);
    }
    const double by_t = s.k * by;
    const double by_q = phys::kLatentHeat * s.gv * by;
    follows = {by_t, by_q, q * by_t, q * by_q};
    return {base, q * base};
}

void Soil::settle(double dt, NodeChange node) {
    std::array<double, 4> follows;
    const NodeChange own = response(dt, follows);
    const double y = own.t + follows[0] * node.t + follows[1] * node.q;  // the skin's change
    const Settling& s = settling_;
    const double h = s.k * (y - node.t);
    const double e = s.gv * (s.slope * y - node.q);  // kg m-2 s-1 more evaporation
    // The top layer's change: the skin passes on what it gains less what it loses.
    const double capacity = cv[0] * _dz[0] / dt + s.conduction;
    const double x = (heat[0] - h - phys::kLatentHeat * e) / capacity;
    const double c = s.conduction * x;
    heat[0] -= h + phys::kLatentHeat * e + c;
    heat[1] += c;
    surface_flux -= h + phys::kLatentHeat * e;
    latent_sum += phys::kLatentHeat * e;
    flow[0] -= e * dt;
    evaporation += e * dt;
}

}  // namespace kelmora
