// The water of the energy-conserving physics (_physics 1) on synthetic weather
// from tools/make_forcing.py: the books of a year with a dry spell, and a
// drought under dry air that the soil surface and the stomata feel and recover
// from after rain.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using namespace test;

// The generator's forcing (half-hourly, seed 8) for `days` days from `first_day`,
// rewritten by `edit`, which may change a line's day, VPD (kPa) and rain (mm h-1).
std::string make_forcing(const TempDir& dir, int first_day, int days,
                         const std::function<void(int, double&, double&)>& edit) {
    const std::string raw = dir.file("raw.txt");
    const std::string cmd = "/usr/bin/python3 '" KELM_SOURCE_DIR "/tools/make_forcing.py' " +
                            std::to_string(first_day) + " " + std::to_string(days) + " 30 8 -o '" +
                            raw + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(raw);
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (char& c : line) c = c == ',' ? ' ' : c;
        std::istringstream words(line);
        std::vector<double> v;
        for (double x; words >> x;) v.push_back(x);
        edit(static_cast<int>(v[0]), v[4], v[8]);
        for (size_t i = 0; i < v.size(); ++i) out << (i ? ", " : "") << v[i];
        out << "\n";
    }
    const std::string path = dir.file("forcing.txt");
    write_file(path, out.str());
    return path;
}

// A site of trees stepped in the process, sub-step by sub-step, with `soil_par`
// as its soil.par; `each` sees the site after every sub-step.
struct Stepped {
    TempDir dir;
    std::unique_ptr<Site> site = std::make_unique<Site>();

    Stepped(const std::string& forcing, int dt, const std::string& soil_par) {
        write_file(dir.file("site.par"), "_physics 1\n_dt " + std::to_string(dt) + "\n");
        if (!soil_par.empty()) write_file(dir.file("soil.par"), soil_par);
        const Failure failure = read_forcing(forcing, site->records);
        EXPECT_FALSE(failure) << *failure;
        EXPECT_TRUE(site->init(dir.str())) << site->error_text;
    }
    void run(const std::function<void(const ForcingRecord&)>& each) {
        Site& s = *site;
        for (size_t i = 1; i < s.records.size(); ++i) {
            for (int32_t m = 0; m < s.records[i].interval; m += s._dt) {
                const ForcingRecord f =
                    interpolate(s.records[i - 1], s.records[i], 0.5 * s._dt + m);
                ASSERT_FALSE(s.substep(f));
                each(f);
            }
        }
    }
};

// Water held by the soil's layers above the deepest, a fixed reservoir, and on
// the trees' leaves and stems, kg m-2.
double water_held(const Site& s) {
    double w = s.tree.interception.store[0] + s.tree.interception.store[1];
    for (size_t i = 0; i + 1 < s.soil.layers(); ++i) w += s.soil.water[i];
    return w;
}

// A year without rain from June to mid-July: the rain is what the soil and the
// trees hold more at the end, plus what evaporated, transpired, ran off and left
// the column across its bottom.
TEST(WaterBooks, RainIsHeldEvaporatedTranspiredRunOffOrDrained) {
    TempDir scratch;
    const std::string forcing = make_forcing(scratch, 1, 365, [](int day, double&, double& rain) {
        if (day >= 152 && day < 196) rain = 0;
    });
    Stepped run(forcing, 60, "");
    const Site& s = *run.site;
    const double held = water_held(s);
    double rain = 0, evaporation = 0, transpiration = 0, runoff = 0;
    run.run([&](const ForcingRecord& f) {
        const double dt = s._dt;
        rain += f.precip_rate * dt;
        evaporation +=
            (s.tree.interception.evaporation[0] + s.tree.interception.evaporation[1]) * dt +
            s.soil.evaporation;
        transpiration += s.tree.interception.transpiration * dt;
        runoff += s.soil.runoff;
    });
    const double change = water_held(s) - held;
    const double out = change + evaporation + transpiration + runoff + s.soil.drained;
    std::printf(
        "rain %.1f = held %+.1f + evaporation %.1f + transpiration %.1f + runoff %.1f + "
        "drained %.1f (kg m-2) %+.2f\n",
        rain, change, evaporation, transpiration, runoff, s.soil.drained, out - rain);
    ASSERT_GT(rain, 100);
    EXPECT_NEAR(out, rain, 0.01 * rain);
}

// Eight weeks of summer without rain under air twice as dry, then three days of
// rain. Means over the drought's first and last week and the week after the rain,
// and the stress factor at their ends.
TEST(WaterBooks, DroughtClosesTheSurfaceAndTheStomataAndRainReopensThem) {
    TempDir scratch;
    const std::string forcing =
        make_forcing(scratch, 152, 70, [](int day, double& vpd, double& rain) {
            if (day < 208) {
                rain = 0;
                vpd *= 2;
            } else if (day < 211) {
                rain = 3;
            }
        });
    // A root zone of half a metre in a soil over dry ground, which a few weeks of
    // drought empty.
    Stepped run(forcing, 60, "_zr 0.5\n_W0 0.26\n_Wd 0.25\n");
    const Site& s = *run.site;
    struct Week {
        double soil = 0, transpiration = 0, gpp = 0, stress = 0, n = 0;
    };
    Week first, last, after;
    run.run([&](const ForcingRecord& f) {
        Week* w = f.day < 159                   ? &first
                  : f.day >= 201 && f.day < 208 ? &last
                  : f.day >= 214                ? &after
                                                : nullptr;
        if (!w) return;
        w->soil += s.soil.evaporation / s._dt;
        w->transpiration += s.tree.interception.transpiration;
        w->gpp += s.tree.foliage.leaf.gross_production;
        w->stress = s.tree.foliage.leaf.water_stress;  // at the week's end
        w->n += 1;
    });
    for (Week* w : {&first, &last, &after}) {
        for (double* v : {&w->soil, &w->transpiration, &w->gpp}) *v /= w->n;
        std::printf(
            "soil evaporation %.2e, transpiration %.2e kg m-2 s-1, GPP %.2f umol m-2 s-1, "
            "stress factor %.2f\n",
            w->soil, w->transpiration, w->gpp, w->stress);
    }
    EXPECT_LT(last.soil, 0.5 * first.soil) << "the drying top layer resists evaporation";
    EXPECT_LT(last.stress, 0.5);
    EXPECT_LT(last.transpiration, 0.5 * first.transpiration);
    EXPECT_LT(last.gpp, 0.7 * first.gpp);
    EXPECT_GT(after.stress, 0.9) << "rain refills the root zone";
    EXPECT_GT(after.soil, 2 * last.soil);
    EXPECT_GT(after.transpiration, 2 * last.transpiration);
    EXPECT_GT(after.gpp, 1.4 * last.gpp);
}

}  // namespace
}  // namespace kelmora
