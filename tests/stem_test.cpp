#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
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

bool init(test::SiteInTemp& f, Plant& p) {
    return p.stem.init(test::mild_air(), f.site, p);
}

TEST(Stem, WritesTreeAndShrubDefaultsAndHeaders) {
    test::SiteInTemp f;
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    ASSERT_TRUE(init(f, f.site.shrub)) << f.site.error_text;
    EXPECT_EQ(read_file(f.path("tree.stem.par")), kTreeStemPar);
    std::string shrub = kTreeStemPar;
    shrub.replace(shrub.find("_carbon   10"), 12, "_carbon   1.5");
    shrub.replace(shrub.find("_ssa      0.1"), 13, "_ssa      0.666667");
    EXPECT_EQ(read_file(f.path("shrub.stem.par")), shrub);
    EXPECT_EQ(test::read_lines(f.path("tree.stem.csv")).size(), 12u) << "header lines only";
    EXPECT_DOUBLE_EQ(f.site.shrub.stem._ssa, 0.666667) << "the shrub runs with its file's value";
}

TEST(Stem, BadValuesAndTheSumCheck) {
    const std::pair<const char*, const char*> cases[] = {
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
        write_file(f.path("tree.stem.par"), std::string(line) + "\n");
        EXPECT_FALSE(init(f, f.site.tree)) << line;
        EXPECT_EQ(f.site.error_text, f.path("tree.stem.par") + message) << line;
    }
    // A sum of exactly one, zero rates, and a comma between key and value.
    test::SiteInTemp f;
    write_file(f.path("tree.stem.par"), "_abs 0.7\n_refl,0.3\n_re25 0\n_rd25 0\n");
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(f.site.tree.stem._refl, 0.3);
}

TEST(Stem, RestartFromTheLastLineAndItsFailures) {
    test::SiteInTemp f;
    f.site._restart = 1;
    Stem& stem = f.site.tree.stem;
    EXPECT_FALSE(init(f, f.site.tree)) << "no earlier file";
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");
    write_file(f.path("tree.stem.csv"), "# Day\n1, 0, 30, 15.2, 9.5\n");
    EXPECT_FALSE(init(f, f.site.tree)) << "a line of five words";
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");

    write_file(f.path("tree.stem.csv"), std::string("# Day\n") +
                                            "1, 0, 10, 3, 1, 1, 1, 1, 1, 1, 1, 1,\n"
                                            "1, 0, 30, 15.2, 9.5, 0.45, 0.1, 0.2, 0, 5, 1, 0,\n");
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(stem.temperature, 15.2 + 273.15);
    EXPECT_DOUBLE_EQ(stem._carbon, 9.5);
    EXPECT_DOUBLE_EQ(stem._litter, 0.45);
    EXPECT_TRUE(test::data_lines(f.path("tree.stem.csv")).empty()) << "written anew";

    f.site._restart = 0;
    const std::string missing = f.path("none/tree.stem.csv");
    EXPECT_FALSE(stem.open_output(f.site, missing));
    EXPECT_EQ(f.site.error_text, "Stem: Failed to open " + missing);
}

TEST(Stem, ShrubOfASiteWithoutShrubsStartsAnew) {
    test::SiteInTemp f;
    f.site._restart = 1;
    ASSERT_TRUE(init(f, f.site.shrub)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(f.site.shrub.stem._carbon, 1.5);
    EXPECT_TRUE(test::data_lines(f.path("shrub.stem.csv")).empty());
    f.site._type = 1;
    Stem again;
    EXPECT_FALSE(again.init(test::mild_air(), f.site, f.site.shrub));
    EXPECT_EQ(f.site.error_text, "Stem: failed restart.");
}

TEST(Stem, CarbonUpdateInBothModes) {
    Site site;
    site._dt = 10;
    site.soil._fw = 0.5;
    Stem still;
    still.temperature = 298;
    still.update_carbon(site, site.tree);
    EXPECT_DOUBLE_EQ(still.respiration, 0.4 * 10);
    EXPECT_DOUBLE_EQ(still.decomposition, 0.4 * 0.5 * 0.5);
    EXPECT_EQ(still._carbon, 10) << "the static pools stay";
    EXPECT_EQ(still._litter, 0.5);

    Stem turnover;  // turnover alone: _rt 1 year, no respiration or decomposition
    turnover._dynamic = 1;
    turnover._rt = 1;
    turnover._re25 = turnover._rd25 = 0;
    turnover.update_carbon(site, site.tree);
    const double moved = 10 - turnover._carbon;
    EXPECT_NEAR(moved / 10, 1.46e-6, 0.005e-6);
    EXPECT_NEAR(turnover._litter - 0.5, moved, 1e-15);

    Plant& plant = site.tree;
    plant._alloc1 = plant._alloc2 = plant._alloc3 = plant._alloc4 = 1;  // stem gets a quarter
    plant.foliage.leaf.gross_production = 10;
    plant.foliage.leaf.dark_respiration = 2;
    site.soil._fw = 1;
    Stem growing;
    growing._dynamic = 1;
    growing.temperature = 298;
    growing.update_carbon(site, plant);
    // Gain from assimilation less respiration and decomposition; turnover only moves carbon.
    const double expected = (10 - 2) * 0.25 * 10 * 1.2e-8 - 10 * (4 + 0.2) * 1.2e-8;
    EXPECT_NEAR(growing._carbon + growing._litter - 10.5, expected, 1e-14);
    EXPECT_LT(growing._carbon, 10 + 8 * 0.25 * 10 * 1.2e-8 - 10 * 4 * 1.2e-8);
}

TEST(Stem, OutputLineHandsSumsToTheSite) {
    test::SiteInTemp f;
    Stem& stem = f.site.tree.stem;
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    stem.sums = {30, 20, 1, 8, 0.4, 2e-5, 100, 40, 60};
    f.site.resp_sum = 1;
    f.site.le_sum = 2;
    ForcingRecord r = test::mild_air();
    r.substeps = 2;
    ASSERT_TRUE(stem.write_output(r, f.site));
    EXPECT_DOUBLE_EQ(f.site.le_sum, 62);
    EXPECT_DOUBLE_EQ(f.site.resp_sum, 9.4);
    EXPECT_EQ(test::data_lines(f.path("tree.stem.csv")),
              std::vector<std::string>{"1, 0, 0, 15, 10, 0.5, 4, 0.2, 1e-05, 50, 20, 30"});
}

}  // namespace
}  // namespace kelmora
