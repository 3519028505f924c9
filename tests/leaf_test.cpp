#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "leaf/leaf.h"
#include "run/forcing.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

// Within half a unit of the fourth significant figure of `expected`.
void expect_4sf(double actual, double expected, const char* what) {
    const double digit = std::pow(10.0, std::floor(std::log10(std::fabs(expected))) - 3);
    EXPECT_NEAR(actual, expected, 0.5 * digit) << what;
}

// The day of the worked example: LAI 6 at 298 K under 400 W m-2 and 400 umol mol-1.
struct LeafCase {
    Site site;
    ForcingRecord record;

    LeafCase() {
        Plant& p = site.tree;
        p.foliage.temperature = 298;
        p.foliage.carbon = 0.5;
        p.foliage._sla = 12;
        p.foliage._dim = 0.1;
        p.aero.u12 = 1.5;
        p.aero.rho = 1.2;
        p.radiation.vis_abs_down = 150;
        p.radiation.vis_abs_up = 30;
        record.ta = 24.85;
        record.sw_in = 400;
        record.co2 = 400;
        record.vpd = 1.0;
        record.rh = 0.6;
        record.rho_air = 1.2;
    }
    Leaf& leaf() { return site.tree.foliage.leaf; }
    bool call(int stream) { return leaf().iterate(record, site, site.tree, stream); }
    bool both() { return call(1) && call(0); }
    void darken() { site.tree.radiation.vis_abs_down = site.tree.radiation.vis_abs_up = 0; }
};

TEST(LeafIterate, WorkedExampleOfBothStreams) {
    LeafCase c;
    ASSERT_TRUE(c.call(1));
    expect_4sf(c.leaf().gross_production, 10.45, "A of the upward stream");
    for (double s : c.leaf().sums) EXPECT_EQ(s, 0) << "the upward stream adds nothing";
    ASSERT_TRUE(c.call(0));
    const auto& s = c.leaf().sums;
    expect_4sf(c.leaf().gross_production, 44.55, "gross production of both calls");
    expect_4sf(c.leaf().gross_production - 10.45, 34.10, "A of the downward stream");
    expect_4sf(c.leaf().dark_respiration, 5.325, "light-inhibited dark respiration");
    expect_4sf(c.leaf().vapour_conductance, 0.003629, "vapour conductance");
    EXPECT_EQ(s[0], c.leaf().gross_production);
    expect_4sf(s[3], 58.71, "J");
    expect_4sf(s[5], 348.8, "Cs");
    expect_4sf(s[6], 207.7, "Ci");
    expect_4sf(s[8], 0.2417, "gs");

    // The light of the upward stream through the downward one shows its J and A.
    LeafCase up;
    up.site.tree.radiation.vis_abs_down = 30;
    ASSERT_TRUE(up.call(0));
    expect_4sf(up.leaf().sums[3], 15.95, "J of the upward stream");
    expect_4sf(up.leaf().gross_production, 10.45, "A of the upward stream");
}

TEST(LeafIterate, NightKeepsOnlyDarkRespiration) {
    LeafCase c;
    c.record.sw_in = 0.999;
    c.record.ta = 10;
    c.leaf().gross_production = 7;
    ASSERT_TRUE(c.both());
    EXPECT_EQ(c.leaf().gross_production, 0);
    EXPECT_DOUBLE_EQ(c.leaf().dark_respiration, 9.0);
    for (size_t k = 0; k < 11; ++k) EXPECT_EQ(c.leaf().sums[k], k == 1 ? 9.0 : 0) << k;

    c.record.sw_in = 1.0;  // one W m-2 is day
    ASSERT_TRUE(c.both());
    EXPECT_GT(c.leaf().gross_production, 0);
}

TEST(LeafIterate, DarknessByDayAndAnEmptyCanopy) {
    LeafCase c;
    c.darken();
    ASSERT_TRUE(c.both());
    EXPECT_NEAR(c.leaf().gross_production, 0, 1e-12);
    EXPECT_NEAR(c.leaf().sums[8], 0.003, 1e-12) << "gs = g0";
    EXPECT_DOUBLE_EQ(c.leaf().dark_respiration, 9.0);
    EXPECT_DOUBLE_EQ(c.leaf().sums[6], 400) << "Ci held at the ambient value";

    LeafCase e;
    e.site.tree.foliage.carbon = 0;
    e.darken();
    ASSERT_TRUE(e.both());
    EXPECT_EQ(e.leaf().gross_production, 0);
    EXPECT_EQ(e.leaf().dark_respiration, 0);
    EXPECT_DOUBLE_EQ(e.leaf().sums[6], 1.01 * e.leaf().sums[7]) << "Ci clamped to 1.01 Gamma*";
    EXPECT_EQ(e.leaf().sums[5], 400) << "Cs = Ca";
}

TEST(LeafIterate, CiStaysBetweenCompensationPointAndAmbient) {
    for (double t : {278.0, 313.0}) {
        for (double vis : {0.0, 60.0, 400.0}) {
            for (double co2 : {60.0, 400.0, 1500.0}) {
                for (double g1 : {0.5, 40.0}) {
                    LeafCase c;
                    c.site.tree.foliage.temperature = t;
                    c.site.tree.radiation.vis_abs_down = vis;
                    c.record.co2 = co2;
                    c.leaf()._g1 = g1;
                    ASSERT_TRUE(c.call(0)) << t << " " << vis << " " << co2 << " " << g1;
                    const double ci = c.leaf().sums[6];
                    if (1.01 * c.leaf().sums[7] >= co2) {
                        EXPECT_EQ(ci, co2);
                        continue;
                    }
                    EXPECT_GE(ci, 1.01 * c.leaf().sums[7]);
                    EXPECT_LE(ci, co2);
                    EXPECT_GE(c.leaf().sums[5], 0.5 * co2) << "Cs floor";
                }
            }
        }
    }
}

TEST(LeafIterate, VpdAndRelativeHumidityFormsAgree) {
    LeafCase vpd, rh;
    rh.leaf()._vpd = 0;
    rh.record.rh = 0.5;  // 1 / (1 + 1 kPa-1 * 1 kPa) as a relative humidity
    ASSERT_TRUE(vpd.both());
    ASSERT_TRUE(rh.both());
    EXPECT_EQ(vpd.leaf().sums, rh.leaf().sums);
    rh.record.rh = 0.9;
    ASSERT_TRUE(rh.both());
    EXPECT_GT(rh.leaf().sums[8], 2 * vpd.leaf().sums[8]) << "moister air opens the stomata";
}

TEST(LeafIterate, FailureToConvergeLeavesTheRecordUntouched) {
    // Without carboxylation A is 0 and the total conductance is about _g0; the
    // slope is held at 1e-5, so each step closes only _g0 / 1e-5 of the distance
    // from Ci to Ca and 100 steps do not reach it.
    LeafCase c;
    c.leaf()._vmax = 0;
    c.leaf()._g0 = 1e-7;
    c.leaf().gross_production = 3;
    c.leaf().vapour_conductance = 0.002;
    for (int stream : {1, 0}) {
        c.site.error_text.clear();
        EXPECT_FALSE(c.call(stream));
        EXPECT_EQ(c.site.error_text, "Leaf iterate method failed to converge.");
    }
    EXPECT_EQ(c.leaf().gross_production, 3);
    EXPECT_EQ(c.leaf().vapour_conductance, 0.002);
    for (double s : c.leaf().sums) EXPECT_EQ(s, 0);

    c.leaf()._g0 = 1e-6;  // a tenth of the distance per step: converges
    EXPECT_TRUE(c.both());
}

const char* const kLeafFile =
    "Parameters (name, value, remark):\n"
    "_vmax    75\t->carboxylation rate at optimal temperature (umol m-2 s-1)\n"
    "_jmax    85\t->electron transport rate at optimal temperature (umol m-2 s-1)\n"
    "_topt    38\t->optimal temperature (C)\n"
    "_ep      220    ->enthalpy term of the Boltzmann function (J mol-1)\n"
    "_ea      55    ->activation energy of the Boltzmann function (J mol-1)\n"
    "_qn      8.5    ->quantum yield coefficient\n"
    "_rd25    1.5    ->dark respiration rate at T=25C (umol m-2 s-1)\n"
    "_erd     50    ->activation energy of dark respiration (KJ mol-1)\n"
    "_g0      0.003    ->minimum stomatal conductance of water vapor (mol m-2 s-1)\n"
    "_g1      5.6    ->sensitivity coefficient\n"
    "_gd      1    ->VPD coefficient \n"
    "_vpd     1    ->use VPD (_vpd=1) or RH (_vpd=0) in surface conductivity calculation\n"
    "_stress  5    ->coefficient of soil moisture stress\n";

struct LeafFiles : test::SiteInTemp {
    Leaf& leaf() { return site.tree.foliage.leaf; }
    bool init() { return leaf().init(site, site.tree); }
};

TEST(LeafFiles, MissingParameterFileIsWrittenWithTheDefaults) {
    LeafFiles f;
    f.leaf().sums.fill(2);
    f.leaf().gross_production = 4;
    ASSERT_TRUE(f.init()) << f.site.error_text;
    EXPECT_EQ(test::read_file(f.path("tree.leaf.par")), kLeafFile);
    EXPECT_EQ(test::read_lines(f.path("tree.leaf.csv")).size(), 14u) << "header lines only";
    EXPECT_EQ(f.leaf().gross_production, 0);
    for (double s : f.leaf().sums) EXPECT_EQ(s, 0);
    ASSERT_TRUE(f.site.shrub.foliage.leaf.init(f.site, f.site.shrub));
    EXPECT_EQ(test::read_file(f.path("shrub.leaf.par")), kLeafFile);
}

TEST(LeafFiles, ValuesAreReadAtWhiteSpaceOnly) {
    LeafFiles f;
    test::write_file(f.path("tree.leaf.par"),
                     "_vmax\t60 remark\n_jmax, 50\n_qn,7\n_g1 4 ->\n_g1 3\n_vpd yes\n_ep\n");
    ASSERT_TRUE(f.init()) << f.site.error_text;
    EXPECT_EQ(f.leaf()._vmax, 60);
    EXPECT_EQ(f.leaf()._jmax, 85) << "a comma after the key hides the line";
    EXPECT_EQ(f.leaf()._qn, 8.5) << "a key joined to its value by a comma is no key";
    EXPECT_EQ(f.leaf()._g1, 3) << "the later line wins";
    EXPECT_EQ(f.leaf()._vpd, 0) << "text reads as 0, the RH form";
    EXPECT_EQ(f.leaf()._ep, 220);
}

TEST(LeafFiles, EachBadValueHasItsMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"_vmax -1", ": Bad leaf _vmax value."}, {"_jmax 0", ": Bad leaf _jmax value."},
        {"_topt 0", ": Bad _topt value."},       {"_ep 0", ": Bad leaf _ep value."},
        {"_ea -2", ": Bad leaf _ea value."},     {"_qn 0", ": Bad leaf _qn value."},
        {"_rd25 -0.1", ": Bad _rd25 value."},    {"_erd 0", ": Bad _erd value."},
        {"_g0 0", ": Bad leaf _g0 value."},      {"_g1 x", ": Bad leaf _g1 value."},
        {"_gd 0", ": Bad leaf _gd value."},      {"_stress 0", ": Bad leaf _stress value."},
    };
    for (const auto& [line, message] : cases) {
        LeafFiles f;
        test::write_file(f.path("tree.leaf.par"), std::string(line) + "\n");
        EXPECT_FALSE(f.init()) << line;
        EXPECT_EQ(f.site.error_text, f.path("tree.leaf.par") + message);
        EXPECT_FALSE(std::filesystem::exists(f.path("tree.leaf.csv")));
    }
    LeafFiles ok;
    test::write_file(ok.path("tree.leaf.par"), "_vmax 0\n_rd25 0\n_vpd -3\n");
    EXPECT_TRUE(ok.init()) << "0 is valid for _vmax and _rd25, any integer for _vpd";
}

TEST(LeafFiles, UnwritableParameterFileStopsWithAFullStop) {
    LeafFiles f;
    f.site.out_path = f.dir.str() + "/missing/";
    EXPECT_FALSE(f.init());
    EXPECT_EQ(f.site.error_text, "Failed to open " + f.site.out_path + "tree.leaf.par.");
}

TEST(LeafFiles, NoRestartAndLinesOfMeans) {
    LeafFiles f;
    f.site._restart = 1;
    test::write_file(f.path("tree.leaf.csv"), "# old\n1, 0, 30, 5, 5\n");
    ASSERT_TRUE(f.init()) << f.site.error_text;
    EXPECT_TRUE(test::data_lines(f.path("tree.leaf.csv")).empty()) << "no state to restore";

    ForcingRecord r = test::mild_air();
    r.substeps = 4;
    for (size_t k = 0; k < 11; ++k) f.leaf().sums[k] = 0.5 * static_cast<double>(k + 1);
    f.site.resp_sum = 2;
    ASSERT_TRUE(f.leaf().write_output(r, f.site));
    EXPECT_EQ(f.site.gpp_sum, 0.5) << "the sums, not their means";
    EXPECT_EQ(f.site.resp_sum, 3);
    EXPECT_EQ(test::data_lines(f.path("tree.leaf.csv")),
              std::vector<std::string>{
                  "1, 0, 0, 0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875, 1, 1.125, 1.25, 1.375"});
}

}  // namespace
}  // namespace kelmora
