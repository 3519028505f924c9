// The floor of a sub-step: the exp, log, pow and sqrt evaluations that its
// formulas cannot do without, timed alone. Values that depend only on constants
// of the run (the logarithms of the fixed heights and roughness lengths, the
// soil's attenuation and mixing length, the turnover and leaf-fall fractions)
// are left out, and a value needed twice in one sub-step counts once (the
// conductance square root sqrt(u/dim) shared by gb_heat and gb_vapour of one
// surface, esat of a foliage or stem temperature shared by the interception and
// the air node, the leaf's temperature terms shared by its two calls).
// sigma*T^4 and squares are multiplications and not counted.
//
// Per plant layer, midday (unstable air above the foliage):
//   update_profile      exp 2 (winds at z12 and the foliage bottom), log 1 (psi),
//                       pow 1 (mixing length), sqrt 2 (attenuation; 1-16 zeta)
//   infrared            exp 2 (foliage and stem emissivities)
//   interception        exp 2 (esat of the foliage and stem temperatures),
//                       exp 2 (catch fractions), sqrt 2 (sqrt(u/dim) foliage, stems)
//   leaf, both calls    exp 4 (Kc, Ko, Gamma*, Rd0), exp 2 (peaked Vm factor),
//                       sqrt 2 (J of each stream), sqrt 2*N (Newton: co-limitation)
//   foliage litter      exp 1 (decomposition at the soil temperature)
//   stem                exp 2 (respiration, decomposition)
//   => exp 17, log 1, pow 1, sqrt 6 + 2N
// Per plant layer, night (stable air): the leaf needs only Rd0 and, once per
// sub-step for every layer, esat of the air temperature; no Newton iteration
//   => exp 12, log 1, pow 1, sqrt 3; plus exp 1 per sub-step
// Soil with n layers:
//   update_profile      log 1 (psi; stable under the canopy)
//   surface             exp 1 (qsat of Ts), sqrt 1 (sqrt(u/rgh), shared)
//   water flows         pow 2 per layer (potential, conductivity), pow 1 (_fw)
//   roots               exp 4 (respiration and decomposition of both pools)
//   => exp 5, log 1, pow 2n + 1, sqrt 1
// N, the Newton iterations per leaf call, is 5: the median over temperatures of
// 10 to 35 degC, absorbed light of 5 to 1200 umol m-2 s-1 and leaf areas of 1 to
// 6 with the default leaf parameters (3 to 7 iterations; 6 and 5 in the two
// calls of the worked midday example).
//
// A type-1 midday sub-step with 8 layers: exp 39, log 3, pow 19, sqrt 33.
#include <benchmark/benchmark.h>

#include <cmath>

namespace kelmora::bench {
namespace {

struct Counts {
    int exp, log, pow, sqrt;
};

constexpr int kNewton = 5;

constexpr Counts sub_step_counts(int layers_of_plants, bool day, int soil_layers) {
    const Counts plant = day ? Counts{17, 1, 1, 6 + 2 * kNewton} : Counts{12, 1, 1, 3};
    const Counts soil{5, 1, 2 * soil_layers + 1, 1};
    return {plant.exp * layers_of_plants + soil.exp + (day ? 0 : 1),
            plant.log * layers_of_plants + soil.log, plant.pow * layers_of_plants + soil.pow,
            plant.sqrt * layers_of_plants + soil.sqrt};
}

static_assert(sub_step_counts(2, true, 8).exp == 39 && sub_step_counts(2, true, 8).sqrt == 33 &&
              sub_step_counts(2, true, 8).pow == 19 && sub_step_counts(2, true, 8).log == 3);

// Evaluates the counted functions on arguments of the size the model meets
// (exponents of a few units, relative saturations, ratios of heights); the
// arguments move a little from call to call so nothing can be hoisted.
double evaluate(const Counts& c, double wobble) {
    double sum = 0;
    double x = 0.37 + wobble;
    for (int i = 0; i < c.exp; ++i) {
        sum += std::exp(-1.7 * x);
        x += 0.013;
    }
    for (int i = 0; i < c.log; ++i) {
        sum += std::log(3.9 + x);
        x += 0.011;
    }
    for (int i = 0; i < c.pow; ++i) {
        sum += std::pow(0.55 + 0.1 * x, (i & 1) ? 16.2 : -6.6);
        x += 0.007;
    }
    for (int i = 0; i < c.sqrt; ++i) {
        sum += std::sqrt(1.3 + x);
        x += 0.017;
    }
    return sum;
}

void BM_Floor(benchmark::State& state) {
    const Counts c = sub_step_counts(state.range(0) ? 2 : 1, state.range(1) != 0,
                                     static_cast<int>(state.range(2)));
    double wobble = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluate(c, wobble));
        wobble = wobble > 0.5 ? 0 : wobble + 1e-7;
    }
    state.counters["exp"] = c.exp;
    state.counters["log"] = c.log;
    state.counters["pow"] = c.pow;
    state.counters["sqrt"] = c.sqrt;
}
// Arguments: site type (0: trees; 1: trees and shrubs), midday, soil layers.
BENCHMARK(BM_Floor)
    ->ArgNames({"type", "day", "layers"})
    ->ArgsProduct({{0, 1}, {0, 1}, {8}})
    ->Args({1, 1, 32});

}  // namespace
}  // namespace kelmora::bench
