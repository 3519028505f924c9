// The program as a process: arguments, console texts, exit statuses, key wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::data_lines;
using test::run_kelm;
using test::TempDir;
using test::write_file;

const std::string kBannerStart = "\nKelmora version 1.02\n\n";
const std::string kBannerEnd = "Usage:\n  kelm.exe [input_file_name output_path_name]\n\n";
const std::string kFinished = "\nFinished. Press any key to end.\n";

std::string two_records() {
    return test::forcing_line(185, 12, 0) + test::forcing_line(185, 12, 30);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Program, DefaultsReadTheExampleAndWriteIntoIo) {
    TempDir dir;
    fs::create_directory(dir.path() / "io");
    write_file(dir.file("io/input.txt"), two_records());
    const auto r = run_kelm(dir.str(), {});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind(kBannerStart, 0), 0u);
    EXPECT_NE(r.out.find(kBannerEnd), std::string::npos);
    EXPECT_TRUE(ends_with(r.out, "day 185\n" + kFinished)) << r.out;
    EXPECT_TRUE(fs::exists(dir.path() / "io/site.par"));
    EXPECT_EQ(data_lines(dir.file("io/site.csv")).size(), 1u);
}

TEST(Program, OneArgumentKeepsTheDefaultOutputDirectory) {
    TempDir dir;
    fs::create_directory(dir.path() / "io");
    write_file(dir.file("weather.txt"), two_records());
    const auto r = run_kelm(dir.str(), {"weather.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::exists(dir.path() / "io/site.csv"));
}

TEST(Program, OutputDirectoryWithOrWithoutSeparatorOrEmpty) {
    TempDir dir;
    fs::create_directory(dir.path() / "out");
    write_file(dir.file("in.txt"), two_records());
    EXPECT_EQ(run_kelm(dir.str(), {"in.txt", "out"}).status, 0);
    EXPECT_TRUE(fs::exists(dir.path() / "out/site.par"));
    fs::remove(dir.path() / "out/site.par");
    EXPECT_EQ(run_kelm(dir.str(), {"in.txt", "out/"}).status, 0);
    EXPECT_TRUE(fs::exists(dir.path() / "out/site.par"));
    // An empty directory text is the working directory.
    EXPECT_EQ(run_kelm(dir.str(), {"in.txt", ""}).status, 0);
    EXPECT_TRUE(fs::exists(dir.path() / "site.par"));
    EXPECT_TRUE(fs::exists(dir.path() / "site.csv"));
}

TEST(Program, ForcingFailureEndsWithStatusOneAndNoKeyWait) {
    TempDir dir;
    // Standard input stays open for 30 s: a key wait would hit the time limit.
    const std::string cmd = "cd '" + dir.str() +
                            "' && bash -c \"timeout 10 '" KELM_BINARY
                            "' missing.txt . < <(sleep 30 2>/dev/null) > out.txt; echo \\$? > "
                            "status.txt\" >/dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(test::read_file(dir.file("status.txt")), "1\n");
    const std::string out = test::read_file(dir.file("out.txt"));
    EXPECT_TRUE(ends_with(out, kBannerEnd + "Failed to open missing.txt")) << out;
    EXPECT_FALSE(fs::exists(dir.path() / "site.par"));

    write_file(dir.file("bad.txt"), two_records() + "185, 13, 31, 1, 1, 1, 1, 1, 1, 1, 1\n");
    const auto r = run_kelm(dir.str(), {"bad.txt", "."});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.out, "Bad time interval at 185  13  31  1  1  1  1  1  1  1  1"))
        << r.out;
}

TEST(Program, InitialisationAndRunFailuresEndWithStatusTwo) {
    TempDir dir;
    write_file(dir.file("comments.txt"), "# nothing but a comment\n");
    auto r = run_kelm(dir.str(), {"comments.txt", "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(ends_with(r.out, kBannerEnd + "Empty input data.")) << r.out;

    write_file(dir.file("in.txt"), two_records());
    write_file(dir.file("site.par"), "_dt 0\n");
    r = run_kelm(dir.str(), {"in.txt", "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(ends_with(r.out, "./site.par: Bad time step.")) << r.out;

    write_file(dir.file("site.par"), "_dt 7\n");
    r = run_kelm(dir.str(), {"in.txt", "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(ends_with(r.out, "day 185\nError: data interval and dt not compatible.")) << r.out;

    r = run_kelm(dir.str(), {"in.txt", "no-such-dir"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(ends_with(r.out, "Failed to open no-such-dir/site.par")) << r.out;
}

}  // namespace
}  // namespace kelmora
