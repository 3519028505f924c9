#include "run/forcing.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "files/line_reader.h"
#include "files/numbers.h"
#include "physics/physics.h"

namespace kelmora {

namespace {

struct TimeStamp {
    int32_t day, hour, minute;
};

// Columns 1 to 12 of an accepted line.
void convert_columns(const std::vector<std::string_view>& w, ForcingRecord& r) {
    r.day = leading_int(w[0]);
    r.hour = leading_int(w[1]);
    r.minute = leading_int(w[2]);
    r.ta = leading_real(w[3]);
    r.vpd = leading_real(w[4]);
    r.wind = leading_real(w[5]);
    r.sw_in = leading_real(w[6]);
    r.lw_in = leading_real(w[7]);
    r.precip = leading_real(w[8]);
    r.pa = leading_real(w[9]);
    r.co2 = leading_real(w[10]);
    r.nep_obs = w.size() >= 12 ? leading_real(w[11]) : kMissingObservation;
}

// The message of the first failed check, or nullptr when the record is valid.
// Values that would make the model's arithmetic undefined are rejected here.
const char* validation_message(const ForcingRecord& r) {
    if (r.day < 1 || r.day > 365) return "Bad day of year value at ";
    if (r.hour < 0 || r.hour > 23) return "Bad hour value at ";
    if (r.minute < 0 || r.minute > 59) return "Bad minute value at ";
    if (!std::isfinite(r.ta) || r.ta <= -phys::kZeroCelsius) return "Bad air temperature value at ";
    if (!std::isfinite(r.pa) || r.pa <= 0) return "Bad air pressure value at ";
    if (!std::isfinite(r.co2) || r.co2 <= 0) return "Bad CO2 value at ";
    for (double v : {r.vpd, r.wind, r.sw_in, r.lw_in, r.precip, r.nep_obs}) {
        if (!std::isfinite(v)) return "Bad value at ";
    }
    return nullptr;
}

// The message for derived values beyond the range of a double, or nullptr. Valid
// columns can still get there: the saturation vapour pressure overflows as the
// temperature nears -240.97 degC from below, and the humidity and the density
// divide by the pressure and by the absolute temperature.
const char* derived_message(const ForcingRecord& r) {
    if (!std::isfinite(r.ea) || !std::isfinite(r.rh)) return "Bad air temperature value at ";
    if (!std::isfinite(r.qa) || !std::isfinite(r.rho_air)) return "Bad air pressure value at ";
    return nullptr;
}

// Seconds from the previous time stamp; day 1 after day 365 starts a new year.
int64_t seconds_since(const TimeStamp& prev, const ForcingRecord& r) {
    const int64_t dd = r.day >= prev.day ? r.day - prev.day : r.day;
    return ((dd * 24 + r.hour - prev.hour) * 60 + r.minute - prev.minute) * 60;
}

void derive(ForcingRecord& r) {
    r.precip_rate = r.precip / phys::kSecondsPerHour / 1000 * phys::kWaterDensity;
    r.tk = r.ta + phys::kZeroCelsius;
    r.rho_air = r.pa / (r.tk * phys::kDryAirGasConstant);
    const double es = esat(r.ta);
    if (r.vpd < 1e-5) r.vpd = 1e-5;
    r.ea = es - r.vpd;
    r.rh = r.ea / es;
    if (r.rh > 1) {
        r.rh = 1;
    } else if (r.rh < 0.01) {
        r.rh = 0.01;
    }
    if (r.ea < 1e-5) r.ea = 1e-5;
    r.qa = r.ea * phys::kWaterAirRatio / r.pa;
}

// The line as the messages quote it: commas turned into blanks, cut short and
// made safe for a terminal.
std::string quoted(std::string_view line) {
    std::string text = printable_excerpt(line);
    std::replace(text.begin(), text.end(), ',', ' ');
    return text;
}

}  // namespace

Failure read_forcing(const std::string& path, std::vector<ForcingRecord>& records) {
    LineReader in;
    if (!in.open(path, true)) return "Failed to open " + path;
    std::string line;
    std::vector<std::string_view> words;
    TimeStamp prev{};
    bool first = true;
    while (in.next(line)) {
        if (line.empty() || line[0] == '#') continue;
        split_words(line, true, words);
        if (words.size() < 11) continue;
        ForcingRecord r;
        convert_columns(words, r);
        const char* message = validation_message(r);
        if (!message) {
            derive(r);
            message = derived_message(r);
        }
        int64_t interval = 0;
        if (!message && !first) {
            interval = seconds_since(prev, r);
            if (interval < 1 || interval > 3600) message = "Bad time interval at ";
        }
        if (message) return message + quoted(line);
        r.interval = static_cast<int32_t>(interval);
        r.substeps = 0;
        prev = {r.day, r.hour, r.minute};
        first = false;
        records.push_back(r);
    }
    if (!in.failure().empty()) return in.failure();
    return {};
}

ForcingRecord interpolate(const ForcingRecord& prev, const ForcingRecord& cur, double t) {
    const double f = t / cur.interval;
    const double g = 1 - f;
    ForcingRecord r = cur;
    r.ta = prev.ta * g + cur.ta * f;
    r.vpd = prev.vpd * g + cur.vpd * f;
    r.wind = prev.wind * g + cur.wind * f;
    r.sw_in = prev.sw_in * g + cur.sw_in * f;
    r.lw_in = prev.lw_in * g + cur.lw_in * f;
    r.precip = prev.precip * g + cur.precip * f;
    r.pa = prev.pa * g + cur.pa * f;
    r.co2 = prev.co2 * g + cur.co2 * f;
    r.qa = prev.qa * g + cur.qa * f;
    r.ea = prev.ea * g + cur.ea * f;
    r.rh = prev.rh * g + cur.rh * f;
    r.precip_rate = prev.precip_rate * g + cur.precip_rate * f;
    r.tk = prev.tk * g + cur.tk * f;
    r.rho_air = prev.rho_air * g + cur.rho_air * f;
    return r;
}

}  // namespace kelmora
