// The physics options on synthetic weather from tools/make_forcing.py: the energy
// bookkeeping of a whole year, the agreement of long and short time steps, and
// how often the 5 K bounds of the temperatures act.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "run/numbers.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::data_lines;
using test::TempDir;
using test::write_file;

// Writes the generator's forcing (half-hourly, seed 8) for `days` days from `first_day`.
std::string make_forcing(const TempDir& dir, int first_day, int days) {
    const std::string path = dir.file("forcing.txt");
    const std::string cmd = "/usr/bin/python3 '" KELM_SOURCE_DIR "/tools/make_forcing.py' " +
                            std::to_string(first_day) + " " + std::to_string(days) + " 30 8 -o '" +
                            path + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
}

// A whole run in the process, so that the clamp counts can be read afterwards.
struct SiteRun {
    TempDir dir;
    std::unique_ptr<Site> site = std::make_unique<Site>();

    SiteRun(const std::string& forcing, int type, int physics, int dt) {
        std::ostringstream par;
        par << "_type " << type << "\n_physics " << physics << "\n_dt " << dt << "\n";
        write_file(dir.file("site.par"), par.str());
        std::ostringstream console;
        const Failure failure = read_forcing(forcing, site->records);
        EXPECT_FALSE(failure) << *failure;
        EXPECT_TRUE(site->init(dir.str()) && site->run(console)) << site->error_text;
    }

    // Column `column` (counted from 0, day first) of every data line of `file`.
    std::vector<double> column(const std::string& file, size_t column) const {
        std::vector<double> values;
        std::vector<std::string_view> words;
        for (const std::string& line : data_lines(dir.file(file))) {
            split_words(line, true, words);
            values.push_back(leading_real(words.at(column)));
        }
        return values;
    }
};

double mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / v.size();
}

// Radiation entering the top of the tree layer and leaving it upward, the site's
// sensible and latent heat and the soil's net surface energy flux, as yearly means
// (W m-2), and what of the radiation none of them carries away.
struct Books {
    double in, out, h, le, soil;
    double residual() const { return in - out - (h + le) - soil; }
};

Books books(const SiteRun& r) {
    // Linear interpolation: a span's sub-steps average to the mean of its records.
    std::vector<double> in;
    const auto& rec = r.site->records;
    for (size_t i = 1; i < rec.size(); ++i) {
        in.push_back(0.5 * (rec[i - 1].sw_in + rec[i - 1].lw_in + rec[i].sw_in + rec[i].lw_in));
    }
    const std::vector<double> vis_up = r.column("tree.csv", 7);
    const std::vector<double> ir_up = r.column("tree.csv", 9);
    std::vector<double> out;
    for (size_t i = 0; i < vis_up.size(); ++i) out.push_back(vis_up[i] + ir_up[i]);
    return {mean(in), mean(out), mean(r.column("site.csv", 5)), mean(r.column("site.csv", 6)),
            mean(r.column("soil.csv", 3))};
}

// Share of the sub-steps (in per mille) in which the 5 K bounds of the foliage, the
// stems and the air node of each stepped layer acted.
std::string clamps(const SiteRun& r, double& worst) {
    const Site& s = *r.site;
    const double steps = (s.records.size() - 1) * 1800.0 / s._dt;
    std::ostringstream text;
    worst = 0;
    for (const Plant* p : {&s.tree, &s.shrub}) {
        if (p == &s.shrub && !s.has_shrub()) continue;
        for (int64_t n : {p->clamps.foliage, p->clamps.stem, p->clamps.air}) {
            text << " " << 1000 * n / steps;
            worst = std::max(worst, 1000 * n / steps);
        }
    }
    text << " | top soil layer " << 1000 * s.soil.surface_clamps / steps;
    return text.str();
}

// A year of both physics: the energy-conserving physics closes the books within
// 5 W m-2 and its bounds act rarely; the figures of _physics 0 are printed beside it.
void year_books(int type) {
    TempDir dir;
    const std::string forcing = make_forcing(dir, 1, 365);
    for (int physics : {1, 0}) {
        const SiteRun run(forcing, type, physics, 10);
        const Books b = books(run);
        double worst = 0;
        const std::string bounds = clamps(run, worst);
        std::printf(
            "_type %d _physics %d: in %.1f - up %.1f - (H %.1f + LE %.1f) - soil %.1f = "
            "residual %.1f W m-2; bounds acting per mille of sub-steps (foliage, stems, "
            "air):%s\n",
            type, physics, b.in, b.out, b.h, b.le, b.soil, b.residual(), bounds.c_str());
        if (physics == 1) {
            EXPECT_NEAR(b.residual(), 0, 5);
            EXPECT_LT(worst, 10) << "the bounds are a last guard";
            EXPECT_EQ(run.site->soil.surface_clamps, 0);
        }
    }
}

TEST(PhysicsOptions, EnergyBookkeepingOfAYearWithTrees) {
    year_books(0);
}

TEST(PhysicsOptions, EnergyBookkeepingOfAYearWithTreesAndShrubs) {
    year_books(1);
}

// Half-hourly site heat fluxes of a summer month with 60 s steps against 10 s steps.
TEST(PhysicsOptions, LongTimeStepsAgreeWithShortOnes) {
    TempDir dir;
    const std::string forcing = make_forcing(dir, 182, 30);
    for (int type : {0, 1}) {
        for (int physics : {1, 0}) {
            const SiteRun fine(forcing, type, physics, 10);
            const SiteRun coarse(forcing, type, physics, 60);
            double rmse[2] = {0, 0};
            for (size_t c : {0, 1}) {
                const std::vector<double> a = fine.column("site.csv", 5 + c);
                const std::vector<double> b = coarse.column("site.csv", 5 + c);
                ASSERT_EQ(a.size(), b.size());
                for (size_t i = 0; i < a.size(); ++i) rmse[c] += (a[i] - b[i]) * (a[i] - b[i]);
                rmse[c] = std::sqrt(rmse[c] / a.size());
            }
            std::printf("_type %d _physics %d: _dt 60 against _dt 10, RMSE H %.1f LE %.1f W m-2\n",
                        type, physics, rmse[0], rmse[1]);
            if (physics == 1) {
                EXPECT_LT(rmse[0], 15) << type;
                EXPECT_LT(rmse[1], 15) << type;
            }
        }
    }
}

}  // namespace
}  // namespace kelmora
