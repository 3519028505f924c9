// Output files and restart lines; the site's own file, its time loop and statistic.
#include <gtest/gtest.h>

#include <sstream>

#include "run/output_file.h"
#include "run/site.h"
#include "run/statistic.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::data_lines;
using test::forcing_line;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(RestartLine, LastDataLineWithItsCommas) {
    TempDir dir;
    const std::string path = dir.file("f.csv");
    write_file(path,
               "# Day of year\n# Hour\n1, 0, 30, 15.2, 0.008\n\n   \n200, 13, 0, 21.85, 0.3, "
               "0.05\n# late header\n\t\n");
    const auto words = read_last_line(path);
    ASSERT_EQ(words.size(), 6u);
    EXPECT_EQ(words[0], "200,");
    EXPECT_DOUBLE_EQ(word_value(words, 3), 21.85);
    EXPECT_DOUBLE_EQ(word_value(words, 5), 0.05);
    write_file(path, "# only headers\n# here\n");
    EXPECT_TRUE(read_last_line(path).empty());
    EXPECT_TRUE(read_last_line(dir.file("missing.csv")).empty());
    EXPECT_TRUE(read_last_line(dir.str()).empty());  // a directory reads as nothing
}

TEST(OutputFile, DataLinesAreMeansInTheDefaultNotation) {
    TempDir dir;
    OutputFile out;
    ASSERT_TRUE(out.open(dir.file("x.csv")));
    std::string error;
    ASSERT_TRUE(out.header("# Day of year\n", error));
    ForcingRecord r;
    r.day = 185;
    r.hour = 13;
    double sum = 90, sum2 = 1800;
    out.begin_line(r);
    out.mean(sum, 180);
    out.mean(sum2, 180);
    out.value(0.000072);
    ASSERT_TRUE(out.end_line(error));
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(read_file(dir.file("x.csv")), "# Day of year\n185, 13, 0, 0.5, 10, 7.2e-05\n");
    EXPECT_FALSE(OutputFile().open("/nonexistent/x.csv"));
    // Headers that cannot be written are reported, even before any data line.
    OutputFile full;
    ASSERT_TRUE(full.open("/dev/full"));
    EXPECT_FALSE(full.header("# Day of year\n", error));
    EXPECT_EQ(error, "Failed to write /dev/full");

    // The site's line: its four accumulators as means, then cleared.
    auto site = std::make_unique<Site>();
    ASSERT_TRUE(site->output.open(dir.file("site.csv")));
    r = ForcingRecord{};
    r.day = 1;
    r.substeps = 180;
    site->gpp_sum = 1800;
    site->resp_sum = 90;
    site->h_sum = -18;
    ASSERT_TRUE(site->write_line(r));
    EXPECT_EQ(read_file(dir.file("site.csv")), "1, 0, 0, 10, 0.5, -0.1, 0\n");
    EXPECT_EQ(site->gpp_sum + site->resp_sum + site->h_sum + site->le_sum, 0);
}

TEST(Statistic, SquaredCorrelationByHandAndUndefinedCases) {
    // o = 1, 2, 3, 4 and s = 2, 4, 5, 4: r = 0.875 / sqrt(1.25 * 1.1875).
    const struct {
        std::vector<std::pair<double, double>> pairs;
        std::string printed;
    } cases[] = {
        {{{1, 2}, {2, 4}, {3, 5}, {4, 4}}, "Correlation: 0.515789\n"},
        {{{1, 1}, {2, 2}}, "Correlation: 1\n"},
        {{}, ""},
        {{{1, 2}}, "Correlation: undefined\n"},
        {{{1, 0.1}, {2, 0.1}, {3, 0.1}}, "Correlation: undefined\n"},
        {{{5, 1}, {5, 2}}, "Correlation: undefined\n"},
    };
    for (const auto& c : cases) {
        FitStatistic fit;
        for (auto [o, s] : c.pairs) fit.add(o, s);
        std::ostringstream text;
        fit.print(text);
        EXPECT_EQ(text.str(), c.printed);
        if (c.pairs.size() == 4) {
            EXPECT_NEAR(fit.r_squared(), 0.875 * 0.875 / 1.484375, 1e-12);
        }
    }
}

// The site over a forcing text in a temporary output directory.
struct SiteRun {
    TempDir dir;
    std::unique_ptr<Site> site = std::make_unique<Site>();
    std::ostringstream console;
    bool init_ok = false, run_ok = false;

    SiteRun(const std::string& forcing, const std::string& site_par) {
        write_file(dir.file("in.txt"), forcing);
        write_file(dir.file("site.par"), site_par);
        if (!read_forcing(*site, dir.file("in.txt"))) return;
        init_ok = site->init(dir.str());
        if (init_ok) run_ok = site->run(console);
    }
};

TEST(SiteLoop, SubStepsDayLinesSiteFileAndIncompatibleInterval) {
    SiteRun run(forcing_line(185, 23, 0) + forcing_line(185, 23, 10) + forcing_line(185, 23, 40) +
                    forcing_line(186, 0, 40) + forcing_line(186, 1, 0),
                "_dt 60\n");
    ASSERT_TRUE(run.run_ok) << run.site->error_text;
    std::vector<int32_t> substeps;
    for (const auto& r : run.site->records) substeps.push_back(r.substeps);
    EXPECT_EQ(substeps, (std::vector<int32_t>{0, 10, 30, 60, 20}));
    EXPECT_EQ(run.console.str(), "day 185\nday 186\n");
    const auto lines = data_lines(run.dir.file("site.csv"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].starts_with("185, 23, 10, ")) << lines[0];
    std::string expected =
        "#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
        "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n"
        "#Letent heat flux (W m-2)\n";
    for (const auto& l : lines) expected += l + "\n";
    EXPECT_EQ(read_file(run.dir.file("site.csv")), expected);

    SiteRun one(forcing_line(185, 12, 0, 20, 400, 0, 3, true), "");
    ASSERT_TRUE(one.run_ok);
    EXPECT_EQ(one.console.str(), "");
    EXPECT_TRUE(data_lines(one.dir.file("site.csv")).empty());

    // 30, then 13 minutes: with _dt 120 the second span is no multiple.
    SiteRun gap(forcing_line(185, 12, 0) + forcing_line(185, 12, 30) + forcing_line(185, 12, 43) +
                    forcing_line(185, 13, 13),
                "_dt 120\n");
    ASSERT_TRUE(gap.init_ok);
    EXPECT_FALSE(gap.run_ok);
    EXPECT_EQ(gap.site->error_text, "Error: data interval and dt not compatible.");
    EXPECT_EQ(data_lines(gap.dir.file("site.csv")).size(), 1u);
}

}  // namespace
}  // namespace kelmora
