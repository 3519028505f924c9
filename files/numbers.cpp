#include "files/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kelmora {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Length of the leading decimal floating-point number of `w` (0 when there is none).
size_t real_prefix_length(std::string_view w) {
    size_t i = 0;
    if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
    size_t digits = 0;
    while (i < w.size() && is_digit(w[i])) ++i, ++digits;
    if (i < w.size() && w[i] == '.') {
        ++i;
        while (i < w.size() && is_digit(w[i])) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
        size_t j = i + 1;
        if (j < w.size() && (w[j] == '+' || w[j] == '-')) ++j;
        if (j < w.size() && is_digit(w[j])) {
            while (j < w.size() && is_digit(w[j])) ++j;
            i = j;
        }
    }
    return i;
}

}  // namespace

double leading_real(std::string_view word) {
    const size_t n = real_prefix_length(word);
    if (n == 0) return 0.0;
    std::string_view text = word.substr(0, n);
    const bool negative = text.front() == '-';
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value untouched out of range; strtod tells an
        // overflow (infinity) from an underflow (zero or subnormal).
        const std::string copy(text);
        value = std::strtod(copy.c_str(), nullptr);
    } else if (ec != std::errc() || end != text.data() + text.size()) {
        return 0.0;
    }
    return negative ? -value : value;
}

int32_t leading_int(std::string_view word) {
    size_t i = 0;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
    int64_t value = 0;
    const int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    while (i < word.size() && is_digit(word[i])) {
        if (value < limit) value = value * 10 + (word[i] - '0');
        ++i;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

std::optional<double> whole_real(std::string_view word) {
    const size_t n = real_prefix_length(word);
    if (n == 0 || n != word.size()) return std::nullopt;
    const double value = leading_real(word);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int32_t> whole_int(std::string_view word) {
    const std::optional<double> value = whole_real(word);
    if (!value) return std::nullopt;
    const double whole = std::trunc(*value);
    if (whole < std::numeric_limits<int32_t>::min() ||
        whole > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(whole);
}

void split_words(std::string_view line, bool commas_as_blanks,
                 std::vector<std::string_view>& words) {
    words.clear();
    size_t i = 0;
    const auto separator = [&](char c) { return is_space(c) || (commas_as_blanks && c == ','); };
    while (i < line.size()) {
        while (i < line.size() && separator(line[i])) ++i;
        const size_t start = i;
        while (i < line.size() && !separator(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
}

char* format_real(char* out, double value) {
    // The default stream notation is printf's %.6g in the classic locale, which
    // to_chars reproduces without consulting any locale.
    return std::to_chars(out, out + 32, value, std::chars_format::general, 6).ptr;
}

std::string real_text(double value) {
    char buf[32];
    return std::string(buf, format_real(buf, value));
}

}  // namespace kelmora
