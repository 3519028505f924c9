// Whole runs and the file readers under awkward and hostile input: a full disk,
// Windows line ends, very long files and lines, binary bytes, overflowing
// numbers, unusable paths and gibberish among good lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "run/forcing.h"
#include "run/output_file.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::data_lines;
using test::forcing_line;
using test::read_file;
using test::run_kelm;
using test::TempDir;
using test::write_file;

// `n` records half an hour apart from day 185, 00:00.
std::string half_hourly(int n) {
    std::string text = "# day, hour, minute, ta, vpd, wind, sw, lw, precip, pa, co2\n";
    for (int i = 0; i < n; ++i) text += forcing_line(185, i / 2, i % 2 * 30);
    return text;
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

bool read_text(Site& site, const TempDir& dir, const std::string& text) {
    write_file(dir.file("forcing.txt"), text);
    return read_forcing(site, dir.file("forcing.txt"));
}

TEST(WriteFailure, FullDeviceStopsTheRunWithStatus2) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(4));
    fs::create_symlink("/dev/full", dir.file("site.csv"));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to write ./site.csv")) << result.out;
    EXPECT_EQ(result.out.find("Finished"), std::string::npos);
}

// A run and a restarted run with every kind of input file in Windows line ends
// (forcing, parameter files of each reader variant, restart lines) write what
// the same runs with line feeds write.
TEST(WindowsLineEnds, RunsAsWithLineFeeds) {
    TempDir lf, crlf;
    for (const TempDir* dir : {&lf, &crlf}) {
        const auto put = [&](const std::string& name, const std::string& text) {
            write_file(dir->file(name), dir == &crlf ? with_crlf(text) : text);
        };
        put("forcing.txt", half_hourly(4));
        put("site.par", "_type 1\n_dt 60\n");
        put("soil.par", "Parameters:\n_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
        put("tree.leaf.par", "_vmax 40\n");
        put("shrub.foliage.par", "_lai185 2\n");
        ASSERT_EQ(run_kelm(dir->str(), {"forcing.txt", "."}).status, 0);
        for (const auto& e : fs::directory_iterator(dir->path())) {
            if (e.path().extension() == ".csv") put(e.path().filename(), read_file(e.path()));
        }
        put("site.par", "_type 1\n_dt 60\n_restart 1\n");
        const auto result = run_kelm(dir->str(), {"forcing.txt", "."});
        ASSERT_EQ(result.status, 0) << result.out;
    }
    EXPECT_EQ(test::read_lines(crlf.file("soil.csv"))[4], "# 3 columns of temperature (C)");
    for (const auto& e : fs::directory_iterator(lf.path())) {
        const std::string name = e.path().filename();
        if (e.path().extension() != ".csv") continue;
        EXPECT_EQ(read_file(crlf.file(name)), read_file(e.path())) << name;
    }
    // The quoted line of a message carries no carriage return.
    Site bad;
    EXPECT_FALSE(read_text(bad, lf, with_crlf(forcing_line(366, 0, 0))));
    EXPECT_EQ(bad.error_text,
              "Bad day of year value at 366  0  0  20  1.2  2.3  400  380  0  101.3  400");
}

TEST(LargeInput, TwoHundredThousandForcingLines) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 200000; ++i) text += forcing_line(1 + i / 1440, i / 60 % 24, i % 60);
    Site site;
    ASSERT_TRUE(read_text(site, dir, text)) << site.error_text;
    ASSERT_EQ(site.records.size(), 200000u);
    EXPECT_EQ(site.records.back().day, 1 + 199999 / 1440);
    EXPECT_EQ(site.records.back().minute, 199999 % 60);
    for (size_t i = 1; i < site.records.size(); ++i) ASSERT_EQ(site.records[i].interval, 60);
}

TEST(LargeInput, OneMegabyteLines) {
    TempDir dir;
    const std::string mb(1 << 20, 'x');
    const std::string digits(1 << 20, '9');
    // A long comment and a data line with a megabyte of extra words are read past.
    std::string extra = forcing_line(185, 0, 30);
    extra.pop_back();
    extra += ", 5";
    for (int i = 0; i < (1 << 17); ++i) extra += ", 1234567";
    Site site;
    ASSERT_TRUE(read_text(site, dir, forcing_line(185, 0, 0) + "#" + mb + "\n" + extra + "\n"));
    ASSERT_EQ(site.records.size(), 2u);
    EXPECT_EQ(site.records[1].nep_obs, 5);
    // Parameter files: a megabyte word is no key; a megabyte remark is ignored.
    write_file(dir.file("site.par"), mb + " 1\n_dt 20 " + mb + "\n");
    Site par;
    ASSERT_TRUE(par.read_parameters(dir.file("site.par")));
    EXPECT_EQ(par._dt, 20);
    write_file(dir.file("last.csv"), "# h\n185, 1, " + digits + "\n");
    const auto words = read_last_line(dir.file("last.csv"));
    ASSERT_EQ(words.size(), 3u);
    EXPECT_TRUE(std::isinf(word_value(words, 2)));
}

TEST(BinaryInput, ControlAndHighBytes) {
    TempDir dir;
    // NUL and high bytes glued to numbers: the leading numbers still convert.
    std::string line = forcing_line(185, 0, 30);
    line.insert(3, std::string("\0\xff", 2));
    Site site;
    ASSERT_TRUE(read_text(site, dir, forcing_line(185, 0, 0) + line));
    EXPECT_EQ(site.records.at(1).interval, 1800);
    // A binary line of eleven words converts to a day of 0.
    const std::string junk = "\x01\x02 \x7f \xfe\xff a b c d e f g h\n";
    Site bad;
    EXPECT_FALSE(read_text(bad, dir, forcing_line(185, 0, 0) + junk));
    EXPECT_EQ(bad.error_text, "Bad day of year value at " + junk.substr(0, junk.size() - 1));
    EXPECT_EQ(bad.records.size(), 1u);
}

// After a good line, each line and the message it stops with ("" when it is
// read). The first four were found by fuzzing: valid columns whose humidity or
// density leave the range of a double.
TEST(HugeNumbers, ForcingLines) {
    TempDir dir;
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"185 12 0 -241 1 2 3 4 5 101 400", "Bad air temperature value at "},
        {"185 12 0 -246 1 2 3 4 5 101 400", "Bad air temperature value at "},
        {"185 12 0 20 1 2 3 4 5 1e-310 400", "Bad air pressure value at "},
        {"185 12 0 -273.1499999999999 1 2 3 4 5 1e300 400", "Bad air pressure value at "},
        {"185 12 0 20 1 2 3 4 5 101 1E+999", "Bad CO2 value at "},
        {"185 12 0 20 1 2 3 -1e400 5 101 400", "Bad value at "},
        {"185 99999999999 0 20 1 2 3 4 5 101 400", "Bad hour value at "},
        {"185 12 0 20 1 2 1e-400 4 5 101 400", ""},  // underflow is a plain zero
        {"185 12 0 -250 1 2 3 4 5 101 400", ""},     // large but finite
    };
    for (const auto& c : cases) {
        Site site;
        const bool ok = read_text(site, dir, forcing_line(185, 11, 30) + c.line + "\n");
        EXPECT_EQ(ok ? "" : site.error_text, *c.message ? c.message + std::string(c.line) : "");
        ASSERT_EQ(site.records.size(), ok ? 2u : 1u) << c.line;
        EXPECT_TRUE(std::isfinite(site.records.back().qa) && site.records.back().sw_in >= 0);
    }
}

TEST(HugeNumbers, ParameterValues) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    const struct {
        const char* file;
        const char* text;
        const char* tail;
    } cases[] = {
        {"site.par", "_dt -99999999999\n", "./site.par: Bad time step."},
        {"site.par", "_dt 99999999999\n", "Error: data interval and dt not compatible."},
        {"site.par", "_zref -1e400\n", "./site.par: Bad site reference height."},
        {"tree.leaf.par", "_vmax 1e999\n", "./tree.leaf.par: Bad leaf _vmax value."},
        {"tree.foliage.par", "_lai2 1e999\n", "./tree.foliage.par: Bad _lai value."},
    };
    for (const auto& c : cases) {
        write_file(dir.file(c.file), c.text);
        const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
        EXPECT_EQ(result.status, 2) << c.text;
        EXPECT_TRUE(result.out.ends_with(c.tail)) << result.out;
        fs::remove(dir.file(c.file));
    }
}

// Paths that cannot be used stop the run with the path, and nothing that was
// there is replaced. Permission bits do not stop root, so as root the program
// runs as "nobody" where setpriv is at hand.
TEST(UnusablePaths, StopWithThePathAndKeepWhatWasThere) {
    enum Make { kDirectory, kNothing, kReadOnlyDirectory, kUnreadableFile };
    const bool root = geteuid() == 0;
    const bool can_drop = !root || fs::exists("/usr/bin/setpriv");
    const std::string runner =
        root && can_drop ? "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
    const struct {
        Make make;
        const char* path;
        const char* out;
        const char* tail;
    } cases[] = {
        {kDirectory, "site.par", ".", "Failed to open ./site.par"},
        {kDirectory, "tree.leaf.par", ".", "Failed to open ./tree.leaf.par."},
        {kDirectory, "site.csv", ".", "Failed to open ./site.csv"},
        {kNothing, "", "site.par/out", "Failed to open site.par/out/site.par"},
        {kReadOnlyDirectory, "out", "out", "Failed to open out/site.par"},
        {kUnreadableFile, "site.par", ".", "Failed to open ./site.par"},
    };
    for (const auto& c : cases) {
        if (c.make >= kReadOnlyDirectory && !can_drop) continue;
        TempDir dir;
        fs::permissions(dir.path(), fs::perms::all);
        write_file(dir.file("forcing.txt"), half_hourly(3));
        fs::permissions(dir.file("forcing.txt"), fs::perms::all);
        const std::string path = dir.file(c.path);
        if (c.make != kDirectory || c.path != std::string("site.par")) {
            write_file(dir.file("site.par"), "_dt 60\n");
        }
        if (c.make == kDirectory || c.make == kReadOnlyDirectory) fs::create_directory(path);
        if (c.make == kReadOnlyDirectory) {
            fs::permissions(
                path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                fs::perm_options::remove);
        }
        if (c.make == kUnreadableFile) {
            fs::permissions(path, fs::perms::owner_write);
            ASSERT_TRUE(!root || chown(path.c_str(), 65534, 65534) == 0);
        }
        const auto result = run_kelm(dir.str(), {"forcing.txt", c.out}, runner);
        EXPECT_EQ(result.status, 2) << c.tail;
        EXPECT_TRUE(result.out.ends_with(c.tail)) << result.out;
        if (fs::is_regular_file(dir.file("site.par"))) {
            fs::permissions(dir.file("site.par"), fs::perms::owner_read, fs::perm_options::add);
            EXPECT_EQ(read_file(dir.file("site.par")), "_dt 60\n") << c.tail;
        }
    }
}

TEST(Gibberish, LongLineInTheMiddleStopsTheReadAndKeepsEarlierOutput) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(4));
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    const std::string before = read_file(dir.file("site.csv"));
    const std::string junk =
        "lorem ipsum dolor sit amet, consectetur adipiscing elit sed do eiusmod";
    const std::string good = half_hourly(4);
    const size_t middle = half_hourly(2).size();
    write_file(dir.file("gibberish.txt"),
               good.substr(0, middle) + junk + "\n" + good.substr(middle));
    const auto result = run_kelm(dir.str(), {"gibberish.txt", "."});
    EXPECT_EQ(result.status, 1);
    std::string quoted = junk;
    for (char& c : quoted) c = c == ',' ? ' ' : c;
    EXPECT_TRUE(result.out.ends_with("Bad day of year value at " + quoted)) << result.out;
    EXPECT_EQ(read_file(dir.file("site.csv")), before);  // the forcing is read before any output
}

}  // namespace
}  // namespace kelmora
