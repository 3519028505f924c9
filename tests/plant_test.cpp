#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::data_lines;
using test::read_file;
using test::write_file;

const char* const kTreePar =
    "Parameters (name, value, remark):\n"
    "_ztop   20    ->height of foliage top (m)\n"
    "_zbot   5    ->height of foliage bottom (m)\n"
    "_pai    0.65    ->plant area index (patchness) in low growth season\n"
    "_fpr    1    ->structural factor for rain interception\n"
    "_fem    1    ->structural factor for emissivity\n"
    "_alloc1  0.35    ->carbon allocation to folliage (fraction)\n"
    "_alloc2  0.25    ->carbon allocation to stem (fraction)\n"
    "_alloc3  0.35    ->carbon allocation to fine root (fraction)\n"
    "_alloc4  0.05    ->carbon allocation to coarse root (fraction)\n";

bool init(test::SiteInTemp& f, Plant& p) {
    return p.init(test::mild_air(), f.site);
}

// Reads `text` as the tree's parameter file; the error text, empty when accepted.
std::string read_tree(const std::string& text) {
    test::SiteInTemp f;
    write_file(f.path("tree.par"), text);
    if (f.site.tree.read_parameters(f.site, f.path("tree.par"))) return "";
    const std::string& e = f.site.error_text;
    return e.starts_with(f.path("tree.par")) ? e.substr(f.path("tree.par").size()) : e;
}

TEST(Plant, WritesTreeAndShrubDefaultsAndHeaders) {
    test::SiteInTemp f;
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    ASSERT_TRUE(init(f, f.site.shrub)) << f.site.error_text;
    EXPECT_EQ(read_file(f.path("tree.par")), kTreePar);
    std::string shrub = kTreePar;
    shrub.replace(shrub.find("_ztop   20"), 10, "_ztop   1.5");
    shrub.replace(shrub.find("_zbot   5"), 9, "_zbot   0.2");
    EXPECT_EQ(read_file(f.path("shrub.par")), shrub);
    EXPECT_EQ(test::read_lines(f.path("shrub.csv")).size(), 10u) << "header lines only";
}

TEST(Plant, BadValuesThenChecksAcrossKeys) {
    const std::pair<const char*, const char*> cases[] = {
        {"_ztop 0.99", ": Bad _ztop value."},
        {"_zbot -0.1", ": Bad _zbot value."},
        {"_pai 0", ": Bad _pai value."},
        {"_pai 1.01", ": Bad _pai value."},
        {"_fpr 0", ": Bad _fpr value."},
        {"_fem -1", ": Bad _fem value."},
        {"_alloc1 -0.1", ": Bad _alloc1 value."},
        {"_alloc2 -1", ": Bad _alloc2 value."},
        {"_alloc3 -1", ": Bad _alloc3 value."},
        {"_alloc4 -1e-9", ": Bad _alloc4 value."},
        {"_zbot 20", "Bad plant height data (_zbot>=_ztop)."},
        {"_ztop 3\n_zbot 3.5", "Bad plant height data (_zbot>=_ztop)."},
        {"_alloc1 0\n_alloc2 0\n_alloc3 0\n_alloc4 0", "Bad allocation values."},
        {"_zbot 20\n_alloc1 0\n_alloc2 0\n_alloc3 0\n_alloc4 0",
         "Bad plant height data (_zbot>=_ztop)."},
        {"_zbot 0\n_ztop 1\n_pai 1", ""},
        // White space only: a comma glued to the key hides the entry.
        {"_pai, 0\n_fpr 0.5,\n_fem\t2 words", ""},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(read_tree(std::string(text) + "\n"), message) << text;
    }
    test::SiteInTemp f;
    write_file(f.path("tree.par"), "_alloc1 1\n_alloc2 1\n_alloc3 1\n_alloc4 1\n");
    Plant& p = f.site.tree;
    ASSERT_TRUE(p.read_parameters(f.site, f.path("tree.par")));
    for (double a : {p._alloc1, p._alloc2, p._alloc3, p._alloc4}) EXPECT_EQ(a, 0.25);
    const std::string nowhere = f.path("none/tree.par");
    EXPECT_FALSE(p.read_parameters(f.site, nowhere));
    EXPECT_EQ(f.site.error_text, "Failed to open " + nowhere + ".");
}

TEST(Plant, HeightChecksAgainstTheLayerAbove) {
    struct Case {
        const char* tree;
        bool with_shrub;
        const char* message;  // empty: accepted
    };
    const Case cases[] = {
        {"_ztop 30\n", false, ""},  // top at the reference height
        {"_ztop 30.01\n", false, "Tree top above site reference height."},
        {"_zbot 1.5\n", true, ""},  // shrub top at the tree's foliage bottom
        {"_zbot 1.49\n", true, "Shrub top above tree foliage bottem."},
    };
    for (const Case& c : cases) {
        test::SiteInTemp f;  // the shrub is checked even when the site has none
        write_file(f.path("tree.par"), c.tree);
        bool ok = init(f, f.site.tree);
        if (ok && c.with_shrub) ok = init(f, f.site.shrub);
        EXPECT_EQ(ok ? "" : f.site.error_text, c.message) << c.tree;
    }
}

TEST(Plant, InitialInfraredSeesTheStartingAreas) {
    test::SiteInTemp f;
    write_file(f.path("tree.stem.par"), "_carbon 4\n");  // sai 0.4 once the stem has read it
    Plant& p = f.site.tree;
    ASSERT_TRUE(init(f, p)) << f.site.error_text;
    const double black = 5.6697e-8 * std::pow(293.15, 4);
    const double fc = p.cover_fraction();
    EXPECT_DOUBLE_EQ(p.radiation.ir_out_down, black * (1 - std::exp(-0.5 * fc * 0.4)));
    EXPECT_DOUBLE_EQ(p.radiation.ir_out_up, black * (1 - std::exp(-0.5 * fc * p.lai())));
}

TEST(Plant, RestartsTheAirNode) {
    test::SiteInTemp f;
    f.site._restart = 1;
    Plant& p = f.site.tree;
    const std::string csv = f.path("tree.csv");
    write_file(csv, "# Day\n1, 0, 30, 15.2, 0.008, 3, 4, 5, 6, 7,\n\n");
    ASSERT_TRUE(p.open_output(f.site, csv)) << f.site.error_text;
    EXPECT_DOUBLE_EQ(p.t12, 288.35);
    EXPECT_DOUBLE_EQ(p.q12, 0.008);
    EXPECT_TRUE(data_lines(csv).empty()) << "written anew";

    write_file(csv, "1, 0, 30, 15.2,\n");
    for (const std::string& path : {csv, f.path("absent.csv")}) {
        EXPECT_FALSE(p.open_output(f.site, path));
        EXPECT_EQ(f.site.error_text, "Plant: failed to restart.");
    }
    f.site._restart = 0;
    const std::string nowhere = f.path("none/tree.csv");
    EXPECT_FALSE(p.open_output(f.site, nowhere));
    EXPECT_EQ(f.site.error_text, "Failed to open " + nowhere + ".");
}

TEST(Plant, ShrubRestartsOnlyWhenTheSiteHasShrubs) {
    test::SiteInTemp f;
    f.site._restart = 1;
    Plant& shrub = f.site.shrub;
    ASSERT_TRUE(init(f, shrub)) << f.site.error_text;
    EXPECT_EQ(shrub.t12, 293.15);
    EXPECT_TRUE(data_lines(f.path("shrub.csv")).empty());
    EXPECT_TRUE(data_lines(f.path("shrub.stem.csv")).empty());
    f.site._type = 1;
    EXPECT_FALSE(init(f, shrub));
    EXPECT_EQ(f.site.error_text, "Plant: failed to restart.");
}

TEST(Plant, OutputLinesAndSiteSums) {
    test::SiteInTemp f;
    ASSERT_TRUE(init(f, f.site.tree)) << f.site.error_text;
    ASSERT_TRUE(init(f, f.site.shrub)) << f.site.error_text;
    ForcingRecord r = test::mild_air();
    r.substeps = 4;
    f.site.h_sum = 1;
    for (Plant* p : {&f.site.tree, &f.site.shrub}) {
        p->sums = {80, 0.032, 400, 40, 8, 1200, 1600};
        p->stem.sums = {};
        p->stem.sums[8] = 4;
        ASSERT_TRUE(p->write_output(r, f.site)) << f.site.error_text;
        EXPECT_EQ(data_lines(p->name + ".csv"),
                  std::vector<std::string>{"1, 0, 0, 20, 0.008, 100, 10, 2, 300, 400"});
        EXPECT_EQ(data_lines(p->stem.name + ".csv").size(), 1u);
    }
    EXPECT_EQ(f.site.h_sum, 401) << "only the tree's sensible heat reaches the site";
    EXPECT_EQ(f.site.le_sum, 8);
}

}  // namespace
}  // namespace kelmora
