#include "files/line_reader.h"

#include <algorithm>
#include <filesystem>

namespace kelmora {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kExcerptLength = 200;

// Whether a well-formed UTF-8 character is one that reorders or hides text:
// U+061C, U+200B to U+200F, U+2028 to U+202E, U+2060 to U+206F, U+FEFF.
bool hidden(std::string_view c) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(c[i]); };
    if (c.size() == 2) return byte(0) == 0xd8 && byte(1) == 0x9c;
    if (c.size() != 3) return false;
    if (byte(0) == 0xef) return byte(1) == 0xbb && byte(2) == 0xbf;
    if (byte(0) != 0xe2) return false;
    if (byte(1) == 0x80)
        return (byte(2) >= 0x8b && byte(2) <= 0x8f) || (byte(2) >= 0xa8 && byte(2) <= 0xae);
    return byte(1) == 0x81 && byte(2) >= 0xa0 && byte(2) <= 0xaf;
}

// The length of the UTF-8 character at the start of `s` when it is well formed
// and printable (no C1 control, no overlong form), else 0.
size_t printable_utf8(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    size_t n = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        n = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        n = 3;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        n = 4;
    }
    if (n == 0 || s.size() < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
    }
    if (lead == 0xc2 && byte(1) < 0xa0) return 0;  // U+0080 to U+009F: C1 controls
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xf0 && byte(1) < 0x90)) return 0;
    if (lead == 0xf4 && byte(1) > 0x8f) return 0;
    if (hidden(s.substr(0, n))) return 0;
    return n;
}

}  // namespace

bool LineReader::open(const std::string& path, bool allow_pipe) {
    namespace fs = std::filesystem;
    path_ = path;
    std::error_code ec;
    const fs::file_type type = fs::status(path, ec).type();
    if (type != fs::file_type::regular && !(allow_pipe && type == fs::file_type::fifo)) {
        return false;
    }
    in_.open(path, std::ios::binary);
    return in_.is_open();
}

bool LineReader::fill() {
    if (buffer_.empty()) buffer_.resize(kChunk);
    in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    if (in_.bad()) {
        failure_ = "Failed to read " + path_;
        return false;
    }
    pos_ = 0;
    end_ = static_cast<size_t>(in_.gcount());
    return end_ > 0;
}

bool LineReader::next(std::string& line) {
    line.clear();
    ended_ = false;
    if (!failure_.empty()) return false;
    for (;;) {
        if (pos_ == end_ && !fill()) {
            if (!failure_.empty() || line.empty()) return false;
            ++number_;  // the last line has no line end
            return true;
        }
        if (!started_) {
            started_ = true;
            if (std::string_view(buffer_.data(), end_).starts_with("\xef\xbb\xbf")) {
                pos_ += 3;
                offset_ += 3;
                continue;
            }
        }
        if (after_cr_) {
            after_cr_ = false;
            if (buffer_[pos_] == '\n') ++pos_, ++offset_;
            continue;
        }
        const char* begin = buffer_.data() + pos_;
        const char* stop = std::find_if(begin, static_cast<const char*>(buffer_.data() + end_),
                                        [](char c) { return c == '\n' || c == '\r'; });
        const size_t length = static_cast<size_t>(stop - begin);
        if (line.size() + length > kMaxLineLength) {
            failure_ = "Line too long at line " + std::to_string(number_ + 1) + " of " + path_;
            line.clear();
            return false;
        }
        line.append(begin, length);
        pos_ += length;
        offset_ += length;
        if (pos_ < end_) {
            after_cr_ = buffer_[pos_] == '\r';
            ++pos_;
            ++offset_;
            // The LF of a CR LF belongs to this line when it is already read.
            if (after_cr_ && pos_ < end_ && buffer_[pos_] == '\n') {
                after_cr_ = false;
                ++pos_;
                ++offset_;
            }
            ++number_;
            ended_ = true;
            return true;
        }
    }
}

std::string printable_excerpt(std::string_view line) {
    line = line.substr(0, kExcerptLength);
    std::string out;
    out.reserve(line.size());
    for (size_t i = 0; i < line.size();) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x80) {
            const size_t n = printable_utf8(line.substr(i));
            out.append(n ? line.substr(i, n) : std::string_view("?"));
            i += n ? n : 1;
            continue;
        }
        out += c == '\t' ? ' ' : (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
        ++i;
    }
    return out;
}

}  // namespace kelmora
