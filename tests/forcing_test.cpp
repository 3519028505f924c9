// Forcing file: derived quantities, intervals, validation messages, interpolation.
#include <gtest/gtest.h>

#include <algorithm>

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
        "\xef\xbb\xbf# a comment after a byte-order mark, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n\n"
        "365, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\r\n"
        " ,\t\n"
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

// Every check of a line, its message and the line quoted with blanks for commas.
TEST(Forcing, EveryValidationMessageQuotesTheLineWithBlanksForCommas) {
    const std::string good = "185, 13, 0, 25, 1, 2, 450, 380, 0, 101.3, 400";
    // Each row replaces word `at` (0: day) of the good line by `word`.
    const struct {
        size_t at;
        std::string word, message;
    } cases[] = {
        {0, "366", "Bad day of year value at "},
        {0, "185.5", "Bad day of year value at "},
        {0, "185x", "Bad day of year value at "},
        {1, "24", "Bad hour value at "},
        {1, "NA", "Bad hour value at "},
        {2, "60", "Bad minute value at "},
        {2, "31", "Bad time interval at "},
        {3, "25.1xyz", "Bad air temperature value at "},
        {3, "NaN", "Bad air temperature value at "},
        {3, "-90.1", "Out of range air temperature at "},
        {3, "60.1", "Out of range air temperature at "},
        {4, "inf", "Bad vapour pressure deficit value at "},
        {4, "-1.1", "Out of range vapour pressure deficit at "},
        {5, std::string("2\0", 2), "Bad wind speed value at "},
        {5, "2e400", "Bad wind speed value at "},
        {5, "-0.1", "Out of range wind speed at "},
        {6, "-50.1", "Out of range shortwave radiation at "},
        {7, "49.9", "Out of range longwave radiation at "},
        {8, "-0.1", "Out of range precipitation at "},
        {9, "1013", "Out of range air pressure at "},
        {10, "99.9", "Out of range CO2 at "},
        {11, "-1e309", "Bad observed NEP value at "},
        {11, "x", "Bad observed NEP value at "},
        {10, "", "Too few columns at "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{""};
        for (char ch : good + ", 1") ch == ',' ? words.emplace_back() : words.back() += ch;
        words[c.at] = " " + c.word;
        if (c.at < 11) words.pop_back();
        if (c.word.empty()) words.erase(words.begin() + static_cast<long>(c.at));
        std::string line = words[0];
        for (size_t i = 1; i < words.size(); ++i) line += "," + words[i];
        const Read r(kWorkedLine + line + "\n");
        std::string quoted = line;
        for (char& ch : quoted) ch = ch == ',' ? ' ' : ch == '\0' ? '?' : ch;
        EXPECT_EQ(r.failure.value_or("no failure"), c.message + quoted);
        EXPECT_EQ(r.records.size(), 1u) << "the records before the bad line stay";
    }
    // The bounds themselves are valid, and so is the year's end.
    const Read bounds(
        "365, 23, 0, -90, -1, 0, -50, 50, 0, 30, 100\n"
        "365, 23, 59, 60, 15, 75, 1500, 700, 500, 110, 5000\n"
        "1, 0, 0, 60, 15, 75, 1500, 700, 500, 110, 5000\n");
    EXPECT_FALSE(bounds.failure) << *bounds.failure;
    // Only day 1 may follow a day with a smaller number, and only after day 365.
    const Read wrap(
        "185, 23, 30, 25, 1, 2, 450, 380, 0, 101.3, 400\n"
        "1, 0, 0, 25, 1, 2, 450, 380, 0, 101.3, 400\n");
    EXPECT_EQ(wrap.failure.value_or(""),
              "Bad time interval at 1  0  0  25  1  2  450  380  0  101.3  400");
}

// Records as values at their stamps (_physics 0): the mid-point of a span is the
// mean of its two records in every real field. Records as span means: any
// sub-step that divides the span gives back the record's means, and no value
// leaves the neighbouring records' range (no shortwave before dawn or below it,
// a flat peak, a last span that holds).
TEST(Forcing, InterpolationOfStampsAndOfSpanMeans) {
    const Read r(
        "185, 4, 30, 15, 0.4, 2, 0, 330, 0, 99.3, 410\n"
        "185, 5, 0, 16, 0.5, 3, 40, 335, 2.0, 99.1, 420\n"
        "185, 5, 30, 18, 0.7, 2, 160, 340, 0, 99.3, 410\n"
        "185, 6, 0, 19, 0.8, 1, 150, 345, 0, 99.3, 410\n");
    const std::vector<ForcingRecord>& v = r.records;
    for (auto field :
         {&ForcingRecord::ta, &ForcingRecord::vpd, &ForcingRecord::wind, &ForcingRecord::sw_in,
          &ForcingRecord::lw_in, &ForcingRecord::precip, &ForcingRecord::pa, &ForcingRecord::co2,
          &ForcingRecord::qa, &ForcingRecord::ea, &ForcingRecord::rh, &ForcingRecord::precip_rate,
          &ForcingRecord::tk, &ForcingRecord::rho_air}) {
        EXPECT_DOUBLE_EQ(interpolate(v[0], v[1], 900).*field, 0.5 * (v[0].*field + v[1].*field));
        EXPECT_DOUBLE_EQ(interpolate(v[0], v[1], 0).*field, v[0].*field);
    }
    for (size_t i = 1; i < v.size(); ++i) {
        const auto [lo, hi] =
            std::minmax({v[i - 1].sw_in, v[i].sw_in, v[std::min(i + 1, v.size() - 1)].sw_in});
        for (int dt : {10, 300, 1800}) {
            double sw = 0, rain = 0;
            for (int m = 0; m < v[i].interval; m += dt) {
                const ForcingRecord f = interpolate_means(v, i, 0.5 * dt + m);
                EXPECT_TRUE(f.sw_in >= lo && f.sw_in <= hi && f.minute == v[i].minute) << i;
                sw += f.sw_in * dt / v[i].interval;
                rain += f.precip_rate * dt / v[i].interval;
            }
            EXPECT_NEAR(sw, v[i].sw_in, 1e-9) << i << " " << dt;
            EXPECT_NEAR(rain, v[i].precip_rate, 1e-15) << i << " " << dt;
        }
    }
    EXPECT_NEAR(interpolate_means(v, 1, 0).sw_in, 20, 1e-12);   // dawn: rises towards 160
    EXPECT_DOUBLE_EQ(interpolate_means(v, 2, 100).sw_in, 160);  // the peak stays flat
}

}  // namespace
}  // namespace kelmora
