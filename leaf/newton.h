// The leaf's solve for the intercellular CO2: the constants of a sub-step and
// one Newton step on the residual A - g (Ca - Ci). Shared with the benchmarks'
// floor, which runs the same steps.
#pragma once

#include <algorithm>
#include <cmath>

namespace kelmora {

// What the intercellular CO2 is solved with: capacities, constants and
// conductances of the sub-step.
struct Exchange {
    double vm;     // carboxylation capacity of the canopy
    double j;      // electron transport rate
    double gamma;  // CO2 compensation point without dark respiration
    double cv;     // effective Michaelis constant
    double ca;     // ambient CO2
    double gb;     // boundary-layer conductance, mol m-2 s-1
    double g0;     // minimum stomatal conductance
    double g1f;    // stomatal slope times the humidity factor
};

// The state of one Newton step: gross assimilation, stomatal and surface CO2
// values computed from the Ci the step began with, and the updated Ci.
struct Assimilation {
    double a = 0;
    double gs = 0;
    double cs = 0;
    double ci = 0;
};

// One Newton step on the residual A - g (Ca - Ci); returns the step's results with
// the new Ci, clamped to [1.01 Gamma*, Ca].
inline Assimilation newton_step(const Exchange& e, double ci) {
    const double av = e.vm * (ci - e.gamma) / (ci + e.cv);
    const double aj = e.j * (ci - e.gamma) / (ci + 2 * e.gamma);
    // Co-limited rate: the smaller root of 0.95 A^2 - (Av + Aj) A + Av Aj = 0.
    const double d = (av + aj) * (av + aj) - 3.8 * av * aj;
    const double a = d < 0 ? std::min(av, aj) : ((av + aj) - std::sqrt(d)) / 1.9;
    const double gs = e.g0 + e.g1f * a / e.ca;
    const double g = gs * e.gb / (gs + e.gb);
    // Slope: the limiting rates' slopes weighted towards the one closer to A.
    const double ev = std::fabs(av - a);
    const double ej = std::fabs(aj - a);
    const double wv = ej / (ej + ev);
    const double wj = ev / (ej + ev);
    const double sv = (e.vm - av) / (ci + e.cv) + g;
    const double sj = (e.j - aj) / (ci + 2 * e.gamma) + g;
    double u = wv * sv + wj * sj;
    if (std::fabs(u) < 1e-5) u = u >= 0 ? 1e-5 : -1e-5;
    double next = ci - (a - g * (e.ca - ci)) / u;
    if (!(next > 1.01 * e.gamma)) next = 1.01 * e.gamma;  // also catches a Ci that is no number
    if (!(e.ca > next)) next = e.ca;
    double cs = e.ca - a / e.gb;
    if (!(cs > 0.5 * e.ca)) cs = 0.5 * e.ca;
    return {a, gs, cs, next};
}

}  // namespace kelmora
