// Physics shared by every component: the constants, saturation humidity, the
// black body, the temperature factor of rates given at 25 degC and the
// boundary-layer conductances. Uses nothing of the components.
#pragma once

#include <cmath>
#include <limits>

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
inline constexpr double kDryAirGasConstant = 0.287058;   // kJ kg-1 K-1
inline constexpr double kGasConstant = 0.0083144598;     // kJ mol-1 K-1, of the vapour density
inline constexpr double kGasConstantRounded = 0.008314;  // kJ mol-1 K-1, of the peaked function
inline constexpr double kZeroCelsius = 273.15;           // K
// The optimal leaf temperature is turned into kelvin with whole degrees.
inline constexpr double kZeroCelsiusWhole = 273.0;    // K
inline constexpr double kRateReference = 298;         // K, temperature of rates "at 25C"
inline constexpr double kRTimesReference = 2.477572;  // kGasConstantRounded * 298 K, kJ mol-1
inline constexpr double kLatentHeat = 2264700;        // J kg-1
inline constexpr double kWaterDensity = 1000;         // kg m-3
inline constexpr double kCpWater = 4180;              // J kg-1 K-1
inline constexpr double kCpDryMatter = 1920;          // J kg-1 K-1
inline constexpr double kCarbonPerUmol = 1.2e-8;      // kgC per umol C
inline constexpr double kSecondsPerHour = 3600;
inline constexpr double kSecondsPerDay = 86400;
inline constexpr double kSecondsPerYear = 31536000;  // 365 days
inline constexpr double kGravity = 9.8;              // m s-2
}  // namespace phys

// Saturation vapour pressure (kPa) over a temperature in degC.
inline double esat(double t) {
    return 0.611 * std::exp(17.502 * t / (t + 240.97));
}

// Saturation specific humidity (kg kg-1) of a surface at `t` K under `pa` kPa.
inline double qsat(double t, double pa) {
    return esat(t - phys::kZeroCelsius) * phys::kWaterAirRatio / pa;
}

// Slope of the saturation specific humidity `q` at temperature `t` K, kg kg-1 K-1.
inline double qsat_slope(double q, double t) {
    const double c = t - phys::kZeroCelsius;
    return q * 17.502 * 240.97 / ((c + 240.97) * (c + 240.97));
}

// Saturation of a surface whose temperature is asked for more than once in a
// sub-step (for the vapour it holds and for the air node): esat and qsat as the
// functions above give them, kept while the temperature stays exactly the same.
class KeptEsat {
  public:
    // esat of `t` degC.
    double esat(double t) {
        if (!(t == t_)) {
            t_ = t;
            e_ = kelmora::esat(t);
        }
        return e_;
    }
    // qsat of `t` K under `pa` kPa.
    double qsat(double t, double pa) {
        return esat(t - phys::kZeroCelsius) * phys::kWaterAirRatio / pa;
    }

  private:
    double t_ = std::numeric_limits<double>::quiet_NaN();  // matches no temperature
    double e_ = 0;
};

// Black-body emission of a surface at `t` K, W m-2.
inline double black_body(double t) {
    return phys::kSigma * t * t * t * t;
}

// Temperature factor of a rate given at 298 K, activation energy `e` in kJ mol-1.
inline double arrhenius(double e, double t) {
    return std::exp(e * (t - phys::kRateReference) / (t * phys::kRTimesReference));
}

// exp of an argument that often repeats between sub-steps (an area index that
// changes once a day), kept while the argument stays exactly the same.
class KeptExp {
  public:
    double operator()(double x) {
        if (!(x == x_)) {
            x_ = x;
            y_ = std::exp(x);
        }
        return y_;
    }

  private:
    double x_ = std::numeric_limits<double>::quiet_NaN();  // matches no argument
    double y_ = 0;
};

// The temperature factor of the last activation energy and temperature asked
// for, kept while both stay exactly the same: a component's rates of equal
// activation energy at one temperature share one exponential.
class KeptArrhenius {
  public:
    double operator()(double e, double t) {
        if (!(e == e_ && t == t_)) {
            e_ = e;
            t_ = t;
            y_ = arrhenius(e, t);
        }
        return y_;
    }

  private:
    double e_ = std::numeric_limits<double>::quiet_NaN();  // matches no energy
    double t_ = 0;
    double y_ = 0;
};

// Vapour pressure (kPa) of air of specific humidity `q` under `pa` kPa.
inline double vapour_pressure(double q, double pa) {
    return q * pa / phys::kWaterAirRatio;
}

// Visible and infrared radiation crossing a layer boundary in one direction, W m-2.
struct Streams {
    double vis = 0;
    double ir = 0;
};

// Air at a node: temperature (K) and vapour pressure (kPa).
struct Air {
    double t = 0;
    double e = 0;
};

// How the air nodes above and below a layer move in the step: temperature (K) and
// specific humidity (kg kg-1) against the values the layer started from.
struct NodeChange {
    double t = 0;
    double q = 0;
};

// An air node or surface that a layer's air node exchanges heat and vapour
// with: its conductances (m s-1), temperature (K) and vapour pressure (kPa).
struct Partner {
    double g_heat = 0;
    double g_vapour = 0;
    double t = 0;
    double e = 0;
};

// Both one-sided boundary-layer conductances of one surface (m s-1), for heat
// and for water vapour, each at least 0.01: they share the root of the wind
// over the dimension and are kept while the wind, dimension and air density
// stay exactly the same.
class SurfaceConductance {
  public:
    // Whether the vapour conductance turns mol m-2 s-1 into m s-1 through the
    // molar volume of air, as the heat conductance does (the energy-conserving
    // physics); otherwise through water's molar mass, 0.62 times too small.
    bool by_volume_of_air = false;

    double heat(double u, double dim, double rho) {
        update(u, dim, rho);
        return heat_;
    }
    double vapour(double u, double dim, double rho) {
        update(u, dim, rho);
        return vapour_;
    }

  private:
    void update(double u, double dim, double rho) {
        if (u == u_ && dim == dim_ && rho == rho_) return;
        u_ = u;
        dim_ = dim;
        rho_ = rho;
        const double root = std::sqrt(u / dim);
        const double heat = 0.135 * root * phys::kMolarAir / rho;
        const double molar = by_volume_of_air ? phys::kMolarAir : phys::kMolarWater;
        const double vapour = 0.147 * root * molar / rho;
        heat_ = heat < 0.01 ? 0.01 : heat;
        vapour_ = vapour < 0.01 ? 0.01 : vapour;
    }
    double u_ = std::numeric_limits<double>::quiet_NaN();  // matches no wind
    double dim_ = 0;
    double rho_ = 0;
    double heat_ = 0;
    double vapour_ = 0;
};

}  // namespace kelmora
