// The fine and coarse root pools: rates, turnover and carbon bookkeeping.
#include <gtest/gtest.h>

#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

TEST(RootRates, ReferenceTemperatureAndStaticPools) {
    Site site;
    site.soil._Ts = 298;
    site.soil._fw = 0.5;
    site.tree.foliage.leaf.gross_production = 20;
    Root& fine = site.soil.fine;
    Root& coarse = site.soil.coarse;
    for (Root* r : {&fine, &coarse}) {
        r->compute_rates(site);
        EXPECT_TRUE(r->update_carbon(site));
        EXPECT_EQ(r->_turnover, 0);  // static pools neither turn over nor change
    }
    EXPECT_DOUBLE_EQ(fine._resp, 2.25);
    EXPECT_DOUBLE_EQ(coarse._resp, 1.5);
    EXPECT_DOUBLE_EQ(coarse._decomp, 2 * 0.5 * 0.5);
    EXPECT_DOUBLE_EQ(fine._life, 1.5);
    EXPECT_DOUBLE_EQ(coarse._life, 1);
    EXPECT_DOUBLE_EQ(coarse._dead, 0.5);
}

// Turnover of a dynamic fine pool; without dead carbon it never decomposes.
TEST(RootCarbon, FinePoolTurnsOverButNeverDecomposes) {
    test::SiteInTemp s;
    test::write_file(s.path("root.fine.par"), "_dynamic 1\n_dead 2\n");
    Root& fine = s.site.soil.fine;
    ASSERT_TRUE(fine.init(s.site)) << s.site.error_text;
    s.site._dt = 3600;
    s.site.soil._Ts = 298;
    fine.compute_rates(s.site);
    EXPECT_NEAR(100 * fine._turnover / fine._life, 0.0526, 0.00005);
    for (int k = 0; k < 100; ++k) {
        EXPECT_TRUE(fine.update_carbon(s.site));
        fine.compute_rates(s.site);
        ASSERT_EQ(fine._decomp, 0) << k;
        ASSERT_EQ(fine._dead, 0) << k;  // its turnover feeds the coarse live pool
    }
    EXPECT_LT(fine._life, 1.5);
}

// In the dynamic mode the pools gain their shares of each stepped layer's net
// assimilation and lose respiration and decomposition; turnover moves carbon
// between pools and so leaves the total unchanged.
TEST(RootCarbon, DynamicPoolsKeepTheirCarbonBooks) {
    for (int type : {0, 1}) {
        Site site;
        site._type = type;
        site._dt = 600;
        site.soil._Ts = 290;
        site.soil._fw = 0.8;
        site.tree.foliage.leaf.gross_production = 12;
        site.tree.foliage.leaf.dark_respiration = 2;
        site.shrub.foliage.leaf.gross_production = 5;
        site.shrub.foliage.leaf.dark_respiration = 1;
        Soil& soil = site.soil;
        soil.fine._dynamic = soil.coarse._dynamic = 1;
        const auto total = [&] {
            return soil.fine._life + soil.fine._dead + soil.coarse._life + soil.coarse._dead;
        };
        const double before = total();
        const double coarse_dead = soil.coarse._dead;
        double losses = 0;
        for (Root* r : {&soil.fine, &soil.coarse}) {
            r->compute_rates(site);
            losses += r->_resp + r->_decomp;
        }
        EXPECT_TRUE(soil.fine.update_carbon(site));
        EXPECT_TRUE(soil.coarse.update_carbon(site));
        const double net = type == 1 ? 10 + 4 : 10;
        const double k = 600 * 1.2e-8;  // umol m-2 s-1 over the sub-step, in kgC m-2
        EXPECT_NEAR(total() - before, (net * (0.35 + 0.05) - losses) * k, 1e-15) << type;
        EXPECT_NEAR(soil.coarse._dead,
                    coarse_dead - soil.coarse._decomp * k + soil.coarse._turnover, 1e-15);
        EXPECT_DOUBLE_EQ(soil.fine._dead, 0);
    }
}

}  // namespace
}  // namespace kelmora
