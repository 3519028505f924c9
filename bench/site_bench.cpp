// Timings of one sub-step of the whole site and of its parts, all on a site
// initialised from generated forcing, repeating the first sub-step of a night
// or a midday span. The state carries on from call to call as in a run (the
// temperatures stay within 5 K of the forcing air), so every call does the work
// of a real sub-step.
#include <benchmark/benchmark.h>

#include "bench/bench_site.h"

namespace kelmora::bench {
namespace {

// Makes the site or skips the benchmark with the site's message.
bool prepare(benchmark::State& state, BenchSite& b) {
    if (b.ready()) return true;
    state.SkipWithError(("site initialisation failed: " + b.error()).c_str());
    return false;
}

void BM_Substep(benchmark::State& state) {
    BenchSite b(static_cast<int>(state.range(0)), state.range(1) ? Light::kDay : Light::kNight);
    if (!prepare(state, b)) return;
    for (auto _ : state) {
        if (!b.substep()) {
            state.SkipWithError(b.error().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Substep)->ArgNames({"type", "day"})->ArgsProduct({{0, 1}, {0, 1}});

void BM_LeafIterate(benchmark::State& state) {
    BenchSite b(0, state.range(0) ? Light::kDay : Light::kNight);
    if (!prepare(state, b)) return;
    b.substep();  // radiation, winds and temperatures of a real sub-step
    Plant& tree = b.site().tree;
    Foliage& foliage = tree.foliage;
    const LeafInput in{foliage.temperature,
                       foliage.carbon * foliage._sla,
                       tree.radiation.vis_abs_down,
                       tree.radiation.vis_abs_up,
                       tree.aero.u12,
                       foliage._dim,
                       tree.aero.rho};
    Leaf& leaf = foliage.leaf;
    for (auto _ : state) {
        if (!leaf.iterate(b.forcing(), in, 1) || !leaf.iterate(b.forcing(), in, 0)) {
            state.SkipWithError(std::string(kLeafFailure).c_str());
            break;
        }
    }
    state.SetLabel("both streams");
}
BENCHMARK(BM_LeafIterate)->ArgName("day")->Arg(0)->Arg(1);

// The visible radiation passes of the tree and shrub layers at midday: a chain
// of dependent multiply-add-subtract steps, four per sub-layer, that no other
// work of the sub-step can shorten.
void BM_TransferIr(benchmark::State& state) {
    BenchSite b(1, Light::kDay);
    if (!prepare(state, b)) return;
    b.substep();
    Site& site = b.site();
    Radiation& tree = site.tree.radiation;
    Radiation& shrub = site.shrub.radiation;
    const double sun = 0.46 * b.forcing().sw_in;
    for (auto _ : state) {
        // The passes leave their working streams in the arriving fields: set them anew.
        tree.vis_in_down = sun;
        tree.vis_in_up = shrub.vis_out_up;
        site.tree.transfer_vis();
        site.tree.transfer_ir();
        shrub.vis_in_down = tree.vis_out_down;
        shrub.vis_in_up = site.soil._refl * shrub.vis_out_down;
        site.shrub.transfer_vis();
        site.shrub.transfer_ir();
        benchmark::DoNotOptimize(shrub.vis_out_down);
    }
    state.SetLabel("tree and shrub");
}
BENCHMARK(BM_TransferIr);

}  // namespace
}  // namespace kelmora::bench
