// The soil column's parameter file, layers, initial profiles, aerodynamic set-up,
// output file and restart.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "run/numbers.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

ForcingRecord first_record() {
    ForcingRecord r;
    r.day = 180;
    r.ta = 20;
    r.tk = 293.15;
    r.pa = 101.3;
    r.rho_air = 1.2;
    return r;
}

struct SoilSite : test::SiteInTemp {
    ForcingRecord record = first_record();

    // Writes soil.par with a title line followed by `lines`.
    void parameters(const std::string& lines) { write_file(path("soil.par"), "Title\n" + lines); }
    bool init() { return site.soil.init(record, site); }
};

const char* const kDefaultSoilFile =
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
    "_Td         6    ->permanent temperature in the deepest layer (C)\n"
    "_dz1        0.05    ->thickness of layer 1 (m)\n"
    "_dz2        0.1    ->thickness of layer 2 (m)\n"
    "_dz3        0.2    ->thickness of layer 3 (m)\n"
    "_dz4        0.4    ->thickness of layer 4 (m)\n"
    "_dz5        0.8    ->thickness of layer 5 (m)\n"
    "_dz6        1.6    ->thickness of layer 6 (m)\n"
    "_dz7        3.2    ->thickness of layer 7 (m)\n"
    "_dz8        6.4    ->thickness of layer 8 (m)\n";

TEST(SoilParameters, MissingFilesAreWrittenWithTheDefaults) {
    SoilSite s;
    ASSERT_TRUE(s.init()) << s.site.error_text;
    EXPECT_EQ(read_file(s.path("soil.par")), kDefaultSoilFile);
    EXPECT_EQ(test::read_lines(s.path("soil.par")).size(), 23u);
    EXPECT_EQ(read_file(s.path("root.fine.par")),
              "Parameters (name, value, remark):\n"
              "_dynamic  0    ->carbon storage mode (0: static; 1: dynamic)\n"
              "_life     1.5    ->life root carbon storage (kgC m-2)\n"
              "_dead     0    ->dead root carbon storage (kgC m-2)\n"
              "_re25     1.5    ->respiration rate of life root at T=0C (kgC kgC-1 yr-1)\n"
              "_ere      50    ->activation energy of _re25 (KJ mol-1)\n"
              "_rd25     2    ->decomposiion rate of dead root at T=0C (kgC kgC-1 yr-1)\n"
              "_erd      50    ->activation energy of _rd25 (KJ mol-1)\n"
              "_dmc      0.5    ->dry matter content (kgDry kgWet-1)\n"
              "_rt       1    ->residence time/life expectance (year)\n");
    EXPECT_EQ(read_file(s.path("root.coarse.par")),
              "Parameters (name, value, remark):\n"
              "_dynamic  0    ->carbon storage mode (0: static; 1: dynamic)\n"
              "_life     1    ->life root carbon storage (kgC m-2)\n"
              "_dead     0.5    ->dead root carbon storage (kgC m-2)\n"
              "_re25     1.5    ->respiration rate of life root at T=0C (kgC kgC-1 yr-1)\n"
              "_ere      50    ->activation energy of _re25 (KJ mol-1)\n"
              "_rd25     2    ->decomposiion rate of dead root at T=0C (kgC kgC-1 yr-1)\n"
              "_erd      50    ->activation energy of _rd25 (KJ mol-1)\n"
              "_dmc      0.5    ->dry matter content (kgDry kgWet-1)\n"
              "_rt       25    ->residence time/life expectance (year)\n");
    EXPECT_EQ(s.site.soil.layers(), 8u);
    EXPECT_DOUBLE_EQ(s.site.soil._Td, 279.15);
    // A second start reads the written file back to the same column.
    Site again;
    again.out_path = s.site.out_path;
    ASSERT_TRUE(again.soil.init(s.record, again)) << again.error_text;
    EXPECT_EQ(again.soil._dz, s.site.soil._dz);
    EXPECT_DOUBLE_EQ(again.soil._Td, 279.15);
    EXPECT_DOUBLE_EQ(again.soil._ks, 0.000072);
}

// The path followed by the message of the first bad line, or "" when accepted.
std::string outcome(const std::string& lines) {
    SoilSite s;
    s.parameters(lines);
    if (s.init()) return "";
    const std::string prefix = s.path("soil.par");
    EXPECT_EQ(s.site.error_text.rfind(prefix, 0), 0u) << s.site.error_text;
    return s.site.error_text.substr(prefix.size());
}

TEST(SoilParameters, ChecksEachKey) {
    EXPECT_EQ(outcome("_refl 1\n"), ": Bad _refl value.");
    EXPECT_EQ(outcome("_refl 0\n"), ": Bad _refl value.");
    EXPECT_EQ(outcome("_rgh 0\n"), ": Bad _rgh value.");
    EXPECT_EQ(outcome("_fcv 0\n"), ": Bad _fcv value.");
    EXPECT_EQ(outcome("_fgh -1\n"), ": Bad _fgh value.");
    EXPECT_EQ(outcome("_b 0\n"), ": Bad _b value.");
    EXPECT_EQ(outcome("_psie 0\n"), ": Bad _psie value.");
    EXPECT_EQ(outcome("_ks 0\n"), ": Bad _ks value.");
    EXPECT_EQ(outcome("_porosity 0\n"), ": Bad _porosity value.");
    EXPECT_EQ(outcome("_zr 0\n"), ": Bad _zr value.");
    EXPECT_EQ(outcome("_kw -0.1\n"), ": Bad _kw value.");
    EXPECT_EQ(outcome("_pw -1\n"), ": Bad _pw value.");
    EXPECT_EQ(outcome("_W0 0.02\n"), ": Bad _W0 value.");  // below 0.05 * 0.53
    EXPECT_EQ(outcome("_Wd 0.54\n"), ": Bad _Wd value.");
    EXPECT_EQ(outcome("_Td -273.15\n"), ": Bad _Td value.");
    EXPECT_EQ(outcome("_kw 0\n_pw 0\n_W0 0.53\n_Wd 0.027\n_Td -273\n"), "");
}

TEST(SoilParameters, WaterFractionsAreCheckedAgainstThePorosityReadSoFar) {
    EXPECT_EQ(outcome("_porosity 0.7\n_W0 0.6\n"), "");
    EXPECT_EQ(outcome("_W0 0.6\n_porosity 0.7\n"), ": Bad _W0 value.");
    EXPECT_EQ(outcome("_porosity 0.7\n_Wd 0.7\n_W0 0.035\n"), "");
    EXPECT_EQ(outcome("_porosity 0.7\n_W0 0.034\n"), ": Bad _W0 value.");
}

TEST(SoilParameters, ThicknessesNeedTwoPositiveLayers) {
    EXPECT_EQ(outcome("_dz1 0.1\n_dz2 0\n_dz3 1\n"), ": Bad _dz value.");
    EXPECT_EQ(outcome("_dz1 0.1\n_dz2 -0.2\n"), ": Bad _dz value.");
    EXPECT_EQ(outcome("_dz1 0.1\n"), ": Bad _dz value.");
    EXPECT_EQ(outcome("_dz1 0.1\n_dz1 0.2\n"), "");
}

TEST(SoilParameters, FirstLineIsNeverInterpreted) {
    SoilSite s;
    write_file(s.path("soil.par"), "_refl 0.3\n_rgh,0.02\n_Td 10 degrees\n");
    ASSERT_TRUE(s.init()) << s.site.error_text;
    EXPECT_DOUBLE_EQ(s.site.soil._refl, 0.1);
    EXPECT_DOUBLE_EQ(s.site.soil._rgh, 0.02);
    EXPECT_DOUBLE_EQ(s.site.soil._Td, 283.15);
    EXPECT_EQ(s.site.soil.layers(), 8u);  // no "_dz" line: the default column
}

TEST(SoilParameters, UnwritableDirectoryFails) {
    SoilSite s;
    s.site.out_path = s.dir.str() + "/missing/";
    EXPECT_FALSE(s.init());
    EXPECT_EQ(s.site.error_text, "Failed to open " + s.site.out_path + "soil.par");
}

std::vector<double> percent(const std::vector<double>& shares) {
    std::vector<double> p;
    for (double v : shares) p.push_back(100 * v);
    return p;
}

TEST(SoilLayers, RootSharesFollowTheExponentialProfile) {
    SoilSite s;
    ASSERT_TRUE(s.init()) << s.site.error_text;
    const std::vector<double> expected{7.4, 13.2, 21.0, 26.8, 22.4, 8.5, 0.8};
    const std::vector<double> got = percent(s.site.soil._froot);
    ASSERT_EQ(got.size(), 8u);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(got[i], expected[i], 0.05) << i;
    EXPECT_NEAR(got[7], 0.006, 0.0005);

    SoilSite three;
    three.parameters("_dz1 0.1\n_dz7 0.3\n_dzx 1\n");
    ASSERT_TRUE(three.init()) << three.site.error_text;
    const std::vector<double> p = percent(three.site.soil._froot);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_NEAR(p[0], 16.1, 0.05);
    EXPECT_NEAR(p[1], 35.8, 0.05);
    EXPECT_NEAR(p[2], 48.1, 0.05);
    EXPECT_NEAR(p[0] + p[1] + p[2], 100, 1e-9);
}

TEST(SoilLayers, InitialProfilesRunOverTheLayerIndex) {
    SoilSite two;
    two.parameters("_dz1 0.1\n_dz2 0.5\n");
    ASSERT_TRUE(two.init()) << two.site.error_text;
    const Soil& soil = two.site.soil;
    EXPECT_DOUBLE_EQ(soil._temp[0], 293.15);
    EXPECT_DOUBLE_EQ(soil._temp[1], 279.15);
    EXPECT_DOUBLE_EQ(soil._Ts, 0.5 * (293.15 + 279.15));
    EXPECT_DOUBLE_EQ(soil._water[0], 320 * 0.1);
    EXPECT_DOUBLE_EQ(soil._water[1], 450 * 0.5);

    SoilSite s;
    ASSERT_TRUE(s.init());
    const Soil& d = s.site.soil;
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_NEAR(d._temp[i], 293.15 - 2.0 * static_cast<double>(i), 1e-9) << i;
        const double fraction = d._water[i] / 1000 / d._dz[i];
        EXPECT_NEAR(fraction, 0.32 + (0.45 - 0.32) * static_cast<double>(i) / 7, 1e-12) << i;
    }
    EXPECT_DOUBLE_EQ(d._fw, 1);
    EXPECT_EQ(d._temp_sum, std::vector<double>(8, 0.0));
}

double reference_height(int type, double tree_zbot, double shrub_zbot, double rgh) {
    SoilSite s;
    s.site._type = type;
    s.site.tree._zbot = tree_zbot;
    s.site.shrub._zbot = shrub_zbot;
    s.parameters("_rgh " + real_text(rgh) + "\n");
    EXPECT_TRUE(s.init()) << s.site.error_text;
    return s.site.soil.aero._zrf;
}

TEST(SoilLayers, ReferenceHeightStaysAboveTheDisplacementHeight) {
    EXPECT_DOUBLE_EQ(reference_height(0, 0.05, 0.2, 0.01), 0.05);
    EXPECT_DOUBLE_EQ(reference_height(0, 0.0, 0.2, 0.01), 0.1);
    EXPECT_DOUBLE_EQ(reference_height(0, 0.0077, 0.2, 0.01), 0.1);  // at 0.77 * _rgh
    EXPECT_DOUBLE_EQ(reference_height(0, 0.5, 0.2, 1.0), 2.0);
    EXPECT_DOUBLE_EQ(reference_height(1, 5.0, 0.2, 0.01), 0.2);
    EXPECT_DOUBLE_EQ(reference_height(1, 5.0, 0.0, 0.01), 0.1);
    EXPECT_DOUBLE_EQ(reference_height(1, 5.0, 0.2, 0.3), 0.6);
}

TEST(SoilOutput, HeaderNamesTheLayerCount) {
    SoilSite s;
    s.parameters("_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
    ASSERT_TRUE(s.init());
    EXPECT_EQ(read_file(s.path("soil.csv")),
              "# Day of year\n# Hour\n# Minute\n# Net surface energy flux (W m-2)\n"
              "# 3 columns of temperature (C)\n# 3 columns of water content (m3 m-3)\n");
    EXPECT_EQ(read_file(s.path("root.fine.csv")),
              "# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n"
              "# Dead root carbon (kgC m-2)\n# Respiration (umol m-2 s-2)\n"
              "# Decomposition (umol m-2 s-2)\n");
    EXPECT_EQ(read_file(s.path("root.coarse.csv")), read_file(s.path("root.fine.csv")));
}

TEST(SoilOutput, RestartTakesEveryLayerFromTheLastLine) {
    SoilSite s;
    s.site._restart = 1;
    EXPECT_FALSE(s.init());
    EXPECT_EQ(s.site.error_text, "Soil: failed to restart.");

    // 2n + 4 = 20 words are needed with eight layers.
    std::string line = "200, 13, 0, 55.5";
    for (int i = 0; i < 8; ++i) line += ", " + std::to_string(10 + i);
    for (int i = 0; i < 7; ++i) line += ", 0.3";
    write_file(s.path("soil.csv"), "# header\n" + line + "\n# trailing header\n");
    EXPECT_FALSE(s.init());
    EXPECT_EQ(s.site.error_text, "Soil: failed to restart.");

    write_file(s.path("soil.csv"), "# header\n" + line + ", 0.45,\n");
    write_file(s.path("root.fine.csv"), "1, 2, 3, 1.25, 0.5, 9, 9\n");
    write_file(s.path("root.coarse.csv"), "1, 2, 3, 2.5, 0.75, 9, 9\n");
    ASSERT_TRUE(s.init()) << s.site.error_text;
    const Soil& soil = s.site.soil;
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(soil._temp[i], 10.0 + static_cast<double>(i) + 273.15) << i;
    }
    EXPECT_DOUBLE_EQ(soil._water[0], 15);  // 0.3 of the 0.05 m top layer
    EXPECT_DOUBLE_EQ(soil._water[7], 0.45 * 1000 * 6.4);
    EXPECT_DOUBLE_EQ(soil._Ts, 0.5 * (283.15 + 284.15));
    EXPECT_DOUBLE_EQ(soil.fine._life, 1.25);
    EXPECT_DOUBLE_EQ(soil.fine._dead, 0.5);
    EXPECT_DOUBLE_EQ(soil.coarse._life, 2.5);
    EXPECT_DOUBLE_EQ(soil.coarse._dead, 0.75);
    // The file is written anew from its headers.
    EXPECT_TRUE(test::data_lines(s.path("soil.csv")).empty());
}

TEST(SoilOutput, OutputThatCannotBeCreatedFails) {
    SoilSite s;
    std::filesystem::create_directory(s.path("soil.csv"));
    EXPECT_FALSE(s.init());
    EXPECT_EQ(s.site.error_text, "Failed to open " + s.path("soil.csv"));
}

}  // namespace
}  // namespace kelmora
