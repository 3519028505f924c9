// Physics shared by the plant layers and the soil: the wind and conductance
// profile of a layer, boundary-layer conductances, saturation humidity and the
// temperature factor of rates given at 25 degC.
#pragma once

#include <cmath>

namespace kelmora {

namespace phys {
inline constexpr double kKarman = 0.4;
inline constexpr double kKarmanGravity = 3.92;  // k g, entered negative in the stability parameter
inline constexpr double kKarmanSquared = 0.16;
inline constexpr double kCpAir = 1010;  // J kg-1 K-1
inline constexpr double kPi = 3.1415926;
inline constexpr double kCubeRoot = 0.333333;    // not one third exactly
inline constexpr double kSigma = 5.6697e-8;      // Stefan-Boltzmann, W m-2 K-4
inline constexpr double kMolarAir = 0.028964;    // kg mol-1
inline constexpr double kMolarWater = 0.018016;  // kg mol-1
inline constexpr double kWaterAirRatio = 0.622;
inline constexpr double kZeroCelsius = 273.15;        // K
inline constexpr double kRateReference = 298;         // K, temperature of rates "at 25C"
inline constexpr double kRTimesReference = 2.477572;  // R * 298 K, kJ mol-1
inline constexpr double kLatentHeat = 2264700;        // J kg-1
inline constexpr double kCpWater = 4180;              // J kg-1 K-1
inline constexpr double kCpDryMatter = 1920;          // J kg-1 K-1
inline constexpr double kCarbonPerUmol = 1.2e-8;      // kgC per umol C
inline constexpr double kSecondsPerYear = 31536000;   // 365 days
inline constexpr double kGravity = 9.8;               // m s-2
}  // namespace phys

// The wind and conductance profile of one layer: a plant layer or the soil surface.
struct Aerodynamics {
    double _zd = 0;        // zero-plane displacement height, m
    double _zm = 0;        // roughness length for momentum, m
    double _zh = 0;        // roughness length for heat, m
    double _z12 = 0;       // height of the layer's air node, m
    double _zt = 0;        // top height of the layer, m
    double _zb = 0;        // bottom height of the foliage, m
    double _zrf = 0;       // reference height of the driving wind, m
    double _ga = 0.1;      // conductance for heat between z12 and the reference height, m s-1
    double _gav = 0.0622;  // the same for water vapour, m s-1
    double _u12 = 1.0;     // wind at z12, m s-1
    double _ut = 0;        // wind at the layer top
    double _ub = 0;        // wind at the foliage bottom
    double _ustar = 0.1;   // friction velocity; judges the stability of the next call
    double _rho = 0;       // air density of the last call, kg m-3
    double _lm = 0;        // mixing length inside the layer, m

    // Updates the profile from the reference wind `u_ref`, the cover fraction, the
    // roughness elements' dimension `dim`, the air density, the sensible heat flux
    // `h` from z12 (previous sub-step, W m-2) and the air temperature at z12 (K).
    void update_profile(double u_ref, double cover, double dim, double rho, double h, double t);

  private:
    // Terms of the profile that depend only on the heights, the cover and the
    // roughness dimension, which change seldom: they are kept from the call that
    // computed them and recomputed whenever one of their inputs differs.
    struct Geometry {
        double zrf = -1, zd = -1, zm = -1, zh = -1, zt = -1, z12 = -1, zb = -1;  // match no layer
        double c = -1, dim = -1;
        double log_ref_m = 0;  // ln((zrf - zd) / zm)
        double log_top_m = 0;  // ln((zt - zd) / zm)
        double log_ref_h = 0;  // ln((zrf - zd) / zh)
        double lm = 0;         // mixing length
        double decay_12 = 0;   // wind attenuation from the top down to z12
        double decay_b = 0;    // wind attenuation from the top down to the foliage bottom
    };
    const Geometry& geometry(double c, double dim);
    Geometry geometry_;
};

// One-sided boundary-layer conductance for heat (m s-1), at least 0.01.
inline double gb_heat(double u, double dim, double rho) {
    const double g = 0.135 * std::sqrt(u / dim) * phys::kMolarAir / rho;
    return g < 0.01 ? 0.01 : g;
}

// One-sided boundary-layer conductance for water vapour (m s-1), at least 0.01.
inline double gb_vapour(double u, double dim, double rho) {
    const double g = 0.147 * std::sqrt(u / dim) * phys::kMolarWater / rho;
    return g < 0.01 ? 0.01 : g;
}

// Saturation specific humidity (kg kg-1) of a surface at `t` K under `pa` kPa.
inline double qsat(double t, double pa) {
    const double c = t - phys::kZeroCelsius;
    return 0.611 * std::exp(17.502 * c / (c + 240.97)) * phys::kWaterAirRatio / pa;
}

// Black-body emission of a surface at `t` K, W m-2.
inline double black_body(double t) {
    return phys::kSigma * t * t * t * t;
}

// Temperature factor of a rate given at 298 K, activation energy `e` in kJ mol-1.
inline double arrhenius(double e, double t) {
    return std::exp(e * (t - phys::kRateReference) / (t * phys::kRTimesReference));
}

}  // namespace kelmora
