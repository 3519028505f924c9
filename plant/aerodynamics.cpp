#include "plant/aerodynamics.h"

#include <algorithm>

namespace kelmora {

const Aerodynamics::Geometry& Aerodynamics::geometry(double c, double dim) {
    Geometry& g = geometry_;
    if (g.zrf == _zrf && g.zd == _zd && g.zm == _zm && g.zh == _zh && g.zt == _zt &&
        g.z12 == _z12 && g.zb == _zb && g.c == c && g.dim == dim) {
        return g;
    }
    g.zrf = _zrf;
    g.zd = _zd;
    g.zm = _zm;
    g.zh = _zh;
    g.zt = _zt;
    g.z12 = _z12;
    g.zb = _zb;
    g.c = c;
    g.dim = dim;
    g.log_ref_m = std::log((_zrf - _zd) / _zm);
    g.log_top_m = std::log((_zt - _zd) / _zm);
    g.log_ref_h = std::log((_zrf - _zd) / _zh);
    g.lm = std::max(0.1, std::pow(6 * (dim * dim) * _zt / (phys::kPi * c), phys::kCubeRoot));
    // Attenuation coefficient of the wind inside the layer.
    const double a = std::sqrt(0.2 * c * _zt / g.lm);
    g.decay_12 = std::exp(a * (_z12 / _zt - 1));
    g.decay_b = std::exp(a * (_zb / _zt - 1));
    return g;
}

void Aerodynamics::update_profile(double u_ref, double cover, double dim, double rho, double h,
                                  double t) {
    const double c = std::max(cover, 0.1);
    _rho = rho;
    const Geometry& g = geometry(c, dim);
    // Stability from the previous friction velocity: z12 over the Obukhov length.
    const double zeta =
        (-phys::kKarmanGravity * _z12 * h) / (_ustar * _ustar * _ustar * rho * phys::kCpAir * t);
    double psi_h;
    double psi_m;
    if (zeta >= 0) {
        psi_h = psi_m = 6 * std::log(1 + zeta);
    } else {
        psi_h = -2 * std::log((1 + std::sqrt(1 - 16 * zeta)) * 0.5);
        psi_m = 0.6 * psi_h;
    }
    const double lm = g.log_ref_m + psi_m;
    _ustar = std::max(0.1, phys::kKarman * u_ref / lm);
    _ut = std::max(0.1, (g.log_top_m + psi_m) * _ustar / phys::kKarman);
    _lm = g.lm;
    _u12 = std::max(0.1, _ut * g.decay_12);
    _ub = std::max(0.1, _ut * g.decay_b);
    const double lh = g.log_ref_h + psi_h;
    _ga = std::max(0.1, phys::kKarmanSquared * _u12 / std::max(0.1, lh * lm));
    _gav = phys::kWaterAirRatio * _ga;
}

}  // namespace kelmora
