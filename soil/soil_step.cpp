#include <algorithm>
#include <cmath>

#include "run/site.h"
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

}  // namespace

void Soil::surface_balance(const ForcingRecord& record, const Site& site) {
    const Plant& low = site.lowest_plant();
    const double dt = site._dt;
    // Wind driving the surface profile: under the trees alone their wind at the
    // foliage bottom; under shrubs the shrubs' air-node wind when the reference
    // height lies above their foliage bottom.
    double u_ref = site.tree.aero.ub;
    if (site.has_shrub()) {
        u_ref = aero.zrf > site.shrub._zbot ? site.shrub.aero.u12 : site.shrub.aero.ub;
    }
    _Ts = 0.5 * (_temp[0] + _temp[1]);
    // The surface absorbs all infrared arriving and emits as a black body.
    const double rn =
        (1 - _refl) * low.radiation.vis_out_down + low.radiation.ir_out_down - black_body(_Ts);
    // Conductance of the previous profile, never below 0.1 m s-1.
    const double h = record.rho_air * phys::kCpAir *
                     std::max(gb_heat(aero.u12, _rgh, aero.rho), 0.1) * (_Ts - low.t12);
    _heat[0] = rn - h;
    aero.update_profile(u_ref, 1.0, _rgh, record.rho_air, h, low.t12);

    _runoff = dt * low.throughfall();
    _qs = (_water[0] > 0 || _runoff > 0) ? qsat(_Ts, record.pa) : 0;
    // Evaporation (or condensation) from the top layer; a frozen surface neither.
    _flow[0] = 0;
    if (_Ts > phys::kZeroCelsius) {
        const double e =
            (_qs - low.q12) * gb_vapour(aero.u12, _rgh, aero.rho) * record.rho_air * dt;
        _flow[0] = -e;
    }
    // Infiltration into the top layer up to saturation; the rest runs off.
    if (_runoff > 0) {
        const double room = 1000 * _porosity * _dz[0] - _water[0];
        if (_runoff < room) {
            _water[0] += _runoff;
            _runoff = 0;
        } else {
            _water[0] += room;
            _runoff -= room;
        }
    }
}

void Soil::water_flows(double dt) {
    const size_t n = layers();
    double psi_above = 0;
    for (size_t i = 0; i < n; ++i) {
        const double theta = _water[i] / 1000 / _dz[i];
        // Decomposition follows the moisture of the second layer.
        if (i == 1) {
            const double x = std::pow(theta, _pw);
            _fw = x / (_kw + x);
        }
        // Retention and conductivity curves of the relative saturation.
        const double s = theta / _porosity;
        const double psi = _psie * std::pow(s, -_b);
        const double k = _ks * std::pow(s, 2 * _b + 3);
        // Gravity drainage, only above the minimum of 5 % of saturation.
        double g = 0;
        if (_water[i] > 0.05 * 1000 * _porosity * _dz[i]) {
            g = dt * k * phys::kGravity;
            _flow[i] -= g;
        }
        if (i + 1 < n) _flow[i + 1] = g;
        // Potential-driven flow from the layer above, with this layer's conductivity.
        if (i > 0) {
            const double q = k * (psi_above - psi) * dt / (0.5 * (_dz[i - 1] + _dz[i]));
            _flow[i - 1] -= q;
            _flow[i] += q;
        }
        psi_above = psi;
    }
}

void Soil::heat_flows() {
    const size_t n = layers();
    // Root dry matter is twice its carbon; its water follows from the coarse roots'
    // dry matter content.
    const double m = 2 * (fine._life + fine._dead + coarse._life + coarse._dead);
    const double d = coarse._dmc;
    const double wr = m * (1 - d) / d;
    double lambda_above = 0;
    for (size_t j = 0; j < n; ++j) {
        const double theta = _water[j] / 1000 / _dz[j];
        const double h = wr * _froot[j] / _dz[j] / 1000;
        const double e = m * _froot[j] / _dz[j] / kRootDensity;
        const double l = 1 - _porosity - e - h;
        const double a = _porosity - theta;
        const double wet = theta + h;
        _cv[j] = _fcv * (kCvWater * wet + kCvRoot * e + kCvMineral * l) / (wet + e + l);
        const double lambda = _fgh *
                              (kLambdaWater * kWeightWater * wet +
                               kLambdaMineral * kWeightMineral * l + kLambdaAir * kWeightAir * a) /
                              (kWeightWater * wet + kWeightMineral * l + kWeightAir * a);
        if (j > 0) {
            const double g = (_temp[j - 1] - _temp[j]) /
                             (0.5 * _dz[j - 1] / lambda_above + 0.5 * _dz[j] / lambda);
            _heat[j - 1] -= g;
            _heat[j] = g;
        }
        lambda_above = lambda;
    }
}

bool Soil::step_a(const ForcingRecord& record, Site& site) {
    surface_balance(record, site);
    water_flows(site._dt);
    heat_flows();
    fine.compute_rates(site);
    coarse.compute_rates(site);
    return true;
}

void Soil::bound_water(size_t i) {
    const size_t n = layers();
    const double sat = 1000 * _porosity * _dz[i];
    const double low = 0.05 * sat;
    // The layer above the deepest loses its excess and has its deficit made up
    // from outside the column.
    const bool hand_down = i + 2 < n;
    if (_water[i] > sat) {
        if (hand_down) _water[i + 1] += _water[i] - sat;
        _water[i] = sat;
    } else if (_water[i] < low) {
        if (hand_down) _water[i + 1] -= low - _water[i];
        _water[i] = low;
    }
}

bool Soil::step_b(const ForcingRecord& record, Site& site) {
    const size_t n = layers();
    const double dt = site._dt;
    double tr = site.tree.interception.transpiration;
    if (site.has_shrub()) tr += site.shrub.interception.transpiration;
    // Every layer but the deepest, a fixed reservoir, takes its flows and gives up
    // its root share of the transpiration.
    for (size_t i = 0; i + 1 < n; ++i) {
        _water[i] += _flow[i] - _froot[i] * tr * dt;
        bound_water(i);
        _temp[i] += dt * _heat[i] / _cv[i];
        _temp_sum[i] += _temp[i] - phys::kZeroCelsius;
        _water_sum[i] += _water[i];
    }
    _temp_sum[n - 1] += _temp[n - 1] - phys::kZeroCelsius;
    _water_sum[n - 1] += _water[n - 1];
    _flux_sum += _heat[0];
    // The surface stays within 5 K of the air; the sums keep the unclamped value.
    _temp[0] = std::clamp(_temp[0], record.tk - 5, record.tk + 5);
    const bool fine_ok = fine.update_carbon(site);
    const bool coarse_ok = coarse.update_carbon(site);
    return fine_ok && coarse_ok;
}

}  // namespace kelmora
