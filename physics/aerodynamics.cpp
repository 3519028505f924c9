#include "physics/aerodynamics.h"

#include <algorithm>
#include <cmath>

namespace kelmora {

const Aerodynamics::Geometry& Aerodynamics::geometry(double c, double dim) {
    Geometry& g = geometry_;
    if (g.zrf == zrf && g.zd == zd && g.zm == zm && g.zh == zh && g.zt == zt && g.z12 == z12 &&
        g.zb == zb && g.c == c && g.dim == dim) {
        return g;
    }
    g.zrf = zrf;
    g.zd = zd;
    g.zm = zm;
    g.zh = zh;
    g.zt = zt;
    g.z12 = z12;
    g.zb = zb;
    g.c = c;
    g.dim = dim;
    g.log_ref_m = std::log((zrf - zd) / zm);
    g.log_top_m = std::log((zt - zd) / zm);
    g.log_ref_h = std::log((zrf - zd) / zh);
    g.lm = std::max(0.1, std::pow(6 * (dim * dim) * zt / (phys::kPi * c), phys::kCubeRoot));
    // Attenuation coefficient of the wind inside the layer.
    const double a = std::sqrt(0.2 * c * zt / g.lm);
    g.decay_12 = std::exp(a * (z12 / zt - 1));
    g.decay_b = std::exp(a * (zb / zt - 1));
    return g;
}

void Aerodynamics::update_profile(double u_ref, double cover, double dim, double density, double h,
                                  double t) {
    const double c = std::max(cover, 0.1);
    rho = density;
    const Geometry& g = geometry(c, dim);
    // Stability from the previous friction velocity: z12 over the Obukhov length.
    const double zeta =
        (-phys::kKarmanGravity * z12 * h) / (ustar * ustar * ustar * rho * phys::kCpAir * t);
    double psi_h;
    double psi_m;
    if (zeta >= 0) {
        psi_h = psi_m = 6 * std::log(1 + zeta);
    } else {
        psi_h = -2 * std::log((1 + std::sqrt(1 - 16 * zeta)) * 0.5);
        psi_m = 0.6 * psi_h;
    }
    const double log_m = g.log_ref_m + psi_m;
    ustar = std::max(0.1, phys::kKarman * u_ref / log_m);
    ut = std::max(0.1, (g.log_top_m + psi_m) * ustar / phys::kKarman);
    lm = g.lm;
    u12 = std::max(0.1, ut * g.decay_12);
    ub = std::max(0.1, ut * g.decay_b);
    const double log_h = g.log_ref_h + psi_h;
    ga = std::max(0.1, phys::kKarmanSquared * u12 / std::max(0.1, log_h * log_m));
    gav = phys::kWaterAirRatio * ga;
}

void Aerodynamics::settle_profile(double u_ref, double cover, double dim, double density, double h,
                                  double t) {
    // Until the friction velocity changes by less than a millionth, at most ten
    // times: where the fixed point is slow to reach (near-neutral stratification
    // changing sign), what is left the following sub-steps carry on, as they
    // carried on all of it before; at short steps the first update mostly holds.
    constexpr int kMostUpdates = 10;
    for (int n = 0; n < kMostUpdates; ++n) {
        const double before = ustar;
        update_profile(u_ref, cover, dim, density, h, t);
        if (std::fabs(ustar - before) <= 1e-6 * before) break;
    }
}

}  // namespace kelmora
