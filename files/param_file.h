// The parameter files of the components: one table-driven reader and writer.
// A component declares its keys once (name, field, check, remark) with the
// variants of its file; the code here reads, converts, checks, writes and
// returns the failure.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelmora {

// The message of a failed operation; empty (no value) on success.
using Failure = std::optional<std::string>;

// The valid values of a key: lo < v (or lo <= v) and v < hi (or v <= hi), both
// bounds times *scale when a scale is given. Non-finite values never pass; a
// range that is not `checked` takes every value.
struct Range {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    bool lo_inclusive = true;
    bool hi_inclusive = true;
    const double* scale = nullptr;
    bool checked = true;

    bool contains(double v) const;
};

inline constexpr Range kUnchecked{.checked = false};
inline constexpr Range kAny{};
inline constexpr Range kPositive{0, std::numeric_limits<double>::infinity(), false, true};
inline constexpr Range kNonNegative{0, std::numeric_limits<double>::infinity(), true, true};
inline constexpr Range kNegative{-std::numeric_limits<double>::infinity(), 0, true, false};
inline constexpr Range kOpenUnit{0, 1, false, false};  // 0 < v < 1

// The field a key fills: a whole number or a real.
using Field = std::variant<int32_t*, double*>;

// One plain key, written as: name, padding, value, lead, "->", remark.
struct ParamKey {
    std::string_view name;
    Field field;
    Range range = kUnchecked;
    std::string_view remark;
    std::string_view message = {};   // after the path on a bad value; empty: ": Bad <name> value."
    double offset = 0;               // the field holds the file's value plus this offset
    std::string_view padding = {};   // empty: blanks up to the file's column
    std::string_view lead = "    ";  // between the value and "->"
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
// the order of the lines, at most `max_count` of them (one more is a bad value,
// so that no file can grow the list without bound).
// A file written while the list is empty holds `defaults`.
struct ListKey {
    std::string_view base;
    std::vector<double>* list = nullptr;
    std::span<const double> defaults;
    Range range = kAny;
    std::string_view message;
    std::string_view gap;
    std::string_view remark_head;
    std::string_view remark_tail;
    size_t max_count = 100;
};

struct ParamFile {
    std::vector<ParamKey> keys = {};
    size_t column = 0;  // names are padded with blanks to this width
    std::optional<NumberedKey> numbered = std::nullopt;
    std::optional<ListKey> list = std::nullopt;
    std::string_view title = "Parameters (name, value, remark):";
    bool commas_as_blanks = true;       // the leaf and the plant layer split at white space only
    bool skip_first_line = false;       // the soil never interprets its first line
    bool full_stop_on_failure = false;  // "Failed to open <path>." of the leaf and the plant layer
};

// Reads the file at `path` into the fields, writing it with the current values
// first when it is missing. A bad value stops the reading with the path followed
// by the key's message.
Failure read_parameter_file(const std::string& path, const ParamFile& file);

// Writes the current values to a new file at `path`.
Failure write_parameter_file(const std::string& path, const ParamFile& file);

}  // namespace kelmora
