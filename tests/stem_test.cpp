#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

const char* const kTreeStemPar =
    "Parameters (name, value, remark):\n"
    "_dynamic  0    ->carbon storage mode (0: static; 1: dynamic)\n"
    "_abs      0.7    ->absorptivity of PAR\n"
    "_refl     0.3    ->reflectivity of PAR\n"
    "_dim      0.1    ->typical branch dimension (diameter) (m)\n"
    "_dmc      0.7    ->dry matter content (kgDry kgWet-1)\n"
    "_carbon   10    ->carbon (kg m-2)\n"
    "_ssa      0.1    ->specific stem area (m2 kg-1)\n"
    "_re25     0.4    ->respiration rate at T=0C (kgC kgC-1 yr-1)\n"
    "_ere      50    ->activation energy of _re25 (KJ mol-1)\n"
    "_litter   0.5    ->litter carbon (kgC m-2)\n"
    "_rd25     0.4    ->decomposiion rate of stem litter at T=0C (kgC kgC-1 yr-1)\n"
    "_erd      50    ->activation energy of _rd25 (KJ mol-1)\n"
    "_rt       25    ->residence time/life expectance (yr)\n";

const char* const kStemHeader =
    "# Day of year\n# Hour\n# Minute\n# Temperature (C)\n# Carbon (kgC m-2)\n"
    "# Litter (kgC m-2)\n# Stem respiration (umol m-2 -s)\n"
    "# Stem litter decomposition (umol m-2 -s)\n# Water evaporation (kg m-2 s-1)\n"
    "# Net absorbed radiation (W m-2)\n# Sensible heat flux (W m-2)\n"
    "# latent heat flux (W m-2)\n";

TEST(Stem, WritesTreeAndShrubDefaultsAndHeaders) {
    test::SiteInTemp f;
    ASSERT_TRUE(f.site.tree.stem.init(test::mild_air(), f.site, f.site.tree)) << f.site.error_text;
    EXPECT_EQ(read_file(f.path("tree.stem.par")), kTreeStemPar);
    EXPECT_EQ(read_file(f.path("tree.stem.csv")), kStemHeader);
    EXPECT_DOUBLE_EQ(f.site.tree.stem.temperature, 293.15);

    ASSERT_TRUE(f.site.shrub.stem.init(test::mild_air(), f.site, f.site.shrub))
        << f.site.error_text;
    std::string shrub = kTreeStemPar;
    shrub.replace(shrub.find("_carbon   10"), 12, "_carbon   1.5");
    shrub.replace(shrub.find("_ssa      0.1"), 13, "_ssa      0.666667");
    EXPECT_EQ(read_file(f.path("shrub.stem.par")), shrub);
    EXPECT_EQ(read_file(f.path("shrub.stem.csv")), kStemHeader);
    // The shrub then runs with the value its file holds.
    EXPECT_DOUBLE_EQ(f.site.shrub.stem._ssa, 0.666667);
    EXPECT_DOUBLE_EQ(f.site.shrub.stem._carbon, 1.5);
}

TEST(Stem, RejectsBadValuesWithTheirMessages) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"_abs 1", ": Bad _abs value."},
        {"_abs 0", ": Bad _abs value."},
        {"_refl 1", ": Bad _refl value."},
        {"_dim 0", ": Bad _dim value."},
        {"_dmc 0", ": Bad _dmc value."},
        {"_carbon 0", ": Bad _carbon value."},
        {"_ssa -1", ": Bad _ssa value."},
        {"_re25 -0.1", ": Bad _re25 value."},
        {"_ere 0", ": Bad _ere value."},
        {"_litter 0", ": Bad _litter value."},
        {"_rd25 -1", ": Bad _rd25 value."},
        {"_erd 0", ": Bad _erd value."},
        {"_rt 0", ": Bad _rt value."},
        {"_refl 0.31", ": _abs+_refl > 1."},
        {"_abs,0.8\n_refl 0.25", ": _abs+_refl > 1."},
    };
    for (const auto& [line, message] : cases) {
        test::SiteInTemp f;
        write_file(f.path("tree.stem.par"), line + "\n");
        EXPECT_FALSE(f.site.tree.stem.init(test::mild_air(), f.site, f.site.tree)) << line;
        EXPECT_EQ(f.site.error_text, f.path("tree.stem.par") + message) << line;
    }
}

TEST(Stem, AcceptsLimitsAndZeroRates) {
    test::SiteInTemp f;
    // The sum of exactly one, zero rates, and commas between key and value.
    write_file(f.path("tree.stem.par"), "_abs 0.7\n_refl,0.3\n_re25 0\n_rd25 0\n_dynamic 1\n");
    Stem& stem = f.site.tree.stem;
    ASSERT_TRUE(stem.init(test::mild_air(), f.site, f.site.tree)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(stem._refl, 0.3);
    stem.update_carbon(f.site, f.site.tree);
    EXPECT_EQ(stem.respiration, 0);
    EXPECT_EQ(stem.decomposition, 0);
}

TEST(Stem, RestartsFromTheLastLineAndRewritesTheFile) {
    test::SiteInTemp f;
    f.site._restart = 1;
    write_file(f.path("tree.stem.csv"), std::string(kStemHeader) +
                                            "1, 0, 10, 3, 1, 1, 1, 1, 1, 1, 1, 1\n"
                                            "1, 0, 30, 15.2, 9.5, 0.45, 0.1, 0.2, 0, 5, 1, 0\n");
    Stem& stem = f.site.tree.stem;
    ASSERT_TRUE(stem.init(test::mild_air(), f.site, f.site.tree)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(stem.temperature, 15.2 + 273.15);
    EXPECT_DOUBLE_EQ(stem._carbon, 9.5);
    EXPECT_DOUBLE_EQ(stem._litter, 0.45);
    EXPECT_EQ(read_file(f.path("tree.stem.csv")), kStemHeader);
}

TEST(Stem, RestartAndOpenFailures) {
    test::SiteInTemp f;
    f.site._restart = 1;
    Stem& stem = f.site.tree.stem;
    // No earlier file, then a line of five words.
    EXPECT_FALSE(stem.init(test::mild_air(), f.site, f.site.tree));
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");
    write_file(f.path("tree.stem.csv"), std::string(kStemHeader) + "1, 0, 30, 15.2, 9.5\n");
    EXPECT_FALSE(stem.init(test::mild_air(), f.site, f.site.tree));
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");

    f.site._restart = 0;
    const std::string missing = f.path("none/tree.stem.csv");
    EXPECT_FALSE(stem.open_output(f.site, missing));
    EXPECT_EQ(f.site.error_text, "Stem: Failed to open " + missing);
}

TEST(Stem, ShrubOfASiteWithoutShrubsStartsAnew) {
    test::SiteInTemp f;
    f.site._restart = 1;
    f.site._type = 0;
    Stem& shrub = f.site.shrub.stem;
    ASSERT_TRUE(shrub.init(test::mild_air(), f.site, f.site.shrub)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(shrub.temperature, 293.15);
    EXPECT_DOUBLE_EQ(shrub._carbon, 1.5);
    EXPECT_EQ(read_file(f.path("shrub.stem.csv")), kStemHeader);
    // The tree still restarts, and so does a shrub that is part of the site.
    EXPECT_FALSE(f.site.tree.stem.init(test::mild_air(), f.site, f.site.tree));
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");
    f.site._type = 1;
    Stem again;
    EXPECT_FALSE(again.init(test::mild_air(), f.site, f.site.shrub));
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");
}

TEST(Stem, StaticModeComputesRatesButKeepsPools) {
    Site site;
    site.soil._fw = 0.5;
    Stem stem;
    stem.temperature = 298;
    stem.update_carbon(site, site.tree);
    EXPECT_DOUBLE_EQ(stem.respiration, 0.4 * 10);
    EXPECT_DOUBLE_EQ(stem.decomposition, 0.4 * 0.5 * 0.5);
    EXPECT_EQ(stem._carbon, 10);
    EXPECT_EQ(stem._litter, 0.5);
}

TEST(Stem, TurnoverOfOneSubStep) {
    Site site;
    site._dt = 10;
    Stem stem;
    stem._dynamic = 1;
    stem._rt = 1;
    stem._re25 = 0;
    stem._rd25 = 0;
    stem.temperature = 298;
    stem.update_carbon(site, site.tree);
    const double moved = 10 - stem._carbon;
    EXPECT_NEAR(moved / 10, 1.46e-6, 0.005e-6);
    EXPECT_NEAR(stem._litter - 0.5, moved, 1e-15);
}

TEST(Stem, DynamicModeKeepsTheCarbonBooks) {
    Site site;
    site._dt = 10;
    Plant& plant = site.tree;
    plant._alloc1 = plant._alloc2 = plant._alloc3 = plant._alloc4 = 1;  // stem gets a quarter
    plant.foliage.leaf.gross_production = 10;
    plant.foliage.leaf.dark_respiration = 2;
    Stem stem;
    stem._dynamic = 1;
    stem.temperature = 298;
    stem.update_carbon(site, plant);
    EXPECT_DOUBLE_EQ(stem.respiration, 4);
    EXPECT_DOUBLE_EQ(stem.decomposition, 0.2);
    // Gain from assimilation minus the losses by respiration and decomposition.
    const double expected = (10 - 2) * 0.25 * 10 * 1.2e-8 - 10 * (4 + 0.2) * 1.2e-8;
    EXPECT_NEAR(stem._carbon + stem._litter - 10.5, expected, 1e-14);
    // Turnover takes its share from the carbon after growth.
    const double grown = 10 - 10 * 4 * 1.2e-8 + 8 * 0.25 * 10 * 1.2e-8;
    const double loss = (1 - std::exp(std::log(0.01) * 10 / (25 * 31536000.0))) * grown;
    EXPECT_NEAR(stem._carbon, grown - loss, 1e-14);
}

TEST(Stem, OutputLineHandsSumsToTheSite) {
    test::SiteInTemp f;
    Stem& stem = f.site.tree.stem;
    ASSERT_TRUE(stem.init(test::mild_air(), f.site, f.site.tree)) << f.site.error_text;
    stem.sums = {30, 20, 1, 8, 0.4, 2e-5, 100, 40, 60};
    f.site.resp_sum = 1;
    f.site.le_sum = 2;
    ForcingRecord r = test::mild_air();
    r.hour = 2;
    r.minute = 30;
    r.substeps = 2;
    ASSERT_TRUE(stem.write_output(r, f.site));
    EXPECT_DOUBLE_EQ(f.site.le_sum, 62);
    EXPECT_DOUBLE_EQ(f.site.resp_sum, 9.4);
    for (double s : stem.sums) EXPECT_EQ(s, 0);
    EXPECT_EQ(read_file(f.path("tree.stem.csv")),
              std::string(kStemHeader) + "1, 2, 30, 15, 10, 0.5, 4, 0.2, 1e-05, 50, 20, 30\n");
}

}  // namespace
}  // namespace kelmora
