// The energy-conserving step B of a plant layer: its foliage, stems and air node
// settled by one linearised implicit step, in two halves around the joint
// solve of the air nodes of all layers.
#pragma once

#include <array>

#include "physics/physics.h"

namespace kelmora {

// How a surface's evaporation and (foliage) transpiration, as interception
// computed them, change with the surface's saturation humidity and the air
// node's: their conductances (kg m-2 s-1 per kg kg-1) and the slope of the
// saturation humidity (kg kg-1 K-1).
struct VapourSlopes {
    double evaporation = 0;
    double transpiration = 0;
    double slope = 0;
};

// One surface (foliage or stems) in the joint step: heat capacity over the step,
// conductance to the air node, the explicit energy balance against the air node of
// the old temperatures, and the linearised slopes.
struct SurfaceStep {
    bool fixed = false;   // no heat capacity: the surface takes the air temperature
    double t = 0;         // temperature before the step, K
    double capacity = 0;  // heat capacity over the step, W m-2 K-1
    double g = 0;         // heat conductance to the air node, m s-1
    double k = 0;         // the same as W m-2 K-1
    double balance = 0;   // net radiation - sensible - latent heat at the old temperatures
    double slope = 0;     // latent heat per K
    VapourSlopes vapour;
    double gv = 0;     // vapour conductance of evaporation and transpiration, kg m-2 s-1
    double theta = 1;  // weight of the step's end in its mean state
};

// A layer's air node as a linear function of the changes of its partners:
// node = base + up * change above + low * change below, each a 2 x 2 matrix
// (rows temperature and humidity, columns the same), changes against the node's
// temperature and humidity before the step.
struct NodeResponse {
    NodeChange base;
    std::array<double, 4> up{};
    std::array<double, 4> low{};
};

// What the first half of the step leaves for the second.
struct Settling {
    SurfaceStep f;
    SurfaceStep st;
    double sum = 0;       // total heat conductance of the air node, m s-1
    double ta_old = 0;    // the node as the conductance-weighted mean of the old temperatures
    double g_up = 0;      // heat conductance to the air above, m s-1
    double g_low = 0;     // to the node or surface below
    double t_up = 0;      // temperature above, K
    double q_old = 0;     // the node's humidity that the fluxes were computed with
    double q0 = 0;        // vapour brought to the node at the old state, kg m-2 s-1
    double gv_up = 0;     // vapour conductance to the air above, kg m-2 s-1 per kg kg-1
    double gv_low = 0;    // to below
    double gv_total = 0;  // of all partners
    std::array<double, 4> inverse{};  // of the surfaces' 2 x 2 system
};

}  // namespace kelmora
