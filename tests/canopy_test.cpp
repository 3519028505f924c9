// The canopy sub-step: radiation and water bookkeeping of a plant layer, the air
// node and the surface temperatures, and the coupling of tree, shrub and soil.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "plant/plant.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

constexpr size_t kF = Interception::kFoliage;
constexpr size_t kS = Interception::kStem;

// Mild air at noon with `sw_in` W m-2 of sunshine, rain and a vapour pressure deficit.
ForcingRecord noon(double sw_in = 400, double precip_rate = 0, double vpd = 1.0) {
    ForcingRecord r = test::mild_air();
    r.day = 200;
    r.hour = 12;
    r.wind = 2.0;
    r.sw_in = sw_in;
    r.lw_in = 350;
    r.vpd = vpd;
    r.ea = esat(20) - vpd;
    r.qa = r.ea * 0.622 / r.pa;
    r.rh = r.ea / esat(20);
    r.precip_rate = precip_rate;
    return r;
}

// Leaf area index of the layer, held by the prescribed course too so that the
// static foliage keeps it.
void set_lai(Plant& p, double lai) {
    p.foliage._lai.fill(lai);
    p.foliage.carbon = lai / p.foliage._sla;
}

void set_sai(Plant& p, double sai) {
    p.stem._carbon = sai / p.stem._ssa;
}

// A tree (and with `type` 1 a shrub) as initialised, over a soil at the air temperature.
struct Canopy : test::SiteInTemp {
    ForcingRecord r;
    Plant& tree = site.tree;
    Plant& shrub = site.shrub;
    explicit Canopy(const ForcingRecord& record = noon(), int32_t type = 0) : r(record) {
        site._type = type;
        site._dt = 10;
        EXPECT_TRUE(tree.init(r, site) && shrub.init(r, site)) << site.error_text;
        set_lai(tree, 6);
        set_lai(shrub, 3);
        site.soil._Ts = r.tk;
        site.soil._qs = qsat(r.tk, r.pa);
        site.soil._fw = 1;
        site.soil.aero.rho = r.rho_air;
        site.soil.aero.u12 = 0.5;
    }
    bool step_a(Plant& p) { return p.step_a(r, site); }
    bool step_b(Plant& p) { return p.step_b(r, site); }
};

// Water balance of the layer in a sub-step: input plus drip equals what the
// surfaces catch plus what passes on.
void expect_layer_water(const Plant& p, double input) {
    const Interception& w = p.interception;
    EXPECT_NEAR(input + w.drainage[kF] + w.drainage[kS],
                w.intercepted[kF] + w.intercepted[kS] + p.throughfall(), 1e-14);
}

TEST(CanopyRadiation, VisibleAbsorbedAndLeavingEqualsArriving) {
    for (double lai : {0.0, 2.0, 25.0}) {  // 25: sub-layers holding 0.1 of area
        for (double sai : {0.0, 1.0}) {
            for (double pai : {0.05, 1.0}) {
                Canopy c;
                Plant& p = c.tree;
                set_lai(p, lai);
                set_sai(p, sai);
                p._pai = pai;
                p.foliage._abs = 0.87;  // leaves and stems absorb or reflect all they meet
                p.stem._refl = 0.3;
                Radiation& rad = p.radiation;
                rad.vis_abs_down = rad.vis_abs_up = rad.foliage_net = rad.stem_net = 0;
                rad.vis_in_down = 184;
                rad.vis_in_up = 23;
                p.transfer_vis();
                SCOPED_TRACE(testing::Message()
                             << "lai " << lai << " sai " << sai << " pai " << pai);
                const double kept = rad.vis_abs_down + rad.vis_abs_up + rad.stem_net +
                                    rad.vis_out_down + rad.vis_out_up;
                EXPECT_NEAR(kept, 207, 1e-10 * 207);
                EXPECT_NEAR(rad.foliage_net, rad.vis_abs_down + rad.vis_abs_up, 1e-12 * 207);
                EXPECT_GE(std::min({rad.vis_out_down, rad.vis_out_up, rad.stem_net}), 0);
                EXPECT_TRUE(lai > 0 || rad.foliage_net == 0);
                EXPECT_TRUE(sai > 0 || rad.stem_net == 0);
            }
        }
    }
}

// Infrared of a layer without visible light: the incoming streams less what
// leaves and what foliage and stems keep.
double infrared_imbalance(Plant& p, double tf, double tt) {
    p.foliage.temperature = tf;
    p.stem.temperature = tt;
    Radiation& rad = p.radiation;
    rad.vis_in_down = rad.vis_in_up = 0;
    rad.ir_in_down = 410;
    rad.ir_in_up = 425;
    p.transfer_ir();
    return 410 + 425 - (rad.ir_out_down + rad.ir_out_up + rad.foliage_net + rad.stem_net);
}

TEST(CanopyRadiation, InfraredInputsAreKeptAndTheInnerEmissionLeavesTheBudget) {
    for (double lai : {0.0, 6.0}) {
        Canopy c;
        c.tree._fem = 1.3;
        c.tree._pai = 0.8;
        set_lai(c.tree, lai);
        EXPECT_NEAR(infrared_imbalance(c.tree, 0, 0), 0, 1e-10) << "no emission, lai " << lai;
    }
    // The foliage's downward and the stems' upward emission reach only the other
    // element; what that one does not absorb is not carried on.
    Canopy c;
    Plant& p = c.tree;
    p._fem = 1.3;
    p._pai = 0.8;
    set_lai(p, 4);
    set_sai(p, 1);
    const double fc = p.cover_fraction();
    const double ef = fc * (1 - std::exp(-0.5 * 1.3 * 4));
    const double es = fc * (1 - std::exp(-0.5 * 1.3 * 1));
    const double lost =
        (1 - es) * ef * 5.6697e-8 * std::pow(300, 4) + (1 - ef) * es * 5.6697e-8 * std::pow(290, 4);
    EXPECT_GT(lost, 100);
    EXPECT_NEAR(infrared_imbalance(p, 300, 290), lost, 1e-9 * lost);
}

TEST(CanopyRadiation, FullCoverLeavesNoGapsTinyCoverLetsNearlyAllThrough) {
    Canopy full(noon(400, 1e-3));
    Plant& p = full.tree;
    p._pai = 1;
    p._zbot = p.aero.zb = 15;  // dense foliage between 15 and 20 m
    p.foliage._abs = 1;        // black leaves: nothing is sent back down past them
    p.foliage._refl = 0;
    set_lai(p, 10);
    ASSERT_EQ(p.cover_fraction(), 1);
    ASSERT_TRUE(full.step_a(p));
    EXPECT_LT(p.radiation.vis_out_down, 1e-3 * 0.46 * 400);
    EXPECT_GT(p.interception.intercepted[kF], 0.5 * 1e-3);

    Canopy tiny(noon(400, 1e-3));
    Plant& q = tiny.tree;
    q._pai = 1e-6;
    set_lai(q, 1e-7);
    ASSERT_NEAR(q.cover_fraction(), 1e-6, 1e-12);
    ASSERT_TRUE(tiny.step_a(q));
    EXPECT_NEAR(q.radiation.vis_out_down, 0.46 * 400, 1e-5 * 400);
    EXPECT_NEAR(q.radiation.ir_out_down, 0.54 * 400 + 350, 1e-3);
    EXPECT_NEAR(q.throughfall(), 1e-3, 1e-6 * 1e-3);
}

// One surface's interception over stores from empty to beyond full, in dry and
// in saturated air.
TEST(CanopyWater, EvaporationAndCondensationKeepWithinTheStore) {
    for (size_t k : {kF, kS}) {
        for (double q12 : {0.0, 0.05}) {
            for (double fill : {0.0, 0.5, 1.0, 2.0}) {
                for (double input : {0.0, 2e-3}) {
                    Canopy c;
                    Plant& p = c.tree;
                    p.foliage.temperature = p.stem.temperature = c.r.tk + 4;
                    p.q12 = q12;
                    const double a = k == kF ? p.lai() : p.sai();
                    Interception& w = p.interception;
                    w.store[k] = fill * a;
                    p.intercept(c.r, c.site, static_cast<int>(k), input);
                    SCOPED_TRACE(testing::Message() << "surface " << k << " q12 " << q12 << " fill "
                                                    << fill << " input " << input);
                    EXPECT_LE(w.evaporation[k] * 10, 0.5 * w.store[k] + 1e-15);
                    EXPECT_LE(-w.evaporation[k] * 10, 0.5 * (2 * a - w.store[k]) + 1e-15);
                    EXPECT_GE(w.drainage[k], 0);
                    EXPECT_NEAR(input + w.drainage[k], w.intercepted[k] + w.passed[k], 1e-15);
                    EXPECT_TRUE(q12 == 0 || w.transpiration == 0) << "condensation only";
                    EXPECT_TRUE(fill != 1.0 || w.intercepted[k] == 0) << "a full store takes none";
                }
            }
        }
    }
    Canopy bare;  // a surface without area passes its input and holds nothing
    set_lai(bare.tree, 0);
    bare.tree.interception.store[kF] = 0.3;
    bare.tree.intercept(bare.r, bare.site, Interception::kFoliage, 4e-4);
    EXPECT_EQ(bare.tree.interception.passed[kF], 4e-4);
    EXPECT_EQ(bare.tree.interception.store[kF], 0);
}

// Rain, then dry sunny air, through whole sub-steps of the layer.
TEST(CanopyWater, StoresFillInRainAndDryOutWithinTheirBounds) {
    Canopy c;
    Plant& p = c.tree;
    double peak = 0;
    for (int i = 0; i < 400; ++i) {
        c.r = i < 150 ? noon(600, 1e-2) : noon(600, 0, 2.5);
        ASSERT_TRUE(c.step_a(p));
        expect_layer_water(p, c.r.precip_rate);
        ASSERT_TRUE(c.step_b(p));
        for (double t : {p.foliage.temperature, p.stem.temperature, p.t12}) {
            ASSERT_LE(std::fabs(t - c.r.tk), 5 + 1e-9);
        }
        for (size_t k : {kF, kS}) {
            ASSERT_GE(p.interception.store[k], 0);
            ASSERT_LE(p.interception.store[k], 2 * (k == kF ? p.lai() : p.sai()) + 1e-12);
        }
        peak = std::max(peak, p.interception.store[kF]);
    }
    EXPECT_GT(peak, 0.5 * p.lai());
    EXPECT_LT(p.interception.store[kF], peak);
}

TEST(CanopyEnergy, LeaflessFoliageAndStemsWithoutHeatCapacityFollowTheAir) {
    double t12[2];
    for (int i = 0; i < 2; ++i) {
        Canopy c;
        Plant& p = c.tree;
        set_lai(p, 0);
        p.stem._carbon = 0;
        p.foliage.temperature = c.r.tk + (i == 0 ? 3 : -4);
        p.stem.temperature = c.r.tk + 2;
        p.radiation.foliage_net = 200;
        p.radiation.stem_net = 40;
        ASSERT_TRUE(c.step_b(p));
        EXPECT_EQ(p.foliage.temperature, c.r.tk);
        EXPECT_EQ(p.stem.temperature, c.r.tk);
        EXPECT_DOUBLE_EQ(p.foliage.sums[0], c.r.ta);
        for (size_t j = 1; j < p.foliage.sums.size(); ++j) EXPECT_EQ(p.foliage.sums[j], 0);
        EXPECT_DOUBLE_EQ(p.stem.sums[0], c.r.ta);
        EXPECT_EQ(p.stem.sums[6], 40) << "the stem sums still receive their values";
        t12[i] = p.t12;
    }
    EXPECT_EQ(t12[0], t12[1]) << "the old leaf temperature does not reach the air node";
}

TEST(CanopyEnergy, TemperaturesStayWithinFiveKelvinOfTheAir) {
    Canopy c;
    Plant& p = c.tree;
    c.site._dt = 1800;
    c.site.soil._Ts = c.r.tk + 40;
    p.radiation.foliage_net = 1e5;
    p.radiation.stem_net = -1e5;
    ASSERT_TRUE(c.step_b(p));
    EXPECT_EQ(p.foliage.temperature, c.r.tk + 5);
    EXPECT_EQ(p.stem.temperature, c.r.tk - 5);
    EXPECT_LE(p.t12, c.r.tk + 5);
    EXPECT_GT(p.t12, c.r.tk);

    // Dry surfaces and closed stomata: the air node's humidity lies between the
    // reference air's and the soil surface's.
    Canopy dry;
    dry.tree.foliage.leaf.vapour_conductance = 1e-14;
    ASSERT_TRUE(dry.step_b(dry.tree));
    EXPECT_GT(dry.tree.q12, dry.r.qa);
    EXPECT_LT(dry.tree.q12, dry.site.soil._qs);
}

TEST(CanopyStepA, SensibleHeatWidthAndNight) {
    Canopy c;
    c.tree.aero.ga = 0.5;
    c.tree.t12 = c.r.tk + 2;
    ASSERT_TRUE(c.step_a(c.tree));
    EXPECT_NEAR(c.tree.sums[2], 1.2 * 1010 * 0.5 * 2, 1e-9) << "the previous conductance";

    Canopy bare;  // no area: the layer's dimension is the leaf width
    set_lai(bare.tree, 0);
    set_sai(bare.tree, 0);
    Aerodynamics expected = bare.tree.aero;
    expected.update_profile(2, bare.tree.cover_fraction(), 0.1, 1.2, 0, bare.r.tk);
    ASSERT_TRUE(bare.step_a(bare.tree));
    EXPECT_EQ(bare.tree.aero.lm, expected.lm);

    Canopy night(noon(0));
    night.tree.foliage.leaf.gross_production = 9;
    ASSERT_TRUE(night.step_a(night.tree));
    EXPECT_EQ(night.tree.radiation.vis_abs_down, 0);
    EXPECT_EQ(night.tree.radiation.vis_out_down, 0);
    EXPECT_EQ(night.tree.foliage.leaf.gross_production, 0);
}

TEST(CanopyCoupling, LowerPartnersOfTheTree) {
    Canopy alone(noon(0));
    alone.site.soil._Ts = 280;
    alone.tree.radiation.vis_out_down = 50;  // the previous sub-step's
    ASSERT_TRUE(alone.step_a(alone.tree));
    EXPECT_DOUBLE_EQ(alone.tree.radiation.ir_in_up, 5.6697e-8 * std::pow(280.0, 4));
    EXPECT_DOUBLE_EQ(alone.tree.radiation.vis_in_up, alone.site.soil._refl * 50);

    Canopy over(noon(0), 1);  // the shrub's streams of the previous sub-step
    over.shrub.radiation.vis_out_up = 7;
    over.shrub.radiation.ir_out_up = 321;
    ASSERT_TRUE(over.step_a(over.tree));
    EXPECT_EQ(over.tree.radiation.vis_in_up, 7);
    EXPECT_EQ(over.tree.radiation.ir_in_up, 321);

    for (int32_t type : {0, 1}) {  // the air nodes exchange through the shrub's conductance
        Canopy c(noon(), type);
        c.shrub.t12 = c.r.tk + 4;
        c.shrub.aero.ga = 10;
        ASSERT_TRUE(c.step_b(c.tree));
        if (type == 1) {
            EXPECT_GT(c.tree.t12, c.r.tk + 0.5);
        } else {
            EXPECT_DOUBLE_EQ(c.tree.t12, c.r.tk) << "the soil is at the air temperature";
        }
    }
}

TEST(CanopyCoupling, ShrubIsDrivenByTheTreeOfTheSameSubStep) {
    Canopy c(noon(500, 1e-3), 1);
    ASSERT_TRUE(c.step_a(c.tree));
    ASSERT_TRUE(c.step_a(c.shrub));
    EXPECT_EQ(c.shrub.radiation.ir_in_down, c.tree.radiation.ir_out_down);
    expect_layer_water(c.shrub, c.tree.throughfall());
    EXPECT_GT(c.shrub.radiation.vis_out_down, 0);
    EXPECT_LT(c.shrub.radiation.vis_out_down, c.tree.radiation.vis_out_down);

    c.tree.t12 = c.r.tk + 3;  // as the tree's step B has just left it
    ASSERT_TRUE(c.step_b(c.shrub));
    EXPECT_GT(c.shrub.t12, c.r.tk);
}

}  // namespace
}  // namespace kelmora
