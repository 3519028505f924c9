// Failures and recovery through the program: hostile and unbounded input,
// concurrent runs, restarts, write failures and numerical failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <random>
#include <thread>

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

// Puts back the files of a snapshot and removes every other file.
void restore(const TempDir& dir,
             const std::map<std::string, std::pair<std::string, fs::file_time_type>>& files) {
    for (const auto& e : fs::directory_iterator(dir.path())) {
        if (!files.count(e.path().filename())) fs::remove(e.path());
    }
    for (const auto& [name, file] : files) write_file(dir.file(name), file.first);
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
    // Bytes keep their places: controls, a C1 control, broken UTF-8 and a
    // right-to-left override show as '?', a tab as a blank, a degree sign and a
    // euro sign stay; 200 bytes are quoted.
    const std::string bad =
        "366, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, \x1b]0;x\x07\x1b[2J\t\xc2\xb0"
        "C \x9b\xc2\x9b \xe2\x82\xac\xe2\x80\xae";
    const std::string shown =
        "366  0  0  1  1  1  1  1  1  1  1  ?]0;x??[2J \xc2\xb0"
        "C ??? \xe2\x82\xac???" +
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
        {"lf.txt", "site.csv", "/dev/full", 2, "Failed to open ./site.csv"},
        {"lf.txt", "tree.csv", "/dev/null", 2, "Failed to open ./tree.csv."},
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

// Restarts through the program, one edit of the directory per row: `file`
// gets `to` in place of its last `from` (all of it when `from` is empty); in the
// row without a file another run holds the directory. A refused restart
// (status 2) changes no file; an accepted one (status 0) says what it did. The
// first run ended at day 185 hour 1; the restart forcing runs on to hour 2.
// Then the same restart from files with other line ends.
TEST(Recovery, RestartsRefusedOrRecoveredByTheirFiles) {
    TempDir dir;
    write_file(dir.file("forcing.txt"), half_hourly(3));
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n");
    write_file(dir.file("soil.par"), "Parameters:\n_dz1 0.1\n_dz2 0.3\n_dz3 1\n");
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n_restart 1\n");
    write_file(dir.file("forcing.txt"), half_hourly(5));
    const std::string stamp = "185, 1, 0, ";
    const std::string late = forcing_line(186, 0, 0) + forcing_line(186, 0, 30);
    const std::string cut = "Restart: files cut back to day 185 hour 0 minute 30: ";
    const struct {
        std::string file, from, to;
        int status;
        std::string message;
    } cases[] = {
        {"tree.csv", stamp, stamp + "1, ", 2, "Plant: failed to restart."},
        {"shrub.csv", stamp, "185, 1, ", 2, "Plant: failed to restart."},
        {"tree.stem.csv", stamp, stamp + "1.5x", 2, "Stem: failed restart."},
        {"shrub.foliage.csv", stamp, "185, 1, nan, ", 2, "Foliage: failed to restart."},
        {"soil.csv", stamp, "185, 1, 1e999, ", 2, "Soil: failed to restart."},
        {"root.fine.csv", stamp, "185, , 0, ", 2, "Root: failed to restart."},
        {"soil.par", "_dz3", "_dz4 1\n_dz3", 2, "Soil: failed to restart."},
        {"site.csv", stamp, stamp + "x", 2, "Restart: bad last line in ./site.csv."},
        {"tree.leaf.csv", "", "# Gross\n", 2, "Restart: no record in ./tree.leaf.csv."},
        {"root.coarse.csv", stamp, "184, 1, 0, ", 2,
         "Restart files end at different times: ./root.coarse.csv ends at day 184 hour 1 "
         "minute 0, ./tree.csv at day 185 hour 1 minute 0."},
        {"site.par", "_dt 60", "_dt 7", 2, "Error: data interval and dt not compatible."},
        {"forcing.txt", "", late, 2,
         "Forcing does not fit the restart: the output files end at day 185 hour 1 minute 0, "
         "the forcing starts at day 186 hour 0 minute 0 and does not hold that time."},
        {"forcing.txt", "", forcing_line(185, 1, 0), 2,
         "Restart: the forcing holds fewer than two records."},
        {"", "", "", 2, "Output directory in use by another run: ./"},
        // Accepted: the forcing continues the files, or holds their end.
        {"forcing.txt", "", forcing_line(185, 1, 30) + forcing_line(185, 2, 0), 0, ""},
        {"forcing.txt", "", half_hourly(3), 0,
         "Restart: the output files end at the forcing's last record, day 185 hour 1 minute 0; "
         "nothing to run."},
        {"site.par", "", "_type 1\n_dt 60\n_restart 1\n", 0,
         "Restart: continuing from day 185 hour 1 minute 0; 2 records of the forcing passed "
         "over."},
        // After a hard kill: files that end a record later, or in a broken line.
        {"tree.csv", "\n", "", 0, cut + "12 records dropped in 12 files."},
        {"site.csv", stamp, "#", 0, cut + "11 records dropped in 11 files."},
        {"tree.csv", "", "", 2, "Plant: failed to restart."},
    };
    const auto files = snapshot(dir);
    for (const auto& c : cases) {
        DirLock other;
        if (c.file.empty()) {
            ASSERT_FALSE(other.lock(dir.str() + "/"));
        } else {
            std::string text = read_file(dir.file(c.file));
            c.from.empty() ? text = c.to : text.replace(text.rfind(c.from), c.from.size(), c.to);
            write_file(dir.file(c.file), text);
        }
        const auto before = snapshot(dir);
        const auto result = run_kelm(dir.str(), {"forcing.txt", "."});
        EXPECT_EQ(result.status, c.status) << c.file << c.from << c.to << result.out;
        EXPECT_NE(result.out.find(c.message), std::string::npos) << c.file << result.out;
        EXPECT_EQ(snapshot(dir) == before, c.status != 0 || c.message.ends_with("run.")) << c.to;
        restore(dir, files);
    }
    // The same restart from files with CR LF or CR line ends writes the same
    // files; the earlier records stay as the first part of each file.
    std::map<std::string, std::string> outputs;
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        restore(dir, files);
        std::string soil;
        for (const auto& [name, file] : files) {
            std::string text;
            for (char ch : file.first) ch == '\n' ? text += end : text += ch;
            write_file(dir.file(name), text);
            if (name == "soil.csv") soil = text;
        }
        ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0) << end.size();
        expect_same_outputs(outputs, dir);
        EXPECT_EQ(read_file(dir.file("soil.csv.1")), soil);
    }
    // A new run removes the parts of the earlier series.
    write_file(dir.file("site.par"), "_type 1\n_dt 60\n");
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    EXPECT_FALSE(fs::exists(dir.file("soil.csv.1")));
}

// A run whose files take no more bytes (a file size limit) leaves every file
// holding the records before the block that failed, whole and exactly as a run
// over those records alone writes them; a restarted run continues from there.
TEST(Recovery, FailedWriteEndsAtTheLastWholeRecordAndARestartContinues) {
    // Hourly records over three days.
    const auto forcing = [](int from, int to) {
        std::string text;
        for (int i = from; i < to; ++i) text += forcing_line(185 + i / 24, i % 24, 0);
        return text;
    };
    TempDir dir, part;
    // A parameter file that cannot be written whole is not written at all.
    write_file(dir.file("forcing.txt"), forcing(0, 2));
    const auto none = run_kelm(dir.str(), {"forcing.txt", "."}, "ulimit -f 0;");
    EXPECT_TRUE(none.out.ends_with("Failed to open ./site.par")) << none.out;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    for (const TempDir* d : {&dir, &part}) {
        write_file(d->file("site.par"), "_dt 60\n");
        write_file(d->file("forcing.txt"), forcing(0, 2));
        ASSERT_EQ(run_kelm(d->str(), {"forcing.txt", "."}).status, 0);
    }
    write_file(dir.file("forcing.txt"), forcing(0, 72));
    const auto result = run_kelm(dir.str(), {"forcing.txt", "."}, "ulimit -f 10;");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find("Failed to write ./"), std::string::npos) << result.out;
    const int done = static_cast<int>(data_lines(dir.file("site.csv")).size());
    ASSERT_TRUE(done > 1 && done < 71) << done;
    write_file(part.file("forcing.txt"), forcing(0, done + 1));
    ASSERT_EQ(run_kelm(part.str(), {"forcing.txt", "."}).status, 0);
    std::map<std::string, std::string> whole;
    expect_same_outputs(whole, part);
    expect_same_outputs(whole, dir);
    write_file(dir.file("site.par"), "_dt 60\n_restart 1\n");
    EXPECT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    EXPECT_EQ(data_lines(dir.file("site.csv")).size(), 71u - done);
}

// Starts the program in `dir` with standard input on /dev/null and its output
// in console.txt,
// sends it `signal` after `delay` (counted from the first block it writes to
// site.csv when `working`), and returns its wait status.
int run_and_signal(const TempDir& dir, const std::string& forcing, int signal,
                   std::chrono::microseconds delay, bool working) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open((dir.str() + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
        if (chdir(dir.str().c_str()) == 0)
            execl(KELM_BINARY, "kelm", forcing.c_str(), ".", nullptr);
        _exit(127);
    }
    // The run works once site.csv is a new file (the earlier one kept as a
    // part) or was empty of records, and has taken a block.
    const auto site = [&] {
        struct stat st {};
        return stat(dir.file("site.csv").c_str(), &st) == 0 ? st : (struct stat){};
    };
    const struct stat before = site();
    for (int i = 0; working && i < 5000; ++i) {
        const struct stat now = site();
        const bool fresh = now.st_ino != before.st_ino || before.st_size < 1000;
        siginfo_t ended{};
        waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        if ((fresh && now.st_size > 1000) || ended.si_pid != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(delay);
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The time stamps of a file's series: its parts NAME.csv.1, NAME.csv.2, ...,
// then NAME.csv, joined.
std::vector<std::string> joined_stamps(const TempDir& dir, const std::string& name) {
    std::vector<std::string> stamps;
    for (int n = 1;; ++n) {
        const std::string part = dir.file(name + "." + std::to_string(n));
        const bool last = !fs::exists(part);
        for (const std::string& line : data_lines(last ? dir.file(name) : part)) {
            stamps.push_back(
                line.substr(0, line.find(", ", line.find(", ", line.find(", ") + 2) + 2)));
        }
        if (last) return stamps;
    }
}

// A run killed outright at 20 random moments and stopped by a signal at 5
// more, each time continued by `_restart 1` with the same command: the parts of
// every file, joined, hold every time stamp of the forcing once, in order.
TEST(Recovery, KilledAndInterruptedRunsLoseNoRecord) {
    TempDir dir, whole;
    // Half-hourly records from day 185 over the new year, one sub-step each.
    std::string forcing;
    for (int i = 0; i < 14000; ++i) {
        const int day = (185 + i / 48 - 1) % 365 + 1;
        forcing += forcing_line(day, i / 2 % 24, i % 2 * 30, i % 48 < 12 ? 0 : 300);
    }
    for (const TempDir* d : {&dir, &whole}) {
        write_file(d->file("site.par"), "_type 1\n_dt 1800\n_physics 1\n");
        write_file(d->file("forcing.txt"), forcing);
    }
    write_file(dir.file("first.txt"), forcing.substr(0, forcing.find("185, 2, 0,")));
    // A fresh run stopped once it works says after which record, for a restart.
    {
        TempDir fresh;
        write_file(fresh.file("site.par"), "_type 1\n_dt 1800\n_physics 1\n");
        write_file(fresh.file("forcing.txt"), forcing);
        const int status = run_and_signal(fresh, "forcing.txt", SIGTERM, {}, true);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
        const std::string console = read_file(fresh.file("console.txt"));
        EXPECT_NE(console.find("Interrupted after day "), std::string::npos) << console;
    }
    // The whole run once: its time and its time stamps.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_kelm(whole.str(), {"forcing.txt", "."}).status, 0);
    const auto full = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    ASSERT_EQ(run_kelm(dir.str(), {"first.txt", "."}).status, 0);
    write_file(dir.file("site.par"), "_type 1\n_dt 1800\n_restart 1\n_physics 1\n");
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> moment(0, full.count() / 8);
    const int graceful[] = {SIGTERM, SIGINT, SIGHUP, SIGTERM, SIGTERM};
    for (int k = 0; k < 25; ++k) {
        const int signal = k < 20 ? SIGKILL : graceful[k - 20];
        // A graceful signal waits until the run works: before its handlers are set,
        // the signal's default action ends the program as a kill would.
        const int status =
            run_and_signal(dir, "forcing.txt", signal, std::chrono::microseconds(moment(random)),
                           signal != SIGKILL || k % 2);
        // Killed, stopped with the signal's status, or finished before it came.
        const bool stopped = signal == SIGKILL
                                 ? WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
                                 : WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal &&
                                       read_file(dir.file("console.txt"))
                                           .ends_with("; run again with _restart 1 to continue.");
        EXPECT_TRUE(stopped || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << k << " " << status;
    }
    ASSERT_EQ(run_kelm(dir.str(), {"forcing.txt", "."}).status, 0);
    for (const auto& [name, text] : files(whole.path())) {
        EXPECT_EQ(joined_stamps(dir, name), joined_stamps(whole, name)) << name;
    }
}

}  // namespace
}  // namespace kelmora
