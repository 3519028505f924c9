// The water of the energy-conserving physics (_physics 1) on synthetic weather
// (tools/make_forcing.py, half-hourly, seed 8): the books of a year with a dry
// spell, and a drought under dry air that the soil surface and the stomata feel.
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

// A site of trees with `soil_par`, on `days` days of generated weather from
// `first_day` whose lines `edit` may change (day, VPD in kPa, rain in mm h-1),
// stepped in the process at `_dt` 60 (or `dt`); `each` sees the site after every sub-step.
void run_site(int first_day, int days, const std::function<void(int, double&, double&)>& edit,
              const std::string& soil_par,
              const std::function<void(const Site&, const ForcingRecord&)>& each, int dt = 60) {
    TempDir dir;
    const std::string path = dir.file("forcing.txt");
    std::ifstream in(make_forcing(dir.file("raw.txt"), first_day, days));
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (char& c : line) c = c == ',' ? ' ' : c;
        std::istringstream words(line);
        std::vector<double> v;
        for (double x; words >> x;) v.push_back(x);
        edit(static_cast<int>(v[0]), v[4], v[8]);
        for (size_t i = 0; i < v.size(); ++i) out << (i ? " " : "") << v[i];
        out << "\n";
    }
    write_file(path, out.str());
    write_file(dir.file("site.par"), "_physics 1\n_dt " + std::to_string(dt) + "\n");
    if (!soil_par.empty()) write_file(dir.file("soil.par"), soil_par);
    auto site = std::make_unique<Site>();
    ASSERT_FALSE(read_forcing(path, site->records));
    ASSERT_TRUE(site->init(dir.str())) << site->error_text;
    const std::vector<ForcingRecord>& r = site->records;
    for (size_t i = 1; i < r.size(); ++i) {
        for (int32_t m = 0; m < r[i].interval; m += site->_dt) {
            const ForcingRecord f = site->forcing(i, 0.5 * site->_dt + m);
            ASSERT_FALSE(site->substep(f));
            each(*site, f);
        }
    }
}

// Water in the soil's layers above the deepest (a fixed reservoir) and on the trees.
double held(const Site& s) {
    double w = s.tree.interception.store[0] + s.tree.interception.store[1];
    for (size_t i = 0; i + 1 < s.soil.layers(); ++i) w += s.soil.water[i];
    return w;
}

// No rain from June to mid-July. Rain = more water held + evaporation +
// transpiration + runoff + flow across the column's bottom, at one-minute steps
// and at the record interval.
void water_books(int dt) {
    double start = -1, rain = 0, out = 0, end = 0, drained = 0;
    const auto dry = [](int day, double&, double& p) { p = day >= 152 && day < 196 ? 0 : p; };
    run_site(
        1, 365, dry, "",
        [&](const Site& s, const ForcingRecord& f) {
            const Interception& w = s.tree.interception;
            const double gone = (w.evaporation[0] + w.evaporation[1] + w.transpiration) * s._dt +
                                s.soil.evaporation + s.soil.runoff;
            if (start < 0)
                start =
                    held(s) - f.precip_rate * s._dt + gone + s.soil.drained;  // before the first
            rain += f.precip_rate * s._dt;
            out += gone;
            end = held(s);
            drained = s.soil.drained;
        },
        dt);
    const double books = end - start + out + drained;
    std::printf(
        "_dt %d: rain %.1f, held %+.1f, evaporation, transpiration and runoff %.1f, drained %.1f "
        "kg m-2\n",
        dt, rain, end - start, out, drained);
    ASSERT_GT(rain, 100);
    EXPECT_NEAR(books, rain, 0.01 * rain) << "_dt " << dt;
}

TEST(WaterBooks, RainIsHeldEvaporatedTranspiredRunOffOrDrained) {
    for (int dt : {60, 1800}) water_books(dt);
}

// Eight weeks of summer without rain under air twice as dry, then three days of
// rain, over half a metre of roots in a soil on dry ground. Means over the
// drought's first and last week and the week after the rain; the stress factor
// at their ends.
TEST(WaterBooks, DroughtClosesTheSurfaceAndTheStomataAndRainReopensThem) {
    struct Week {
        double soil = 0, transpiration = 0, gpp = 0, stress = 0, n = 0;
    } first, last, after;
    const auto drought = [](int day, double& vpd, double& p) {
        vpd *= day < 208 ? 2 : 1;
        p = day < 208 ? 0 : day < 211 ? 3 : p;
    };
    run_site(152, 70, drought, "_zr 0.5\n_W0 0.25\n_Wd 0.25\n",
             [&](const Site& s, const ForcingRecord& f) {
                 Week* w = f.day < 159                   ? &first
                           : f.day >= 201 && f.day < 208 ? &last
                           : f.day >= 214                ? &after
                                                         : nullptr;
                 if (!w) return;
                 w->n += 1;
                 w->soil += (s.soil.evaporation / s._dt - w->soil) / w->n;
                 w->transpiration += (s.tree.interception.transpiration - w->transpiration) / w->n;
                 w->gpp += (s.tree.foliage.leaf.gross_production - w->gpp) / w->n;
                 w->stress = s.tree.foliage.leaf.water_stress;
             });
    for (const Week* w : {&first, &last, &after})
        std::printf("soil evaporation %.2e, transpiration %.2e kg m-2 s-1, GPP %.2f, stress %.2f\n",
                    w->soil, w->transpiration, w->gpp, w->stress);
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
