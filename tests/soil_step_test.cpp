// The soil's sub-step: water bookkeeping and bounds, runoff, evaporation, the
// moisture factor, the fixed deepest layer and the clamp of the top layer.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

ForcingRecord air(double tk = 293.15) {
    ForcingRecord r = test::mild_air();
    r.ta = tk - 273.15;
    r.tk = tk;
    return r;
}

// An initialised soil, one-minute sub-steps, under a tree layer whose exchange
// values are set by hand.
struct Column : test::SiteInTemp {
    Soil& soil = site.soil;
    Plant& tree = site.tree;

    explicit Column(const std::string& lines = "") {
        site._dt = 60;
        if (!lines.empty()) test::write_file(path("soil.par"), "Parameters:\n" + lines);
        EXPECT_TRUE(soil.init(air(), site)) << site.error_text;
        tree.radiation.vis_out_down = 50;
        tree.radiation.ir_out_down = 350;
        tree.t12 = 293.15;
        tree.q12 = 0.01;
        tree.aero.ub = 0.5;
    }
    void rain(double rate) { tree.interception.passed[Interception::kStem] = rate; }
    double saturation(size_t i) const { return 1000 * soil._porosity * soil._dz[i]; }
    double water(size_t upto) const {
        return std::accumulate(soil._water.begin(), soil._water.begin() + upto, 0.0);
    }
    void step(const ForcingRecord& r = air()) {
        ASSERT_TRUE(soil.step_a(r, site));
        ASSERT_TRUE(soil.step_b(r, site));
    }
};

// Under a downpour, then a drought, with the air between 265 and 295 K.
TEST(SoilStep, WaterAndTopTemperatureStayWithinBoundsAndTheDeepestLayerIsFixed) {
    Column c;
    const size_t n = c.soil.layers();
    const double deep_water = c.soil._water[n - 1];
    const double deep_temp = c.soil._temp[n - 1];
    int runoff = 0;
    int at_minimum = 0;
    c.rain(0.02);  // 72 mm h-1, then far more transpiration than the soil holds
    for (int k = 0; k < 600; ++k) {
        if (k == 300) {
            EXPECT_GT(c.soil._water[0], 0.9 * c.saturation(0));
            c.rain(0);
            c.tree.interception.transpiration = 1.0;
        }
        const ForcingRecord r = air(265 + 0.1 * (k % 300));
        c.step(r);
        EXPECT_LE(std::fabs(c.soil._temp[0] - r.tk), 5) << k;
        for (size_t i = 0; i + 1 < n; ++i) {
            EXPECT_LE(c.soil._water[i], c.saturation(i)) << "layer " << i << " step " << k;
            EXPECT_GE(c.soil._water[i], 0.05 * c.saturation(i)) << "layer " << i << " step " << k;
            at_minimum += c.soil._water[i] == 0.05 * c.saturation(i);
        }
        runoff += c.soil._runoff > 0;
        EXPECT_EQ(c.soil._water[n - 1], deep_water);
        EXPECT_EQ(c.soil._temp[n - 1], deep_temp);
        EXPECT_DOUBLE_EQ(c.soil._water_sum[n - 1], deep_water * (k + 1));
    }
    EXPECT_GT(runoff, 0);
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
    const double before = c.water(2);
    // Exchange with the deepest layer, from the state before the step: layer 1
    // drains into it by gravity, and the potential difference moves water with
    // the deepest layer's conductivity.
    auto relative = [&](size_t i) { return s._water[i] / 1000 / s._dz[i] / s._porosity; };
    const double k2 = s._ks * std::pow(relative(2), 2 * s._b + 3);
    const double psi1 = s._psie * std::pow(relative(1), -s._b);
    const double psi2 = s._psie * std::pow(relative(2), -s._b);
    const bool drains = s._water[1] > 0.05 * c.saturation(1);
    const double gravity = drains ? dt * s._ks * std::pow(relative(1), 2 * s._b + 3) * 9.8 : 0;
    const double to_deep = gravity + k2 * (psi1 - psi2) * dt / (0.5 * (s._dz[1] + s._dz[2]));
    EXPECT_TRUE(s.step_a(air(), c.site));
    const double infiltration = dt * rain - s._runoff;
    const double evaporation =
        (s._qs - c.tree.q12) * gb_vapour(s.aero.u12, s._rgh, s.aero.rho) * 1.2 * dt;
    const double uptake = (s._froot[0] + s._froot[1]) * transpiration * dt;
    const double unbounded = s._water[1] + (s._flow[1] - s._froot[1] * transpiration * dt);
    EXPECT_TRUE(s.step_b(air(), c.site));
    // The top layer stays inside its bounds here, so layer 1 receives nothing from it.
    EXPECT_GT(s._water[0], 0.05 * c.saturation(0));
    EXPECT_LT(s._water[0], c.saturation(0));
    const double bounds = s._water[1] - unbounded;
    EXPECT_NEAR(c.water(2) - before, infiltration - evaporation - uptake - to_deep + bounds, 1e-9);
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
    EXPECT_LT(balance_step(c, 0, 3e-3), 0);
    EXPECT_DOUBLE_EQ(c.soil._water[1], c.saturation(1));
}

TEST(SoilStep, SaturatedTopLayerTurnsArrivingWaterIntoRunoff) {
    // Full, and 0.1 kg m-2 short of full: the room is taken, the rest runs off.
    for (double room : {0.0, 0.1}) {
        Column c;
        c.soil._water[0] = c.saturation(0) - room;
        c.rain(0.004);
        ASSERT_TRUE(c.soil.step_a(air(), c.site));
        EXPECT_NEAR(c.soil._runoff, 0.004 * 60 - room, 1e-12) << room;
        EXPECT_DOUBLE_EQ(c.soil._water[0], c.saturation(0)) << room;
    }
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
}

TEST(SoilStep, MoistureFactorFollowsTheSecondLayer) {
    // Wet and dry top layers over the same second layer give the same factor.
    for (double top : {1.0, 0.05}) {
        Column c;
        c.soil._water[0] = top * c.saturation(0);
        c.soil._water[1] = 0.3 * 1000 * c.soil._dz[1];
        ASSERT_TRUE(c.soil.step_a(air(), c.site));
        EXPECT_DOUBLE_EQ(c.soil._fw, 0.09 / (0.1 + 0.09)) << top;
    }
    Column flat("_pw 0\n");
    flat.step();
    EXPECT_DOUBLE_EQ(flat.soil._fw, 1 / 1.1);
}

TEST(SoilStep, TopLayerIsClampedToFiveKelvinOfTheAir) {
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
}

}  // namespace
}  // namespace kelmora
