// kelm_count FORCING DIR: runs the site of DIR (as kelm does) through FORCING
// and reports the exp, log, pow and sqrt calls the model makes per sub-step, by
// day (incoming shortwave of at least 1 W m-2, the leaf's own test) and by
// night, per record for the output, and per call site; with the lengths of
// the two serial chains of a sub-step: the Newton steps of the leaf solves and
// the steps of the visible radiation passes through the sub-layers.
//
// Built with -DKELM_COUNT_CALLS=ON, which wraps the four functions at link time
// (bench/call_counter.cpp) and compiles everything with -fno-builtin-sqrt, so
// that each sqrt of the sources is a call that can be counted (the normal
// build issues it as one sqrtsd instruction). exp, log and pow stay builtins,
// so calls on constants fold away exactly as in the normal build.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/call_counter.h"
#include "plant/pass.h"
#include "run/forcing.h"
#include "run/site.h"

namespace kelmora::bench {
namespace {

enum Phase { kNight, kDay, kOutput, kPhases };

struct Site_ {
    std::string label;
    bool newton = false;
    uint64_t n[kPhases] = {};
};

struct Stats {
    uint64_t substeps[2] = {};
    uint64_t records = 0;
    uint64_t calls[kPhases][kFunctions] = {};
    uint64_t newton[2] = {};         // Newton steps (the solves' sqrt calls)
    uint64_t newton_longer[2] = {};  // sum over plants of the longer of its two solves
    uint64_t solves[2] = {};
    uint64_t radiation[2] = {};  // dependent steps of the visible passes
    std::map<uintptr_t, Site_> sites[kFunctions];
    std::string newton_tag;
};

// "newton.h:LINE" of the Newton step's square root, std::sqrt(d), found in the
// source: each Newton step makes exactly this one call (its argument, the
// discriminant of the co-limitation, is never negative).
std::string newton_tag() {
    std::ifstream in(KELM_SOURCE_DIR "/leaf/newton.h");
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find("std::sqrt(d)") != std::string::npos)
            return "newton.h:" + std::to_string(n) + ")";
    }
    return "";
}

Site_& site_of(Stats& s, const Call& c) {
    auto [it, fresh] = s.sites[c.fn].try_emplace(c.from);
    if (fresh) {
        it->second.label = call_site(c.from);
        // The innermost frame comes first in the label.
        const size_t first = it->second.label.find(')');
        const std::string inner = it->second.label.substr(0, first + 1);
        it->second.newton =
            c.fn == kSqrt && !s.newton_tag.empty() && inner.find(s.newton_tag) != std::string::npos;
    }
    return it->second;
}

// Adds the recorded calls to phase `p`; returns the lengths of the leaf solves
// among them in the order they began. A run of Newton steps without other
// calls between them is one solve, or several when the solves run side by
// side: the steps of each come from its own call site (the inlined step of
// its own loop line), by which they are told apart.
std::vector<int> account(Stats& s, Phase p, std::vector<Call>& calls) {
    take_calls(calls);
    std::vector<int> solves;
    std::vector<std::pair<const std::string*, size_t>> run;  // call site, index in solves
    bool in_run = false;
    for (const Call& c : calls) {
        ++s.calls[p][c.fn];
        Site_& site = site_of(s, c);
        ++site.n[p];
        if (site.newton) {
            if (!in_run) run.clear();
            in_run = true;
            auto it = std::find_if(run.begin(), run.end(),
                                   [&](const auto& r) { return *r.first == site.label; });
            if (it == run.end()) {
                run.emplace_back(&site.label, solves.size());
                solves.push_back(0);
                it = run.end() - 1;
            }
            ++solves[it->second];
        } else {
            in_run = false;
        }
    }
    return solves;
}

// Dependent steps of the visible passes the plant's step A will make: four
// passes of n sub-layers when light arrives at its top (as the plant's own
// transfer computes them, from the areas before the step).
int radiation_steps(double lai, double sai, double vis_in_down) {
    if (vis_in_down < 0.1) return 0;
    const double l = std::max(lai, 0.0);
    const double s = std::max(sai, 0.0);
    return 4 * sublayers(l, s);
}

// Counts the Newton steps of a sub-step's solves: each lit plant layer makes two
// solves, the trees' before the shrubs', so the solves pair up by plant in order.
void count_solves(Stats& s, Phase p, const std::vector<int>& runs) {
    for (int r : runs) s.newton[p] += r;
    s.solves[p] += runs.size();
    for (size_t i = 0; i < runs.size(); i += 2) {
        s.newton_longer[p] += i + 1 < runs.size() ? std::max(runs[i], runs[i + 1]) : runs[i];
    }
}

bool run(Site& site, Stats& s) {
    std::vector<Call> calls;
    account(s, kOutput, calls);  // initialisation's calls are no sub-step's
    s.calls[kOutput][0] = s.calls[kOutput][1] = s.calls[kOutput][2] = s.calls[kOutput][3] = 0;
    for (auto& by_fn : s.sites) by_fn.clear();
    for (size_t i = 1; i < site.records.size(); ++i) {
        ForcingRecord& cur = site.records[i];
        cur.substeps = 0;
        if (cur.interval % site._dt != 0) {
            site.error_text = "Error: data interval and dt not compatible.";
            return false;
        }
        for (int32_t m = 0; m < cur.interval; m += site._dt) {
            ++cur.substeps;
            const ForcingRecord f = site.forcing(i, site._dt * 0.5 + m);
            const Phase p = f.sw_in >= 1.0 ? kDay : kNight;
            ++s.substeps[p];
            // The areas before the sub-step, which the plants' passes use.
            const int tree_steps =
                radiation_steps(site.tree.lai(), site.tree.sai(), 0.46 * f.sw_in);
            const double shrub_lai = site.shrub.lai();
            const double shrub_sai = site.shrub.sai();
            if (Failure failure = site.substep(f)) {
                site.error_text = *failure;
                return false;
            }
            s.radiation[p] += tree_steps;
            if (site.has_shrub()) {
                s.radiation[p] +=
                    radiation_steps(shrub_lai, shrub_sai, site.tree.radiation.vis_out_down);
            }
            count_solves(s, p, account(s, p, calls));
        }
        site.write_output(cur);
        site.write_line(cur);
        const bool day_ends = i + 1 == site.records.size() || site.records[i + 1].day != cur.day;
        if (Failure failure = site.finish_record(cur, day_ends)) {
            site.error_text = *failure;
            return false;
        }
        ++s.records;
        account(s, kOutput, calls);
    }
    return true;
}

double per(uint64_t n, uint64_t d) {
    return d ? static_cast<double>(n) / static_cast<double>(d) : 0;
}

void report(const Site& site, const Stats& s) {
    const uint64_t all = s.substeps[0] + s.substeps[1];
    std::printf(
        "type %d, %zu soil layers, _dt %d: %llu records, %llu sub-steps "
        "(day %llu, night %llu)\n",
        site._type, site.soil.layers(), site._dt, static_cast<unsigned long long>(s.records),
        static_cast<unsigned long long>(all), static_cast<unsigned long long>(s.substeps[kDay]),
        static_cast<unsigned long long>(s.substeps[kNight]));
    std::printf("\ncalls per sub-step   %8s %8s %8s %8s %10s %12s %10s %12s\n", "exp", "log", "pow",
                "sqrt", "newton", "longer", "sqrt_rest", "radiation");
    const char* names[2] = {"night", "day"};
    for (int p : {kDay, kNight}) {
        const uint64_t n = s.substeps[p];
        std::printf("%-20s %8.3f %8.3f %8.3f %8.3f %10.3f %12.3f %10.3f %12.3f\n", names[p],
                    per(s.calls[p][kExp], n), per(s.calls[p][kLog], n), per(s.calls[p][kPow], n),
                    per(s.calls[p][kSqrt], n), per(s.newton[p], n), per(s.newton_longer[p], n),
                    per(s.calls[p][kSqrt] - s.newton[p], n), per(s.radiation[p], n));
    }
    uint64_t c[kFunctions];
    for (int f = 0; f < kFunctions; ++f) c[f] = s.calls[kDay][f] + s.calls[kNight][f];
    std::printf(
        "%-20s %8.3f %8.3f %8.3f %8.3f %10.3f %12.3f %10.3f %12.3f\n", "all", per(c[0], all),
        per(c[1], all), per(c[2], all), per(c[3], all), per(s.newton[0] + s.newton[1], all),
        per(s.newton_longer[0] + s.newton_longer[1], all),
        per(c[3] - s.newton[0] - s.newton[1], all), per(s.radiation[0] + s.radiation[1], all));
    std::printf("%-20s %8.3f %8.3f %8.3f %8.3f\n", "output, per record",
                per(s.calls[kOutput][kExp], s.records), per(s.calls[kOutput][kLog], s.records),
                per(s.calls[kOutput][kPow], s.records), per(s.calls[kOutput][kSqrt], s.records));
    std::printf("leaf solves per day sub-step %.3f, Newton steps per solve %.3f\n",
                per(s.solves[kDay], s.substeps[kDay]), per(s.newton[kDay], s.solves[kDay]));
    std::printf("\ncall sites: calls per day sub-step, per night sub-step, per record\n");
    for (int f = 0; f < kFunctions; ++f) {
        std::vector<const Site_*> list;
        for (const auto& [from, site_] : s.sites[f]) list.push_back(&site_);
        std::sort(list.begin(), list.end(), [](const Site_* a, const Site_* b) {
            return a->n[kDay] + a->n[kNight] > b->n[kDay] + b->n[kNight];
        });
        for (const Site_* x : list) {
            std::printf("  %-4s %8.3f %8.3f %8.3f  %s\n", kFnNames[f],
                        per(x->n[kDay], s.substeps[kDay]), per(x->n[kNight], s.substeps[kNight]),
                        per(x->n[kOutput], s.records), x->label.c_str());
        }
    }
}

}  // namespace
}  // namespace kelmora::bench

int main(int argc, char** argv) {
    using namespace kelmora;
    if (argc != 3) {
        std::fprintf(stderr, "usage: kelm_count FORCING DIR\n");
        return 2;
    }
    auto site = std::make_unique<Site>();
    bench::Stats stats;
    stats.newton_tag = bench::newton_tag();
    if (stats.newton_tag.empty()) {
        std::fprintf(stderr,
                     "kelm_count: the Newton step's std::sqrt(d) not found in leaf/newton.h\n");
        return 1;
    }
    if (Failure failure = read_forcing(argv[1], site->records)) {
        std::fprintf(stderr, "kelm_count: %s\n", failure->c_str());
        return 1;
    }
    if (!site->init(argv[2]) || !bench::run(*site, stats)) {
        std::fprintf(stderr, "kelm_count: %s\n", site->error_text.c_str());
        return 1;
    }
    bench::report(*site, stats);
    return 0;
}
