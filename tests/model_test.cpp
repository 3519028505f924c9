// The model's worked numbers and books: the leaf's solution, the radiation and
// water of a plant layer, the carbon of the root pools.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "leaf/leaf.h"
#include "plant/plant.h"
#include "run/forcing.h"
#include "run/site.h"
#include "soil/soil.h"
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
    Leaf leaf;
    ForcingRecord record{
        .ta = 24.85, .vpd = 1, .sw_in = 400, .co2 = 400, .rh = 0.6, .rho_air = 1.2};
    LeafInput in{298, 6, 150, 30, 1.5, 0.1, 1.2};
    bool both() { return leaf.iterate(record, in, 1) && leaf.iterate(record, in, 0); }
};

TEST(Leaf, WorkedExampleOfBothStreams) {
    LeafCase c;
    expect_4sf(c.leaf.iterate(c.record, c.in, 1).value_or(0), 10.45, "A of the upward stream");
    EXPECT_EQ(c.leaf.sums.gross, 0) << "the upward stream adds nothing";
    expect_4sf(c.leaf.iterate(c.record, c.in, 0).value_or(0), 34.10, "A of the downward stream");
    const Leaf::Sums& s = c.leaf.sums;
    expect_4sf(c.leaf.gross_production, 44.55, "gross production of both calls");
    expect_4sf(c.leaf.dark_respiration, 5.325, "light-inhibited dark respiration");
    expect_4sf(c.leaf.vapour_conductance, 0.003629, "vapour conductance");
    expect_4sf(s.j, 58.71, "J");
    expect_4sf(s.cs, 348.8, "Cs");
    expect_4sf(s.ci, 207.7, "Ci");
    expect_4sf(s.gs, 0.2417, "gs");
    expect_4sf(c.leaf.capacity_factor(38 + 273.0), 1, "peak at the optimal temperature");

    // The same humidity factor as a relative humidity gives the same leaf.
    LeafCase rh;
    rh.leaf._vpd = 0;
    rh.record.rh = 0.5;  // 1 / (1 + 1 kPa-1 * 1 kPa)
    ASSERT_TRUE(rh.both());
    EXPECT_EQ(rh.leaf.sums.gs, s.gs);

    // Desert air and a low minimum conductance: the supply cannot meet the demand
    // above the compensation point, and Ci holds at its floor of 1.01 Gamma*.
    LeafCase dry;
    dry.leaf._vpd = 0;
    dry.leaf._g0 = 1e-4;
    dry.record.rh = 0.05;
    ASSERT_TRUE(dry.both());
    EXPECT_DOUBLE_EQ(dry.leaf.sums.ci, 1.01 * dry.leaf.sums.gamma);
    // A canopy assimilating more than Ca times half the least boundary-layer
    // conductance (no wind): Cs holds at its floor of half the ambient CO2.
    LeafCase strong;
    strong.leaf._vmax = strong.leaf._jmax = 1000;
    strong.leaf._g1 = 50;
    strong.leaf._qn = 1;
    strong.in.wind = 0;
    ASSERT_TRUE(strong.both());
    EXPECT_EQ(strong.leaf.sums.cs, 200);
}

TEST(Leaf, NightKeepsOnlyDarkRespirationAndFailureLeavesTheLeafAsItWas) {
    LeafCase c;
    c.record.sw_in = 0.999;
    c.record.ta = 10;
    c.leaf.gross_production = 7;
    ASSERT_TRUE(c.both());
    EXPECT_EQ(c.leaf.gross_production, 0);
    EXPECT_DOUBLE_EQ(c.leaf.dark_respiration, 9.0);
    EXPECT_EQ(c.leaf.sums.gross + c.leaf.sums.gs + c.leaf.sums.ci, 0);
    // The minimum conductance over the vapour density of air at 10 degC.
    EXPECT_NEAR(c.leaf.vapour_conductance, 0.003 * 0.0083144598 * 283.15 / esat(10), 1e-12);
    c.record.sw_in = 1.0;  // one W m-2 is day
    ASSERT_TRUE(c.both());
    EXPECT_GT(c.leaf.gross_production, 0);

    // Without carboxylation the slope is held at 1e-5 and each step closes only
    // _g0 / 1e-5 of the distance from Ci to Ca: 100 steps do not reach it.
    LeafCase f;
    f.leaf._vmax = 0;
    f.leaf._g0 = 1e-7;
    f.leaf.gross_production = 3;
    EXPECT_FALSE(f.leaf.iterate(f.record, f.in, 1));
    EXPECT_FALSE(f.leaf.iterate(f.record, f.in, 0));
    EXPECT_EQ(f.leaf.gross_production, 3);
    EXPECT_EQ(f.leaf.sums.gross + f.leaf.sums.dark, 0);
    f.leaf._g0 = 1e-6;  // a tenth of the distance per step: converges
    EXPECT_TRUE(f.both());
}

// The first call of a day sub-step solves the downward stream beside its own and
// the second takes that solve: it must be exactly the solve made alone, and not
// be taken when the second call's light differs. A night at the temperature
// before a day must not leave the day's factors out.
TEST(Leaf, KeptSolvesAndFactorsEqualFreshOnes) {
    struct Case {
        const char* what;
        double vis_down_second;  // the downward visible the second call sees
        bool night_first;
    };
    const Case cases[] = {{"the pair as the plant makes it", 150, false},
                          {"light changed before the second call", 90, false},
                          {"a night at the same temperature first", 150, true}};
    for (const Case& k : cases) {
        LeafCase kept;
        if (k.night_first) {
            kept.record.sw_in = 0.5;
            ASSERT_TRUE(kept.both()) << k.what;
            kept.leaf.sums = {};
            kept.record.sw_in = 400;
        }
        ASSERT_TRUE(kept.leaf.iterate(kept.record, kept.in, 1)) << k.what;
        kept.in.vis_down = k.vis_down_second;
        ASSERT_TRUE(kept.leaf.iterate(kept.record, kept.in, 0)) << k.what;
        LeafCase fresh;  // the second call alone
        fresh.in.vis_down = k.vis_down_second;
        ASSERT_TRUE(fresh.leaf.iterate(fresh.record, fresh.in, 0)) << k.what;
        const auto state = [](const Leaf& l) {
            return std::tuple(l.sums.ci, l.sums.cs, l.sums.gs, l.sums.vm, l.sums.cv,
                              l.dark_respiration, l.vapour_conductance);
        };
        EXPECT_EQ(state(kept.leaf), state(fresh.leaf)) << k.what;
    }
}

// In the dynamic mode foliage falls while the prescribed leaf area declines: one
// per cent is left after the residence time, and what falls becomes litter.
TEST(Foliage, LeafFallLeavesOnePerCentAfterTheResidenceTime) {
    Foliage f;
    for (int32_t d = 1; d <= 365; ++d) f._lai[d - 1] = Foliage::default_lai(d, 6);
    f._dynamic = 1;
    f._rd25 = 0;  // no decomposition
    f.carbon = 0.4;
    const double total = f.carbon + f._litter;
    ForcingRecord r = test::mild_air();
    r.day = 310;
    for (int k = 0; k < 30; ++k) f.update_carbon(r, 86400, 293, 1, 0.35, 1);
    EXPECT_NEAR(f.carbon, 0.004, 1e-12);
    EXPECT_NEAR(f.carbon + f._litter, total, 1e-12);
    r.day = 200;  // the summer's leaf area holds: nothing falls
    f.update_carbon(r, 86400, 293, 1, 0.35, 1);
    EXPECT_NEAR(f.carbon, 0.004, 1e-12);
}

// A plant layer with `lai` and `sai` of area under the cover `pai`.
Plant layer(double lai, double sai, double pai) {
    Plant p;
    p.foliage.carbon = lai / p.foliage._sla;
    p.stem._carbon = sai / p.stem._ssa;
    p._pai = pai;
    return p;
}

TEST(PlantLayer, VisibleAbsorbedAndLeavingEqualsArriving) {
    for (double lai : {0.0, 2.0, 25.0}) {  // 25: sub-layers holding 0.1 of area
        for (double sai : {0.0, 1.0}) {
            for (double pai : {0.05, 1.0}) {
                Plant p = layer(lai, sai, pai);
                p.foliage._abs = 0.87;  // leaves and stems absorb or reflect all they meet
                p.stem._refl = 0.3;
                Radiation& rad = p.radiation;
                rad.vis_in_down = 184;
                rad.vis_in_up = 23;
                p.transfer_vis();
                SCOPED_TRACE(testing::Message() << lai << " " << sai << " " << pai);
                const double kept = rad.vis_abs_down + rad.vis_abs_up + rad.stem_net +
                                    rad.vis_out_down + rad.vis_out_up;
                EXPECT_NEAR(kept, 207, 1e-10 * 207);
                EXPECT_NEAR(rad.foliage_net, rad.vis_abs_down + rad.vis_abs_up, 1e-12 * 207);
                EXPECT_TRUE(lai > 0 || rad.foliage_net == 0);
                EXPECT_TRUE(sai > 0 || rad.stem_net == 0);
                EXPECT_GE(rad.vis_out_up, (1 - p.cover_fraction()) * 23);
            }
        }
    }
}

// The layer's roughness dimension is the area-weighted mean of leaf width and
// branch diameter: 1 of leaf area 0.05 m wide and 2 of stem area 0.2 m thick
// shape the wind like elements all 0.15 m wide.
TEST(PlantLayer, RoughnessDimensionIsTheAreaWeightedMean) {
    double mixing_length[2];
    for (int k : {0, 1}) {
        test::TempDir dir;
        Site site;
        site.records = {test::mild_air()};
        ASSERT_TRUE(site.init(dir.str())) << site.error_text;
        Plant& p = site.tree;
        p.foliage.carbon = 1 / p.foliage._sla;
        p.stem._carbon = 2 / p.stem._ssa;
        p.foliage._dim = k == 0 ? 0.05 : 0.15;
        p.stem._dim = k == 0 ? 0.2 : 0.15;
        (void)p.step_a(site.records[0], 10,
                       {.wind = 2, .air_t = 293, .water = 0, .down = {}, .up = {}});
        mixing_length[k] = p.aero.lm;
    }
    EXPECT_DOUBLE_EQ(mixing_length[0], mixing_length[1]);
}

TEST(PlantLayer, InfraredKeepsTheInputsAndLosesTheInnerEmission) {
    // The foliage's downward and the stems' upward emission reach only the other
    // element; what that one does not absorb is not carried on.
    Plant p = layer(4, 1, 0.8);
    p._fem = 1.3;
    p.foliage.temperature = 300;
    p.stem.temperature = 290;
    p.radiation.ir_in_down = 410;
    p.radiation.ir_in_up = 425;
    p.transfer_ir();
    const double fc = p.cover_fraction();
    const double ef = fc * (1 - std::exp(-0.5 * 1.3 * 4));
    const double es = fc * (1 - std::exp(-0.5 * 1.3 * 1));
    const double lost = (1 - es) * ef * black_body(300) + (1 - ef) * es * black_body(290);
    const Radiation& rad = p.radiation;
    EXPECT_NEAR(410 + 425 - (rad.ir_out_down + rad.ir_out_up + rad.foliage_net + rad.stem_net),
                lost, 1e-9 * lost);
    EXPECT_NEAR(rad.ir_out_up, (1 - ef) * (1 - es) * 425 + ef * black_body(300), 1e-9);
}

// Rain on a layer whose stores hold nothing, a quarter and half of what they can
// (what rain fills them to), in dry and in saturated air, over a minute and over
// an hour (when the limits act): what arrives and drips equals what is caught and
// passes on; evaporation takes at most half a store, condensation at most half the
// free room.
TEST(PlantLayer, InterceptedWaterKeepsItsBooks) {
    ForcingRecord r = test::mild_air();
    for (double dt : {60.0, 3600.0}) {
        for (double fill : {0.0, 0.25, 0.5}) {
            for (double q12 : {0.0, 0.05}) {
                Plant p = layer(3, 1, 0.7);
                p.aero.u12 = 2;
                p.aero.rho = 1.2;
                p.foliage.temperature = p.stem.temperature = 293;
                p.foliage.leaf.vapour_conductance = 0.004;
                p.q12 = q12;
                Interception& w = p.interception;
                w.store = {fill * 2 * 3, fill * 2 * 1};
                const double rain = 2e-3;
                const double fc = p.cover_fraction();
                p.intercept(r, dt, Interception::kFoliage, fc * rain);
                p.intercept(r, dt, Interception::kStem, w.passed[0]);
                w.passed[1] += (1 - fc) * rain;
                SCOPED_TRACE(testing::Message() << fill << " " << q12 << " " << dt);
                EXPECT_NEAR(rain + w.drainage[0] + w.drainage[1],
                            w.intercepted[0] + w.intercepted[1] + p.throughfall(), 1e-15);
                for (size_t k : {0u, 1u}) {
                    const double area = k == 0 ? 3 : 1;
                    EXPECT_LE(w.evaporation[k] * dt, 0.5 * w.store[k] + 1e-15);
                    EXPECT_GE(w.evaporation[k] * dt, -0.5 * (2 * area - w.store[k]) - 1e-15);
                    EXPECT_EQ(w.evaporation[k]<0, q12> 0.02) << k;
                    EXPECT_GE(w.intercepted[k], 0);
                }
                EXPECT_EQ(w.transpiration > 0, q12 == 0);
            }
        }
    }
}

// Over a sub-step of dynamic pools the roots gain their shares of the layers'
// assimilation and lose respiration and decomposition; the fine roots' turnover
// joins the coarse roots' live carbon and leaves the total unchanged.
TEST(Roots, DynamicPoolsKeepTheirCarbonBooks) {
    test::TempDir dir;
    test::write_file(dir.file("root.fine.par"), "_dynamic 1\n");
    test::write_file(dir.file("root.coarse.par"), "_dynamic 1\n");
    const ForcingRecord r = test::mild_air();
    Soil soil;
    ASSERT_FALSE(soil.init(r, dir.str() + "/", nullptr, 5, false, false));
    const double dt = 600;
    Root& fine = soil.fine;
    Root& coarse = soil.coarse;
    const double life = coarse._life;
    const double total = fine._life + fine._dead + coarse._life + coarse._dead;
    const SoilInput in{0, 350, 293, 0.008, 0, 1, 1, 5, false};
    soil.step_a(r, dt, in);
    const PlantUptake plants[2] = {{1e-5, 3, 1}, {0, 2, 0.5}};
    soil.step_b(r, dt, plants);
    const double k = 1.2e-8 * dt;
    EXPECT_GT(fine.turnover, 0);
    EXPECT_EQ(fine._dead, 0) << "fine roots hand their turnover on";
    EXPECT_NEAR(coarse._life,
                life - k * coarse.respiration - coarse.turnover + fine.turnover + k * 1.5, 1e-15);
    const double losses =
        fine.respiration + fine.decomposition + coarse.respiration + coarse.decomposition;
    EXPECT_NEAR(fine._life + fine._dead + coarse._life + coarse._dead,
                total + k * (3 + 1 + 2 + 0.5) - k * losses, 1e-14);
}

// The deepest layer is a fixed reservoir: the layer above it neither hands it an
// excess nor takes a deficit from it, and is itself kept between 5 % of
// saturation and saturation.
TEST(Soil, DeepestLayerIsAFixedReservoir) {
    for (double fill : {1.3, 0.01}) {
        test::TempDir dir;
        test::write_file(dir.file("soil.par"), "Parameters:\n_dz1 0.1\n_dz2 0.2\n_dz3 1\n");
        const ForcingRecord r = test::mild_air();
        Soil soil;
        ASSERT_FALSE(soil.init(r, dir.str() + "/", nullptr, 5, false, false));
        const double sat = 1000 * soil._porosity * 0.2;
        soil.water[1] = fill * sat;
        const double deep = soil.water[2];
        soil.step_a(r, 10, SoilInput{0, 350, 293, 0.008, 0, 1, 1, 5, false});
        soil.step_b(r, 10, {});
        EXPECT_EQ(soil.water[2], deep) << fill;
        EXPECT_LE(soil.water[1], sat) << fill;
        EXPECT_GE(soil.water[1], 0.05 * sat) << fill;
    }
    // Under low shrubs the surface profile's reference height is at least 0.1 m.
    test::TempDir dir;
    Soil soil;
    ASSERT_FALSE(soil.init(test::mild_air(), dir.str() + "/", nullptr, 0.05, true, false));
    EXPECT_EQ(soil.aero.zrf, 0.1);
}

}  // namespace
}  // namespace kelmora
