#include "files/numbers.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

namespace {

// Powers of ten that a double holds exactly.
constexpr std::array<double, 23> kPowers = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^-16 .. 10^15, the nearest doubles: a first guess of the exponent only.
constexpr std::array<double, 32> kDecades = {1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,
                                             1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,
                                             1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,
                                             1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15};

// The six significant digits of `a` (1e-15 <= a < 1e15) rounded to nearest, as an
// integer 100000..999999 with the decimal exponent of its first digit; false
// when the exact value lies too near a tie for the scaled double to decide.
bool six_digits(double a, int& digits, int& exponent) {
    // The exponent from the binary one (log10 2 = 78913 / 2^18), then corrected.
    const int binary = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1023;
    int e = (binary * 78913) >> 18;
    // The estimate is the exponent or one below it.
    if (e >= -16 && e < 15 && a >= kDecades[e + 17]) ++e;
    for (int tries = 0; tries < 3; ++tries) {
        const int s = 5 - e;
        const double scaled = s >= 0 ? a * kPowers[s] : a / kPowers[-s];
        // Positive and below 2^31 here: the conversion truncates to the floor.
        const double whole = scaled < 2e9 ? static_cast<double>(static_cast<int>(scaled)) : scaled;
        if (whole >= 1000000) {
            ++e;
            continue;
        }
        if (whole < 100000) {
            --e;
            continue;
        }
        // The scaled value is within a few units of 1e-10 of the exact product.
        const double fraction = scaled - whole;
        if (std::fabs(fraction - 0.5) < 1e-7) return false;
        int n = static_cast<int>(whole) + (fraction > 0.5 ? 1 : 0);
        if (n == 1000000) {
            n = 100000;
            ++e;
        }
        digits = n;
        exponent = e;
        return true;
    }
    return false;
}

// "00" to "99".
constexpr std::array<char, 200> kPairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

// Copies `count` (at most 6) digits; writes 8 bytes, which `out` has room for.
char* put_digits(char* out, const char* digits, int count) {
    std::memcpy(out, digits, 8);
    return out + count;
}

}  // namespace

char* format_real(char* out, double value) {
    // The default stream notation is printf's %.6g in the classic locale. Most
    // values take the short way below; zero, the extremes and the values next to
    // a rounding tie go to to_chars, which reproduces it without any locale.
    if (value == 0) {  // "0" or "-0"
        if (std::signbit(value)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    const double a = std::fabs(value);
    int n = 0;
    int e = 0;
    if (!(a >= 1e-15 && a < 1e15) || !six_digits(a, n, e)) {
        return std::to_chars(out, out + 32, value, std::chars_format::general, 6).ptr;
    }
    char d[16] = {};  // six digits and room for put_digits to read 8 bytes from each
    for (int i = 4; i >= 0; i -= 2) {
        const int pair = n % 100;
        n /= 100;
        d[i] = kPairs[2 * pair];
        d[i + 1] = kPairs[2 * pair + 1];
    }
    int count = 6;  // significant digits without the trailing zeros
    while (d[count - 1] == '0') --count;
    if (value < 0) *out++ = '-';
    if (e >= -4 && e < 6) {
        if (e >= 0) {
            out = put_digits(out, d, e + 1);
            if (count > e + 1) {
                *out++ = '.';
                out = put_digits(out, d + e + 1, count - e - 1);
            }
        } else {
            *out++ = '0';
            *out++ = '.';
            for (int i = 0; i < -e - 1; ++i) *out++ = '0';
            out = put_digits(out, d, count);
        }
        return out;
    }
    *out++ = d[0];
    if (count > 1) {
        *out++ = '.';
        out = put_digits(out, d + 1, count - 1);
    }
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    const int x = e < 0 ? -e : e;
    *out++ = static_cast<char>('0' + x / 10);
    *out++ = static_cast<char>('0' + x % 10);
    return out;
}

std::string real_text(double value) {
    char buf[32];
    return std::string(buf, format_real(buf, value));
}

}  // namespace kelmora
