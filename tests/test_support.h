// Helpers shared by the tests: temporary directories, whole files, and running
// the program as a process.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "run/forcing.h"

namespace kelmora::test {

// A fresh directory under the system's temporary folder, removed at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Data lines (not starting with '#') of an output file.
std::vector<std::string> data_lines(const std::string& path);
// Column `column` (counted from 0, day first) of every data line of an output
// file, and the column's mean.
std::vector<double> column(const std::string& path, size_t column);
double mean(const std::string& path, size_t column);
// The files of a directory with the extension `extension`, by name, with their contents.
std::map<std::string, std::string> files(const std::filesystem::path& dir,
                                         const std::string& extension = ".csv");

// Mild air for a first record: day 1, 20 degC, 101.3 kPa, 1.2 kg m-3, specific
// humidity 0.008, CO2 380.
ForcingRecord mild_air();

struct ProcessResult {
    int status = -1;
    std::string out;
};

// Runs the built `kelm` with the arguments in `dir` through bash, standard input
// from /dev/null; an argument "<(command)" is the output of the command.
// A `runner` command (e.g. one that drops privileges) is put before the program.
ProcessResult run_kelm(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& runner = "");

// A forcing line "day, hour, minute, 20 degC, ..., solar radiation `sw`, ...".
std::string forcing_line(int day, int hour, int minute, double sw = 400);
// A header and `n` such lines half an hour apart from day 185, 00:00.
std::string half_hourly(int n);
// Writes to `path` the generator's synthetic weather (tools/make_forcing.py,
// half-hourly, seed 8) for `days` days from `first_day`; returns `path`.
std::string make_forcing(const std::string& path, int first_day, int days);

}  // namespace kelmora::test
