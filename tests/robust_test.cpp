// Whole runs and the file readers under awkward and hostile input: a full disk,
// Windows line ends, very long files and lines, binary bytes, overflowing
// numbers, directories where files belong and unwritable output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "run/forcing.h"
#include "run/output_file.h"
#include "run/param_file.h"
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
    for (int i = 0; i < n; ++i) {
        const int minutes = 30 * i;
        text += forcing_line(185 + minutes / 1440, minutes / 60 % 24, minutes % 60);
    }
    return text;
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Reads a forcing text through a file; the site keeps the records and the message.
bool read_text(Site& site, const TempDir& dir, const std::string& text) {
    const std::string path = dir.file("forcing.txt");
    write_file(path, text);
    return read_forcing(site, path);
}

// A parameter table of each reader variant, bound to plain fields.
struct Tables {
    int32_t count = 3;
    double size = 2.5;
    std::array<double, 5> daily{};
    std::vector<double> layers;
    static constexpr std::array<double, 2> kLayerDefaults{0.1, 0.2};

    std::array<ParamKey, 2> keys() {
        return {{
            {"_count  ", &count, nullptr, {1, 10}, ": Bad _count value.", "    ->count\n"},
            {"_size   ", nullptr, &size, kPositive, ": Bad _size value.", "    ->size (m)\n"},
        }};
    }
    NumberedKey numbered() {
        return {"_day",  daily.data(),          1,   5, kNonNegative, ": Bad _day value.",
                "     ", "    ->value on day ", "\n"};
    }
    ListKey list() {
        return {"_dz",
                &layers,
                kLayerDefaults,
                kPositive,
                ": Bad _dz value.",
                "        ",
                "    ->thickness of layer ",
                " (m)\n"};
    }
};

// ---------------------------------------------------------------------------
// A line that cannot be written stops the run.

TEST(WriteFailure, FullDeviceStopsTheRunWithStatus2) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(4));
    // The output file is created through the link with truncation, as any new file.
    fs::create_symlink("/dev/full", dir.file("site.csv"));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to write ./site.csv")) << result.out;
    EXPECT_FALSE(contains(result.out, "Finished"));
    EXPECT_FALSE(contains(result.out, "Failed to open"));
    EXPECT_TRUE(fs::is_symlink(dir.file("site.csv")));
}

TEST(WriteFailure, NormalDirectoryStillFinishes) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(4));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(contains(result.out, "\nFinished. Press any key to end.\n")) << result.out;
    EXPECT_EQ(data_lines(dir.file("site.csv")).size(), 3u);
}

TEST(WriteFailure, OutputFileReportsTheFailedLine) {
    OutputFile file;
    ASSERT_TRUE(file.open("/dev/full"));
    ForcingRecord r;
    r.day = 185;
    file.begin_line(r);
    file.value(1.5);
    std::string error;
    EXPECT_FALSE(file.end_line(error));
    EXPECT_EQ(error, "Failed to write /dev/full");
}

// ---------------------------------------------------------------------------
// Windows line ends.

TEST(WindowsLineEnds, ForcingReadsAsWithLineFeeds) {
    TempDir dir;
    Site lf, crlf;
    const std::string text = half_hourly(5) + "\n";
    ASSERT_TRUE(read_text(lf, dir, text));
    ASSERT_TRUE(read_text(crlf, dir, with_crlf(text)));
    ASSERT_EQ(crlf.records.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(crlf.records[i].interval, lf.records[i].interval);
        EXPECT_EQ(crlf.records[i].co2, lf.records[i].co2);
        EXPECT_EQ(crlf.records[i].qa, lf.records[i].qa);
    }
    // The quoted line of a message carries no carriage return.
    Site bad;
    EXPECT_FALSE(read_text(bad, dir, with_crlf(forcing_line(366, 0, 0))));
    EXPECT_EQ(bad.error_text,
              "Bad day of year value at 366  0  0  20  1.2  2.3  400  380  0  "
              "101.3  400");
}

TEST(WindowsLineEnds, ParameterFilesOfEveryVariant) {
    TempDir dir;
    Site site;
    write_file(dir.file("site.par"),
               with_crlf("Parameters (name, value, remark):\n_type 1\n_dt,20\n_zref 12.5\n_dt\n"));
    ASSERT_TRUE(site.read_parameters(dir.file("site.par"))) << site.error_text;
    EXPECT_EQ(site._type, 1);
    EXPECT_EQ(site._dt, 20);
    EXPECT_EQ(site._zref, 12.5);

    Tables t;
    const auto keys = t.keys();
    const NumberedKey numbered = t.numbered();
    const ListKey list = t.list();
    write_file(dir.file("a.par"), with_crlf("_count 7\n_size 0.5 ->remark\n_day3 4\n_dz1 0.3\n"));
    ASSERT_TRUE(read_parameter_file(
        site, dir.file("a.par"),
        ParamFile{.keys = keys, .numbered = &numbered, .commas_as_blanks = false}));
    EXPECT_EQ(t.count, 7);
    EXPECT_EQ(t.size, 0.5);
    EXPECT_EQ(t.daily[2], 4);

    write_file(dir.file("b.par"), with_crlf("_dz1 0.3\n_dz2 0.4\n_dz3 0.5\n"));
    ASSERT_TRUE(read_parameter_file(
        site, dir.file("b.par"),
        ParamFile{.keys = keys, .list = &list, .title = "Parameters:", .skip_first_line = true}));
    EXPECT_EQ(t.layers, (std::vector<double>{0.4, 0.5}));
}

TEST(WindowsLineEnds, RestartLineAndWholeRun) {
    TempDir dir;
    write_file(dir.file("last.csv"), with_crlf("# Day\n185, 1, 0, 2.5, 3\n\n"));
    EXPECT_EQ(read_last_line(dir.file("last.csv")),
              (std::vector<std::string>{"185,", "1,", "0,", "2.5,", "3"}));

    write_file(dir.file("forcing.txt"), with_crlf(half_hourly(3)));
    write_file(dir.file("site.par"), with_crlf("_type 0\n_dt 60\n"));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 0) << result.out;
    const auto lines = data_lines(dir.file("site.csv"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("185, 0, 30, ")) << lines[0];
    EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), ','), 6);
}

// ---------------------------------------------------------------------------
// Size: many lines and long lines.

TEST(LargeInput, TwoHundredThousandForcingLines) {
    TempDir dir;
    std::string text;
    text.reserve(200000 * 64);
    for (int i = 0; i < 200000; ++i) {
        text += forcing_line(1 + i / 1440, i / 60 % 24, i % 60, 10 + i % 7);
    }
    Site site;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(read_text(site, dir, text)) << site.error_text;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(site.records.size(), 200000u);
    const ForcingRecord& last = site.records.back();
    EXPECT_EQ(last.day, 1 + 199999 / 1440);
    EXPECT_EQ(last.hour, 199999 / 60 % 24);
    EXPECT_EQ(last.minute, 199999 % 60);
    for (size_t i = 1; i < site.records.size(); ++i) ASSERT_EQ(site.records[i].interval, 60);
    EXPECT_LT(seconds, 10.0);  // generous: a sanitizer build on a shared machine
}

TEST(LargeInput, OneMegabyteLines) {
    TempDir dir;
    const std::string mb(1 << 20, 'x');
    const std::string digits(1 << 20, '9');
    // A long comment and a data line with a megabyte of extra words are read past.
    Site site;
    std::string extra = forcing_line(185, 0, 30);
    extra.pop_back();
    extra += ", 5";
    for (int i = 0; i < (1 << 17); ++i) extra += ", 1234567";
    ASSERT_TRUE(read_text(site, dir, forcing_line(185, 0, 0) + "#" + mb + "\n" + extra + "\n"));
    ASSERT_EQ(site.records.size(), 2u);
    EXPECT_EQ(site.records[1].nep_obs, 5);

    // A megabyte of digits overflows: the day saturates, a real becomes infinite.
    Site day;
    EXPECT_FALSE(read_text(day, dir, digits + forcing_line(185, 0, 0).substr(3)));
    EXPECT_TRUE(day.error_text.starts_with("Bad day of year value at 999"));
    Site wind;
    EXPECT_FALSE(read_text(wind, dir, "185, 0, 0, 20, 1, " + digits + ", 1, 1, 1, 100, 400\n"));
    EXPECT_TRUE(wind.error_text.starts_with("Bad value at 185")) << wind.error_text.substr(0, 40);

    // Parameter files: a megabyte word is no key; a megabyte remark is ignored.
    write_file(dir.file("site.par"), mb + " 1\n_dt 20 " + mb + "\n");
    Site par;
    ASSERT_TRUE(par.read_parameters(dir.file("site.par")));
    EXPECT_EQ(par._dt, 20);

    write_file(dir.file("last.csv"), "# h\n185, 1, " + digits + "\n");
    const auto words = read_last_line(dir.file("last.csv"));
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[2].size(), digits.size());
    EXPECT_TRUE(std::isinf(word_value(words, 2)));
}

// ---------------------------------------------------------------------------
// Binary bytes.

TEST(BinaryInput, ForcingWithControlAndHighBytes) {
    TempDir dir;
    // NUL and high bytes glued to numbers: the leading numbers still convert.
    std::string line = forcing_line(185, 0, 30);
    line.insert(3, std::string("\0\xff", 2));
    Site site;
    ASSERT_TRUE(read_text(site, dir, forcing_line(185, 0, 0) + line));
    ASSERT_EQ(site.records.size(), 2u);
    EXPECT_EQ(site.records[1].interval, 1800);

    // A binary line of eleven words converts to a day of 0.
    Site bad;
    const std::string junk = "\x01\x02 \x7f \xfe\xff a b c d e f g h\n";
    EXPECT_FALSE(read_text(bad, dir, forcing_line(185, 0, 0) + junk));
    EXPECT_EQ(bad.error_text, "Bad day of year value at " + junk.substr(0, junk.size() - 1));
    EXPECT_EQ(bad.records.size(), 1u);
}

TEST(BinaryInput, RandomBytesNeverCrashTheReaders) {
    TempDir dir;
    std::mt19937 random(8);
    for (int round = 0; round < 20; ++round) {
        std::string bytes(4096, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xff);
        // Sprinkle line breaks and separators so some lines split into many words.
        for (size_t i = 0; i < bytes.size(); i += 1 + random() % 80) bytes[i] = "\n,  "[i % 4];
        Site site;
        if (!read_text(site, dir, bytes)) {
            EXPECT_TRUE(site.error_text.starts_with("Bad ")) << site.error_text;
        }
        write_file(dir.file("site.par"), bytes);
        Site par;
        par.read_parameters(dir.file("site.par"));
        write_file(dir.file("last.csv"), bytes);
        const auto words = read_last_line(dir.file("last.csv"));
        for (size_t i = 0; i < words.size(); ++i) (void)word_value(words, i);
    }
}

// ---------------------------------------------------------------------------
// Numbers beyond the range of a double or of a 32-bit integer.

TEST(HugeNumbers, ForcingValuesOverflowingToInfinity) {
    TempDir dir;
    struct Case {
        int column;
        const char* word;
        const char* message;
    };
    const Case cases[] = {
        {3, "1e400", "Bad air temperature value at "},
        {3, "-1e400", "Bad air temperature value at "},
        {9, "1e400", "Bad air pressure value at "},
        {10, "1E+999", "Bad CO2 value at "},
        {4, "1e400", "Bad value at "},
        {8, "-1e400", "Bad value at "},
        {11, "1e400", "Bad value at "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"185", "0",   "30",  "20",  "1",   "2",
                                          "400", "380", "0.5", "100", "400", "3"};
        words[c.column] = c.word;
        std::string line;
        for (const auto& w : words) line += (line.empty() ? "" : ", ") + w;
        Site site;
        EXPECT_FALSE(read_text(site, dir, forcing_line(185, 0, 0) + line + "\n"));
        std::string quoted = line;
        for (char& ch : quoted) ch = ch == ',' ? ' ' : ch;
        EXPECT_EQ(site.error_text, c.message + quoted);
        EXPECT_EQ(site.records.size(), 1u);
    }
    // Underflow is a plain zero; an overflowing time stamp saturates and fails.
    Site tiny;
    ASSERT_TRUE(read_text(tiny, dir, "185, 0, 0, 20, 1, 2, 1e-400, 380, 0, 100, 400\n"));
    EXPECT_EQ(tiny.records[0].sw_in, 0);
    Site hour;
    EXPECT_FALSE(read_text(hour, dir, "185, 99999999999, 0, 20, 1, 2, 1, 380, 0, 100, 400\n"));
    EXPECT_TRUE(hour.error_text.starts_with("Bad hour value at "));
}

// Valid columns whose derived humidity or density leave the range of a double
// (found by fuzzing): the saturation vapour pressure overflows just below
// -240.97 degC, the specific humidity divides by the pressure, the density by
// the absolute temperature.
TEST(HugeNumbers, ForcingWithOverflowingDerivedValues) {
    TempDir dir;
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"185 12 0 -241 1 2 3 4 5 101 400", "Bad air temperature value at "},
        {"185 12 0 -246 1 2 3 4 5 101 400", "Bad air temperature value at "},
        {"185 12 0 20 1 2 3 4 5 1e-310 400", "Bad air pressure value at "},
        {"185 12 0 -273.1499999999999 1 2 3 4 5 1e300 400", "Bad air pressure value at "},
    };
    for (const Case& c : cases) {
        Site site;
        EXPECT_FALSE(read_text(site, dir, forcing_line(185, 11, 30) + c.line + "\n"));
        EXPECT_EQ(site.error_text, c.message + std::string(c.line));
        EXPECT_EQ(site.records.size(), 1u);
    }
    // Far below the singular temperature the values are large but finite.
    Site cold;
    ASSERT_TRUE(read_text(cold, dir, "185 12 0 -250 1 2 3 4 5 101 400\n"));
    EXPECT_TRUE(std::isfinite(cold.records[0].qa));
    EXPECT_EQ(cold.records[0].rh, 1);
}

TEST(HugeNumbers, ParameterValues) {
    TempDir dir;
    const std::string path = dir.file("site.par");
    const auto read = [&](const std::string& text, Site& site) {
        write_file(path, text);
        return site.read_parameters(path);
    };
    Site zref;
    EXPECT_FALSE(read("_zref 1e400\n", zref));
    EXPECT_EQ(zref.error_text, path + ": Bad site reference height.");
    Site negative;
    EXPECT_FALSE(read("_zref -1e400\n", negative));
    EXPECT_EQ(negative.error_text, path + ": Bad site reference height.");
    Site small;
    EXPECT_FALSE(read("_dt -99999999999\n", small));
    EXPECT_EQ(small.error_text, path + ": Bad time step.");
    // An integer key reads the leading integer of 1e400; a long one saturates.
    Site lead;
    EXPECT_TRUE(read("_dt 1e400\n_type 1e400\n", lead));
    EXPECT_EQ(lead._dt, 1);
    EXPECT_EQ(lead._type, 1);
    Site big;
    EXPECT_TRUE(read("_dt 99999999999\n", big));
    EXPECT_EQ(big._dt, 2147483647);

    // Every reader variant rejects an infinite value with the key's message.
    Tables t;
    const auto keys = t.keys();
    const NumberedKey numbered = t.numbered();
    const ListKey list = t.list();
    const ParamFile files[] = {
        {.keys = keys},
        {.keys = keys, .commas_as_blanks = false},
        {.keys = keys, .numbered = &numbered},
        {.keys = keys, .list = &list, .skip_first_line = true},
    };
    const char* texts[] = {"_size 1e999\n", "_size 1e999\n", "_day2 1e999\n", "x\n_dz1 1e999\n"};
    const char* messages[] = {": Bad _size value.", ": Bad _size value.", ": Bad _day value.",
                              ": Bad _dz value."};
    for (int i = 0; i < 4; ++i) {
        Site site;
        write_file(path, texts[i]);
        EXPECT_FALSE(read_parameter_file(site, path, files[i]));
        EXPECT_EQ(site.error_text, path + messages[i]);
    }
}

TEST(HugeNumbers, SaturatedTimeStepStopsTheRunCleanly) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_dt 99999999999\n");
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Error: data interval and dt not compatible."));
}

// ---------------------------------------------------------------------------
// Directories where files belong, and output that cannot be written.

TEST(UnusablePaths, ParameterFileIsADirectory) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    fs::create_directory(dir.file("site.par"));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to open ./site.par")) << result.out;
    EXPECT_FALSE(fs::exists(dir.file("site.csv")));

    Tables t;
    const auto keys = t.keys();
    Site site;
    EXPECT_FALSE(read_parameter_file(site, dir.file("site.par"),
                                     ParamFile{.keys = keys, .full_stop_on_failure = true}));
    EXPECT_EQ(site.error_text, "Failed to open " + dir.file("site.par") + ".");
}

// A parameter file that exists but cannot be read is reported, never replaced
// by the defaults. Root reads every file, so the program runs as "nobody" when
// the tests run as root and setpriv is at hand.
TEST(UnusablePaths, UnreadableParameterFileIsKept) {
    std::string runner;
    if (geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "root without setpriv";
        runner = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_dt 20\n");
    const auto all = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
    fs::permissions(dir.path(), all);
    fs::permissions(dir.file("forcing.txt"), all);
    fs::permissions(dir.file("site.par"), fs::perms::owner_write);
    if (!runner.empty() && chown(dir.file("site.par").c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "cannot hand the file to nobody";
    }
    const std::string command =
        "cd '" + dir.str() + "' && " + runner + "'" KELM_BINARY "' forcing.txt . </dev/null 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 2) << out;
    EXPECT_TRUE(out.ends_with("Failed to open ./site.par")) << out;
    fs::permissions(dir.file("site.par"), fs::perms::owner_read, fs::perm_options::add);
    EXPECT_EQ(read_file(dir.file("site.par")), "_dt 20\n");
}

TEST(UnusablePaths, OutputDirectoryBelowARegularFile) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("plain"), "not a directory\n");
    const auto result = run_kelm(dir.str(), {"forcing.txt", "plain/out"});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to open plain/out/site.par")) << result.out;
    EXPECT_EQ(read_file(dir.file("plain")), "not a directory\n");
}

TEST(UnusablePaths, OutputFileIsADirectory) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_dt 60\n");
    fs::create_directory(dir.file("site.csv"));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to open ./site.csv")) << result.out;
    EXPECT_EQ(read_file(dir.file("site.par")), "_dt 60\n");
}

TEST(UnusablePaths, ReadOnlyOutputDirectory) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root: permission bits do not stop writes "
                        "(the unwritable paths above cover this case)";
    }
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    fs::create_directory(dir.file("out"));
    fs::permissions(dir.file("out"), fs::perms::owner_read | fs::perms::owner_exec);
    const auto result = run_kelm(dir.str(), {"forcing.txt", "out"});
    fs::permissions(dir.file("out"), fs::perms::owner_all);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.out.ends_with("Failed to open out/site.par")) << result.out;
}

// ---------------------------------------------------------------------------
// A line of gibberish among good forcing lines.

TEST(Gibberish, LongLineStopsTheReadAndKeepsEarlierOutput) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(4));
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    const std::string before = read_file(dir.file("site.csv"));

    const std::string junk =
        "lorem ipsum dolor sit amet, consectetur adipiscing elit sed do eiusmod";
    std::string text = half_hourly(2) + junk + "\n" + half_hourly(4).substr(half_hourly(2).size());
    write_file(dir.file("gibberish.txt"), text);
    const auto result = run_kelm(dir.str(), {"gibberish.txt", "."});
    EXPECT_EQ(result.status, 1);
    std::string quoted = junk;
    for (char& c : quoted) c = c == ',' ? ' ' : c;
    EXPECT_TRUE(result.out.ends_with("Bad day of year value at " + quoted)) << result.out;
    // The forcing is read before any output file is touched.
    EXPECT_EQ(read_file(dir.file("site.csv")), before);

    Site site;
    EXPECT_FALSE(read_forcing(site, dir.file("gibberish.txt")));
    EXPECT_EQ(site.records.size(), 2u);
}

TEST(Gibberish, ShortLineIsPassedOver) {
    TempDir dir;
    Site site;
    const std::string text = forcing_line(185, 0, 0) + "%%$ garbage !!\n" + forcing_line(185, 1, 0);
    ASSERT_TRUE(read_text(site, dir, text));
    ASSERT_EQ(site.records.size(), 2u);
    EXPECT_EQ(site.records[1].interval, 3600);
}

}  // namespace
}  // namespace kelmora
