// Forcing file: validation messages, derived quantities, intervals, interpolation.
#include <gtest/gtest.h>

#include "run/forcing.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::TempDir;
using test::write_file;

struct Read {
    bool ok;
    std::string error;
    std::vector<ForcingRecord> records;
};

Read read_text(const std::string& text) {
    TempDir dir;
    write_file(dir.file("in.txt"), text);
    auto site = std::make_unique<Site>();
    Read r;
    r.ok = read_forcing(*site, dir.file("in.txt"));
    r.error = site->error_text;
    r.records = site->records;
    return r;
}

const char* kWorkedLine = "185, 12, 30, 25.1, 1.2, 2.3, 450, 380, 0, 101.3, 400\n";

TEST(Forcing, WorkedLineDerivesHumidityDensityAndRate) {
    const Read r = read_text(kWorkedLine);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.records.size(), 1u);
    const ForcingRecord& f = r.records[0];
    EXPECT_EQ(f.day, 185);
    EXPECT_EQ(f.hour, 12);
    EXPECT_EQ(f.minute, 30);
    EXPECT_EQ(f.interval, 0);
    EXPECT_EQ(f.substeps, 0);
    EXPECT_DOUBLE_EQ(f.nep_obs, -9999.9);
    EXPECT_DOUBLE_EQ(f.tk, 298.25);
    EXPECT_NEAR(esat(25.1), 3.18487, 5e-6);
    EXPECT_NEAR(f.ea, 1.98487, 5e-6);
    EXPECT_NEAR(f.rh, 0.623219, 5e-7);
    EXPECT_NEAR(f.qa, 0.0121875, 5e-8);
    EXPECT_NEAR(f.rho_air, 1.1832, 5e-5);
    EXPECT_EQ(f.precip_rate, 0);

    const Read rain = read_text("185 12 30 25.1 1.2 2.3 450 380 3.6 101.3 400 2.5\n");
    ASSERT_TRUE(rain.ok);
    EXPECT_DOUBLE_EQ(rain.records[0].precip_rate, 0.001);
    EXPECT_DOUBLE_EQ(rain.records[0].nep_obs, 2.5);
}

TEST(Forcing, HumidityClamps) {
    // No deficit: the stored deficit is the clamped one; saturated air.
    const Read none = read_text("185, 12, 30, 20, 0, 2, 450, 380, 0, 101.3, 400\n");
    ASSERT_TRUE(none.ok);
    EXPECT_DOUBLE_EQ(none.records[0].vpd, 1e-5);
    EXPECT_NEAR(none.records[0].rh, 1, 1e-5);
    // A deficit above saturation: rh at its floor, vapour pressure at its floor.
    const Read dry = read_text("185, 12, 30, 20, 9, 2, 450, 380, 0, 101.3, 400\n");
    ASSERT_TRUE(dry.ok);
    EXPECT_DOUBLE_EQ(dry.records[0].rh, 0.01);
    EXPECT_DOUBLE_EQ(dry.records[0].ea, 1e-5);
    EXPECT_DOUBLE_EQ(dry.records[0].qa, 1e-5 * 0.622 / 101.3);
}

TEST(Forcing, IntervalsAcrossHoursDaysAndTheNewYear) {
    const Read r = read_text(std::string(kWorkedLine) +
                             "185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
                             "185, 13, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
                             "365, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_FALSE(r.ok);  // 180 days later
    const Read wrap = read_text(
        "365, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 0, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 0, 10, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 1, 10, 25, 1, 2, 450, 380, 0, 101.3, 400\n");
    ASSERT_TRUE(wrap.ok) << wrap.error;
    ASSERT_EQ(wrap.records.size(), 4u);
    EXPECT_EQ(wrap.records[1].interval, 1800);
    EXPECT_EQ(wrap.records[2].interval, 600);
    EXPECT_EQ(wrap.records[3].interval, 3600);
}

TEST(Forcing, SkippedLinesTakeNoPartInIntervals) {
    const Read r = read_text(
        "# a comment, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n"
        "\n"
        "185, 12, 30, 25, 1, 2, 450, 380, 0, 101.3\n"  // 10 words: skipped
        "185, 12, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "185 12 40 25 1 2 450 380 0 101.3\n"  // skipped
        "185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400, 1, extra, words\n"
        "\n\n");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[1].interval, 3600);
    EXPECT_DOUBLE_EQ(r.records[1].nep_obs, 1);
}

TEST(Forcing, EveryValidationMessageQuotesTheLineWithBlanksForCommas) {
    const std::string first(kWorkedLine);
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
        const Read r = read_text(first + c.line + "\n");
        EXPECT_FALSE(r.ok) << c.line;
        std::string quoted = c.line;
        for (char& ch : quoted) ch = ch == ',' ? ' ' : ch;
        EXPECT_EQ(r.error, c.message + quoted);
        EXPECT_EQ(r.records.size(), 1u) << "the records before the bad line stay";
    }
}

TEST(Forcing, NonNumbersConvertToZeroAndOnlyDecimalFormsCount) {
    // "inf" is no number: the temperature becomes 0 degC and passes.
    const Read r = read_text("185, 0, 0, inf, 0x10, 2, 450, 380, 0, 101.3, 400\n");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.records[0].hour, 0);
    EXPECT_EQ(r.records[0].ta, 0);
    EXPECT_EQ(r.records[0].vpd, 1e-5);  // "0x10" reads as 0, then the floor
}

TEST(Forcing, MissingFileFails) {
    auto site = std::make_unique<Site>();
    EXPECT_FALSE(read_forcing(*site, "/nonexistent/in.txt"));
    EXPECT_EQ(site->error_text, "Failed to open /nonexistent/in.txt");
}

TEST(Forcing, InterpolationAtSubStepMidPoints) {
    ForcingRecord prev;
    prev.ta = 10;
    prev.tk = 283.15;
    prev.co2 = 400;
    prev.rho_air = 1.2;
    prev.nep_obs = 7;
    ForcingRecord cur = prev;
    cur.ta = 20;
    cur.tk = 293.15;
    cur.co2 = 420;
    cur.rho_air = 1.1;
    cur.day = 185;
    cur.interval = 1800;
    cur.substeps = 3;
    cur.nep_obs = -2;
    const ForcingRecord mid = interpolate(prev, cur, 900);
    EXPECT_DOUBLE_EQ(mid.ta, 15);
    EXPECT_DOUBLE_EQ(mid.tk, 288.15);
    EXPECT_DOUBLE_EQ(mid.co2, 410);
    EXPECT_DOUBLE_EQ(mid.rho_air, 1.15);
    EXPECT_EQ(mid.nep_obs, -2);
    EXPECT_EQ(mid.day, 185);
    EXPECT_EQ(mid.substeps, 3);
    // The first 10-second sub-step is taken 5 s after the earlier record.
    const ForcingRecord early = interpolate(prev, cur, 5);
    EXPECT_DOUBLE_EQ(early.ta, 10 * (1 - 5.0 / 1800) + 20 * (5.0 / 1800));
}

}  // namespace
}  // namespace kelmora
