#include "run/forcing.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/line_reader.h"
#include "files/numbers.h"
#include "physics/physics.h"

namespace kelmora {

namespace {

// A real column: its message when it is not a number, its physical bounds
// (wide enough for any real site, narrow enough to catch wrong units) and its field.
struct Column {
    const char* name;
    double lo, hi;
    double ForcingRecord::*field;
};

constexpr double kNoBound = 1e308;

// Columns 4 to 12, in file order.
constexpr Column kColumns[] = {
    {"air temperature", -90, 60, &ForcingRecord::ta},
    {"vapour pressure deficit", -1, 15, &ForcingRecord::vpd},
    {"wind speed", 0, 75, &ForcingRecord::wind},
    {"shortwave radiation", -50, 1500, &ForcingRecord::sw_in},
    {"longwave radiation", 50, 700, &ForcingRecord::lw_in},
    {"precipitation", 0, 500, &ForcingRecord::precip},
    {"air pressure", 30, 110, &ForcingRecord::pa},
    {"CO2", 100, 5000, &ForcingRecord::co2},
    {"observed NEP", -kNoBound, kNoBound, &ForcingRecord::nep_obs},
};

// A time column: one whole number.
std::optional<int32_t> whole_time(std::string_view word) {
    const std::optional<double> v = whole_real(word);
    if (!v || *v != std::trunc(*v) || std::fabs(*v) > 1e6) return std::nullopt;
    return static_cast<int32_t>(*v);
}

// Converts and checks the columns of a line of at least 11 words; the message
// of the first failed check, or empty when the record is valid.
std::string convert_columns(const std::vector<std::string_view>& w, ForcingRecord& r) {
    const std::optional<int32_t> day = whole_time(w[0]);
    if (!day || *day < 1 || *day > 365) return "Bad day of year value at ";
    const std::optional<int32_t> hour = whole_time(w[1]);
    if (!hour || *hour < 0 || *hour > 23) return "Bad hour value at ";
    const std::optional<int32_t> minute = whole_time(w[2]);
    if (!minute || *minute < 0 || *minute > 59) return "Bad minute value at ";
    r.day = *day;
    r.hour = *hour;
    r.minute = *minute;
    const size_t columns = w.size() >= 12 ? 9 : 8;
    for (size_t i = 0; i < columns; ++i) {
        const std::optional<double> v = whole_real(w[3 + i]);
        if (!v) return std::string("Bad ") + kColumns[i].name + " value at ";
        r.*kColumns[i].field = *v;
    }
    if (columns == 8) r.nep_obs = kMissingObservation;
    for (const Column& c : kColumns) {
        const double v = r.*c.field;
        if (v < c.lo || v > c.hi) return std::string("Out of range ") + c.name + " at ";
    }
    return {};
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

int64_t seconds_since(const TimeStamp& prev, const TimeStamp& t) {
    const bool new_year = prev.day == 365 && t.day == 1;
    const int64_t dd = new_year ? 1 : t.day - prev.day;
    return ((dd * 24 + t.hour - prev.hour) * 60 + t.minute - prev.minute) * 60;
}

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
        if (words.empty()) continue;
        if (words.size() < 11) return "Too few columns at " + quoted(line);
        ForcingRecord r;
        std::string message = convert_columns(words, r);
        int64_t interval = 0;
        if (message.empty() && !first) {
            interval = seconds_since(prev, r.stamp());
            if (interval < 60 || interval > 3600) message = "Bad time interval at ";
        }
        if (!message.empty()) return message + quoted(line);
        derive(r);
        r.interval = static_cast<int32_t>(interval);
        r.substeps = 0;
        prev = {r.day, r.hour, r.minute};
        first = false;
        records.push_back(r);
    }
    if (!in.failure().empty()) return in.failure();
    return {};
}

namespace {

// The 14 real fields that a sub-step's forcing takes from the records around it.
constexpr double ForcingRecord::*kInterpolated[] = {
    &ForcingRecord::ta,    &ForcingRecord::vpd,    &ForcingRecord::wind,
    &ForcingRecord::sw_in, &ForcingRecord::lw_in,  &ForcingRecord::precip,
    &ForcingRecord::pa,    &ForcingRecord::co2,    &ForcingRecord::qa,
    &ForcingRecord::ea,    &ForcingRecord::rh,     &ForcingRecord::precip_rate,
    &ForcingRecord::tk,    &ForcingRecord::rho_air};

// The change across a span of mean `mean` between spans of means `before` and
// `after`: the smaller of the two one-sided differences (the minmod limiter),
// and 0 at a peak or a trough, so that the span's values stay between its
// neighbours' means and the shortwave and the rain never turn negative.
double limited_change(double before, double mean, double after) {
    const double back = mean - before;
    const double ahead = after - mean;
    if (back * ahead <= 0) return 0;
    return back > 0 ? std::min(back, ahead) : std::max(back, ahead);
}

}  // namespace

ForcingRecord interpolate(const ForcingRecord& prev, const ForcingRecord& cur, double t) {
    const double f = t / cur.interval;
    const double g = 1 - f;
    ForcingRecord r = cur;
    for (double ForcingRecord::*field : kInterpolated) r.*field = prev.*field * g + cur.*field * f;
    return r;
}

ForcingRecord interpolate_means(std::span<const ForcingRecord> records, size_t i, double t) {
    const ForcingRecord& prev = records[i - 1];
    const ForcingRecord& cur = records[i];
    const ForcingRecord& next = i + 1 < records.size() ? records[i + 1] : cur;
    const double x = t / cur.interval - 0.5;  // from the span's centre, in spans
    ForcingRecord r = cur;
    for (double ForcingRecord::*field : kInterpolated) {
        r.*field = cur.*field + x * limited_change(prev.*field, cur.*field, next.*field);
    }
    return r;
}

}  // namespace kelmora
