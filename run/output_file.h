// The output files of the components: header lines, one data line per forcing
// record ("day, hour, minute, v1, v2, ..."), each flushed at once, and the reading
// of the last data line from which a restarted run takes its state.
#pragma once

#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

struct ForcingRecord;

class OutputFile {
  public:
    // Creates (or empties) the file at `path`, closing any file open before.
    bool open(const std::string& path);
    bool is_open() const { return out_.is_open(); }
    const std::string& path() const { return path_; }

    // Creates the file and writes its header lines. When the file cannot be
    // created, `open_failure` goes to `error_text`; a failed write leaves
    // "Failed to write <path>". False in both cases.
    bool create(const std::string& path, std::string_view headers, std::string open_failure,
                std::string& error_text);
    // Writes header lines as given (each with its line break) and flushes. A
    // failed write leaves "Failed to write <path>" in `error_text`; false then.
    bool header(std::string_view text, std::string& error_text);

    // Starts a data line with the record's day, hour and minute.
    void begin_line(const ForcingRecord& record);
    // Appends ", " and the value in the default notation (6 significant digits).
    void value(double v);
    // Appends ", " and the mean sum / n, then clears the sum.
    void mean(double& sum, double n) {
        value(sum / n);
        sum = 0;
    }
    // Writes the record's line of the sums' means over its sub-steps and clears
    // the sums; false as end_line.
    bool write_means(const ForcingRecord& record, std::span<double> sums, std::string& error_text);
    // Ends the line, writes and flushes it. A failed write leaves
    // "Failed to write <path>" in `error_text` and returns false.
    bool end_line(std::string& error_text);

  private:
    std::ofstream out_;
    std::string path_;
    std::string line_;
};

// The words of the last data line of the file at `path`: lines starting with '#'
// and blank lines are passed over; words keep their trailing commas. Empty when
// the file cannot be read or holds no data line.
std::vector<std::string> read_last_line(const std::string& path);

// The real value of word `index` of a restart line (its leading number).
double word_value(const std::vector<std::string>& words, size_t index);

}  // namespace kelmora
