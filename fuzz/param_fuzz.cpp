// Fuzzes one variant of the parameter-file reader (KELM_PARAM_VARIANT):
//   0  commas count as blanks (the site, foliage, stem, roots);
//   1  white space only, full stop after an open failure (the leaf, the plant);
//   2  first line skipped, list key "_dz" (the soil);
//   3  numbered key "_lai" 1..365 (the foliage).
// A table of its own, with integer and real keys, an offset, a scaled range and
// a key without a check, keeps the target independent of the components. After a
// successful read every checked field lies in its range; a failure carries the
// path followed by one of the table's messages. The values read are then written
// back and read again, which must not break either.
#include <array>
#include <cmath>
#include <string_view>
#include <vector>

#include "files/param_file.h"
#include "fuzz/fuzz_support.h"

#ifndef KELM_PARAM_VARIANT
#define KELM_PARAM_VARIANT 0
#endif

namespace {

using namespace kelmora;

struct Fields {
    int32_t type = 0;
    int32_t restart = 0;
    int32_t step = 10;
    double height = 30;
    double deep = 279.15;  // K, degC in the file
    double share = 0.5;
    double low = 5;  // at most `height`
    double free_value = 1;
    std::array<double, 365> lai{};
    std::vector<double> dz;
};

constexpr std::array<double, 3> kDzDefaults{0.05, 0.1, 0.2};

std::vector<ParamKey> keys(Fields& f) {
    return {
        {"_type", &f.type, {0, 1}, "type", ": Bad site type."},
        {"_restart", &f.restart, kUnchecked, "restart"},
        {"_dt", &f.step, {1}, "step (s)", ": Bad time step."},
        {"_zref", &f.height, {1.0}, "height (m)", ": Bad height."},
        {"_Td", &f.deep, kPositive, "deep (C)", {}, 273.15},
        {"_share", &f.share, kOpenUnit, "share", {}, 0, "\t"},
        {"_zlow", &f.low, {0, 1, true, true, &f.height}, "low (m)"},
        {"_free", &f.free_value, kUnchecked, "unchecked"},
    };
}

ParamFile variant(Fields& f, const NumberedKey& numbered, const ListKey& list) {
    ParamFile file{.keys = keys(f), .column = 11};
    switch (KELM_PARAM_VARIANT) {
        case 1:
            file.commas_as_blanks = false;
            file.full_stop_on_failure = true;
            break;
        case 2:
            file.list = list;
            file.title = "Parameters:";
            file.skip_first_line = true;
            break;
        case 3:
            file.numbered = numbered;
            break;
        default:
            break;
    }
    return file;
}

bool known_failure(const std::string& text, const std::string& path, const ParamFile& file) {
    if (!text.starts_with(path)) return false;
    const std::string_view rest = std::string_view(text).substr(path.size());
    for (const ParamKey& key : file.keys) {
        if (rest == key.message || rest == ": Bad " + std::string(key.name) + " value.") {
            return true;
        }
    }
    return rest == ": Bad _dz value." || rest == ": Bad _lai value.";
}

void check_ranges(const Fields& f) {
    FUZZ_CHECK(f.type == 0 || f.type == 1);
    FUZZ_CHECK(f.step >= 1);
    FUZZ_CHECK(std::isfinite(f.height) && f.height >= 1);
    FUZZ_CHECK(std::isfinite(f.deep) && f.deep > 0);
    FUZZ_CHECK(f.share > 0 && f.share < 1);
    FUZZ_CHECK(std::isfinite(f.low));
    for (double v : f.lai) FUZZ_CHECK(std::isfinite(v) && v >= 0);
    for (double v : f.dz) FUZZ_CHECK(std::isfinite(v) && v > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fields f;
    const NumberedKey numbered{"_lai",  f.lai.data(),        1,
                               365,     kNonNegative,        ": Bad _lai value.",
                               "     ", "    ->LAI on day ", "\n"};
    const ListKey list{"_dz",
                       &f.dz,
                       kDzDefaults,
                       kPositive,
                       ": Bad _dz value.",
                       "        ",
                       "    ->thickness of layer ",
                       " (m)\n"};
    const ParamFile file = variant(f, numbered, list);

    const std::string& path = fuzz::scratch_file("param", data, size);
    if (const Failure failure = read_parameter_file(path, file)) {
        FUZZ_CHECK(known_failure(*failure, path, file));
        return 0;
    }
    check_ranges(f);

    const std::string copy = path + ".written";
    FUZZ_CHECK(!write_parameter_file(copy, file));
    f.dz.clear();  // the list is filled anew, as a component does before reading
    if (const Failure failure = read_parameter_file(copy, file)) {
        FUZZ_CHECK(known_failure(*failure, copy, file));
    }
    return 0;
}
