#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "leaf/leaf.h"
#include "run/forcing.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

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
        p.aero._u12 = 1.5;
        p.aero._rho = 1.2;
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
    EXPECT_EQ(s[1], c.leaf().dark_respiration);
    expect_4sf(s[2], 235.3, "Vm");
    expect_4sf(s[3], 58.71, "J");
    expect_4sf(s[4], 412.0, "Cv");
    expect_4sf(s[5], 348.8, "Cs");
    expect_4sf(s[6], 207.7, "Ci");
    expect_4sf(s[7], 36.16, "Gamma*");
    expect_4sf(s[8], 0.2417, "gs");
    expect_4sf(s[9], 0.6661, "gb from the 0.01 m s-1 floor");
    EXPECT_DOUBLE_EQ(s[10], 0.45);
}

TEST(LeafIterate, UpwardStreamValuesOfTheWorkedExample) {
    // The same light through the downward stream shows the J and A of the first call.
    LeafCase c;
    c.site.tree.radiation.vis_abs_down = 30;
    ASSERT_TRUE(c.call(0));
    expect_4sf(c.leaf().sums[3], 15.95, "J");
    expect_4sf(c.leaf().gross_production, 10.45, "A");
}

TEST(LeafIterate, CapacityAtOptimumAndConstantsAtReference) {
    Leaf leaf;
    EXPECT_DOUBLE_EQ(leaf.capacity_factor(38.0 + 273.0), 1.0);
    EXPECT_LT(leaf.capacity_factor(298), 1.0);
    EXPECT_LT(leaf.capacity_factor(320), 1.0);
    LeafCase c;
    c.site.tree.foliage.temperature = 311;
    ASSERT_TRUE(c.call(0));
    EXPECT_DOUBLE_EQ(c.leaf().sums[2], 75.0 * 6);
}

TEST(LeafIterate, NightKeepsOnlyDarkRespiration) {
    LeafCase c;
    c.record.sw_in = 0.999;
    c.record.ta = 10;
    c.leaf().gross_production = 7;
    ASSERT_TRUE(c.call(1));
    EXPECT_EQ(c.leaf().gross_production, 0);
    EXPECT_DOUBLE_EQ(c.leaf().dark_respiration, 9.0);
    for (double s : c.leaf().sums) EXPECT_EQ(s, 0);
    ASSERT_TRUE(c.call(0));
    EXPECT_EQ(c.leaf().gross_production, 0);
    EXPECT_DOUBLE_EQ(c.leaf().dark_respiration, 9.0);
    EXPECT_DOUBLE_EQ(c.leaf().sums[1], 9.0);
    for (size_t k = 0; k < 11; ++k) {
        if (k == 1) continue;
        EXPECT_EQ(c.leaf().sums[k], 0) << k;
    }
    const double rho_v = esat(10) * 0.018016 / (0.0083144598 * 283.15);
    EXPECT_DOUBLE_EQ(c.leaf().vapour_conductance, 0.003 * 0.018016 / rho_v);

    c.record.sw_in = 1.0;  // one W m-2 is day
    ASSERT_TRUE(c.both());
    EXPECT_GT(c.leaf().gross_production, 0);
    EXPECT_LT(c.leaf().dark_respiration, 9.0);
}

TEST(LeafIterate, DarknessByDayAndAnEmptyCanopy) {
    LeafCase c;
    c.site.tree.radiation.vis_abs_down = 0;
    c.site.tree.radiation.vis_abs_up = 0;
    ASSERT_TRUE(c.both());
    const auto& s = c.leaf().sums;
    EXPECT_EQ(s[3], 0) << "J";
    EXPECT_NEAR(c.leaf().gross_production, 0, 1e-12);
    EXPECT_NEAR(s[8], 0.003, 1e-12) << "gs = g0";
    EXPECT_DOUBLE_EQ(c.leaf().dark_respiration, 9.0);
    EXPECT_DOUBLE_EQ(s[6], 400) << "Ci held at the ambient value";

    LeafCase e;
    e.site.tree.foliage.carbon = 0;
    e.site.tree.radiation.vis_abs_down = 0;
    e.site.tree.radiation.vis_abs_up = 0;
    ASSERT_TRUE(e.both());
    const auto& t = e.leaf().sums;
    EXPECT_EQ(e.leaf().gross_production, 0);
    EXPECT_EQ(t[8], 0.003);
    EXPECT_DOUBLE_EQ(t[6], 1.01 * 105000 / 2904.12) << "Ci clamped to 1.01 Gamma*";
    EXPECT_EQ(t[5], 400) << "Cs = Ca";
    EXPECT_EQ(e.leaf().dark_respiration, 0);
}

TEST(LeafIterate, CiStaysBetweenCompensationPointAndAmbient) {
    for (double t : {278.0, 298.0, 313.0}) {
        for (double vis : {0.0, 5.0, 60.0, 400.0}) {
            for (double co2 : {60.0, 400.0, 1500.0}) {
                for (double g1 : {0.5, 5.6, 40.0}) {
                    LeafCase c;
                    c.site.tree.foliage.temperature = t;
                    c.site.tree.radiation.vis_abs_down = vis;
                    c.record.co2 = co2;
                    c.leaf()._g1 = g1;
                    ASSERT_TRUE(c.call(0)) << t << " " << vis << " " << co2 << " " << g1;
                    const double gamma = c.leaf().sums[7];
                    const double ci = c.leaf().sums[6];
                    if (1.01 * gamma >= co2) {
                        EXPECT_EQ(ci, co2);
                        continue;
                    }
                    EXPECT_GE(ci, 1.01 * gamma);
                    EXPECT_LE(ci, co2);
                    EXPECT_GE(c.leaf().sums[5], 0.5 * co2) << "Cs floor";
                }
            }
        }
    }
}

TEST(LeafIterate, HumidityForms) {
    LeafCase a, b, r;
    b.leaf()._vpd = 2;
    r.leaf()._vpd = 0;
    r.record.rh = 0.5;  // 1 / (1 + 1 kPa-1 * 1 kPa) as a relative humidity
    ASSERT_TRUE(a.both());
    ASSERT_TRUE(b.both());
    ASSERT_TRUE(r.both());
    EXPECT_EQ(a.leaf().sums, b.leaf().sums);
    EXPECT_EQ(a.leaf().sums, r.leaf().sums);
    r.record.rh = 0.9;
    ASSERT_TRUE(r.both());
    EXPECT_GT(r.leaf().sums[8], 2 * a.leaf().sums[8]) << "moister air opens the stomata";
}

TEST(LeafIterate, BoundaryLayerConductanceFloor) {
    LeafCase c;
    c.record.rho_air = 0.6;  // 0.6 / 0.018016 * 0.01 is below 0.5
    ASSERT_TRUE(c.call(0));
    EXPECT_EQ(c.leaf().sums[9], 0.5);
}

TEST(LeafIterate, FailureToConvergeLeavesTheRecordUntouched) {
    LeafCase c;
    c.site.error_text = "earlier";
    c.leaf().gross_production = 3;
    c.leaf().vapour_conductance = 0.002;
    c.leaf().max_iterations = 2;
    EXPECT_FALSE(c.call(1));
    EXPECT_EQ(c.site.error_text, "Leaf iterate method failed to converge.");
    EXPECT_FALSE(c.call(0));
    EXPECT_EQ(c.leaf().gross_production, 3);
    EXPECT_EQ(c.leaf().vapour_conductance, 0.002);
    for (double s : c.leaf().sums) EXPECT_EQ(s, 0);
    c.leaf().max_iterations = 100;
    EXPECT_TRUE(c.both());
}

}  // namespace
}  // namespace kelmora
