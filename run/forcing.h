// The measured weather that drives the model: one record per time stamp of the
// forcing file, with the humidity, density and precipitation rate derived from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/forcing_record.h"
#include "files/param_file.h"

namespace kelmora {

// Appends the records of the forcing file at `path` to `records`. On failure the
// records before the bad line stay.
Failure read_forcing(const std::string& path, std::vector<ForcingRecord>& records);

// Seconds from `prev` to `t`: day 1 after day 365 starts a new year, and no
// other day comes before its predecessor (the result is then negative).
int64_t seconds_since(const TimeStamp& prev, const TimeStamp& t);

// The forcing `t` seconds after `prev`, on the straight line to `cur`.
ForcingRecord interpolate(const ForcingRecord& prev, const ForcingRecord& cur, double t);

}  // namespace kelmora
