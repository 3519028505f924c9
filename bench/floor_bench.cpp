// The fair floor of a sub-step.
//
// What a sub-step cannot do without, whatever exact (byte-preserving) rewrite
// of the model: the exp, log, pow and sqrt calls of its formulas, and two chains
// of dependent steps, the visible radiation passes through the sub-layers
// (four passes of n sub-layers per lit plant layer, each step a multiply, an
// add and a subtract on the stream) and the leaf's Newton steps on the
// intercellular CO2. The floor makes the measured mean call mix with arguments
// that change with every sub-step and call, so that nothing folds or hoists,
// and runs both chains with the model's own step formulas and the measured
// mean lengths. Everything else a sub-step does (the rest of its arithmetic,
// the soil's layer loops, the output) is left out. The Newton steps run one
// after the other, as the model's solves do; the two solves of a plant are
// independent of each other, and running them side by side is one of the
// exact savings: BM_Floor with side:1 shows the floor so (the shorter solve's
// steps in pairs with the longer one's, then the longer one's rest alone: the
// chain becomes the "longer" column below). Fractional means are met over many
// sub-steps (each kind of sub-step carries its remainders).
//
// How the counts were measured: kelm_count (-DKELM_COUNT_CALLS=ON) wraps exp,
// log, pow and sqrt at link time (-Wl,--wrap=NAME), records every call with its
// return address, and runs the example year through the site's own sub-steps;
// the build passes -fno-builtin-sqrt, so each sqrt of the sources is a call
// there (the normal build issues one sqrtsd instruction for it), while exp,
// log and pow on constants fold away as in the normal build. A day sub-step is
// one with at least 1 W m-2 of incoming shortwave (the leaf's own test). The
// Newton steps are the calls of the Newton step's std::sqrt(d) (one per step:
// the discriminant is never negative), split into solves at the other calls;
// the radiation steps are 4 n per lit plant layer, n = max(10, int(max(LAI,
// SAI) / 0.1 + 1)) from the areas before the plant's step.
//
// Example year (tools/make_forcing.py 1 365 30 8 --obs, half-hourly, _dt 10,
// 8 soil layers): 3,153,420 sub-steps, 1,627,829 by day, 1,525,591 by night.
// Calls per sub-step (sqrt without the Newton steps'):
//
//                        exp     log     pow    sqrt  Newton  longer  radiation
//   type 1, day       38.883   3.000  17.000  24.253  15.889   9.501    248.825
//   type 1, night     40.995   3.000  17.000  21.359   0       0          1.356
//   type 1, mean      39.905   3.000  17.000  31.055 (with the Newton sqrt)
//   type 0, day       21.990   2.000  17.000  14.187   8.331   4.905    159.644
//   type 0, night     22.999   2.000  17.000  13.212   0       0          1.033
//
// "longer" is the sum over the plant layers of the longer of a plant's two solves;
// a solve takes 3.97 Newton steps on average (4.17 with trees alone). By night
// the leaf still computes its temperature terms and esat of the air, hence
// more exp than by day; the radiation passes of twilight (sunlight below
// 1 W m-2 but above the passes' 0.1 W m-2 of visible) fall in the night mix.
// The soil makes 2 pow per layer plus one, whatever the type: 17 with 8
// layers, 2 more per further layer. No counted call is made by the output.
#include <benchmark/benchmark.h>

#include "bench/floor.h"

namespace kelmora::bench {
namespace {

void BM_Floor(benchmark::State& state) {
    const int type = static_cast<int>(state.range(0));
    const bool day = state.range(1) != 0;
    const int layers = static_cast<int>(state.range(2));
    const Newton newton = state.range(3) != 0 ? Newton::kSideBySide : Newton::kSerial;
    Floor floor(type, layers, newton);
    for (auto _ : state) benchmark::DoNotOptimize(floor.substep(day));
    const FloorMix m = floor_mix(type, day, layers, newton);
    state.counters["exp"] = m.exp;
    state.counters["log"] = m.log;
    state.counters["pow"] = m.pow;
    state.counters["sqrt"] = m.sqrt;
    state.counters["newton"] = 2 * m.newton_pairs + m.newton_single;
    state.counters["radiation"] = m.radiation;
}
// Arguments: site type (0: trees; 1: trees and shrubs), day, soil layers, and
// the Newton solves of a plant side by side (1) instead of one after the other.
BENCHMARK(BM_Floor)
    ->ArgNames({"type", "day", "layers", "side"})
    ->ArgsProduct({{0, 1}, {0, 1}, {8}, {0}})
    ->Args({1, 1, 32, 0})
    ->Args({1, 1, 8, 1});

}  // namespace
}  // namespace kelmora::bench
