// The wind and conductance profile above and inside a layer: a plant layer or
// the soil surface.
#pragma once

#include "physics/physics.h"

namespace kelmora {

// The wind and conductance profile of one layer: a plant layer or the soil surface.
struct Aerodynamics {
    double zd = 0;        // zero-plane displacement height, m
    double zm = 0;        // roughness length for momentum, m
    double zh = 0;        // roughness length for heat, m
    double z12 = 0;       // height of the layer's air node, m
    double zt = 0;        // top height of the layer, m
    double zb = 0;        // bottom height of the foliage, m
    double zrf = 0;       // reference height of the driving wind, m
    double ga = 0.1;      // conductance for heat between z12 and the reference height, m s-1
    double gav = 0.0622;  // the same for water vapour, m s-1
    double u12 = 1.0;     // wind at z12, m s-1
    double ut = 0;        // wind at the layer top
    double ub = 0;        // wind at the foliage bottom
    double ustar = 0.1;   // friction velocity; judges the stability of the next call
    double rho = 0;       // air density of the last call, kg m-3
    double lm = 0;        // mixing length inside the layer, m

    // Updates the profile from the reference wind `u_ref`, the cover fraction, the
    // roughness elements' dimension `dim`, the air density, the sensible heat flux
    // `h` from z12 (previous sub-step, W m-2) and the air temperature at z12 (K).
    void update_profile(double u_ref, double cover, double dim, double density, double h, double t);
    // The same at the profile's own stability: the update repeated until the
    // friction velocity that judges the stability is the one the profile gives.
    // One update a sub-step lets the stability trail the weather by a sub-step,
    // which at the record interval is a whole half hour: a calm, stable profile
    // of a rainy half hour then held the wind at a wet canopy through the first
    // dry one.
    void settle_profile(double u_ref, double cover, double dim, double density, double h, double t);

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

}  // namespace kelmora
