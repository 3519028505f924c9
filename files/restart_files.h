// The earlier output of a restarted run. Each output file NAME.csv may have
// earlier parts NAME.csv.1, NAME.csv.2, ... left by earlier restarts; joined in
// that order they are the file's series of records. After a hard kill the files
// may end at different records, or in the middle of a line: when every file
// holds the record where the shortest series ends, all are cut back to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/forcing_record.h"
#include "files/param_file.h"

namespace kelmora {

// The name of part `n` of the output file at `path`: "PATH.n".
std::string part_path(const std::string& path, int n);

class RestartFiles {
  public:
    // Reads the series of every file of `paths` (each NAME.csv). Fails with
    // "Failed to read PATH" or "Line too long ...".
    Failure read(const std::vector<std::string>& paths);

    // The records that every series holds; 0 when some file holds none.
    size_t common() const { return common_; }
    // The first file that holds no record, when `common` is 0.
    const std::string& empty_file() const { return empty_; }
    // The time of the record where the restart continues, when `common` is not 0.
    TimeStamp stamp() const { return stamp_; }
    // The words of the record where the restart continues in the file at
    // `path` (its last record when `common` is 0); empty when it has none.
    std::vector<std::string> words(const std::string& path) const;
    // Fails, naming the file and its last time stamp, when a file does not hold
    // the record where the shortest series ends.
    Failure check() const;

    // Records beyond the common ones (and broken last lines), and the files
    // that hold them.
    size_t dropped() const { return dropped_; }
    size_t changed() const { return changed_; }
    // Cuts every file back to the common records; fails with "Failed to write PATH".
    Failure cut_back() const;

  private:
    struct Part {
        std::string path;
        uint64_t head = 0;                   // where a cut keeps no data line
        std::vector<uint64_t> starts, ends;  // of each whole data line
        std::vector<std::optional<TimeStamp>> stamps;
        bool broken = false;  // a last line without its line break
    };
    struct Series {
        std::string path;
        std::vector<Part> parts;  // the earlier parts in order, then the file itself
        size_t records = 0;
    };
    // The part of a series and the index in it of record `k` (from 1).
    static std::pair<size_t, size_t> locate(const Series& s, size_t k);
    static Failure read_part(const std::string& path, Part& part);
    const Series* find(const std::string& path) const;

    std::vector<Series> series_;
    size_t common_ = 0;
    std::string empty_;
    TimeStamp stamp_;
    size_t dropped_ = 0;
    size_t changed_ = 0;
};

// Whether the file at `path` holds a data line (a line that is neither blank
// nor a header line).
bool holds_data(const std::string& path);

}  // namespace kelmora
