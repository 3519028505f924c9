// The fair floor of a sub-step: the kernel and the measured mix. What it
// counts, and how the counts were measured, heads floor_bench.cpp.
#include "bench/floor.h"

#include "leaf/newton.h"
#include "plant/pass.h"

#include <algorithm>
#include <cmath>

namespace kelmora::bench {

namespace {

// The side-by-side split of the Newton steps; floor_mix makes them serial.
constexpr FloorMix kType1Day{38.883, 3.000, 17.000, 24.253, 15.889 - 9.501, 2 * 9.501 - 15.889,
                             248.825};
constexpr FloorMix kType1Night{40.995, 3.000, 17.000, 21.359, 0, 0, 1.356};
constexpr FloorMix kType0Day{21.990, 2.000, 17.000, 14.187, 8.331 - 4.905, 2 * 4.905 - 8.331,
                             159.644};
constexpr FloorMix kType0Night{22.999, 2.000, 17.000, 13.212, 0, 0, 1.033};
constexpr int kMeasuredLayers = 8;

// Whole steps of a kind's mean to run now; the remainder waits for the next.
int take(double& carry, double mean) {
    carry += mean;
    const int n = static_cast<int>(carry);
    carry -= n;
    return n;
}

}  // namespace

FloorMix floor_mix(int type, bool day, int soil_layers, Newton newton) {
    FloorMix m = type == 0 ? (day ? kType0Day : kType0Night) : (day ? kType1Day : kType1Night);
    m.pow += 2 * (soil_layers - kMeasuredLayers);
    if (newton == Newton::kSerial) {
        m.newton_single += 2 * m.newton_pairs;
        m.newton_pairs = 0;
    }
    return m;
}

Floor::Floor(int type, int soil_layers, Newton newton)
    : mix_{floor_mix(type, false, soil_layers, newton), floor_mix(type, true, soil_layers, newton)},
      plants_(type == 0 ? 1 : 2) {
    // The soil's exponents (_pw, -_b, 2 _b + 3), through a volatile so that no
    // call folds into multiplications.
    volatile double b = 6.6;
    volatile double pw = 2;
    exponent_[0] = pw;
    exponent_[1] = -b;
    exponent_[2] = 2 * b + 3;
}

double Floor::substep(bool day) {
    const FloorMix& m = mix_[day ? 1 : 0];
    FloorMix& c = carry_[day ? 1 : 0];
    // A value in [0, 1) that changes with every sub-step.
    const double x = static_cast<double>(k_++) * 0.6180339887498949;
    const double u = x - std::floor(x);

    double sum_exp = 0, sum_log = 0, sum_pow = 0, sum_sqrt = 0;
    const int n_exp = take(c.exp, m.exp);
    for (int i = 0; i < n_exp; ++i) sum_exp += std::exp(-2.5 + 0.09 * i + 0.8 * u);
    const int n_log = take(c.log, m.log);
    for (int i = 0; i < n_log; ++i) sum_log += std::log(1.02 + 2.5 * u + 0.7 * i);
    const int n_pow = take(c.pow, m.pow);
    for (int i = 0; i < n_pow; ++i) {
        const double e = exponent_[i == 0 ? 0 : 1 + (i - 1) % 2];
        sum_pow += std::pow(0.4 + 0.5 * u + 0.001 * i, e);
    }
    const int n_sqrt = take(c.sqrt, m.sqrt);
    for (int i = 0; i < n_sqrt; ++i) sum_sqrt += std::sqrt(0.5 + u + 0.21 * i);

    // The radiation passes: per plant layer downward through foliage and stems,
    // then upward through stems and foliage; each pass starts from what the ones
    // before left.
    double rad = 0;
    const int n_rad = take(c.radiation, m.radiation);
    if (n_rad > 0) {
        const int passes = 4 * plants_;
        const double fa = 0.08 + 0.01 * u, fr = 0.006 + 0.001 * u;
        const double sa = 0.05 + 0.01 * u, sr = 0.01 + 0.001 * u;
        double down = 300 * (0.5 + u), up = 20 * (0.5 + u);
        double fol = 0, stem = 0, abs_down = 0, abs_up = 0, stem_abs = 0;
        for (int p = 0; p < passes; ++p) {
            const int len = n_rad / passes + (p < n_rad % passes ? 1 : 0);
            switch (p % 4) {
                case 0:
                    pass(len, fa, fr, down, up, fol, abs_down);
                    break;
                case 1:
                    pass(len, sa, sr, down, up, stem, stem_abs);
                    break;
                case 2:
                    pass(len, sa, sr, up, down, stem, stem_abs);
                    break;
                default:
                    pass(len, fa, fr, up, down, fol, abs_up);
                    break;
            }
            if (p % 4 == 3) {  // the next layer below starts from what leaves this one
                down += 0.1 * up;
                up *= 0.5;
            }
        }
        rad = down + up + fol + stem + abs_down + abs_up + stem_abs;
    }

    // The Newton steps: those run side by side in pairs, then the others alone,
    // each step starting from the Ci the one before it left.
    double leaf = 0;
    const int pairs = take(c.newton_pairs, m.newton_pairs);
    const int single = take(c.newton_single, m.newton_single);
    if (pairs + single > 0) {
        const double ca = 390 + 10 * u;
        const Exchange e1{90 * (1 + u), 60 + 20 * u, 42 + 3 * u, 700 + 200 * u,
                          ca,           2 + u,       0.003,      5.6 / (1 + 1.2 * u)};
        Exchange e0 = e1;
        e0.j = 20 + 10 * u;
        double c1 = 0.7 * ca, c0 = 0.7 * ca;
        Assimilation s1{}, s0{};
        for (int i = 0; i < pairs; ++i) {
            s1 = newton_step(e1, c1);
            s0 = newton_step(e0, c0);
            c1 = s1.ci;
            c0 = s0.ci;
        }
        for (int i = 0; i < single; ++i) {
            s1 = newton_step(e1, c1);
            c1 = s1.ci;
        }
        leaf = s1.a + s1.gs + s0.a + s0.gs + c1 + c0;
    }
    return sum_exp + sum_log + sum_pow + sum_sqrt + rad + leaf;
}

}  // namespace kelmora::bench
