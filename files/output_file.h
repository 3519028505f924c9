// The output files of the components: header lines, one data line per forcing
// record ("day, hour, minute, v1, v2, ..."), and the reading of the last data
// lines from which a restarted run takes its state.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/param_file.h"

namespace kelmora {

struct ForcingRecord;
class RestartFiles;

// The size past which a file's block of waiting records is written.
inline constexpr size_t kBlockSize = 64 * 1024;

// One output file. Its data lines are written in blocks: the lines of a record
// join the file's block once the site has checked every file's values, and the
// block goes to the file in one write when the site says so (at the end of a
// simulated day, when a block grows large and at every end of the run), so that
// every file ends at the same whole record.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    // Opens the file at `path` for writing without emptying it yet; `headers` are
    // written by `start`. A symbolic link, a device or a pipe in its place is
    // not opened. Fails with `open_failure`.
    Failure create(const std::string& path, std::string_view headers, std::string open_failure);
    // Empties the file and writes its header lines; fails with "Failed to write <path>".
    Failure start();
    const std::string& path() const { return path_; }

    // Starts a data line with the record's day, hour and minute.
    void begin_line(const ForcingRecord& record);
    // Appends ", " and the value in the default notation (6 significant digits).
    void value(double v);
    // Appends ", " and the mean sum / n, then clears the sum.
    void mean(double& sum, double n) {
        value(sum / n);
        sum = 0;
    }
    // Adds the record's line of the means of `sums` over its sub-steps and
    // clears them.
    void write_means(const ForcingRecord& record, std::initializer_list<double*> sums);
    // Ends the line; it waits with the record's other lines.
    void end_line() { block_ += '\n'; }

    // Whether every value of the current record's lines is finite.
    bool finite() const { return finite_; }
    // The current record's lines join the block, or are dropped.
    void keep_record();
    void drop_record();
    // Bytes of whole records waiting in the block.
    size_t waiting() const { return record_start_; }
    // Hands the block's whole records to the file in one write; fails with
    // "Failed to write <path>".
    Failure write_block();
    // Marks what is written as the end of the last record that every file holds.
    void mark_complete() { complete_ = written_; }
    // Cuts the file back to the end of the last complete record and closes it.
    void cut_back();

  private:
    void close();

    int fd_ = -1;  // opened for appending
    std::string path_;
    std::string headers_;
    std::string block_;        // whole records, then the current record's lines
    size_t record_start_ = 0;  // where the current record's lines begin in `block_`
    bool finite_ = true;       // no value of the current record is infinite or not a number
    uintmax_t written_ = 0;    // bytes written so far
    uintmax_t complete_ = 0;   // bytes up to the end of the last complete record
};

// The site's sums over a record's sub-steps that the components hand over when
// they write their lines: gross production and total respiration (umol m-2 s-1),
// sensible and latent heat (W m-2).
struct SiteSums {
    double gpp = 0;
    double resp = 0;
    double sensible = 0;
    double latent = 0;
};

// The words of the last data line of the file at `path`: lines starting with '#'
// and blank lines are passed over; words keep their trailing commas. Empty when
// the file cannot be read or holds no data line.
std::vector<std::string> read_last_line(const std::string& path);

// The starting state of a restarted run: the record lines of the previous
// output files where the run continues (the last data lines when no files are
// given). Each must hold exactly the words its component writes, each a whole
// finite number (its trailing comma aside).
class Restart {
  public:
    explicit Restart(const RestartFiles* files = nullptr) : files_(files) {}
    // The `count` values of the record line of the file at `path`; none when
    // the line is missing or malformed.
    std::optional<std::vector<double>> last_line(const std::string& path, size_t count) const;

  private:
    const RestartFiles* files_;
};

}  // namespace kelmora
