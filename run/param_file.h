// The parameter files of the components: one table-driven reader and writer.
// A component describes its keys (text as written, field, type, default held in
// the field, check, remark, message) and the variants of its file; the code here
// reads, converts, checks, writes and reports.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

class Site;

// The valid values of a key: lo < v (or lo <= v) and v < hi (or v <= hi), both
// bounds times *scale when a scale is given. Non-finite values never pass.
struct Range {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    bool lo_inclusive = true;
    bool hi_inclusive = true;
    const double* scale = nullptr;

    bool contains(double v) const;
};

inline constexpr Range kAny{};
inline constexpr Range kPositive{0, std::numeric_limits<double>::infinity(), false, true};
inline constexpr Range kNonNegative{0, std::numeric_limits<double>::infinity(), true, true};
inline constexpr Range kNegative{-std::numeric_limits<double>::infinity(), 0, true, false};
inline constexpr Range kOpenUnit{0, 1, false, false};  // 0 < v < 1

// One plain key. Exactly one of `int_field` and `real_field` is set.
struct ParamKey {
    std::string_view text;  // as written, with its padding, e.g. "_dt        "
    int32_t* int_field = nullptr;
    double* real_field = nullptr;
    Range range = kAny;
    std::string_view message;  // appended to the path on a bad value; empty: no check
    std::string_view remark;   // written after the value, with its line break
    double offset = 0;         // the field holds the file's value plus this offset
};

// A key repeated with a number behind it ("_lai" 1..365) that stores its value at
// that position of `values` (indexed from `first`).
struct NumberedKey {
    std::string_view base;
    double* values = nullptr;  // values[0] belongs to number `first`
    int32_t first = 1;
    int32_t last = 0;
    Range range = kAny;
    std::string_view message;
    std::string_view gap;          // between the number and the value
    std::string_view remark_head;  // after the value, followed by the number
    std::string_view remark_tail;  // after the second number, with the line break
};

// A key repeated with any text behind it ("_dz...") whose values append to a list in
// the order of the lines. A file written while the list is empty holds `defaults`.
struct ListKey {
    std::string_view base;
    std::vector<double>* list = nullptr;
    std::span<const double> defaults;
    Range range = kAny;
    std::string_view message;
    std::string_view gap;
    std::string_view remark_head;
    std::string_view remark_tail;
};

struct ParamFile {
    std::span<const ParamKey> keys;
    const NumberedKey* numbered = nullptr;
    const ListKey* list = nullptr;
    std::string_view title = "Parameters (name, value, remark):";
    bool commas_as_blanks = true;       // the leaf and the plant layer split at white space only
    bool skip_first_line = false;       // the soil never interprets its first line
    bool full_stop_on_failure = false;  // "Failed to open <path>." of the leaf and the plant layer
};

// Reads the file at `path` into the fields, writing it with the current values
// first when it is missing. A bad value stops the reading with the path followed
// by the key's message in `site.error_text`.
bool read_parameter_file(Site& site, const std::string& path, const ParamFile& file);

// Writes the current values to a new file at `path`.
bool write_parameter_file(Site& site, const std::string& path, const ParamFile& file);

}  // namespace kelmora
