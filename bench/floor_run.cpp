// kelm_floor FORCING TYPE LAYERS [DT]: the fair floor of a whole run. Splits the
// forcing into the sub-steps the model would run at DT seconds (default 10),
// day or night as the leaf tells them, and runs the floor of each in the
// forcing's order. Prints the counts, the floor per day and night sub-step
// (timed apart) and the CPU time of the run's floor loop, which is the figure
// whole runs are compared with.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/floor.h"
#include "run/forcing.h"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelmora;
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: kelm_floor FORCING TYPE LAYERS [DT]\n");
        return 2;
    }
    const int type = std::atoi(argv[2]);
    const int layers = std::atoi(argv[3]);
    const int dt = argc == 5 ? std::atoi(argv[4]) : 10;
    if ((type != 0 && type != 1) || layers < 1 || dt < 1) {
        std::fprintf(stderr, "kelm_floor: bad type, layers or dt\n");
        return 2;
    }
    std::vector<ForcingRecord> records;
    if (Failure failure = read_forcing(argv[1], records)) {
        std::fprintf(stderr, "kelm_floor: %s\n", failure->c_str());
        return 1;
    }
    // The sub-steps of the run, as the time loop makes them.
    std::vector<bool> days;
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i].interval % dt != 0) {
            std::fprintf(stderr, "kelm_floor: data interval and dt not compatible\n");
            return 1;
        }
        for (int32_t m = 0; m < records[i].interval; m += dt) {
            days.push_back(interpolate(records[i - 1], records[i], dt * 0.5 + m).sw_in >= 1.0);
        }
    }
    size_t n_day = 0;
    for (bool d : days) n_day += d ? 1 : 0;
    const size_t n_night = days.size() - n_day;

    double sink = 0;
    // Each kind alone, for the floor per sub-step.
    double per[2];
    for (int kind = 0; kind < 2; ++kind) {
        bench::Floor floor(type, layers);
        const int n = 200000;
        const double t0 = cpu_seconds();
        for (int i = 0; i < n; ++i) sink += floor.substep(kind == 1);
        per[kind] = (cpu_seconds() - t0) / n;
    }
    // The run's sub-steps in order.
    bench::Floor floor(type, layers);
    const double t0 = cpu_seconds();
    for (bool d : days) sink += floor.substep(d);
    const double run = cpu_seconds() - t0;

    std::printf("type %d, %d soil layers, _dt %d: %zu sub-steps (day %zu, night %zu)\n", type,
                layers, dt, days.size(), n_day, n_night);
    std::printf("floor per sub-step: day %.1f ns, night %.1f ns\n", per[1] * 1e9, per[0] * 1e9);
    std::printf("floor per sub-step x sub-steps: %.4f s\n",
                per[1] * static_cast<double>(n_day) + per[0] * static_cast<double>(n_night));
    std::printf("floor of the run: %.4f s CPU\n", run);
    std::fprintf(stderr, "(checksum %g)\n", sink);
    return 0;
}
