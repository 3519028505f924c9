// The fine and coarse root pools: parameters, rates, carbon update and output.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

struct RootSite {
    TempDir dir;
    Site site;

    RootSite() { site.out_path = dir.str() + "/"; }
    std::string path(const std::string& name) const { return site.out_path + name; }
};

TEST(RootParameters, FinePoolWritesButNeverTakesItsDeadCarbon) {
    RootSite r;
    write_file(r.path("root.fine.par"), "_dead 2\n_rt 3\n");
    write_file(r.path("root.coarse.par"), "_dead 0.25\n");
    ASSERT_TRUE(r.site.soil.fine.init(r.site)) << r.site.error_text;
    ASSERT_TRUE(r.site.soil.coarse.init(r.site)) << r.site.error_text;
    EXPECT_DOUBLE_EQ(r.site.soil.fine._dead, 0);
    EXPECT_DOUBLE_EQ(r.site.soil.fine._rt, 3);
    EXPECT_DOUBLE_EQ(r.site.soil.coarse._dead, 0.25);

    // Not even a negative value is checked in the fine pool's file.
    RootSite negative;
    write_file(negative.path("root.fine.par"), "_dead -1\n");
    EXPECT_TRUE(negative.site.soil.fine.init(negative.site)) << negative.site.error_text;
    EXPECT_DOUBLE_EQ(negative.site.soil.fine._dead, 0);
}

std::string root_outcome(bool coarse, const std::string& lines) {
    RootSite r;
    Root& root = coarse ? r.site.soil.coarse : r.site.soil.fine;
    const std::string path = r.path(coarse ? "root.coarse.par" : "root.fine.par");
    write_file(path, lines);
    if (root.init(r.site)) return "";
    EXPECT_EQ(r.site.error_text.rfind(path, 0), 0u) << r.site.error_text;
    return r.site.error_text.substr(path.size());
}

TEST(RootParameters, ChecksEachKey) {
    EXPECT_EQ(root_outcome(true, "_dead 0\n"), ": Bad _dead value.");
    EXPECT_EQ(root_outcome(false, "_life 0\n"), ": Bad _life value.");
    EXPECT_EQ(root_outcome(true, "_re25 -1\n"), ": Bad _re25 value.");
    EXPECT_EQ(root_outcome(true, "_ere 0\n"), ": Bad _ere value.");
    EXPECT_EQ(root_outcome(false, "_rd25 -0.5\n"), ": Bad _rd25 value.");
    EXPECT_EQ(root_outcome(false, "_erd 0\n"), ": Bad _erd value.");
    EXPECT_EQ(root_outcome(false, "_dmc 0\n"), ": Bad _dmc value.");
    EXPECT_EQ(root_outcome(true, "_rt 0\n"), ": Bad _rt value.");
    EXPECT_EQ(root_outcome(true, "_dynamic -7\n_re25 0\n_rd25,0\n"), "");
}

TEST(RootOutput, RestartTakesLiveAndDeadCarbon) {
    RootSite r;
    r.site._restart = 1;
    Root& fine = r.site.soil.fine;
    EXPECT_FALSE(fine.init(r.site));
    EXPECT_EQ(r.site.error_text, "Root: failed to restart.");
    write_file(r.path("root.fine.csv"), "# Day of year\n200, 13, 0, 1.75,\n");
    EXPECT_FALSE(fine.init(r.site));
    EXPECT_EQ(r.site.error_text, "Root: failed to restart.");
    write_file(r.path("root.fine.csv"), "# Day of year\n200, 13, 0, 1.75, 0.125, 3, 0\n");
    ASSERT_TRUE(fine.init(r.site)) << r.site.error_text;
    EXPECT_DOUBLE_EQ(fine._life, 1.75);
    EXPECT_DOUBLE_EQ(fine._dead, 0.125);
    EXPECT_TRUE(test::data_lines(r.path("root.fine.csv")).empty());
}

TEST(RootOutput, OutputThatCannotBeCreatedFails) {
    RootSite r;
    std::filesystem::create_directory(r.path("root.coarse.csv"));
    EXPECT_FALSE(r.site.soil.coarse.init(r.site));
    EXPECT_EQ(r.site.error_text, "Failed to open " + r.path("root.coarse.csv"));
}

TEST(RootRates, RespirationAndDecompositionAtTheReferenceTemperature) {
    Site site;
    site.soil._Ts = 298;
    site.soil._fw = 0.5;
    Root& fine = site.soil.fine;
    Root& coarse = site.soil.coarse;
    fine.compute_rates(site);
    coarse.compute_rates(site);
    EXPECT_DOUBLE_EQ(fine._resp, 2.25);
    EXPECT_DOUBLE_EQ(coarse._resp, 1.5);
    EXPECT_DOUBLE_EQ(fine._decomp, 0);  // no dead fine roots
    EXPECT_DOUBLE_EQ(coarse._decomp, 2 * 0.5 * 0.5);
    EXPECT_EQ(fine._turnover, 0);  // static pools do not turn over

    // Warmer soil respires faster.
    site.soil._Ts = 308;
    fine.compute_rates(site);
    EXPECT_DOUBLE_EQ(fine._resp, arrhenius(50, 308) * 2.25);
    EXPECT_GT(fine._resp, 2.25);
}

TEST(RootRates, DynamicTurnoverFraction) {
    Site site;
    site._dt = 3600;
    site.soil._Ts = 298;
    Root& fine = site.soil.fine;
    fine._dynamic = 1;
    fine.compute_rates(site);
    EXPECT_NEAR(100 * fine._turnover / fine._life, 0.0526, 0.00005);
    EXPECT_DOUBLE_EQ(fine._turnover, (1 - std::pow(0.01, 3600.0 / 31536000)) * 1.5);
}

// Total root carbon of both pools.
double root_carbon(const Soil& s) {
    return s.fine._life + s.fine._dead + s.coarse._life + s.coarse._dead;
}

TEST(RootCarbon, DynamicPoolsKeepTheirCarbonBooks) {
    for (int type : {0, 1}) {
        Site site;
        site._type = type;
        site._dt = 600;
        site.soil._Ts = 290;
        site.soil._fw = 0.8;
        site.tree.foliage.leaf.gross_production = 12;
        site.tree.foliage.leaf.dark_respiration = 2;
        site.shrub.foliage.leaf.gross_production = 5;
        site.shrub.foliage.leaf.dark_respiration = 1;
        Root& fine = site.soil.fine;
        Root& coarse = site.soil.coarse;
        fine._dynamic = coarse._dynamic = 1;
        fine.compute_rates(site);
        coarse.compute_rates(site);
        const double before = root_carbon(site.soil);
        const double fine_before = fine._life;
        const double coarse_dead_before = coarse._dead;
        EXPECT_TRUE(fine.update_carbon(site));
        EXPECT_TRUE(coarse.update_carbon(site));

        const double k = 600 * 1.2e-8;
        double fine_gain = 10 * 0.35;
        double coarse_gain = 10 * 0.05;
        if (type == 1) {
            fine_gain += 4 * 0.35;
            coarse_gain += 4 * 0.05;
        }
        const double losses = fine._resp + coarse._resp + fine._decomp + coarse._decomp;
        EXPECT_NEAR(root_carbon(site.soil) - before, (fine_gain + coarse_gain - losses) * k, 1e-15);
        EXPECT_NEAR(fine._life, fine_before - fine._resp * k - fine._turnover + fine_gain * k,
                    1e-15);
        // Coarse turnover feeds the coarse dead pool, fine turnover never the fine dead pool.
        EXPECT_NEAR(coarse._dead, coarse_dead_before - coarse._decomp * k + coarse._turnover,
                    1e-15);
        EXPECT_DOUBLE_EQ(fine._dead, 0);
        EXPECT_DOUBLE_EQ(fine.sums[0], fine._life);
        EXPECT_DOUBLE_EQ(coarse.sums[3], coarse._decomp);
    }
}

TEST(RootCarbon, StaticPoolsStayAsTheyAre) {
    Site site;
    site.soil._Ts = 300;
    site.tree.foliage.leaf.gross_production = 20;
    for (Root* r : {&site.soil.fine, &site.soil.coarse}) {
        r->compute_rates(site);
        EXPECT_TRUE(r->update_carbon(site));
    }
    EXPECT_DOUBLE_EQ(site.soil.fine._life, 1.5);
    EXPECT_DOUBLE_EQ(site.soil.coarse._life, 1);
    EXPECT_DOUBLE_EQ(site.soil.coarse._dead, 0.5);
    EXPECT_GT(site.soil.fine.sums[2], 0);
}

TEST(RootOutput, LineHandsRespirationAndDecompositionToTheSite) {
    RootSite r;
    Root& coarse = r.site.soil.coarse;
    ASSERT_TRUE(coarse.init(r.site));
    r.site.soil._Ts = 298;
    r.site.soil._fw = 1;
    for (int i = 0; i < 4; ++i) {
        coarse.compute_rates(r.site);
        coarse.update_carbon(r.site);
    }
    ForcingRecord rec;
    rec.day = 181;
    rec.hour = 2;
    rec.minute = 30;
    rec.substeps = 4;
    r.site.resp_sum = 1;
    ASSERT_TRUE(coarse.write_output(rec, r.site));
    EXPECT_DOUBLE_EQ(r.site.resp_sum, 1 + 4 * 1.5 + 4 * 1.0);
    EXPECT_EQ(test::data_lines(r.path("root.coarse.csv")),
              std::vector<std::string>{"181, 2, 30, 1, 0.5, 1.5, 1"});
    EXPECT_EQ(coarse.sums[2], 0);
}

}  // namespace
}  // namespace kelmora
