// Failures and recovery through the program: hostile and unbounded input,
// concurrent runs, restarts, write failures and numerical failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "run/dir_lock.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
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

// Forcing input of every kind through the program: line ends of any system,
// pipes, devices, directories, unreadable files, overlong lines and lines that
// a message quotes. "=" stands for a run that writes what the LF file gives.
TEST(InputBounds, ForcingFileKindsLineEndsAndQuotedLines) {
    TempDir dir;
    const std::string lf = half_hourly(4);
    const auto ends = [&](const std::string& end) {
        std::string out;
        for (char c : lf) out += c == '\n' ? end : std::string(1, c);
        return out;
    };
    const std::string limit(64 * 1024 - 1, 'x');
    // Bytes keep their places: controls, a C1 control and broken UTF-8 show as
    // '?', a tab as a blank, a degree sign stays; 200 bytes are quoted.
    const std::string bad =
        "366, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, \x1b]0;x\x07\x1b[2J\t\xc2\xb0"
        "C \x9b\xc2\x9b";
    const std::string shown =
        "366  0  0  1  1  1  1  1  1  1  1  ?]0;x??[2J \xc2\xb0"
        "C ???" +
        std::string(200 - bad.size(), 'z');
    const std::string hostile = bad + std::string(300, 'z');
    write_file(dir.file("lf.txt"), lf);
    write_file(dir.file("cr.txt"), ends("\r"));
    write_file(dir.file("crlf.txt"), ends("\r\n"));
    write_file(dir.file("limit.txt"), "#" + limit + "\r\n" + lf);
    write_file(dir.file("long.txt"), "#\r#" + limit + "x\n" + lf);
    write_file(dir.file("hostile.txt"), forcing_line(185, 0, 0) + hostile + "\n");
    const struct {
        const char* args;
        int status;
        std::string tail;
    } cases[] = {
        {"lf.txt .", 0, "="},
        {"cr.txt .", 0, "="},
        {"crlf.txt .", 0, "="},
        {"<(cat cr.txt) .", 0, "="},
        {"limit.txt .", 0, "="},
        {"long.txt .", 1, "Line too long at line 2 of long.txt"},
        {"<(yes 1 | tr -d '\\n') .", 1, "Line too long at line 1 of /dev/fd/"},
        {"/dev/zero .", 1, "Failed to open /dev/zero"},
        {"out .", 1, "Failed to open out"},
        {"/proc/self/mem .", 1, "Failed to read /proc/self/mem"},
        {"hostile.txt .", 1, "Bad day of year value at " + shown},
    };
    fs::create_directory(dir.file("out"));
    std::map<std::string, std::string> reference;
    for (const auto& c : cases) {
        for (const auto& e : fs::directory_iterator(dir.path())) {
            if (e.path().extension() == ".csv") fs::remove(e.path());
        }
        const auto result = test::run_kelm_bash(dir.str(), c.args);
        EXPECT_EQ(result.status, c.status) << c.args << result.out;
        if (c.tail != "=") {
            const std::string last = result.out.substr(result.out.rfind('\n') + 1);
            EXPECT_TRUE(last.starts_with(c.tail)) << c.args << ": " << last;
            EXPECT_LT(last.size(), 300u) << c.args;
            continue;
        }
        for (const auto& e : fs::directory_iterator(dir.path())) {
            if (e.path().extension() != ".csv") continue;
            auto [at, fresh] = reference.try_emplace(e.path().filename(), read_file(e.path()));
            EXPECT_TRUE(fresh || at->second == read_file(e.path())) << c.args << at->first;
        }
    }
    EXPECT_EQ(reference.size(), 12u);
}

// Every file of a directory with its contents and time of last change.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const TempDir& dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        files[e.path().filename()] = {read_file(e.path()), fs::last_write_time(e.path())};
    }
    return files;
}

// While one run holds the output directory, another one into it, however the
// directory is spelled, stops at once and changes no file there.
TEST(OutputLock, SecondRunStopsAndTouchesNothing) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    const auto before = snapshot(dir);
    ASSERT_TRUE(before.contains(".kelm.lock"));
    {
        DirLock first;
        ASSERT_FALSE(first.lock(dir.str() + "/"));
        for (const std::string& out : {std::string("."), std::string("./"), dir.str()}) {
            const auto result = run_kelm(dir.str(), {"forcing.txt", out});
            EXPECT_EQ(result.status, 2);
            const std::string shown = out.ends_with('/') ? out : out + "/";
            EXPECT_TRUE(result.out.ends_with("Output directory in use by another run: " + shown))
                << result.out;
            EXPECT_EQ(snapshot(dir), before) << out;
        }
    }
    EXPECT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
}

}  // namespace
}  // namespace kelmora
