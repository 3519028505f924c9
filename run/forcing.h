// The measured weather that drives the model: one record per time stamp of the
// forcing file, with the humidity, density and precipitation rate derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

// The forcing `t` seconds into the span of record `i` (0 < i < size) when each
// record holds the means over its span, which ends at its time stamp, as a tower
// records them and as the output writes them: within the span a straight line
// through its means, at the smaller of the slopes to its neighbours (none at a
// peak or a trough), so that no value leaves the range of the neighbouring
// means. The sub-steps of a span average to its record at any sub-step that
// divides it. The result carries record `i`'s identity.
ForcingRecord interpolate_means(std::span<const ForcingRecord> records, size_t i, double t);

}  // namespace kelmora
