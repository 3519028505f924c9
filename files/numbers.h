// Text-to-number conversion with leading-number semantics, word splitting and
// the number format shared by parameter and output files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

// The leading decimal number of a word: sign, digits, point, exponent. A word that
// does not begin with such a number gives 0; the rest of the word is ignored.
// "inf", "nan" and hexadecimal forms are not numbers. An overflow gives +-infinity.
double leading_real(std::string_view word);

// The leading decimal integer of a word (sign and digits), saturated to the 32-bit
// range; 0 when the word does not begin with one ("12.7" gives 12).
int32_t leading_int(std::string_view word);

// The value of a word that is one whole finite decimal number (sign, digits,
// point, exponent) and nothing else; none for trailing text, an empty word,
// "nan", "inf", "NA" or a value beyond the range of a double.
std::optional<double> whole_real(std::string_view word);

// A whole real truncated toward zero ("15.9" gives 15); none when it is not a
// whole real or lies outside the 32-bit range ("1e30").
std::optional<int32_t> whole_int(std::string_view word);

// Splits a line into words at white space (blank, tab, CR, LF, VT, FF) and, when
// `commas_as_blanks` is set, at commas too. The words view into `line`.
void split_words(std::string_view line, bool commas_as_blanks,
                 std::vector<std::string_view>& words);

// Writes a real in the stream's default notation with 6 significant digits
// ("30", "7.2e-05", "1e+06") at `out`; returns the end of the text. `out` must
// hold at least 32 characters.
char* format_real(char* out, double value);

// The same as a string.
std::string real_text(double value);

}  // namespace kelmora
