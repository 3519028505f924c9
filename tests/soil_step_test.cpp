// The soil's sub-step: surface balance, water and heat flows, uptake, bounds and
// the bookkeeping of the output sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "run/numbers.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::TempDir;
using test::write_file;

ForcingRecord air(double tk = 293.15) {
    ForcingRecord r;
    r.day = 180;
    r.hour = 12;
    r.ta = tk - 273.15;
    r.tk = tk;
    r.pa = 101.3;
    r.rho_air = 1.2;
    return r;
}

// An initialised soil under a tree layer whose exchange values are set by hand.
struct Column {
    TempDir dir;
    Site site;
    Soil& soil = site.soil;
    Plant& tree = site.tree;

    explicit Column(const std::string& lines = "", int32_t dt = 60) {
        site.out_path = dir.str() + "/";
        site._dt = dt;
        if (!lines.empty()) write_file(site.out_path + "soil.par", "Parameters:\n" + lines);
        EXPECT_TRUE(soil.init(air(), site)) << site.error_text;
        tree.radiation.vis_out_down = 50;
        tree.radiation.ir_out_down = 350;
        tree.t12 = 293.15;
        tree.q12 = 0.01;
        tree.aero._ub = 0.5;
    }
    void rain(double rate) { tree.interception.passed[Interception::kStem] = rate; }
    double saturation(size_t i) const { return 1000 * soil._porosity * soil._dz[i]; }
    double column_water(size_t upto) const {
        return std::accumulate(soil._water.begin(), soil._water.begin() + upto, 0.0);
    }
    void step(const ForcingRecord& r = air()) {
        ASSERT_TRUE(soil.step_a(r, site));
        ASSERT_TRUE(soil.step_b(r, site));
    }
};

TEST(SoilStep, WaterStaysBetweenFivePercentAndSaturation) {
    Column c;
    const size_t n = c.soil.layers();
    const double deep_water = c.soil._water[n - 1];
    const double deep_temp = c.soil._temp[n - 1];
    int runoff = 0;
    int at_minimum = 0;
    auto check = [&](int k) {
        for (size_t i = 0; i + 1 < n; ++i) {
            const double sat = c.saturation(i);
            EXPECT_LE(c.soil._water[i], sat) << "layer " << i << " step " << k;
            EXPECT_GE(c.soil._water[i], 0.05 * sat) << "layer " << i << " step " << k;
            at_minimum += c.soil._water[i] == 0.05 * sat;
        }
        // The deepest layer is a fixed reservoir, in its state and in its sums.
        runoff += c.soil._runoff > 0;
        EXPECT_EQ(c.soil._water[n - 1], deep_water);
        EXPECT_EQ(c.soil._temp[n - 1], deep_temp);
        EXPECT_DOUBLE_EQ(c.soil._water_sum[n - 1], deep_water * (k + 1));
    };
    c.rain(0.02);  // a downpour of 72 mm h-1
    for (int k = 0; k < 300; ++k) {
        c.step();
        check(k);
    }
    EXPECT_GT(runoff, 0);  // the top layer filled up
    EXPECT_GT(c.soil._water[0], 0.9 * c.saturation(0));
    c.rain(0);
    c.tree.interception.transpiration = 1.0;  // far more than the column can give
    for (int k = 300; k < 600; ++k) {
        c.step();
        check(k);
    }
    EXPECT_GT(at_minimum, 0);
}

// Checks, over one sub-step of a three-layer column, that the water of the two
// layers that change moves by infiltration minus evaporation minus uptake minus
// the exchange with the deepest layer, plus what the bounds add or remove at the
// layer above the deepest. Returns that last amount.
double balance_step(Column& c, double rain, double transpiration) {
    Soil& s = c.soil;
    const double dt = c.site._dt;
    c.rain(rain);
    c.tree.interception.transpiration = transpiration;
    const double before = c.column_water(2);
    // Exchange with the deepest layer, from the state before the step: layer 1
    // drains into it by gravity, and the potential difference moves water with
    // the deepest layer's conductivity.
    auto relative = [&](size_t i) { return s._water[i] / 1000 / s._dz[i] / s._porosity; };
    const double k1 = s._ks * std::pow(relative(1), 2 * s._b + 3);
    const double k2 = s._ks * std::pow(relative(2), 2 * s._b + 3);
    const double psi1 = s._psie * std::pow(relative(1), -s._b);
    const double psi2 = s._psie * std::pow(relative(2), -s._b);
    const bool drains = s._water[1] > 0.05 * c.saturation(1);
    const double to_deep =
        (drains ? dt * k1 * 9.8 : 0) + k2 * (psi1 - psi2) * dt / (0.5 * (s._dz[1] + s._dz[2]));
    EXPECT_TRUE(s.step_a(air(), c.site));
    const double infiltration = dt * rain - s._runoff;
    const double evaporation =
        (s._qs - c.tree.q12) * gb_vapour(s.aero._u12, s._rgh, s.aero._rho) * 1.2 * dt;
    const double uptake = (s._froot[0] + s._froot[1]) * transpiration * dt;
    const double unbounded = s._water[1] + (s._flow[1] - s._froot[1] * transpiration * dt);
    EXPECT_TRUE(s.step_b(air(), c.site));
    // The top layer stays inside its bounds here, so layer 1 receives nothing from it.
    EXPECT_GT(s._water[0], 0.05 * c.saturation(0));
    EXPECT_LT(s._water[0], c.saturation(0));
    const double bounds = s._water[1] - unbounded;
    const double change = c.column_water(2) - before;
    EXPECT_NEAR(change, infiltration - evaporation - uptake - to_deep + bounds, 1e-9);
    EXPECT_GT(evaporation, 0);
    return bounds;
}

TEST(SoilStep, ColumnWaterBalance) {
    Column c("_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
    c.tree.q12 = 0.005;
    for (int k = 0; k < 20; ++k) {
        // Moderate rain and transpiration: no layer reaches a bound.
        EXPECT_NEAR(balance_step(c, 0.001, 2e-5), 0, 1e-9) << "step " << k;
    }
    // A dry layer above the wet reservoir: the potential difference pulls far more
    // water up in one explicit sub-step than the layer holds; the excess leaves.
    c.soil._water[1] = 0.051 * c.saturation(1);
    c.soil._water[0] = 0.9 * c.saturation(0);
    const double bounds = balance_step(c, 0, 3e-3);
    EXPECT_DOUBLE_EQ(c.soil._water[1], c.saturation(1));
    EXPECT_LT(bounds, 0);
}

TEST(SoilStep, SaturatedTopLayerSendsAllArrivingWaterAway) {
    Column c;
    Soil& s = c.soil;
    s._water[0] = c.saturation(0);
    c.rain(0.004);
    ASSERT_TRUE(s.step_a(air(), c.site));
    EXPECT_DOUBLE_EQ(s._runoff, 0.004 * 60);
    EXPECT_DOUBLE_EQ(s._water[0], c.saturation(0));

    // Partly filled: the room is taken, the rest runs off.
    Column d;
    d.soil._water[0] = d.saturation(0) - 0.1;
    d.rain(0.004);
    ASSERT_TRUE(d.soil.step_a(air(), d.site));
    EXPECT_NEAR(d.soil._runoff, 0.24 - 0.1, 1e-12);
    EXPECT_DOUBLE_EQ(d.soil._water[0], d.saturation(0));
}

// The top layer's water flow of one step_a with the surface at `ts` and the air
// node at humidity `q12`.
double top_flow(double ts, double q12, double* qs = nullptr) {
    Column c;
    c.soil._temp[0] = c.soil._temp[1] = ts;
    c.tree.q12 = q12;
    EXPECT_TRUE(c.soil.step_a(air(), c.site));
    if (qs) *qs = c.soil._qs;
    return c.soil._flow[0];
}

TEST(SoilStep, FrozenSurfaceDoesNotEvaporate) {
    double qs = 0;
    EXPECT_EQ(top_flow(273.15, 0.0, &qs), top_flow(273.15, 0.02));
    EXPECT_DOUBLE_EQ(qs, qsat(273.15, 101.3));  // still handed to the plants
    EXPECT_EQ(top_flow(260, 0.0), top_flow(260, 0.02));
    // Just above freezing a drier air node draws more water from the surface.
    EXPECT_LT(top_flow(273.2, 0.0), top_flow(273.2, 0.002));
    // Humid air condenses onto a cool surface.
    EXPECT_GT(top_flow(280, 0.02), top_flow(280, 0.0));
}

TEST(SoilStep, MoistureFactorFollowsTheSecondLayer) {
    // Wet and dry top layers over the same second layer give the same factor.
    Column wet;
    Column dry;
    EXPECT_DOUBLE_EQ(wet.soil._fw, 1);
    wet.soil._water[0] = wet.saturation(0);
    dry.soil._water[0] = 0.05 * dry.saturation(0);
    for (Column* c : {&wet, &dry}) c->soil._water[1] = 0.3 * 1000 * c->soil._dz[1];
    ASSERT_TRUE(wet.soil.step_a(air(), wet.site));
    ASSERT_TRUE(dry.soil.step_a(air(), dry.site));
    EXPECT_DOUBLE_EQ(wet.soil._fw, 0.09 / (0.1 + 0.09));
    EXPECT_DOUBLE_EQ(dry.soil._fw, wet.soil._fw);

    Column flat("_pw 0\n");
    flat.step();
    EXPECT_DOUBLE_EQ(flat.soil._fw, 1 / 1.1);
}

TEST(SoilStep, TopLayerStaysNearTheAir) {
    Column c;
    c.tree.radiation.ir_out_down = 1e6;  // an absurd heat input
    c.step(air(290));
    EXPECT_DOUBLE_EQ(c.soil._temp[0], 295);
    EXPECT_GT(c.soil._temp_sum[0], 295 - 273.15);  // the sums hold the unclamped value
    c.tree.radiation.ir_out_down = 350;
    c.step(air(320));
    EXPECT_DOUBLE_EQ(c.soil._temp[0], 315);
    c.step(air(260));
    EXPECT_DOUBLE_EQ(c.soil._temp[0], 265);
    for (int k = 0; k < 100; ++k) {
        const ForcingRecord r = air(265 + 0.1 * k);
        c.step(r);
        EXPECT_LE(std::fabs(c.soil._temp[0] - r.tk), 5) << k;
    }
}

TEST(SoilStep, HeatFlowsDownTheGradientAndUpdatesTemperature) {
    Column c("_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
    Soil& s = c.soil;
    ASSERT_TRUE(s.step_a(air(), c.site));
    // Warm top, cold deep: heat flows down into the deepest layer.
    EXPECT_GT(s._heat[2], 0);
    const std::vector<double> temp = s._temp;
    const std::vector<double> heat = s._heat;
    ASSERT_TRUE(s.step_b(air(), c.site));
    EXPECT_DOUBLE_EQ(s._temp[1], temp[1] + 60 * heat[1] / s._cv[1]);
    EXPECT_EQ(s._temp[2], temp[2]);
    EXPECT_DOUBLE_EQ(s._flux_sum, heat[0]);
    // Heat capacity lies between that of dry mineral soil and water.
    for (double cv : s._cv) {
        EXPECT_GT(cv, 2.2e6);
        EXPECT_LT(cv, 4.18e6);
    }
}

TEST(SoilStep, SurfaceWindFollowsTheLowestLayer) {
    // Under shrubs whose foliage bottom lies below the reference height, the
    // shrubs' air-node wind drives the surface.
    Column e;
    e.site._type = 1;
    e.site.shrub._zbot = 0.05;
    e.soil.aero._zrf = 0.2;
    e.site.shrub.aero._u12 = 3;
    e.site.shrub.aero._ub = 0.3;
    // Neutral: the air node as warm as the surface.
    e.site.shrub.t12 = 0.5 * (e.soil._temp[0] + e.soil._temp[1]);
    e.site.shrub.q12 = 0.01;
    e.step();
    const double log_height = std::log((0.2 - 0.0077) / 0.0013);
    EXPECT_DOUBLE_EQ(e.soil.aero._ustar, 0.4 * 3 / log_height);
    // Above the reference height the shrubs' wind at their foliage bottom drives it.
    e.site.shrub._zbot = 0.5;
    e.site.shrub.aero._ub = 2;
    e.site.shrub.t12 = 0.5 * (e.soil._temp[0] + e.soil._temp[1]);
    ASSERT_TRUE(e.soil.step_a(air(), e.site));
    EXPECT_DOUBLE_EQ(e.soil.aero._ustar, 0.4 * 2 / log_height);
}

TEST(SoilStep, UptakeTakesTheTranspirationOfEveryLayerByShare) {
    for (int type : {0, 1}) {
        Column c("_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
        c.site._type = type;
        c.site.shrub.t12 = 293.15;
        c.site.shrub.q12 = 0.01;
        c.tree.interception.transpiration = 1e-5;
        c.site.shrub.interception.transpiration = 2e-5;
        ASSERT_TRUE(c.soil.step_a(air(), c.site));
        const double w1 = c.soil._water[1] + c.soil._flow[1];
        ASSERT_TRUE(c.soil.step_b(air(), c.site));
        const double tr = type == 1 ? 3e-5 : 1e-5;
        EXPECT_NEAR(c.soil._water[1], w1 - c.soil._froot[1] * tr * 60, 1e-12) << type;
    }
}

TEST(SoilOutput, OneRecordLineHoldsTheMeansOfItsSubSteps) {
    Column c("", 10);
    ForcingRecord rec = air();
    rec.substeps = 6;
    double flux = 0;
    std::vector<double> water(8, 0);
    for (int k = 0; k < 6; ++k) {
        c.step();
        flux += c.soil._heat[0];
        for (size_t i = 0; i < 8; ++i) water[i] += c.soil._water[i];
    }
    ASSERT_TRUE(c.soil.write_output(rec, c.site));
    const auto lines = test::data_lines(c.site.out_path + "soil.csv");
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::string_view> words;
    split_words(lines[0], true, words);
    ASSERT_EQ(words.size(), 20u);
    EXPECT_EQ(words[0], "180");
    EXPECT_EQ(words[3], real_text(flux / 6));
    EXPECT_EQ(words[4 + 7], "6");  // the deepest layer at _Td
    EXPECT_EQ(words[4 + 8 + 7], "0.45");
    EXPECT_EQ(words[4 + 8], real_text(water[0] / (6 * 0.05) / 1000));
    EXPECT_EQ(c.soil._flux_sum, 0);
    EXPECT_EQ(c.soil._water_sum[3], 0);
    // The roots' lines follow, and their respiration joins the site's.
    EXPECT_EQ(test::data_lines(c.site.out_path + "root.fine.csv").size(), 1u);
    EXPECT_EQ(test::data_lines(c.site.out_path + "root.coarse.csv").size(), 1u);
    EXPECT_GT(c.site.resp_sum, 0);
}

TEST(SoilOutput, RestartContinuesFromTheWrittenMeans) {
    Column c("", 10);
    c.rain(0.002);
    ForcingRecord rec = air();
    rec.substeps = 3;
    for (int k = 0; k < 3; ++k) c.step();
    ASSERT_TRUE(c.soil.write_output(rec, c.site));
    const auto line = test::data_lines(c.site.out_path + "soil.csv").at(0);

    Site next;
    next.out_path = c.site.out_path;
    next._restart = 1;
    ASSERT_TRUE(next.soil.init(air(), next)) << next.error_text;
    std::vector<std::string_view> words;
    split_words(line, true, words);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(next.soil._temp[i], leading_real(words[4 + i]) + 273.15);
        EXPECT_DOUBLE_EQ(next.soil._water[i],
                         leading_real(words[12 + i]) * 1000 * next.soil._dz[i]);
    }
    EXPECT_DOUBLE_EQ(next.soil.fine._life, 1.5);
    EXPECT_DOUBLE_EQ(next.soil.coarse._dead, 0.5);
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

TEST(SoilStep, DayOfWeatherKeepsEveryValueFiniteAndBounded) {
    Column c("", 60);
    Soil& s = c.soil;
    s.fine._dynamic = s.coarse._dynamic = 1;
    c.site.tree.foliage.leaf.gross_production = 8;
    c.site.tree.foliage.leaf.dark_respiration = 1;
    const double roots_before = s.fine._life + s.coarse._life + s.coarse._dead;
    ForcingRecord rec = air();
    rec.substeps = 60;
    for (int k = 0; k < 1440; ++k) {
        const double phase = 2 * 3.1415926 * k / 1440.0;
        const ForcingRecord r = air(288 - 6 * std::cos(phase));
        c.tree.t12 = r.tk;
        c.tree.q12 = 0.008;
        c.tree.radiation.vis_out_down = std::max(0.0, -150 * std::cos(phase));
        c.tree.radiation.ir_out_down = 320 + std::max(0.0, -100 * std::cos(phase));
        c.rain(k > 600 && k < 660 ? 0.003 : 0);
        c.tree.interception.transpiration = std::max(0.0, -5e-5 * std::cos(phase));
        c.step(r);
        for (size_t i = 0; i < s.layers(); ++i) {
            const bool finite = std::isfinite(s._temp[i]) && std::isfinite(s._water[i]);
            ASSERT_TRUE(finite) << "layer " << i << " step " << k;
        }
        ASSERT_LE(std::fabs(s._temp[0] - r.tk), 5);
        if ((k + 1) % 60 == 0) {
            ASSERT_TRUE(s.write_output(rec, c.site));
        }
    }
    EXPECT_EQ(test::data_lines(c.site.out_path + "soil.csv").size(), 24u);
    EXPECT_EQ(test::data_lines(c.site.out_path + "root.coarse.csv").size(), 24u);
    EXPECT_TRUE(std::isfinite(c.site.resp_sum));
    EXPECT_NE(s.fine._life + s.coarse._life + s.coarse._dead, roots_before);
}

}  // namespace
}  // namespace kelmora
