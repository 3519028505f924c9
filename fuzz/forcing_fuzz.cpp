// Fuzzes the forcing reader: every record it accepts is valid, within the
// physical bounds and has finite derived values, a refused file names its bad line with one of the
// reader's messages (quoting at most 200 safe bytes of it), and interpolation reproduces the
// records at the span ends.
#include <cmath>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "run/forcing.h"

namespace {

using kelmora::ForcingRecord;

void check_record(const ForcingRecord& r, bool first) {
    FUZZ_CHECK(r.day >= 1 && r.day <= 365);
    FUZZ_CHECK(r.hour >= 0 && r.hour <= 23);
    FUZZ_CHECK(r.minute >= 0 && r.minute <= 59);
    FUZZ_CHECK(first ? r.interval == 0 : r.interval >= 1 && r.interval <= 3600);
    FUZZ_CHECK(r.substeps == 0);
    FUZZ_CHECK(r.ta >= -90 && r.ta <= 60 && r.pa >= 30 && r.pa <= 110);
    FUZZ_CHECK(r.co2 >= 100 && r.co2 <= 5000 && r.lw_in >= 50 && r.lw_in <= 700);
    FUZZ_CHECK(r.wind >= 0 && r.wind <= 75 && r.precip >= 0 && r.precip <= 500);
    FUZZ_CHECK(r.sw_in >= -50 && r.sw_in <= 1500 && r.vpd <= 15);
    for (double v : {r.ta, r.vpd, r.wind, r.sw_in, r.lw_in, r.precip, r.pa, r.co2, r.nep_obs, r.qa,
                     r.ea, r.rh, r.precip_rate, r.tk, r.rho_air}) {
        FUZZ_CHECK(std::isfinite(v));
    }
    FUZZ_CHECK(r.vpd >= 1e-5 && r.ea >= 1e-5);
    FUZZ_CHECK(r.rh >= 0.01 && r.rh <= 1);
}

bool same_reals(const ForcingRecord& a, const ForcingRecord& b) {
    return a.ta == b.ta && a.vpd == b.vpd && a.wind == b.wind && a.sw_in == b.sw_in &&
           a.lw_in == b.lw_in && a.precip == b.precip && a.pa == b.pa && a.co2 == b.co2 &&
           a.qa == b.qa && a.ea == b.ea && a.rh == b.rh && a.precip_rate == b.precip_rate &&
           a.tk == b.tk && a.rho_air == b.rho_air;
}

// A known message whose quoted line is at most 200 bytes, without commas and
// without control bytes that could steer a terminal.
bool known_message(std::string_view text) {
    if (text.starts_with("Line too long at line ")) return true;
    const bool known = text.starts_with("Bad ") || text.starts_with("Out of range ") ||
                       text.starts_with("Too few columns at ");
    const size_t at = text.find(" at ");
    if (!known || at == std::string_view::npos) return false;
    const std::string_view line = text.substr(at + 4);
    for (unsigned char c : line) {
        if (c == ',' || c < 0x20 || c == 0x7f) return false;
    }
    return line.size() <= 200;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<ForcingRecord> records;
    records.clear();
    const std::string& path = kelmora::fuzz::scratch_file("forcing", data, size);
    const kelmora::Failure failure = kelmora::read_forcing(path, records);
    FUZZ_CHECK(!failure || known_message(*failure));
    for (size_t i = 0; i < records.size(); ++i) {
        check_record(records[i], i == 0);
        if (i == 0) continue;
        const ForcingRecord& prev = records[i - 1];
        const ForcingRecord& cur = records[i];
        FUZZ_CHECK(same_reals(kelmora::interpolate(prev, cur, 0), prev));
        FUZZ_CHECK(same_reals(kelmora::interpolate(prev, cur, cur.interval), cur));
    }
    return 0;
}
