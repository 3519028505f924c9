// Failures and recovery through the program: hostile and unbounded input,
// concurrent runs, restarts, write failures and numerical failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

// Every file of a directory with its contents and time of last change.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const TempDir& dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        files[e.path().filename()] = {read_file(e.path()), fs::last_write_time(e.path())};
    }
    return files;
}

// Expects every output file of `dir` to equal the one of `reference` of its
// name; files that `reference` lacks join it.
void expect_same_outputs(std::map<std::string, std::string>& reference, const TempDir& dir) {
    for (const auto& e : fs::directory_iterator(dir.path())) {
        if (e.path().extension() != ".csv") continue;
        auto [at, fresh] = reference.try_emplace(e.path().filename(), read_file(e.path()));
        EXPECT_TRUE(fresh || at->second == read_file(e.path())) << at->first;
    }
}

std::string with_ends(const std::string& text, const std::string& end) {
    std::string out;
    for (char c : text) out += c == '\n' ? end : std::string(1, c);
    return out;
}

// Input of every kind through the program: pipes, devices, directories,
// unreadable files, overlong lines, too many soil layers and lines that a
// message quotes. A `file` of the output directory gets the `text` or, for a
// text starting with '/', becomes a link to that path. "=" stands for a run
// that writes what the first one wrote.
TEST(InputBounds, DevicesPipesLongLinesAndQuotedLines) {
    TempDir dir;
    const std::string lf = half_hourly(4);
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
    std::string layers = "Parameters\n";
    for (int i = 1; i <= 100; ++i) layers += "_dz" + std::to_string(i) + " 0.1\n";
    write_file(dir.file("lf.txt"), lf);
    write_file(dir.file("limit.txt"), "#" + limit + "\r\n" + lf);
    write_file(dir.file("long.txt"), "#\r#" + limit + "x\n" + lf);
    write_file(dir.file("hostile.txt"), forcing_line(185, 0, 0) + bad + std::string(300, 'z'));
    const struct {
        const char* args;
        std::string file, text;
        int status;
        std::string tail;
    } cases[] = {
        {"lf.txt .", "", "", 0, "="},
        {"<(cat lf.txt) .", "", "", 0, "="},
        {"limit.txt .", "", "", 0, "="},
        {"long.txt .", "", "", 1, "Line too long at line 2 of long.txt"},
        {"<(yes 1 | tr -d '\\n') .", "", "", 1, "Line too long at line 1 of /dev/fd/"},
        {"/dev/zero .", "", "", 1, "Failed to open /dev/zero"},
        {"out .", "", "", 1, "Failed to open out"},
        {"/proc/self/mem .", "", "", 1, "Failed to read /proc/self/mem"},
        {"hostile.txt .", "", "", 1, "Bad day of year value at " + shown},
        {"lf.txt .", "site.par", "/dev/zero", 2, "Failed to open ./site.par"},
        {"lf.txt .", "tree.leaf.par", "/proc/self/mem", 2, "Failed to read ./tree.leaf.par"},
        {"lf.txt .", "tree.par", "_pai 1\n#" + limit + "x", 2,
         "Line too long at line 2 of ./tree.par"},
        {"lf.txt .", "soil.par", layers, 0, ""},
        {"lf.txt .", "soil.par", layers + "_dz 1", 2, "./soil.par: Bad _dz value."},
    };
    fs::create_directory(dir.file("out"));
    std::map<std::string, std::string> reference;
    for (const auto& c : cases) {
        for (const auto& e : fs::directory_iterator(dir.path())) {
            if (e.path().extension() == ".csv" || e.path().extension() == ".par")
                fs::remove(e.path());
        }
        if (c.text.starts_with('/')) fs::create_symlink(c.text, dir.file(c.file));
        if (!c.file.empty() && !c.text.starts_with('/')) write_file(dir.file(c.file), c.text);
        const auto result = test::run_kelm_bash(dir.str(), c.args);
        EXPECT_EQ(result.status, c.status) << c.args << result.out;
        const std::string last = result.out.substr(result.out.rfind('\n') + 1);
        EXPECT_TRUE(c.tail == "=" ? last.empty() : last.starts_with(c.tail)) << c.args << last;
        EXPECT_LT(last.size(), 300u) << c.args;
        if (c.tail == "=") expect_same_outputs(reference, dir);
    }
    EXPECT_EQ(reference.size(), 12u);
}

// A run and a restarted run with every kind of input file (forcing, parameter
// files of each reader, restart lines) in CR LF or CR line ends write what the
// same runs with LF write.
TEST(InputBounds, LineEndsOfEverySystemGiveTheSameRuns) {
    std::map<std::string, std::string> lf;
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        TempDir dir;
        const auto put = [&](const std::string& name, const std::string& text) {
            write_file(dir.file(name), with_ends(text, end));
        };
        put("forcing.txt", half_hourly(4));
        put("site.par", "_type 1\n_dt 60\n");
        put("soil.par", "Parameters:\n_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
        put("tree.leaf.par", "_vmax 40\n");
        put("shrub.foliage.par", "_lai185 2\n");
        ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
        for (const auto& e : fs::directory_iterator(dir.path())) {
            if (e.path().extension() == ".csv") put(e.path().filename(), read_file(e.path()));
        }
        put("site.par", "_type 1\n_dt 60\n_restart 1\n");
        const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
        ASSERT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(test::read_lines(dir.file("soil.csv"))[4], "# 3 columns of temperature (C)");
        expect_same_outputs(lf, dir);
    }
}

// A restart whose files do not all end in a whole last line of the component's
// words, each a finite number, at one time, stops with the component's message
// and leaves every file of the directory as it was. `word` is the index of the
// word of the last line that becomes `text`; -1 drops the last word, -2 adds a
// word, -3 makes `text` the whole file.
TEST(Recovery, FailedRestartChangesNoFile) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n");
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n_restart 1\n");
    const struct {
        std::string file;
        int word;
        std::string text, message;
    } cases[] = {
        {"tree.csv", -1, "", "Plant: failed to restart."},
        {"shrub.csv", -2, "1", "Plant: failed to restart."},
        {"tree.stem.csv", 4, "1.5x", "Stem: failed restart."},
        {"shrub.foliage.csv", 5, "nan,", "Foliage: failed to restart."},
        {"soil.csv", 3, "1e999,", "Soil: failed to restart."},
        {"root.fine.csv", 1, ",", "Root: failed to restart."},
        {"root.coarse.csv", 0, "184,", "Restart files end at different times."},
        {"tree.foliage.csv", -3, "# Day of year\n", "Foliage: failed to restart."},
        {"soil.par", -3, "Parameters\n_dz1 0.1\n_dz2 0.2\n", "Soil: failed to restart."},
    };
    for (const auto& c : cases) {
        const std::string before = read_file(dir.file(c.file));
        std::string text = c.text;
        if (c.word > -3) {
            text = before;
            const size_t last = text.rfind('\n', text.size() - 2) + 1;
            std::vector<std::string> words;
            std::istringstream in(text.substr(last));
            for (std::string w; in >> w;) words.push_back(w);
            if (c.word == -1) words.pop_back();
            if (c.word == -2) words.push_back(c.text);
            if (c.word >= 0) words[c.word] = c.text;
            text.resize(last);
            for (const auto& w : words) text += w + " ";
        }
        write_file(dir.file(c.file), text);
        const auto files = snapshot(dir);
        const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.out.ends_with(c.message)) << c.file << result.out;
        EXPECT_TRUE(snapshot(dir) == files) << c.file;
        write_file(dir.file(c.file), before);
    }
    EXPECT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
}

// A run that stops at a record, because a value is not finite or because a
// file takes no more bytes, leaves every file holding the records before it,
// whole and exactly as a run over those records alone writes them; a restarted
// run continues from there.
TEST(Recovery, FailedRunEndsAtTheLastWholeRecordAndARestartContinues) {
    std::vector<std::string> lines;
    for (int i = 0; i < 16; ++i) lines.push_back(forcing_line(185, i / 2, i % 2 * 30));
    const auto forcing = [&](size_t from, size_t to, bool overflow) {
        std::string text;
        for (size_t i = from; i < to; ++i) {
            std::string line = lines[i];
            // The 11th record's long-wave radiation of 1e308 W m-2.
            if (overflow && i == 10) line.replace(line.find(", 380,"), 5, ", 1e308");
            text += line;
        }
        return text;
    };
    const struct {
        const char* runner;
        bool overflow;
        std::string message;
    } cases[] = {
        {"", true, "Numerical failure at day 185 hour 5 minute 0 in ./tree.csv"},
        {"trap '' XFSZ; ulimit -f 4;", false, "Failed to write ./"},
    };
    for (const auto& c : cases) {
        TempDir dir, part;
        for (const TempDir* d : {&dir, &part}) {
            write_file(d->file("site.par"), "_dt 60\n");
            write_file(d->file("forcing.txt"), forcing(0, 2, false));
            ASSERT_EQ(run_kelm(d->str(), {"forcing.txt", "."}).status, 0);
        }
        write_file(dir.file("forcing.txt"), forcing(0, 16, c.overflow));
        const auto result = run_kelm(dir.str(), {"forcing.txt", "."}, c.runner);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.out.find(c.message), std::string::npos) << result.out;
        const size_t done = test::data_lines(dir.file("site.csv")).size();
        ASSERT_TRUE(done > 1 && done < 15) << done;
        write_file(part.file("forcing.txt"), forcing(0, done + 1, false));
        ASSERT_EQ(run_kelm(part.str(), {"forcing.txt", "."}).status, 0);
        std::map<std::string, std::string> whole;
        expect_same_outputs(whole, part);
        expect_same_outputs(whole, dir);
        write_file(dir.file("site.par"), "_dt 60\n_restart 1\n");
        write_file(dir.file("forcing.txt"), forcing(done, 16, false));
        EXPECT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    }
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
            EXPECT_TRUE(snapshot(dir) == before) << out;
        }
    }
    EXPECT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
}

}  // namespace
}  // namespace kelmora
