// Failures and recovery through the program: hostile and unbounded input,
// concurrent runs, restarts, write failures and numerical failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "files/dir_lock.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using namespace test;

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
    for (const auto& [name, text] : files(dir.path())) {
        auto [at, fresh] = reference.try_emplace(name, text);
        EXPECT_TRUE(fresh || at->second == text) << name;
    }
}

// Input of every kind through the program: pipes, devices, directories,
// unreadable files, overlong lines, too many soil layers and lines that a
// message quotes. A `file` of the output directory gets the `text` or, for a
// text starting with '/', becomes a link to that path. "=" stands for a run
// that writes what the first one wrote.
TEST(InputBounds, DevicesPipesLongLinesAndQuotedLines) {
    TempDir dir;
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
    const std::string lf = half_hourly(4);
    write_file(dir.file("lf.txt"), lf);
    write_file(dir.file("long.txt"), "#\r#" + limit + "x\n" + lf);
    write_file(dir.file("hostile.txt"), forcing_line(185, 0, 0) + bad + std::string(300, 'z'));
    const struct {
        std::string forcing, file, text;
        int status;
        std::string tail;
    } cases[] = {
        {"lf.txt", "", "", 0, "="},
        {"<(cat lf.txt)", "", "", 0, "="},
        {"long.txt", "", "", 1, "Line too long at line 2 of long.txt"},
        {"<(yes 1 | tr -d '\\n')", "", "", 1, "Line too long at line 1 of /dev/fd/"},
        {"/dev/zero", "", "", 1, "Failed to open /dev/zero"},
        {".", "", "", 1, "Failed to open ."},
        {"/proc/self/mem", "", "", 1, "Failed to read /proc/self/mem"},
        {"hostile.txt", "", "", 1, "Bad day of year value at " + shown},
        {"lf.txt", "site.par", "/dev/zero", 2, "Failed to open ./site.par"},
        {"lf.txt", "tree.leaf.par", "/proc/self/mem", 2, "Failed to read ./tree.leaf.par"},
        {"lf.txt", "tree.par", "_pai 1\n#" + limit + "\r\n#" + limit + "x", 2,
         "Line too long at line 3 of ./tree.par"},
        {"lf.txt", "site.csv", "/dev/full", 2, "Failed to write ./site.csv"},
        {"lf.txt", "soil.par", layers, 0, ""},
        {"lf.txt", "soil.par", layers + "_dz 1", 2, "./soil.par: Bad _dz value."},
    };
    std::map<std::string, std::string> reference;
    for (const auto& c : cases) {
        if (!c.file.empty()) {
            fs::remove(dir.file(c.file));
            c.text.starts_with('/') ? fs::create_symlink(c.text, dir.file(c.file))
                                    : write_file(dir.file(c.file), c.text);
        }
        const auto result = run_kelm(dir.str(), {c.forcing, "."});
        EXPECT_EQ(result.status, c.status) << c.forcing << result.out;
        const std::string last = result.out.substr(result.out.rfind('\n') + 1);
        EXPECT_TRUE(c.tail == "=" ? last.empty() : last.starts_with(c.tail)) << c.forcing << last;
        EXPECT_LT(last.size(), 300u) << c.forcing;
        if (c.tail == "=") expect_same_outputs(reference, dir);
        if (!c.file.empty()) fs::remove(dir.file(c.file));
    }
    EXPECT_EQ(reference.size(), 12u);
}

// A restart whose files do not all end in a whole last line of the component's
// words, each a finite number, at one time, and a run into a directory that
// another run holds, stop with their message and leave every file of the
// directory as it was. Each case replaces the last `from` of a file by `to`
// (the last data lines start with "185, 1, 0, "); in the case without a file
// another run holds the directory. The same restart from every file with CR LF
// or CR line ends writes the same files.
TEST(Recovery, FailedStartChangesNoFileAndRestartReadsAnyLineEnds) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n");
    write_file(dir.file("soil.par"), "Parameters:\n_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
    write_file(dir.file("tree.leaf.par"), "_vmax 30\n_vmax 40\n");
    write_file(dir.file("shrub.foliage.par"), "_lai185 1\n_lai185 2\n");
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n_restart 1\n");
    const std::string stamp = "185, 1, 0, ";
    const struct {
        std::string file, from, to, message;
    } cases[] = {
        {"tree.csv", stamp, stamp + "1, ", "Plant: failed to restart."},
        {"shrub.csv", stamp, "185, 1, ", "Plant: failed to restart."},
        {"tree.stem.csv", stamp, stamp + "1.5x", "Stem: failed restart."},
        {"shrub.foliage.csv", stamp, "185, 1, nan, ", "Foliage: failed to restart."},
        {"soil.csv", stamp, "185, 1, 1e999, ", "Soil: failed to restart."},
        {"root.fine.csv", stamp, "185, , 0, ", "Root: failed to restart."},
        {"root.coarse.csv", stamp, "184, 1, 0, ", "Restart files end at different times."},
        {"tree.foliage.csv", stamp, "#", "Restart files end at different times."},
        {"soil.par", "_dz3", "_dz4 1\n_dz3", "Soil: failed to restart."},
        {"", "", "", "Output directory in use by another run: " + dir.str() + "/"},
    };
    for (const auto& c : cases) {
        DirLock other;
        const std::string before = c.file.empty() ? "" : read_file(dir.file(c.file));
        std::string text = before;
        if (c.file.empty()) {
            ASSERT_FALSE(other.lock(dir.str() + "/"));
        } else {
            write_file(dir.file(c.file), text.replace(text.rfind(c.from), c.from.size(), c.to));
        }
        const auto files = snapshot(dir);
        const auto result = run_kelm(dir.str(), {"forcing.txt", dir.str()});
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.out.ends_with(c.message)) << c.file << result.out;
        EXPECT_TRUE(snapshot(dir) == files) << c.file;
        if (!c.file.empty()) write_file(dir.file(c.file), before);
    }
    const auto files = snapshot(dir);
    std::map<std::string, std::string> outputs;
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        for (const auto& [name, file] : files) {
            std::string text;
            for (char ch : file.first) ch == '\n' ? text += end : text += ch;
            write_file(dir.file(name), text);
        }
        ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0) << end.size();
        expect_same_outputs(outputs, dir);
    }
}

// A run that stops at a record, because a value is not finite or because a
// file takes no more bytes, leaves every file holding the records before it,
// whole and exactly as a run over those records alone writes them; a restarted
// run continues from there.
TEST(Recovery, FailedRunEndsAtTheLastWholeRecordAndARestartContinues) {
    // Half-hourly records; the 11th with a solar radiation of 1e308 W m-2.
    const auto forcing = [](int from, int to, bool overflow) {
        std::string text;
        for (int i = from; i < to; ++i) {
            text += forcing_line(185, i / 2, i % 2 * 30, overflow && i == 10 ? 1e308 : 400);
        }
        return text;
    };
    const struct {
        std::string runner, message;
        bool overflow;
    } cases[] = {
        {"", "Numerical failure at day 185 hour 5 minute 0 in ./tree.csv", true},
        {"trap '' XFSZ; ulimit -f 2;", "Failed to write ./", false},
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
        const int done = static_cast<int>(data_lines(dir.file("site.csv")).size());
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

}  // namespace
}  // namespace kelmora
