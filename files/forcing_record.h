// The weather of one time stamp as every component receives it: the measured
// forcing with the humidity, density and precipitation rate derived from it.
#pragma once

#include <cstdint>
#include <string>

namespace kelmora {

// The time of a record: day of year, hour and minute.
struct TimeStamp {
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    bool operator==(const TimeStamp&) const = default;
};

// "day D hour H minute M", as messages name a time.
inline std::string stamp_text(const TimeStamp& t) {
    return "day " + std::to_string(t.day) + " hour " + std::to_string(t.hour) + " minute " +
           std::to_string(t.minute);
}

// The observed net ecosystem production of a line without the twelfth column.
inline constexpr double kMissingObservation = -9999.9;

struct ForcingRecord {
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t substeps = 0;  // sub-steps run for the span ending here; divides every sum
    int32_t interval = 0;  // seconds since the previous record, 0 for the first
    double ta = 0;         // air temperature, degC
    double vpd = 0;        // vapour pressure deficit, kPa, at least 1e-5
    double wind = 0;       // m s-1
    double sw_in = 0;      // incoming shortwave radiation, W m-2
    double lw_in = 0;      // incoming longwave radiation, W m-2
    double precip = 0;     // precipitation intensity, mm h-1
    double pa = 0;         // air pressure, kPa
    double co2 = 0;        // umol mol-1
    double nep_obs = kMissingObservation;  // umol m-2 s-1
    double qa = 0;                         // specific humidity, kg kg-1
    double ea = 0;                         // vapour pressure, kPa, at least 1e-5
    double rh = 0;                         // relative humidity, 0.01 to 1
    double precip_rate = 0;                // kg m-2 s-1
    double tk = 0;                         // air temperature, K
    double rho_air = 0;                    // air density, kg m-3

    TimeStamp stamp() const { return {day, hour, minute}; }
};

}  // namespace kelmora
