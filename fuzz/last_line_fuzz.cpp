// Fuzzes the restart reading: read_last_line must return the words of the last
// line that is neither a header nor blank (CR, LF and CR LF all end a line; a
// byte-order mark at the start is passed over), a
// restart takes a line only when every word is one whole finite number, and the
// leading-number conversions must agree with the C library on every decimal
// word; the output notation of a converted value must read back within its 6
// significant digits.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "files/numbers.h"
#include "files/output_file.h"
#include "fuzz/fuzz_support.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The same reading done plainly, line by line over the bytes.
std::vector<std::string> expected_words(const uint8_t* data, size_t size) {
    std::vector<std::string> last;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = text.starts_with("\xef\xbb\xbf") ? 3 : 0;  // a byte-order mark
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line[0] == '#') continue;
        std::vector<std::string> words;
        std::string word;
        for (char c : line + ' ') {
            if (!blank(c)) {
                word += c;
            } else if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        }
        if (!words.empty()) last = words;
    }
    return last;
}

bool decimal_text(const char* begin, const char* end) {
    if (begin == end) return false;
    return std::all_of(begin, end, [](char c) {
        return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    });
}

// One finite number written out in full, a comma after it allowed; values
// beyond the range of a double are no such numbers (an underflow reads as 0
// or a subnormal).
bool whole(const std::string& word) {
    const std::string text = word.ends_with(',') ? word.substr(0, word.size() - 1) : word;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(v) &&
           decimal_text(text.c_str(), end);
}

void check_conversions(const std::string& word) {
    using kelmora::leading_int;
    using kelmora::leading_real;
    const double value = leading_real(word);
    char* end = nullptr;
    const double reference = std::strtod(word.c_str(), &end);
    if (decimal_text(word.c_str(), end)) {
        FUZZ_CHECK(value == reference || (std::isnan(value) && std::isnan(reference)));
    } else {
        const size_t at = word[0] == '+' || word[0] == '-' ? 1 : 0;
        const bool starts_number =
            at < word.size() && ((word[at] >= '0' && word[at] <= '9') || word[at] == '.');
        if (!starts_number) FUZZ_CHECK(value == 0);
    }
    const long long wide = std::strtoll(word.c_str(), nullptr, 10);
    const long long clamped = std::clamp<long long>(wide, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max());
    FUZZ_CHECK(leading_int(word) == clamped);

    if (std::isfinite(value)) {
        char buf[32];
        const std::string text(buf, kelmora::format_real(buf, value));
        const double back = leading_real(text);
        FUZZ_CHECK(std::fabs(back - value) <= 5e-6 * std::fabs(value) + 1e-300);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = kelmora::fuzz::scratch_file("last-line", data, size);
    const std::vector<std::string> words = kelmora::read_last_line(path);
    FUZZ_CHECK(words == expected_words(data, size));
    for (const std::string& word : words) check_conversions(word);
    kelmora::Restart restart;
    const auto values = restart.last_line(path, words.size());
    FUZZ_CHECK(values.has_value() ==
               (words.size() >= 3 && std::all_of(words.begin(), words.end(), whole)));
    for (size_t i = 0; values && i < words.size(); ++i) {
        FUZZ_CHECK((*values)[i] == std::strtod(words[i].c_str(), nullptr));
    }
    return 0;
}
