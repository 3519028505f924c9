// Forcing file: derived quantities, intervals, validation messages, interpolation.
#include <gtest/gtest.h>

#include "physics/physics.h"
#include "run/forcing.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

// The records of a forcing file of `text` and the failure that ended its reading.
struct Read {
    Failure failure;
    std::vector<ForcingRecord> records;
    explicit Read(const std::string& text) {
        test::TempDir dir;
        test::write_file(dir.file("in.txt"), text);
        failure = read_forcing(dir.file("in.txt"), records);
    }
};

const std::string kWorkedLine = "185, 12, 30, 25.1, 1.2, 2.3, 450, 380, 0, 101.3, 400\n";

TEST(Forcing, WorkedLineDerivesHumidityDensityAndRate) {
    const Read r(kWorkedLine + "185 13 0 25.1 1.2 2.3 450 380 3.6 101.3 400 2.5\n");
    ASSERT_FALSE(r.failure) << *r.failure;
    const ForcingRecord& f = r.records[0];
    EXPECT_DOUBLE_EQ(f.nep_obs, -9999.9);
    EXPECT_DOUBLE_EQ(f.tk, 298.25);
    EXPECT_NEAR(esat(25.1), 3.18487, 5e-6);
    EXPECT_NEAR(f.ea, 1.98487, 5e-6);
    EXPECT_NEAR(f.rh, 0.623219, 5e-7);
    EXPECT_NEAR(f.qa, 0.0121875, 5e-8);
    EXPECT_NEAR(f.rho_air, 1.1832, 5e-5);
    EXPECT_DOUBLE_EQ(r.records[1].precip_rate, 0.001);
    EXPECT_DOUBLE_EQ(r.records[1].nep_obs, 2.5);
    EXPECT_EQ(r.records[1].interval, 1800);

    // No deficit: saturated air with the deficit at its floor. A deficit above
    // saturation: humidity and vapour pressure at their floors.
    const Read none("185, 12, 30, 20, 0, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_DOUBLE_EQ(none.records[0].vpd, 1e-5);
    EXPECT_NEAR(none.records[0].rh, 1, 1e-5);
    EXPECT_LE(none.records[0].rh, 1);
    const Read dry("185, 12, 30, 20, 9, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_DOUBLE_EQ(dry.records[0].rh, 0.01);
    EXPECT_DOUBLE_EQ(dry.records[0].ea, 1e-5);
    EXPECT_DOUBLE_EQ(dry.records[0].qa, 1e-5 * 0.622 / 101.3);
}

TEST(Forcing, IntervalsAndSkippedLines) {
    const Read r(
        "# a comment, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n\n"
        "365, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\r\n"
        "365 23 40 25 1 2 450 380 0 101.3\n"  // 10 words: skipped
        "1, 0, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 0, 1, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 1, 1, 25, 1, 2, 450, 380, 0, 101.3, 400, 1, extra, words\n\n\n");
    ASSERT_FALSE(r.failure) << *r.failure;
    ASSERT_EQ(r.records.size(), 4u);
    std::vector<int32_t> intervals;
    for (const auto& f : r.records) intervals.push_back(f.interval);
    EXPECT_EQ(intervals, (std::vector<int32_t>{0, 1800, 60, 3600}));
    EXPECT_DOUBLE_EQ(r.records[3].nep_obs, 1);
}

TEST(Forcing, EveryValidationMessageQuotesTheLineWithBlanksForCommas) {
    const struct {
        std::string line;
        std::string message;
    } cases[] = {
        {"366, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad day of year value at "},
        {"0, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad day of year value at "},
        {"185, 24, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad hour value at "},
        {"185, -1, 0, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad hour value at "},
        {"185, 13, 60, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad minute value at "},
        {"185, 13, -1, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad minute value at "},
        {"185, 13, 0, -273.15, 1, 2, 450, 380, 0, 101.3, 400", "Bad air temperature value at "},
        {"185, 13, 0, 1e999, 1, 2, 450, 380, 0, 101.3, 400", "Bad air temperature value at "},
        {"185, 13, 0, -241, 1, 2, 450, 380, 0, 101.3, 400", "Bad air temperature value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 0, 400", "Bad air pressure value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 1e-320, 400", "Bad air pressure value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 0", "Bad CO2 value at "},
        {"185, 13, 0, 25, 1, 2e400, 450, 380, 0, 101.3, 400", "Bad value at "},
        {"185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400, -1e309", "Bad value at "},
        {"185, 13, 31, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad time interval at "},
        {"185, 12, 30, 25, 1, 2, 450, 380, 0, 101.3, 400", "Bad time interval at "},
    };
    for (const auto& c : cases) {
        const Read r(kWorkedLine + c.line + "\n");
        std::string quoted = c.line;
        for (char& ch : quoted) ch = ch == ',' ? ' ' : ch;
        EXPECT_EQ(r.failure.value_or("no failure"), c.message + quoted);
        EXPECT_EQ(r.records.size(), 1u) << "the records before the bad line stay";
    }
}

TEST(Forcing, InterpolationAtSubStepMidPoints) {
    const Read r(
        "185, 12, 30, 25.1, 1.2, 2.3, 450, 380, 1.8, 101.3, 400\n"
        "185, 13, 0, 15.1, 2.2, 4.3, 550, 390, 3.6, 99.3, 420\n");
    ASSERT_EQ(r.records.size(), 2u);
    const ForcingRecord& prev = r.records[0];
    const ForcingRecord& cur = r.records[1];
    const ForcingRecord mid = interpolate(prev, cur, 900);
    EXPECT_EQ(mid.minute, 0);
    EXPECT_EQ(mid.interval, 1800);
    for (auto field :
         {&ForcingRecord::ta, &ForcingRecord::vpd, &ForcingRecord::wind, &ForcingRecord::sw_in,
          &ForcingRecord::lw_in, &ForcingRecord::precip, &ForcingRecord::pa, &ForcingRecord::co2,
          &ForcingRecord::qa, &ForcingRecord::ea, &ForcingRecord::rh, &ForcingRecord::precip_rate,
          &ForcingRecord::tk, &ForcingRecord::rho_air}) {
        EXPECT_DOUBLE_EQ(mid.*field, 0.5 * (prev.*field + cur.*field));
        EXPECT_DOUBLE_EQ(interpolate(prev, cur, 0).*field, prev.*field);
    }
}

}  // namespace
}  // namespace kelmora
