// The canopy sub-step: radiation and water bookkeeping of a plant layer, the air
// node and the surface temperatures, and the coupling of tree, shrub and soil.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "plant/plant.h"
#include "run/site.h"
#include "test_support.h"

namespace kelmora {
namespace {

constexpr size_t kF = Interception::kFoliage;
constexpr size_t kS = Interception::kStem;

ForcingRecord noon(double sw_in = 400, double precip_rate = 0) {
    ForcingRecord r;
    r.day = 200;
    r.hour = 12;
    r.ta = 20;
    r.tk = 293.15;
    r.vpd = 1.0;
    r.wind = 2.0;
    r.sw_in = sw_in;
    r.lw_in = 350;
    r.pa = 101.3;
    r.co2 = 400;
    r.ea = esat(20) - 1.0;
    r.qa = r.ea * 0.622 / r.pa;
    r.rh = r.ea / esat(20);
    r.precip_rate = precip_rate;
    r.rho_air = 1.2;
    return r;
}

// Leaf area index of the layer, held by the day's prescribed course too so that
// the static foliage keeps it.
void set_lai(Plant& p, double lai) {
    p.foliage._lai.fill(lai);
    p.foliage.carbon = lai / p.foliage._sla;
}

void set_sai(Plant& p, double sai) {
    p.stem._carbon = sai / p.stem._ssa;
}

// The state an initialisation leaves in a layer.
void prepare(Plant& p, const ForcingRecord& r, double zrf, double lai) {
    Aerodynamics& a = p.aero;
    a._zt = p._ztop;
    a._zb = p._zbot;
    a._zm = 0.13 * p._ztop;
    a._zd = 0.77 * p._ztop;
    a._zh = 0.2 * a._zm;
    a._z12 = a._zd + a._zm;
    a._zrf = zrf;
    a._rho = r.rho_air;
    p.t12 = r.tk;
    p.q12 = r.qa;
    p.foliage.temperature = r.tk;
    p.stem.temperature = r.tk;
    p.foliage.leaf.vapour_conductance = p.foliage.leaf._g0 * 0.018016 / 1000;
    set_lai(p, lai);
}

void prepare(Site& site, const ForcingRecord& r, int32_t type = 0) {
    site._type = type;
    site._dt = 10;
    prepare(site.tree, r, site._zref, 6);
    prepare(site.shrub, r, site.tree._zbot, 3);
    site.shrub.stem._carbon = 1.5;
    site.shrub.stem._ssa = 0.6666666666666666;
    Soil& soil = site.soil;
    soil._Ts = r.tk;
    soil._qs = qsat(r.tk, r.pa);
    soil._fw = 1;
    soil.aero._rho = r.rho_air;
    soil.aero._u12 = 0.5;
}

double visible_in(const Radiation& rad) {
    return rad.vis_in_down + rad.vis_in_up;
}
double visible_kept(const Radiation& rad) {
    return rad.vis_abs_down + rad.vis_abs_up + rad.stem_net + rad.vis_out_down + rad.vis_out_up;
}

void clear_absorbed(Radiation& rad) {
    rad.vis_abs_down = rad.vis_abs_up = rad.foliage_net = rad.stem_net = 0;
}

TEST(CanopyVisible, AbsorbedAndLeavingEqualsArriving) {
    const double lais[] = {0, 0.3, 2, 6, 25};  // 25: sub-layers holding 0.1 of area
    const double sais[] = {0, 0.5, 1, 3};
    const double pais[] = {0.05, 0.65, 1};
    for (double lai : lais) {
        for (double sai : sais) {
            for (double pai : pais) {
                Site site;
                prepare(site, noon());
                Plant& p = site.tree;
                set_lai(p, lai);
                set_sai(p, sai);
                p._pai = pai;
                p.foliage._abs = 0.87;  // leaves and stems absorb or reflect all they meet
                p.stem._refl = 0.3;
                clear_absorbed(p.radiation);
                p.radiation.vis_in_down = 184;
                p.radiation.vis_in_up = 23;
                const double in = visible_in(p.radiation);
                p.transfer_vis();
                const Radiation& rad = p.radiation;
                SCOPED_TRACE(testing::Message()
                             << "lai " << lai << " sai " << sai << " pai " << pai);
                EXPECT_NEAR(visible_kept(rad), in, 1e-10 * in);
                EXPECT_NEAR(rad.foliage_net, rad.vis_abs_down + rad.vis_abs_up, 1e-12 * in);
                EXPECT_GE(rad.vis_out_down, 0);
                EXPECT_GE(rad.vis_out_up, 0);
                EXPECT_GE(rad.stem_net, 0);
                if (lai == 0) {
                    EXPECT_EQ(rad.foliage_net, 0);
                }
                if (sai == 0) {
                    EXPECT_EQ(rad.stem_net, 0);
                }
            }
        }
    }
}

TEST(CanopyVisible, NightAbsorbsNothingAndSendsNothingOn) {
    Site site;
    prepare(site, noon(0));
    Plant& p = site.tree;
    p.radiation.vis_abs_down = p.radiation.vis_abs_up = 5;
    p.radiation.vis_out_down = p.radiation.vis_out_up = 7;
    p.radiation.vis_in_down = 0.09;
    p.radiation.vis_in_up = 40;  // ignored at night
    p.radiation.ir_in_down = p.radiation.ir_in_up = 0;
    p.foliage.temperature = p.stem.temperature = 0;  // no emission either
    p.transfer_ir();
    EXPECT_EQ(p.radiation.vis_out_down, 0);
    EXPECT_EQ(p.radiation.vis_out_up, 0);
    EXPECT_EQ(p.radiation.vis_abs_down, 0);
    EXPECT_EQ(p.radiation.vis_abs_up, 0);
    EXPECT_EQ(p.radiation.foliage_net, 0);
    EXPECT_EQ(p.radiation.stem_net, 0);

    p.radiation.vis_in_down = 0.1;  // the threshold is day already
    p.radiation.vis_in_up = 0;
    p.transfer_ir();
    EXPECT_GT(p.radiation.vis_abs_down, 0);
}

// Infrared budget of a layer with visible light absent: outgoing streams plus net
// radiation of foliage and stems against the incoming streams.
struct InfraredBudget {
    double imbalance;  // incoming - (outgoing + net of foliage + net of stems)
    double lost;       // (1 - es) Ef + (1 - ef) Es
};

InfraredBudget infrared_budget(Plant& p, double tf, double tt) {
    p.foliage.temperature = tf;
    p.stem.temperature = tt;
    Radiation& rad = p.radiation;
    rad.vis_in_down = rad.vis_in_up = 0;
    rad.ir_in_down = 410;
    rad.ir_in_up = 425;
    p.transfer_ir();
    const double fc = p.cover_fraction();
    const double ef = fc * (1 - std::exp(-0.5 * p._fem * p.lai()));
    const double es = fc * (1 - std::exp(-0.5 * p._fem * p.sai()));
    const double big_ef = ef * 5.6697e-8 * std::pow(tf, 4);
    const double big_es = es * 5.6697e-8 * std::pow(tt, 4);
    const double out = rad.ir_out_down + rad.ir_out_up + rad.foliage_net + rad.stem_net;
    return {410 + 425 - out, (1 - es) * big_ef + (1 - ef) * big_es};
}

TEST(CanopyInfrared, IncomingStreamsAreAbsorbedOrPassedOn) {
    for (double lai : {0.0, 1.0, 6.0}) {
        Site site;
        prepare(site, noon());
        Plant& p = site.tree;
        p._fem = 1.3;
        p._pai = 0.8;
        set_lai(p, lai);
        const InfraredBudget b = infrared_budget(p, 0, 0);  // no emission
        EXPECT_NEAR(b.imbalance, 0, 1e-10);
        EXPECT_GE(p.radiation.ir_out_down, 0);
        EXPECT_GE(p.radiation.ir_out_up, 0);
    }
}

TEST(CanopyInfrared, EmissionBetweenFoliageAndStemsLeavesTheBudget) {
    // The foliage's downward and the stems' upward emission reach only the other
    // element; what that one does not absorb is not carried on.
    Site site;
    prepare(site, noon());
    Plant& p = site.tree;
    p._fem = 1.3;
    p._pai = 0.8;
    set_lai(p, 4);
    set_sai(p, 1);
    const InfraredBudget b = infrared_budget(p, 300, 290);
    EXPECT_GT(b.lost, 100);
    EXPECT_NEAR(b.imbalance, b.lost, 1e-9 * b.lost);
}

TEST(CanopyCover, FullCoverLeavesNoGaps) {
    Site site;
    const ForcingRecord r = noon(400, 1e-3);
    prepare(site, r);
    Plant& p = site.tree;
    p._pai = 1;
    p._zbot = 15;  // dense foliage between 15 and 20 m
    p.aero._zb = 15;
    p.foliage._abs = 1;  // black leaves: nothing is sent back down past them
    p.foliage._refl = 0;
    set_lai(p, 10);
    ASSERT_EQ(p.cover_fraction(), 1);
    ASSERT_TRUE(p.step_a(r, site));
    // Whatever leaves the bottom has passed ten layers of black leaves.
    EXPECT_LT(p.radiation.vis_out_down, 1e-3 * 0.46 * r.sw_in);
    EXPECT_LT(p.throughfall(), r.precip_rate);
    EXPECT_GT(p.interception.intercepted[kF], 0.5 * r.precip_rate);
}

TEST(CanopyCover, TinyCoverLetsNearlyEverythingThrough) {
    Site site;
    const ForcingRecord r = noon(400, 1e-3);
    prepare(site, r);
    Plant& p = site.tree;
    p._pai = 1e-6;
    set_lai(p, 1e-7);
    ASSERT_NEAR(p.cover_fraction(), 1e-6, 1e-12);
    ASSERT_TRUE(p.step_a(r, site));
    EXPECT_NEAR(p.radiation.vis_out_down, 0.46 * r.sw_in, 1e-5 * r.sw_in);
    EXPECT_NEAR(p.radiation.ir_out_down, 0.54 * r.sw_in + r.lw_in, 1e-3);
    EXPECT_NEAR(p.throughfall(), r.precip_rate, 1e-6 * r.precip_rate);
}

// Checks of one surface's interception over stores from empty to full, in dry and
// in saturated air.
TEST(CanopyInterception, EvaporationAndCondensationKeepWithinTheStore) {
    const double dt = 10;
    for (size_t k : {kF, kS}) {
        for (double q12 : {0.0, 0.05}) {
            for (double fill : {0.0, 0.1, 0.5, 1.0, 1.5, 2.0}) {
                for (double input : {0.0, 2e-3}) {
                    Site site;
                    const ForcingRecord r = noon();
                    prepare(site, r);
                    Plant& p = site.tree;
                    p.foliage.temperature = p.stem.temperature = r.tk + 4;
                    p.q12 = q12;
                    const double a = k == kF ? p.lai() : p.sai();
                    Interception& w = p.interception;
                    w.store[k] = fill * a;
                    p.intercept(r, site, static_cast<int>(k), input);
                    SCOPED_TRACE(testing::Message() << "surface " << k << " q12 " << q12 << " fill "
                                                    << fill << " input " << input);
                    EXPECT_LE(w.evaporation[k] * dt, 0.5 * w.store[k] + 1e-15);
                    EXPECT_LE(-w.evaporation[k] * dt, 0.5 * (2 * a - w.store[k]) + 1e-15);
                    EXPECT_GE(w.drainage[k], 0);
                    EXPECT_NEAR(input + w.drainage[k], w.intercepted[k] + w.passed[k], 1e-15);
                    EXPECT_GE(w.transpiration, 0);
                    if (q12 > 0) {  // condensation only, no transpiration
                        EXPECT_LE(w.evaporation[k], 0);
                        EXPECT_EQ(w.transpiration, 0);
                    }
                    if (fill == 1.0) {  // a full store takes no more
                        EXPECT_EQ(w.intercepted[k], 0);
                    }
                }
            }
        }
    }
}

TEST(CanopyInterception, SurfaceWithoutAreaPassesItsInput) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    set_lai(p, 0);
    p.interception.store[kF] = 0.3;
    p.interception.transpiration = 1;
    p.intercept(r, site, Interception::kFoliage, 4e-4);
    EXPECT_EQ(p.interception.passed[kF], 4e-4);
    EXPECT_EQ(p.interception.store[kF], 0);
    EXPECT_EQ(p.interception.intercepted[kF], 0);
    EXPECT_EQ(p.interception.transpiration, 0);
}

// Water balance of the layer in a sub-step: input plus drip equals what the
// surfaces catch plus the throughfall.
void expect_layer_water(const Plant& p, double input) {
    const Interception& w = p.interception;
    EXPECT_NEAR(input + w.drainage[kF] + w.drainage[kS],
                w.intercepted[kF] + w.intercepted[kS] + p.throughfall(), 1e-14);
}

// Rain, then dry sunny air, through whole sub-steps of the layer.
TEST(CanopyInterception, StoresFillInRainAndDryOutWithoutGoingNegative) {
    Site site;
    prepare(site, noon());
    Plant& p = site.tree;
    double peak = 0;
    for (int i = 0; i < 600; ++i) {
        ForcingRecord r = noon(600, i < 200 ? 1e-2 : 0);
        if (i >= 200) {  // dry, warm air afterwards
            r.vpd = 2.5;
            r.ea = esat(20) - 2.5;
            r.qa = r.ea * 0.622 / r.pa;
            r.rh = r.ea / esat(20);
        }
        ASSERT_TRUE(p.step_a(r, site));
        expect_layer_water(p, r.precip_rate);
        ASSERT_TRUE(p.step_b(r, site));
        for (double t : {p.foliage.temperature, p.stem.temperature, p.t12}) {
            ASSERT_LE(std::fabs(t - r.tk), 5 + 1e-9);
        }
        ASSERT_GT(p.q12, 0);
        const Interception& w = p.interception;
        for (size_t k : {kF, kS}) {
            const double a = k == kF ? p.lai() : p.sai();
            ASSERT_GE(w.store[k], 0);
            ASSERT_LE(w.store[k], 2 * a + 1e-12);
        }
        peak = std::max(peak, w.store[kF]);
    }
    EXPECT_GT(peak, 0.5 * p.lai());
    EXPECT_LT(p.interception.store[kF], peak);
}

TEST(CanopyEnergy, LeaflessFoliageFollowsTheAir) {
    const ForcingRecord r = noon();
    double t12[2];
    for (int i = 0; i < 2; ++i) {
        Site site;
        prepare(site, r);
        Plant& p = site.tree;
        set_lai(p, 0);
        p.foliage.temperature = r.tk + (i == 0 ? 3 : -4);
        p.radiation.foliage_net = 200;
        ASSERT_TRUE(p.step_b(r, site));
        EXPECT_EQ(p.foliage.temperature, r.tk);
        EXPECT_DOUBLE_EQ(p.foliage.sums[0], r.ta);
        for (size_t j = 1; j < p.foliage.sums.size(); ++j) EXPECT_EQ(p.foliage.sums[j], 0);
        t12[i] = p.t12;
    }
    EXPECT_EQ(t12[0], t12[1]);  // the old leaf temperature does not reach the air node
}

TEST(CanopyEnergy, StemsWithoutHeatCapacityFollowTheAir) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    p.stem._carbon = 0;
    p.stem.temperature = r.tk + 2;
    p.stem.respiration = 0.7;
    p.stem.decomposition = 0.2;
    p.radiation.stem_net = 40;
    ASSERT_TRUE(p.step_b(r, site));
    EXPECT_EQ(p.stem.temperature, r.tk);
    const auto& s = p.stem.sums;
    EXPECT_DOUBLE_EQ(s[0], r.ta);
    EXPECT_EQ(s[1], 0);
    EXPECT_EQ(s[2], p.stem._litter);
    EXPECT_EQ(s[3], 0.7);
    EXPECT_EQ(s[4], 0.2);
    EXPECT_EQ(s[6], 40);
    for (double v : s) EXPECT_TRUE(std::isfinite(v));
}

TEST(CanopyEnergy, TemperaturesStayWithinFiveKelvinOfTheAir) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    site._dt = 1800;
    Plant& p = site.tree;
    site.soil._Ts = r.tk + 40;
    p.radiation.foliage_net = 1e5;
    p.radiation.stem_net = -1e5;
    ASSERT_TRUE(p.step_b(r, site));
    EXPECT_EQ(p.foliage.temperature, r.tk + 5);
    EXPECT_EQ(p.stem.temperature, r.tk - 5);
    EXPECT_LE(p.t12, r.tk + 5);
    EXPECT_GT(p.t12, r.tk);
}

TEST(CanopyEnergy, AirNodeIsAMeanOfItsPartners) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    ASSERT_TRUE(p.step_b(r, site));
    EXPECT_DOUBLE_EQ(p.t12, r.tk);  // every partner at the air temperature

    // Dry surfaces and closed stomata: the humidity lies between that of the
    // reference air and that of the soil surface.
    Site dry;
    prepare(dry, r);
    Plant& q = dry.tree;
    q.foliage.leaf.vapour_conductance = 1e-14;
    q.foliage.temperature = r.tk + 3;
    ASSERT_TRUE(q.step_b(r, dry));
    const double q_soil = dry.soil._qs;
    EXPECT_GT(q.q12, r.qa);
    EXPECT_LT(q.q12, q_soil);
    EXPECT_GT(q.t12, r.tk);
}

TEST(CanopyEnergy, SumsFollowTheOutputColumns) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    p.foliage.litter = 0.3;
    p.foliage.decomposition = 1.7;
    p.interception.evaporation = {1e-5, 3e-6};
    p.interception.transpiration = 2e-5;
    p.radiation.foliage_net = 123;
    p.radiation.stem_net = 45;
    p.radiation.vis_out_down = 11;
    p.radiation.vis_out_up = 12;
    p.radiation.ir_out_down = 13;
    p.radiation.ir_out_up = 14;
    p.stem.respiration = 0.8;
    p.stem.decomposition = 0.9;
    p.foliage.temperature = r.tk + 1;  // a sensible heat flux to the air
    ASSERT_TRUE(p.step_b(r, site));
    const double le_f = (1e-5 + 2e-5) * 2264700;
    const double le_s = 3e-6 * 2264700;
    const std::array<double, 9> foliage = {p.foliage.temperature - 273.15,
                                           p.foliage.carbon,
                                           0.3,
                                           1.7,
                                           1e-5,
                                           2e-5,
                                           123,
                                           p.foliage.sums[7],
                                           le_f};
    const std::array<double, 9> stem = {p.stem.temperature - 273.15,
                                        p.stem._carbon,
                                        p.stem._litter,
                                        0.8,
                                        0.9,
                                        3e-6,
                                        45,
                                        p.stem.sums[7],
                                        le_s};
    const std::array<double, 7> plant = {p.t12 - 273.15, p.q12, 0, 11, 12, 13, 14};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_NEAR(p.foliage.sums[i], foliage[i], 1e-12) << "foliage column " << i + 4;
        EXPECT_NEAR(p.stem.sums[i], stem[i], 1e-12) << "stem column " << i + 4;
    }
    for (size_t i = 0; i < 7; ++i)
        EXPECT_NEAR(p.sums[i], plant[i], 1e-12) << "plant column " << i + 4;
    EXPECT_GT(p.foliage.sums[7], 0);  // the warmer leaves heat the air
}

TEST(CanopyStepA, SensibleHeatUsesThePreviousConductance) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    p.aero._ga = 0.5;
    p.t12 = r.tk + 2;
    ASSERT_TRUE(p.step_a(r, site));
    EXPECT_NEAR(p.sums[2], 1.2 * 1010 * 0.5 * 2, 1e-9);
    EXPECT_NE(p.aero._ga, 0.5);
}

TEST(CanopyStepA, LayerWithoutAreaTakesTheLeafWidth) {
    Site site;
    const ForcingRecord r = noon();
    prepare(site, r);
    Plant& p = site.tree;
    set_lai(p, 0);
    set_sai(p, 0);
    Aerodynamics expected = p.aero;
    expected.update_profile(r.wind, p.cover_fraction(), p.foliage._dim, r.rho_air, 0, r.tk);
    ASSERT_TRUE(p.step_a(r, site));
    EXPECT_EQ(p.aero._lm, expected._lm);
    EXPECT_EQ(p.aero._u12, expected._u12);
    EXPECT_TRUE(std::isfinite(p.aero._ga));
}

TEST(CanopyStepA, NightGivesNoGrossProduction) {
    Site site;
    const ForcingRecord r = noon(0);
    prepare(site, r);
    Plant& p = site.tree;
    p.foliage.leaf.gross_production = 9;
    ASSERT_TRUE(p.step_a(r, site));
    EXPECT_EQ(p.radiation.vis_abs_down, 0);
    EXPECT_EQ(p.radiation.vis_abs_up, 0);
    EXPECT_EQ(p.radiation.vis_out_down, 0);
    EXPECT_EQ(p.foliage.leaf.gross_production, 0);
}

TEST(CanopyCoupling, TreeAloneSeesTheSoil) {
    Site site;
    const ForcingRecord r = noon(0);
    prepare(site, r);
    Plant& p = site.tree;
    site.soil._Ts = 280;
    p.radiation.vis_out_down = 50;  // the previous sub-step's
    ASSERT_TRUE(p.step_a(r, site));
    EXPECT_DOUBLE_EQ(p.radiation.ir_in_up, 5.6697e-8 * std::pow(280.0, 4));
    EXPECT_DOUBLE_EQ(p.radiation.vis_in_up, site.soil._refl * 50);
}

TEST(CanopyCoupling, TreeOverShrubSeesTheShrubsPreviousStreams) {
    Site site;
    const ForcingRecord r = noon(0);
    prepare(site, r, 1);
    site.shrub.radiation.vis_out_up = 7;
    site.shrub.radiation.ir_out_up = 321;
    ASSERT_TRUE(site.tree.step_a(r, site));
    EXPECT_EQ(site.tree.radiation.vis_in_up, 7);
    EXPECT_EQ(site.tree.radiation.ir_in_up, 321);
}

TEST(CanopyCoupling, ShrubIsDrivenByTheTreeOfTheSameSubStep) {
    Site site;
    const ForcingRecord r = noon(500, 1e-3);
    prepare(site, r, 1);
    Plant& tree = site.tree;
    Plant& shrub = site.shrub;
    ASSERT_TRUE(tree.step_a(r, site));
    ASSERT_TRUE(shrub.step_a(r, site));
    EXPECT_EQ(shrub.radiation.ir_in_down, tree.radiation.ir_out_down);
    EXPECT_DOUBLE_EQ(shrub.radiation.ir_in_up, 5.6697e-8 * std::pow(r.tk, 4));
    EXPECT_EQ(shrub.sums[2], 0);  // shrub and tree air nodes both at tk
    expect_layer_water(shrub, tree.throughfall());
    // The shrub's light is what leaves the tree's bottom, in part passed on again.
    EXPECT_GT(shrub.radiation.vis_out_down, 0);
    EXPECT_LT(shrub.radiation.vis_out_down, tree.radiation.vis_out_down);
}

TEST(CanopyCoupling, AirNodesExchangeThroughTheShrubsConductance) {
    const ForcingRecord r = noon();
    for (int32_t type : {0, 1}) {
        Site site;
        prepare(site, r, type);
        site.shrub.t12 = r.tk + 4;
        site.shrub.aero._ga = 10;
        ASSERT_TRUE(site.tree.step_b(r, site));
        if (type == 1) {
            EXPECT_GT(site.tree.t12, r.tk + 0.5);
        } else {
            EXPECT_DOUBLE_EQ(site.tree.t12, r.tk);  // the soil is at the air temperature
        }
    }
    Site site;
    prepare(site, r, 1);
    site.tree.t12 = r.tk + 3;  // as the tree's step B has just left it
    ASSERT_TRUE(site.shrub.step_b(r, site));
    EXPECT_GT(site.shrub.t12, r.tk);
}

// Whole sub-steps of the layers over the real soil, through a day and a night with
// a shower: every state stays finite and near the air.
TEST(CanopyWithSoil, SubStepsOfTheSiteStayFiniteAndNearTheAir) {
    for (int32_t type : {0, 1}) {
        test::TempDir dir;
        Site site;
        site.out_path = dir.str() + "/";
        ForcingRecord r = noon();
        prepare(site, r, type);
        ASSERT_TRUE(site.soil.init(r, site)) << site.error_text;
        for (int i = 0; i < 720; ++i) {
            r = noon(i < 360 ? 700 : 0, i > 100 && i < 200 ? 5e-3 : 0);
            const bool ok = site.tree.step_a(r, site) &&
                            (type == 0 || site.shrub.step_a(r, site)) &&
                            site.soil.step_a(r, site) && site.tree.step_b(r, site) &&
                            (type == 0 || site.shrub.step_b(r, site)) && site.soil.step_b(r, site);
            ASSERT_TRUE(ok) << site.error_text;
            for (const Plant* p : {&site.tree, &site.shrub}) {
                if (p == &site.shrub && type == 0) continue;
                for (double t : {p->foliage.temperature, p->stem.temperature, p->t12}) {
                    ASSERT_LE(std::fabs(t - r.tk), 5 + 1e-9) << "sub-step " << i;
                }
                ASSERT_TRUE(std::isfinite(p->q12));
                ASSERT_GE(p->interception.store[kF], 0);
                ASSERT_GE(p->interception.store[kS], 0);
                for (double v : p->sums) ASSERT_TRUE(std::isfinite(v));
                for (double v : p->foliage.sums) ASSERT_TRUE(std::isfinite(v));
                for (double v : p->stem.sums) ASSERT_TRUE(std::isfinite(v));
            }
        }
        EXPECT_GT(site.tree.foliage.leaf.sums[0], 0);  // gross production by day
    }
}

}  // namespace
}  // namespace kelmora
