// Forcing file: validation messages, derived quantities, intervals, interpolation.
#include <gtest/gtest.h>

#include "run/forcing.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

struct Read {
    bool ok;
    std::string error;
    std::vector<ForcingRecord> records;
};

Read read_text(const std::string& text) {
    test::TempDir dir;
    test::write_file(dir.file("in.txt"), text);
    auto site = std::make_unique<Site>();
    const bool ok = read_forcing(*site, dir.file("in.txt"));
    return {ok, site->error_text, site->records};
}

const std::string kWorkedLine = "185, 12, 30, 25.1, 1.2, 2.3, 450, 380, 0, 101.3, 400\n";

TEST(Forcing, WorkedLineDerivesHumidityDensityAndRate) {
    const Read r = read_text(kWorkedLine + "185 13 0 25.1 1.2 2.3 450 380 3.6 101.3 400 2.5\n");
    ASSERT_TRUE(r.ok) << r.error;
    const ForcingRecord& f = r.records[0];
    EXPECT_EQ(f.interval, 0);
    EXPECT_DOUBLE_EQ(f.nep_obs, -9999.9);
    EXPECT_DOUBLE_EQ(f.tk, 298.25);
    EXPECT_NEAR(esat(25.1), 3.18487, 5e-6);
    EXPECT_NEAR(f.ea, 1.98487, 5e-6);
    EXPECT_NEAR(f.rh, 0.623219, 5e-7);
    EXPECT_NEAR(f.qa, 0.0121875, 5e-8);
    EXPECT_NEAR(f.rho_air, 1.1832, 5e-5);
    EXPECT_EQ(f.precip_rate, 0);
    EXPECT_DOUBLE_EQ(r.records[1].precip_rate, 0.001);
    EXPECT_DOUBLE_EQ(r.records[1].nep_obs, 2.5);
    EXPECT_EQ(r.records[1].interval, 1800);

    // No deficit: saturated air with the deficit at its floor. A deficit above
    // saturation: humidity and vapour pressure at their floors.
    const Read none = read_text("185, 12, 30, 20, 0, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_DOUBLE_EQ(none.records[0].vpd, 1e-5);
    EXPECT_NEAR(none.records[0].rh, 1, 1e-5);
    const Read dry = read_text("185, 12, 30, 20, 9, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_DOUBLE_EQ(dry.records[0].rh, 0.01);
    EXPECT_DOUBLE_EQ(dry.records[0].ea, 1e-5);
    EXPECT_DOUBLE_EQ(dry.records[0].qa, 1e-5 * 0.622 / 101.3);
}

TEST(Forcing, IntervalsSkippedLinesAndNonNumbers) {
    const Read r = read_text(
        "# a comment, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n\n"
        "365, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "365 23 40 25 1 2 450 380 0 101.3\n"  // 10 words: skipped
        "1, 0, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 0, 10, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 1, 10, 25, 1, 2, 450, 380, 0, 101.3, 400, 1, extra, words\n"
        "1, 2, 10, inf, 0x10, 2, 450, 380, 0, 101.3, 400\n\n\n");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.records.size(), 5u);
    std::vector<int32_t> intervals;
    for (const auto& f : r.records) intervals.push_back(f.interval);
    EXPECT_EQ(intervals, (std::vector<int32_t>{0, 1800, 600, 3600, 3600}));
    EXPECT_DOUBLE_EQ(r.records[3].nep_obs, 1);
    // "inf" and "0x10" are no numbers: 0 degC, and a deficit of 0 at its floor.
    EXPECT_EQ(r.records[4].ta, 0);
    EXPECT_EQ(r.records[4].vpd, 1e-5);
}

TEST(Forcing, EveryValidationMessageQuotesTheLineWithBlanksForCommas) {
    const struct {
        std::string line;
        std::string message;
    } cases[] = {
        {"366, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad day of year value at "},
        {"x, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad day of year value at "},
        {"185, 24, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad hour value at "},
        {"185, 13, 60, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad minute value at "},
        {"185, 13, 0, -273.15, 1, 2, 450, 380, 0, 101.3, 400", "Bad air temperature value at "},
        {"185, 13, 0, 1e999, 1, 2, 450, 380, 0, 101.3, 400", "Bad air temperature value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 0, 400", "Bad air pressure value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, -1e400, 400", "Bad air pressure value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 0", "Bad CO2 value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, nan", "Bad CO2 value at "},
        {"185, 13, 0, 25, 1, 2e400, 450, 380, 0, 101.3, 400", "Bad value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400, -1e309", "Bad value at "},
        {"185, 13, 31, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad time interval at "},
        {"185, 12, 30, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad time interval at "},
    };
    for (const auto& c : cases) {
        const Read r = read_text(kWorkedLine + c.line + "\n");
        EXPECT_FALSE(r.ok) << c.line;
        std::string quoted = c.line;
        for (char& ch : quoted) ch = ch == ',' ? ' ' : ch;
        EXPECT_EQ(r.error, c.message + quoted);
        EXPECT_EQ(r.records.size(), 1u) << "the records before the bad line stay";
    }
    auto site = std::make_unique<Site>();
    EXPECT_FALSE(read_forcing(*site, "/nonexistent/in.txt"));
    EXPECT_EQ(site->error_text, "Failed to open /nonexistent/in.txt");
}

TEST(Forcing, InterpolationAtSubStepMidPoints) {
    ForcingRecord prev;
    prev.ta = 10;
    prev.tk = 283.15;
    prev.co2 = 400;
    prev.nep_obs = 7;
    ForcingRecord cur = prev;
    cur.ta = 20;
    cur.tk = 293.15;
    cur.co2 = 420;
    cur.day = 185;
    cur.interval = 1800;
    cur.substeps = 3;
    cur.nep_obs = -2;
    const ForcingRecord mid = interpolate(prev, cur, 900);
    EXPECT_DOUBLE_EQ(mid.ta, 15);
    EXPECT_DOUBLE_EQ(mid.tk, 288.15);
    EXPECT_DOUBLE_EQ(mid.co2, 410);
    EXPECT_EQ(mid.nep_obs, -2);
    EXPECT_EQ(mid.day, 185);
    EXPECT_EQ(mid.substeps, 3);
    // The first 10-second sub-step is taken 5 s after the earlier record.
    EXPECT_DOUBLE_EQ(interpolate(prev, cur, 5).ta, 10 * (1 - 5.0 / 1800) + 20 * (5.0 / 1800));
}

}  // namespace
}  // namespace kelmora
