#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "leaf/foliage.h"
#include "run/forcing.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

const char* const kKeyLines =
    "Parameters (name, value, remark):\n"
    "_dynamic  0    ->carbon storage mode (0: static; 1: dynamic)\n"
    "_abs      0.8    ->absorptivity for PAR\n"
    "_refl     0.13    ->reflectivity for PAR\n"
    "_dim      0.1    ->typical leaf with (m)\n"
    "_sla      12    ->specific leaf area (m2Leaf kgC-1)\n"
    "_dmc      0.5    ->dry matter content (kgDry kgWet-1)\n"
    "_litter   0.1    ->litter carbon from foliage (kgC m-2)\n"
    "_rd25     1    ->litter decomposition rate at 25C (kgC kgC-1 yr-1)\n"
    "_erd      50    ->activation energy of litter decomposition (KJ mol-1)\n"
    "_rt       30    ->residence time/life expectance (day)\n";

// A site in a temporary directory whose first record is at noon of day 200, 17 degC.
struct FoliageFiles : test::SiteInTemp {
    ForcingRecord first;
    FoliageFiles() {
        first.day = 200;
        first.tk = 290.15;
    }
    bool init(Plant& p) { return p.foliage.init(first, site, p); }
    Foliage& tree() { return site.tree.foliage; }
    // A tree foliage file of the default lines with `extra` lines after them.
    void write_par(const std::string& extra) {
        test::write_file(path("tree.foliage.par"), std::string(kKeyLines) + extra);
    }
};

TEST(FoliageFiles, MissingParameterFilesHoldTheSeasonalCourse) {
    FoliageFiles f;
    ASSERT_TRUE(f.init(f.site.tree)) << f.site.error_text;
    ASSERT_TRUE(f.init(f.site.shrub)) << f.site.error_text;
    struct Day {
        int day;
        const char* tree;
        const char* shrub;
    };
    const Day days[] = {{1, "0.1", "0.1"},     {110, "0.1", "0.1"}, {111, "0.296667", "0.196667"},
                        {125, "3.05", "1.55"}, {140, "6", "3"},     {300, "6", "3"},
                        {315, "3.05", "1.55"}, {330, "0.1", "0.1"}, {365, "0.1", "0.1"}};
    for (const char* layer : {"tree", "shrub"}) {
        const std::string file = f.path(std::string(layer) + ".foliage.par");
        EXPECT_TRUE(test::read_file(file).starts_with(kKeyLines)) << layer;
        const auto lines = test::read_lines(file);
        ASSERT_EQ(lines.size(), 11u + 365u) << layer;
        for (const Day& d : days) {
            const std::string n = std::to_string(d.day);
            const std::string value = layer[0] == 't' ? d.tree : d.shrub;
            EXPECT_EQ(lines[10 + d.day], "_lai" + n + "     " + value + "    ->LAI on day " + n);
        }
    }
    EXPECT_EQ(test::read_lines(f.path("tree.foliage.csv")).size(), 12u) << "header lines only";
    EXPECT_DOUBLE_EQ(f.tree().carbon, 6.0 / 12);
    EXPECT_DOUBLE_EQ(f.site.shrub.foliage.carbon, 3.0 / 12);
    EXPECT_EQ(f.tree().temperature, 290.15);
    EXPECT_TRUE(std::filesystem::exists(f.path("tree.leaf.csv"))) << "the leaf is initialised";
}

TEST(FoliageFiles, CommasSeparateLikeBlanks) {
    FoliageFiles f;
    f.write_par("_sla,20\n_dim, 0.05,\n_lai200,1.2\n");
    ASSERT_TRUE(f.init(f.site.tree)) << f.site.error_text;
    EXPECT_EQ(f.tree()._sla, 20);
    EXPECT_EQ(f.tree()._dim, 0.05);
    EXPECT_EQ(f.tree().lai_of_day(200), 1.2);
    EXPECT_DOUBLE_EQ(f.tree().carbon, 1.2 / 20);
    EXPECT_EQ(f.tree().lai_of_day(199), 6) << "days the file does not name keep the course";
}

TEST(FoliageFiles, EachBadValueHasItsMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"_abs 1.0", ": Bad _abs value."},  {"_refl 0", ": Bad _refl value."},
        {"_dim 0", ": Bad _dim value."},    {"_sla -12", ": Bad _sla value."},
        {"_dmc 0", ": Bad _dmc value."},    {"_litter 0", ": Bad _litter value."},
        {"_rd25 -1", ": Bad _rd25 value."}, {"_erd 0", ": Bad _erd value."},
        {"_rt 0", ": Bad _rt value."},      {"_lai12 -0.5", ": Bad _lai value."},
        {"_lai 2", ": Bad _lai value."},    {"_lai0 2", ": Bad _lai value."},
        {"_lai366 2", ": Bad _lai value."}, {"_laix 2", ": Bad _lai value."},
        {"x_lai-4 1", ": Bad _lai value."}, {"_abs 0.9", ": _abs+_refl > 1."},
    };
    for (const auto& [line, message] : cases) {
        FoliageFiles f;
        f.write_par(std::string(line) + "\n");
        EXPECT_FALSE(f.init(f.site.tree)) << line;
        EXPECT_EQ(f.site.error_text, f.path("tree.foliage.par") + message) << line;
        EXPECT_FALSE(std::filesystem::exists(f.path("tree.foliage.csv"))) << line;
    }
    FoliageFiles ok;
    ok.write_par("_lai1 0\n_lai365 0\n_rd25 0\n_abs 0.5\n_refl 0.5\n");
    ASSERT_TRUE(ok.init(ok.site.tree)) << ok.site.error_text;
    EXPECT_EQ(ok.tree().lai_of_day(365), 0);
}

TEST(FoliageFiles, LeafFailureAndUnwritableParameterFile) {
    FoliageFiles f;
    test::write_file(f.path("tree.leaf.par"), "_g0 0\n");
    EXPECT_FALSE(f.init(f.site.tree));
    EXPECT_EQ(f.site.error_text, f.path("tree.leaf.par") + ": Bad leaf _g0 value.");

    FoliageFiles g;
    g.site.out_path = g.dir.str() + "/none/";
    EXPECT_FALSE(g.init(g.site.tree));
    EXPECT_EQ(g.site.error_text, "Failed to open " + g.site.out_path + "tree.foliage.par");
}

TEST(FoliageFiles, RestartFromTheLastLine) {
    FoliageFiles f;
    f.site._restart = 1;
    test::write_file(f.path("tree.foliage.csv"),
                     "# Day of year\n"
                     "199, 23, 30, 1, 1, 1,\n"
                     "200, 13, 0, 21.85, 0.3, 0.05,\n"
                     "# trailing header\n");
    ASSERT_TRUE(f.init(f.site.tree)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(f.tree().temperature, 295.0);
    EXPECT_EQ(f.tree().carbon, 0.3);
    EXPECT_EQ(f.tree().litter, 0.05);
    EXPECT_TRUE(test::data_lines(f.path("tree.foliage.csv")).empty()) << "written anew";

    for (const char* old : {"200, 13, 0, 21.85, 0.3\n", "# only headers\n", ""}) {
        FoliageFiles g;
        g.site._restart = 1;
        if (*old) test::write_file(g.path("tree.foliage.csv"), old);
        EXPECT_FALSE(g.init(g.site.tree)) << old;
        EXPECT_EQ(g.site.error_text, "Foliage: failed to restart.");
    }
}

TEST(FoliageFiles, ShrubRestartsOnlyWhereShrubsGrow) {
    FoliageFiles f;
    f.site._restart = 1;
    ASSERT_TRUE(f.init(f.site.shrub)) << "no shrub layer: a new start, " << f.site.error_text;
    EXPECT_DOUBLE_EQ(f.site.shrub.foliage.carbon, 3.0 / 12);
    EXPECT_TRUE(test::data_lines(f.path("shrub.foliage.csv")).empty());

    f.site._type = 1;
    EXPECT_FALSE(f.init(f.site.shrub));
    EXPECT_EQ(f.site.error_text, "Foliage: failed to restart.");
    test::write_file(f.path("shrub.foliage.csv"), "1, 0, 30, -2, 0.01, 0.4, 9\n");
    ASSERT_TRUE(f.init(f.site.shrub)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(f.site.shrub.foliage.temperature, 271.15);
    EXPECT_EQ(f.site.shrub.foliage.carbon, 0.01);
}

TEST(FoliageFiles, LineOfMeansAndSiteSums) {
    FoliageFiles f;
    ASSERT_TRUE(f.init(f.site.tree));
    ForcingRecord r = test::mild_air();
    r.substeps = 2;
    f.tree().sums = {43.7, 1, 0.2, 3, 1e-5, 2e-5, 300, 40, 50};
    f.site.resp_sum = 1;
    f.site.le_sum = 2;
    ASSERT_TRUE(f.tree().write_output(r, f.site));
    EXPECT_EQ(f.site.resp_sum, 4);
    EXPECT_EQ(f.site.le_sum, 52);
    EXPECT_EQ(test::data_lines(f.path("tree.foliage.csv")),
              std::vector<std::string>{"1, 0, 0, 21.85, 0.5, 0.1, 1.5, 5e-06, 1e-05, 150, 20, 25"});
}

// Carbon bookkeeping of one half-hour sub-step after the leaf calls (production 40,
// respiration 5) with the default course of leaf area.
struct Carbon {
    Site site;
    ForcingRecord record;
    static constexpr double kStep = 1800 * 1.2e-8;  // kgC per umol over the sub-step
    Carbon(int32_t dynamic = 0) {
        site._dt = 1800;
        site.soil._Ts = 298;
        site.soil._fw = 0.5;
        Foliage& f = foliage();
        for (int32_t d = 1; d <= 365; ++d) f._lai[d - 1] = Foliage::default_lai(d, 6.0);
        f._dynamic = dynamic;
        f.carbon = 0.4;
        f.litter = 0.2;
        f.leaf.gross_production = 40;
        f.leaf.dark_respiration = 5;
    }
    Foliage& foliage() { return site.tree.foliage; }
    void step(int32_t day) {
        record.day = day;
        foliage().update_carbon(record, site, site.tree);
    }
};

TEST(FoliageCarbon, StaticCarbonFollowsTheTable) {
    Carbon c;
    for (int32_t day : {1, 120, 315}) {
        c.step(day);
        EXPECT_DOUBLE_EQ(c.foliage().carbon, Foliage::default_lai(day, 6.0) / 12) << day;
        EXPECT_EQ(c.foliage().litter, 0.2);
        EXPECT_DOUBLE_EQ(c.foliage().decomposition, 1.0 * 0.2 * 0.5);
    }
    c.foliage().carbon = 0.4;
    c.foliage().refill_carbon(c.record);
    EXPECT_EQ(c.foliage().carbon, 0.4) << "refilled only when carbon has run out";
    c.foliage().carbon = 0;
    c.foliage().refill_carbon(c.record);
    EXPECT_DOUBLE_EQ(c.foliage().carbon, Foliage::default_lai(315, 6.0) / 12);
}

TEST(FoliageCarbon, DynamicGrowthAndLeafFall) {
    Carbon grow(1);
    grow.step(120);  // rising leaf area: no leaf fall
    EXPECT_DOUBLE_EQ(grow.foliage().decomposition, 0.1);
    EXPECT_DOUBLE_EQ(grow.foliage().litter, 0.2 - 0.1 * Carbon::kStep) << "less decomposition";
    EXPECT_DOUBLE_EQ(grow.foliage().carbon, 0.4 + 35 * 0.35 * Carbon::kStep) << "share of 35";

    Carbon fall(1);
    fall.site.tree._alloc1 = 1;  // shares are divided by their sum: 1 / 1.65
    fall.step(315);
    const double grown = 0.4 + 35 * (1 / 1.65) * Carbon::kStep;
    const double fraction = 1 - std::exp(std::log(0.01) * 1800 / (30 * 86400));
    EXPECT_DOUBLE_EQ(fall.foliage().carbon, grown * (1 - fraction));
    EXPECT_DOUBLE_EQ(fall.foliage().litter, 0.2 - 0.1 * Carbon::kStep + grown * fraction);
}

TEST(FoliageCarbon, TheYearWrapsRoundAtBothEnds) {
    struct Case {
        double lai1, lai365;
        int32_t day;
        bool falls;
    };
    const Case cases[] = {
        {0.1, 0.2, 1, true},
        {0.2, 0.1, 1, false},
        {0.1, 0.2, 365, true},
        {0.2, 0.1, 365, false},
    };
    for (const Case& k : cases) {
        Carbon c(1);
        c.foliage().leaf.gross_production = 0;  // a night: the foliage respires
        c.foliage()._lai[0] = k.lai1;
        c.foliage()._lai[364] = k.lai365;
        c.step(k.day);
        const double left = 0.4 - 5 * 0.35 * Carbon::kStep;
        if (k.falls) {
            EXPECT_LT(c.foliage().carbon, left) << k.day << " " << k.lai365;
        } else {
            EXPECT_DOUBLE_EQ(c.foliage().carbon, left) << k.day << " " << k.lai365;
        }
    }
}

}  // namespace
}  // namespace kelmora
