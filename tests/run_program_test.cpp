// The program as a process: arguments, console texts, exit statuses, key wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kBanner = "\nKelmora version 1.04\n\n";
const std::string kUsage = "Usage:\n  kelm.exe [input_file_name output_path_name]\n\n";
// Arguments choose the forcing file and the output directory (site.csv shows
// where); the console ends with the key prompt or the failure's message.
TEST(Program, ArgumentsStatusesAndConsoleTexts) {
    TempDir dir;
    fs::create_directory(dir.path() / "io");
    fs::create_directory(dir.path() / "out");
    write_file(dir.file("io/input.txt"), half_hourly(2));
    write_file(dir.file("in.txt"), half_hourly(2));
    write_file(dir.file("comments.txt"), "# nothing but a comment\n");
    // An observation of magnitude 999.9 marks a missing one: no pair, no correlation line.
    write_file(dir.file("obs.txt"),
               half_hourly(1) + "185, 0, 30, 20, 1, 2, 400, 380, 0, 101.3, 400, -999.9\n");
    const std::string done = "day 185\n\nFinished. Press any key to end.\n";
    const struct {
        std::vector<std::string> args;
        std::string site_par, site_csv;
        int status;
        std::string tail;
    } cases[] = {
        {{}, "", "io/site.csv", 0, kUsage + done},
        {{"in.txt"}, "", "io/site.csv", 0, kUsage + done},
        {{"in.txt", "out"}, "", "out/site.csv", 0, kUsage + done},
        {{"in.txt", "out/"}, "", "out/site.csv", 0, kUsage + done},
        {{"in.txt", ""}, "", "", 1, kUsage + "Usage error: an empty path."},
        {{""}, "", "", 1, kUsage + "Usage error: an empty path."},
        {{"in.txt", "out", "x"}, "", "", 1, kUsage + "Usage error: more than two arguments."},
        {{"in.txt", "none/"}, "", "", 2, "Output directory does not exist: none/"},
        {{"in.txt", "in.txt"}, "", "", 2, "Output directory is not a directory: in.txt/"},
        {{"obs.txt", "."}, "", "site.csv", 0, kUsage + done},
        {{"comments.txt", "."}, "", "", 1, kUsage + "Empty input data in comments.txt."},
        {{"in.txt", "."}, "_dt 7", "", 2, "day 185\nError: data interval and dt not compatible."},
        // Long steps of the designed physics run, after a warning.
        {{"in.txt", "."},
         "_dt 20",
         "site.csv",
         0,
         kUsage +
             "Warning: time steps above 15 s let leaf temperatures oscillate; use _dt 10 or "
             "_physics 1.\n" +
             done},
        {{"in.txt", "."}, "_dt 20\n_physics 1", "site.csv", 0, kUsage + done},
    };
    for (const auto& c : cases) {
        write_file(dir.file("site.par"), c.site_par);
        const auto r = run_kelm(dir.str(), c.args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(r.out.starts_with(kBanner)) << r.out;
        EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out;
        if (c.site_csv.empty()) continue;
        EXPECT_EQ(data_lines(dir.file(c.site_csv)).size(), 1u) << c.site_csv;
        fs::remove(dir.file(c.site_csv));
    }
}

// A forcing failure and the requests for help or the version end at once: no
// key wait and no file written.
TEST(Program, ForcingFailureHelpAndVersionDoNotWaitForAKey) {
    const std::string options =
        "  kelm.exe --help | -h    print this help\n  kelm.exe --version      print the version\n";
    const struct {
        std::string args, status;
        std::string head, has;
    } cases[] = {
        {"missing.txt .", "1\n", kBanner, kUsage + "Failed to open missing.txt"},
        {"--help", "0\n", kBanner, kUsage + options},
        {"-h missing.txt .", "0\n", kBanner, kUsage + options},
        {"--version", "0\n", "Kelmora version 1.04\n", ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        // Standard input stays open for 30 s: a key wait would hit the time limit.
        const std::string cmd = "cd '" + dir.str() +
                                "' && bash -c \"timeout 10 '" KELM_BINARY "' " + c.args +
                                " < <(sleep 30 2>/dev/null) > out.txt; echo \\$? > "
                                "status.txt\" >/dev/null 2>&1";
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
        EXPECT_EQ(read_file(dir.file("status.txt")), c.status) << c.args;
        const std::string out = read_file(dir.file("out.txt"));
        EXPECT_TRUE(c.has.empty() ? out == c.head : out.starts_with(c.head)) << out;
        EXPECT_NE(out.find(c.has), std::string::npos) << out;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2) << c.args;
    }
}

}  // namespace
}  // namespace kelmora
