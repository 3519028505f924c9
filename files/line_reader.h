// Text input read line by line with a bound on the length of a line, so that no
// file (a device, a binary file, an endless pipe) can take the memory, and the
// excerpt of a bad line that a message may quote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

// The longest line any input file may hold, without its line end.
inline constexpr size_t kMaxLineLength = 64 * 1024;

class LineReader {
  public:
    // Opens the file at `path`. Directories and devices are refused, and so is a
    // pipe unless `allow_pipe` is set (the forcing data may come through one).
    bool open(const std::string& path, bool allow_pipe);

    // The next line without its end in `line`. A line ends at LF, at CR or at
    // CR LF. A UTF-8 byte-order mark at the start of the input is passed over.
    // False at the end of the input and on a failure.
    bool next(std::string& line);
    // Whether the line `next` returned ended with a line break (the last line
    // of a file may not).
    bool ended() const { return ended_; }
    // Bytes of the input taken so far: those of every line returned with its end.
    uint64_t offset() const { return offset_; }

    // After `next` returned false: empty at the end of the input, else
    // "Line too long at line N of PATH" or "Failed to read PATH".
    const std::string& failure() const { return failure_; }

  private:
    bool fill();

    std::ifstream in_;
    std::string path_;
    std::string failure_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
    int64_t number_ = 0;     // lines returned so far
    bool after_cr_ = false;  // the last line ended at CR: a following LF belongs to it
    bool ended_ = false;
    bool started_ = false;  // the byte-order mark has been looked for
    uint64_t offset_ = 0;
};

// A line as a message may quote it: at most its first 200 bytes, every control
// byte and every byte that is not part of a printable UTF-8 character shown as
// '?', a tab as a blank. Characters that reorder or hide text on a terminal
// (bidirectional controls, zero-width and separator characters) show as '?' too.
std::string printable_excerpt(std::string_view line);

}  // namespace kelmora
