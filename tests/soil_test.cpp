// The soil column and its root pools at the start of a run: parameter files,
// layers, initial profiles, reference height, output files and restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/numbers.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
using test::write_file;

struct SoilSite : test::SiteInTemp {
    // Writes soil.par: a title line, then `lines`.
    void parameters(const std::string& lines) { write_file(path("soil.par"), "Title\n" + lines); }
    bool init() { return site.soil.init(test::mild_air(), site); }
};

std::string root_file(const std::string& life, const std::string& dead, const std::string& rt) {
    const std::string lines[] = {
        "Parameters (name, value, remark):",
        "_dynamic  0    ->carbon storage mode (0: static; 1: dynamic)",
        "_life     " + life + "    ->life root carbon storage (kgC m-2)",
        "_dead     " + dead + "    ->dead root carbon storage (kgC m-2)",
        "_re25     1.5    ->respiration rate of life root at T=0C (kgC kgC-1 yr-1)",
        "_ere      50    ->activation energy of _re25 (KJ mol-1)",
        "_rd25     2    ->decomposiion rate of dead root at T=0C (kgC kgC-1 yr-1)",
        "_erd      50    ->activation energy of _rd25 (KJ mol-1)",
        "_dmc      0.5    ->dry matter content (kgDry kgWet-1)",
        "_rt       " + rt + "    ->residence time/life expectance (year)",
    };
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

TEST(SoilParameters, MissingFilesAreWrittenWithTheDefaults) {
    SoilSite s;
    ASSERT_TRUE(s.init()) << s.site.error_text;
    std::string layers;
    for (int i = 0; i < 8; ++i) {
        const std::string n = std::to_string(i + 1);
        layers += "_dz" + n + "        " + real_text(0.05 * (1 << i)) +
                  "    ->thickness of layer " + n + " (m)\n";
    }
    EXPECT_EQ(read_file(s.path("soil.par")),
              "Parameters:\n"
              "_refl\t    0.1    ->surface reflectivity for PAR\n"
              "_rgh\t    0.01    ->surface roughness length (m)\n"
              "_fcv        1    ->structural factor for apparent heat capacity\n"
              "_fgh        1    ->structural factor for apparent thermal conductivity\n"
              "_b          6.6    ->exponent coeficient of water flow between layers\n"
              "_psie       -3.3    ->air entry water potential (J kg-1)\n"
              "_ks         7.2e-05    ->saturation hydraulic conductivity (kg s m-3)\n"
              "_porosity   0.53    ->volumetric porosity (m3 m-3)\n"
              "_zr         3    ->depth of root distribution (m)\n"
              "_kw         0.1    ->moisture coeffcient of decomposition\n"
              "_pw         2    ->moisture power coeffcient of decomposition\n"
              "_W0         0.32    ->initial water fraction in the surface layer (m3 m-3)\n"
              "_Wd         0.45    ->permanent water fraction in the deepest layer (m3 m-3)\n"
              "_Td         6    ->permanent temperature in the deepest layer (C)\n" +
                  layers);
    EXPECT_EQ(test::read_lines(s.path("soil.par")).size(), 23u);
    EXPECT_EQ(read_file(s.path("root.fine.par")), root_file("1.5", "0", "1"));
    EXPECT_EQ(read_file(s.path("root.coarse.par")), root_file("1", "0.5", "25"));
    EXPECT_DOUBLE_EQ(s.site.soil._Td, 279.15);
    // The first line is never interpreted; _Td is read in degrees Celsius.
    write_file(s.path("soil.par"), "_refl 0.3\n_rgh,0.02\n_Td 10 degrees\n");
    ASSERT_TRUE(s.init()) << s.site.error_text;
    EXPECT_DOUBLE_EQ(s.site.soil._refl, 0.1);
    EXPECT_DOUBLE_EQ(s.site.soil._rgh, 0.02);
    EXPECT_DOUBLE_EQ(s.site.soil._Td, 283.15);
}

// Each case: the file, its lines, and the message after the file's path ("" when
// the file is accepted).
TEST(SoilParameters, EveryBadValueIsReportedWithThePath) {
    const struct {
        const char* file;
        const char* lines;
        const char* message;
    } cases[] = {
        {"soil.par", "_refl 1\n", ": Bad _refl value."},
        {"soil.par", "_rgh 0\n", ": Bad _rgh value."},
        {"soil.par", "_fcv 0\n", ": Bad _fcv value."},
        {"soil.par", "_fgh -1\n", ": Bad _fgh value."},
        {"soil.par", "_b 0\n", ": Bad _b value."},
        {"soil.par", "_psie 0\n", ": Bad _psie value."},
        {"soil.par", "_ks 0\n", ": Bad _ks value."},
        {"soil.par", "_porosity 0\n", ": Bad _porosity value."},
        {"soil.par", "_zr 0\n", ": Bad _zr value."},
        {"soil.par", "_kw -0.1\n", ": Bad _kw value."},
        {"soil.par", "_pw -1\n", ": Bad _pw value."},
        {"soil.par", "_W0 0.02\n", ": Bad _W0 value."},  // below 5 % of 0.53
        {"soil.par", "_Wd 0.54\n", ": Bad _Wd value."},
        {"soil.par", "_Td -273.15\n", ": Bad _Td value."},
        {"soil.par", "_kw 0\n_pw 0\n_W0 0.53\n_Wd 0.027\n_Td -273\n", ""},
        // The water fractions are checked against the porosity read so far.
        {"soil.par", "_porosity 0.7\n_W0 0.6\n", ""},
        {"soil.par", "_W0 0.6\n_porosity 0.7\n", ": Bad _W0 value."},
        {"soil.par", "_porosity 0.7\n_Wd 0.7\n_W0 0.035\n", ""},
        {"soil.par", "_porosity 0.7\n_W0 0.034\n", ": Bad _W0 value."},
        // Thicknesses: positive, and at least two layers.
        {"soil.par", "_dz1 0.1\n_dz2 0\n_dz3 1\n", ": Bad _dz value."},
        {"soil.par", "_dz1 1e999\n_dz2 1\n", ": Bad _dz value."},
        {"soil.par", "_dz1 0.1\n", ": Bad _dz value."},
        {"soil.par", "_dz1 0.1\n_dz1 0.2\n", ""},
        {"root.coarse.par", "_dead 0\n", ": Bad _dead value."},
        {"root.fine.par", "_life 0\n", ": Bad _life value."},
        {"root.coarse.par", "_re25 -1\n", ": Bad _re25 value."},
        {"root.coarse.par", "_ere 0\n", ": Bad _ere value."},
        {"root.fine.par", "_rd25 -0.5\n", ": Bad _rd25 value."},
        {"root.fine.par", "_erd 0\n", ": Bad _erd value."},
        {"root.fine.par", "_dmc 0\n", ": Bad _dmc value."},
        {"root.coarse.par", "_rt 0\n", ": Bad _rt value."},
        {"root.coarse.par", "_dynamic -7\n_re25 0\n_rd25,0\n", ""},
        // The fine pool's dead carbon is never taken, so never checked.
        {"root.fine.par", "_dead -1\n", ""},
    };
    for (const auto& c : cases) {
        SoilSite s;
        const std::string path = s.path(c.file);
        write_file(path,
                   (c.file == std::string("soil.par") ? "Title\n" : "") + std::string(c.lines));
        const std::string expected = *c.message ? path + c.message : "";
        EXPECT_EQ(s.init() ? "" : s.site.error_text, expected) << c.file << ": " << c.lines;
    }
}

std::vector<double> percent(const Soil& soil) {
    std::vector<double> p;
    for (double share : soil._froot) p.push_back(100 * share);
    return p;
}

TEST(SoilLayers, RootSharesFollowTheExponentialProfile) {
    SoilSite s;
    ASSERT_TRUE(s.init()) << s.site.error_text;
    const std::vector<double> expected{7.4, 13.2, 21.0, 26.8, 22.4, 8.5, 0.8};
    const std::vector<double> got = percent(s.site.soil);
    ASSERT_EQ(got.size(), 8u);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(got[i], expected[i], 0.05) << i;
    EXPECT_NEAR(got[7], 0.006, 0.0005);

    SoilSite three;
    three.parameters("_dz1 0.1\n_dz7 0.3\n_dzx 1\n");
    ASSERT_TRUE(three.init()) << three.site.error_text;
    const std::vector<double> p = percent(three.site.soil);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[0], 16.1, 0.05);
    EXPECT_NEAR(p[1], 35.8, 0.05);
    EXPECT_NEAR(p[2], 48.1, 0.05);
    EXPECT_NEAR(p[0] + p[1] + p[2], 100, 1e-9);
}

TEST(SoilLayers, InitialProfilesRunLinearlyOverTheLayerIndex) {
    SoilSite s;
    ASSERT_TRUE(s.init());
    const Soil& d = s.site.soil;
    for (size_t i = 0; i < 8; ++i) {
        const double di = static_cast<double>(i);
        EXPECT_NEAR(d._temp[i], 293.15 - 2 * di, 1e-9) << i;
        EXPECT_NEAR(d._water[i] / 1000 / d._dz[i], 0.32 + 0.13 * di / 7, 1e-12) << i;
    }
    EXPECT_DOUBLE_EQ(d._Ts, 0.5 * (293.15 + 291.15));
    EXPECT_DOUBLE_EQ(d._fw, 1);
}

TEST(SoilLayers, ReferenceHeightStaysAboveTheDisplacementHeight) {
    // type, tree _zbot, shrub _zbot, _rgh, reference height
    const double cases[][5] = {
        {0, 0.05, 0.2, 0.01, 0.05}, {0, 0.0, 0.2, 0.01, 0.1}, {0, 0.0077, 0.2, 0.01, 0.1},
        {0, 0.5, 0.2, 1.0, 2.0},    {1, 5.0, 0.2, 0.01, 0.2}, {1, 5.0, 0.0, 0.01, 0.1},
        {1, 5.0, 0.2, 0.3, 0.6},
    };
    for (const auto& c : cases) {
        SoilSite s;
        s.site._type = static_cast<int32_t>(c[0]);
        s.site.tree._zbot = c[1];
        s.site.shrub._zbot = c[2];
        s.parameters("_rgh " + real_text(c[3]) + "\n");
        ASSERT_TRUE(s.init()) << s.site.error_text;
        EXPECT_DOUBLE_EQ(s.site.soil.aero.zrf, c[4]) << c[0] << " " << c[1] << " " << c[3];
    }
}

TEST(SoilOutput, RestartTakesEveryLayerAndRootPoolFromTheLastLines) {
    SoilSite s;
    s.site._restart = 1;
    // 2n + 4 = 20 words with eight layers; the line below lacks the deepest water.
    std::string line = "200, 13, 0, 55.5";
    for (int i = 0; i < 8; ++i) line += ", " + std::to_string(10 + i);
    for (int i = 0; i < 7; ++i) line += ", 0.3";
    const auto restart = [&](const std::string& soil, const char* fine, const char* coarse) {
        write_file(s.path("soil.csv"), "# header\n" + soil + "\n");
        write_file(s.path("root.fine.csv"), fine);
        write_file(s.path("root.coarse.csv"), coarse);
        return s.init();
    };
    const char* fine = "# Day of year\n1, 2, 3, 1.25, 0.5, 9, 9\n";
    const char* coarse = "1, 2, 3, 2.5, 0.75, 9, 9,\n";
    EXPECT_FALSE(restart(line, fine, coarse));
    EXPECT_EQ(s.site.error_text, "Soil: failed to restart.");
    EXPECT_FALSE(restart(line + ", 0.45,", "1, 2, 3, 1.25,\n", coarse));
    EXPECT_EQ(s.site.error_text, "Root: failed to restart.");

    ASSERT_TRUE(restart(line + ", 0.45,", fine, coarse)) << s.site.error_text;
    const Soil& soil = s.site.soil;
    for (size_t i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(soil._temp[i], 283.15 + i) << i;
    EXPECT_DOUBLE_EQ(soil._water[0], 15);  // 0.3 of the 0.05 m top layer
    EXPECT_DOUBLE_EQ(soil._water[7], 0.45 * 1000 * 6.4);
    EXPECT_DOUBLE_EQ(soil._Ts, 0.5 * (283.15 + 284.15));
    EXPECT_DOUBLE_EQ(soil.fine._life, 1.25);
    EXPECT_DOUBLE_EQ(soil.fine._dead, 0.5);
    EXPECT_DOUBLE_EQ(soil.coarse._life, 2.5);
    EXPECT_DOUBLE_EQ(soil.coarse._dead, 0.75);
    for (const char* f : {"soil.csv", "root.fine.csv", "root.coarse.csv"}) {
        EXPECT_TRUE(test::data_lines(s.path(f)).empty()) << f << " is written anew";
    }
}

}  // namespace
}  // namespace kelmora
