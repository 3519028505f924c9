// Output files and restart lines; the site's own file and its time loop.
#include <gtest/gtest.h>

#include <sstream>

#include "run/output_file.h"
#include "run/site.h"
#include "run/statistic.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::data_lines;
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
    EXPECT_EQ(words[5], "0.05");
    EXPECT_DOUBLE_EQ(word_value(words, 3) + 273.15, 295.0);
    EXPECT_DOUBLE_EQ(word_value(words, 4), 0.3);

    write_file(path, "# only headers\n# here\n");
    EXPECT_TRUE(read_last_line(path).empty());
    EXPECT_TRUE(read_last_line(dir.file("missing.csv")).empty());
    EXPECT_TRUE(read_last_line(dir.str()).empty());  // a directory reads as nothing
}

TEST(OutputFile, DataLinesAreMeansInTheDefaultNotation) {
    TempDir dir;
    OutputFile out;
    ASSERT_TRUE(out.open(dir.file("x.csv")));
    out.header("# Day of year\n");
    ForcingRecord r;
    r.day = 185;
    r.hour = 13;
    r.minute = 0;
    double sum = 90;
    double sum2 = 1800;
    out.begin_line(r);
    out.mean(sum, 180);
    out.mean(sum2, 180);
    out.value(0.000072);
    std::string error;
    ASSERT_TRUE(out.end_line(error));
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(read_file(dir.file("x.csv")), "# Day of year\n185, 13, 0, 0.5, 10, 7.2e-05\n");
    OutputFile none;
    EXPECT_FALSE(none.open("/nonexistent/x.csv"));
}

TEST(Statistic, SquaredCorrelationByHand) {
    // o = 1, 2, 3, 4 and s = 2, 4, 5, 4: r = 0.875 / sqrt(1.25 * 1.1875).
    FitStatistic fit;
    const double o[] = {1, 2, 3, 4};
    const double s[] = {2, 4, 5, 4};
    for (int i = 0; i < 4; ++i) fit.add(o[i], s[i]);
    ASSERT_TRUE(fit.defined());
    EXPECT_NEAR(fit.r_squared(), 0.875 * 0.875 / (1.25 * 1.1875), 1e-12);
    std::ostringstream text;
    fit.print(text);
    EXPECT_EQ(text.str(), "Correlation: 0.515789\n");
}

TEST(Statistic, UndefinedCases) {
    const auto printed = [](std::initializer_list<std::pair<double, double>> pairs) {
        FitStatistic fit;
        for (auto [o, s] : pairs) fit.add(o, s);
        std::ostringstream text;
        fit.print(text);
        return text.str();
    };
    EXPECT_EQ(printed({}), "");
    EXPECT_EQ(printed({{1, 2}}), "Correlation: undefined\n");
    EXPECT_EQ(printed({{1, 0.1}, {2, 0.1}, {3, 0.1}}), "Correlation: undefined\n");
    EXPECT_EQ(printed({{5, 1}, {5, 2}}), "Correlation: undefined\n");
    EXPECT_EQ(printed({{1, 1}, {2, 2}}), "Correlation: 1\n");
}

// The site over a forcing text in a temporary output directory.
struct SiteRun {
    TempDir dir;
    std::unique_ptr<Site> site = std::make_unique<Site>();
    std::ostringstream console;
    bool init_ok = false;
    bool run_ok = false;

    SiteRun(const std::string& forcing, const std::string& site_par = "") {
        write_file(dir.file("in.txt"), forcing);
        if (!site_par.empty()) write_file(dir.file("site.par"), site_par);
        if (!read_forcing(*site, dir.file("in.txt"))) return;
        init_ok = site->init(dir.str());
        if (init_ok) run_ok = site->run(console);
    }
};

std::string half_hours(int count, bool with_obs = false) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += test::forcing_line(185 + (12 + i / 2) / 24, (12 + i / 2) % 24, 30 * (i % 2), 20,
                                   400, 0, i, with_obs);
    }
    return text;
}

TEST(SiteLoop, SubStepsPerSpanAndOneLinePerRecordAfterTheFirst) {
    SiteRun run(half_hours(4), "_dt 60\n");
    ASSERT_TRUE(run.run_ok) << run.site->error_text;
    const auto& records = run.site->records;
    EXPECT_EQ(records[0].substeps, 0);
    for (size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].substeps, 30);
    const auto lines = data_lines(run.dir.file("site.csv"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 11), "185, 12, 30");
    EXPECT_EQ(run.console.str(), "day 185\n");
}

TEST(SiteLoop, SiteFileHeaderAndOverwrite) {
    SiteRun run(half_hours(2));
    ASSERT_TRUE(run.run_ok);
    EXPECT_EQ(read_file(run.dir.file("site.csv")),
              "#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
              "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n"
              "#Letent heat flux (W m-2)\n" +
                  data_lines(run.dir.file("site.csv"))[0] + "\n");
}

TEST(SiteLoop, IncompatibleIntervalStopsAfterTheEarlierRecords) {
    // 30, then 13 minutes: with _dt 120 the second span is no multiple.
    const std::string forcing = test::forcing_line(185, 12, 0) + test::forcing_line(185, 12, 30) +
                                test::forcing_line(185, 12, 43) + test::forcing_line(185, 13, 13);
    SiteRun run(forcing, "_dt 120\n");
    ASSERT_TRUE(run.init_ok);
    EXPECT_FALSE(run.run_ok);
    EXPECT_EQ(run.site->error_text, "Error: data interval and dt not compatible.");
    EXPECT_EQ(data_lines(run.dir.file("site.csv")).size(), 1u);

    SiteRun seven(half_hours(3), "_dt 7\n");
    EXPECT_FALSE(seven.run_ok);
    EXPECT_TRUE(data_lines(seven.dir.file("site.csv")).empty());
}

TEST(SiteLoop, IrregularSpacingAndDayLines) {
    std::string forcing = test::forcing_line(185, 23, 0) + test::forcing_line(185, 23, 10) +
                          test::forcing_line(185, 23, 40) + test::forcing_line(186, 0, 40) +
                          test::forcing_line(186, 1, 0);
    SiteRun run(forcing);
    ASSERT_TRUE(run.run_ok) << run.site->error_text;
    EXPECT_EQ(run.site->records[1].substeps, 60);
    EXPECT_EQ(run.site->records[3].substeps, 360);
    EXPECT_EQ(run.console.str(), "day 185\nday 186\n");
}

TEST(SiteLoop, OneRecordOrNoneAndTheOutputDirectoryRule) {
    SiteRun one(test::forcing_line(185, 12, 0, 20, 400, 0, 3, true));
    ASSERT_TRUE(one.run_ok);
    EXPECT_EQ(one.console.str(), "");
    EXPECT_TRUE(data_lines(one.dir.file("site.csv")).empty());

    SiteRun none("# nothing\n");
    EXPECT_FALSE(none.init_ok);
    EXPECT_EQ(none.site->error_text, "Empty input data.");

    EXPECT_EQ(one.site->out_path, one.dir.str() + "/");
}

TEST(Site, AccumulatorsAreMeansAndCleared) {
    TempDir dir;
    auto site = std::make_unique<Site>();
    ASSERT_TRUE(site->output.open(dir.file("site.csv")));
    ForcingRecord r;
    r.day = 1;
    r.substeps = 180;
    site->gpp_sum = 1800;
    site->resp_sum = 90;
    site->h_sum = -18;
    site->le_sum = 0;
    ASSERT_TRUE(site->write_line(r));
    EXPECT_EQ(read_file(dir.file("site.csv")), "1, 0, 0, 10, 0.5, -0.1, 0\n");
    EXPECT_EQ(site->gpp_sum + site->resp_sum + site->h_sum + site->le_sum, 0);
}

}  // namespace
}  // namespace kelmora
