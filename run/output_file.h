// The output files of the components: header lines, one data line per forcing
// record ("day, hour, minute, v1, v2, ..."), each flushed at once, and the reading
// of the last data line from which a restarted run takes its state.
#pragma once

#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "run/param_file.h"

namespace kelmora {

struct ForcingRecord;

class OutputFile {
  public:
    // Creates (or empties) the file at `path`, closing any file open before.
    bool open(const std::string& path);
    bool is_open() const { return out_.is_open(); }
    const std::string& path() const { return path_; }

    // Creates the file and writes its header lines. Fails with `open_failure`
    // when the file cannot be created, with "Failed to write <path>" when the
    // headers cannot be written.
    Failure create(const std::string& path, std::string_view headers, std::string open_failure);
    // Writes header lines as given (each with its line break) and flushes; fails
    // with "Failed to write <path>".
    Failure header(std::string_view text);

    // Starts a data line with the record's day, hour and minute.
    void begin_line(const ForcingRecord& record);
    // Appends ", " and the value in the default notation (6 significant digits).
    void value(double v);
    // Appends ", " and the mean sum / n, then clears the sum.
    void mean(double& sum, double n) {
        value(sum / n);
        sum = 0;
    }
    // Writes the record's line of the means of `sums` over its sub-steps and
    // clears them; fails as end_line.
    Failure write_means(const ForcingRecord& record, std::initializer_list<double*> sums);
    // Ends the line, writes and flushes it; fails with "Failed to write <path>".
    Failure end_line();

  private:
    std::ofstream out_;
    std::string path_;
    std::string line_;
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

// The real value of word `index` of a restart line (its leading number).
double word_value(const std::vector<std::string>& words, size_t index);

}  // namespace kelmora
