"""Convert a flux tower's half-hourly or hourly CSV file into a kelm forcing
file and an observation file.

The tower file has a header row, TIMESTAMP_START and TIMESTAMP_END as
YYYYMMDDHHMM and -9999 for missing values.  Each record is stamped with the
end of its averaging interval, so that a kelm output line, the mean over the
span that ends at its record, covers the tower's interval.  kelm's year has
365 days: the records of 29 February are left out.
"""

import numpy as np
import pandas as pd

MISSING = -9999
NEP_MISSING = "-9999.9"
STAMP = "%Y%m%d%H%M"

# (forcing quantity, tower names tried in order, required)
DRIVERS = [
    ("ta", ["TA_F", "TA"], True),
    ("vpd", ["VPD_F", "VPD"], True),
    ("wind", ["WS_F", "WS"], True),
    ("sw_in", ["SW_IN_F", "SW_IN"], True),
    ("lw_in", ["LW_IN_F", "LW_IN"], True),
    ("precip", ["P_F", "P"], False),
    ("pa", ["PA_F", "PA"], False),
    ("co2", ["CO2_F_MDS", "CO2"], False),
]
OBSERVATIONS = [("nep", ["NEE_VUT_REF", "NEE"]), ("h", ["H_F_MDS", "H"]), ("le", ["LE_F_MDS", "LE"])]
OBS_COLUMNS = ["timestamp", "day", "hour", "minute", "nep", "h", "le"]


class TowerError(ValueError):
    pass


def pick(table, names):
    return next((n for n in names if n in table.columns), None)


def read_tower(path):
    """The tower table on a regular time axis: index TIMESTAMP_END, one row
    per interval (absent rows added as missing); returns (table, minutes)."""
    table = pd.read_csv(path, dtype={"TIMESTAMP_START": str, "TIMESTAMP_END": str},
                        skipinitialspace=True)
    for c in ("TIMESTAMP_START", "TIMESTAMP_END"):
        if c not in table.columns:
            raise TowerError("%s: no %s column" % (path, c))
    try:
        start = pd.to_datetime(table["TIMESTAMP_START"].str.strip(), format=STAMP)
        end = pd.to_datetime(table["TIMESTAMP_END"].str.strip(), format=STAMP)
    except ValueError as e:
        raise TowerError("%s: time stamps must read YYYYMMDDHHMM (%s)" % (path, e))
    if len(table) == 0:
        raise TowerError("%s: no records" % path)
    lengths = (end - start).dt.total_seconds().div(60).unique()
    if len(lengths) != 1 or not 1 <= lengths[0] <= 60:
        raise TowerError("%s: records must be of one length up to 60 minutes, found %s minutes"
                         % (path, ", ".join("%g" % v for v in sorted(lengths))))
    minutes = int(lengths[0])
    if not end.is_monotonic_increasing or end.duplicated().any():
        raise TowerError("%s: TIMESTAMP_END must increase from record to record" % path)
    table = table.drop(columns=["TIMESTAMP_START", "TIMESTAMP_END"]).apply(pd.to_numeric, errors="coerce")
    table = table.mask(table == MISSING)
    table.index = end
    axis = pd.date_range(end.iloc[0], end.iloc[-1], freq="%dmin" % minutes)
    if len(axis.union(end)) != len(axis):
        raise TowerError("%s: time stamps off the %d-minute grid" % (path, minutes))
    return table.reindex(axis), minutes


def fill_gaps(series, name, max_gap):
    """Fill runs of up to max_gap missing records linearly (the nearest value
    at either end of the series); a longer run raises TowerError."""
    missing = series.isna().to_numpy()
    if missing.any():
        run_id = np.cumsum(np.concatenate([[True], missing[1:] != missing[:-1]]))
        runs = pd.Series(np.arange(len(series)))[missing].groupby(run_id[missing])
        for _, positions in runs:
            if len(positions) > max_gap:
                first, last = series.index[positions.iloc[0]], series.index[positions.iloc[-1]]
                raise TowerError("%s: %d missing records from TIMESTAMP_END %s to %s, more than --max-gap %d"
                                 % (name, len(positions), first.strftime(STAMP), last.strftime(STAMP), max_gap))
        series = series.interpolate(method="linear", limit_direction="both")
    return series


def convert(path, max_gap=4, co2=400.0, pa=101.3, warn=print):
    """Return (forcing frame, observation frame, end time stamps) of a tower file."""
    table, minutes = read_tower(path)
    forcing = pd.DataFrame(index=table.index)
    for quantity, names, required in DRIVERS:
        name = pick(table, names)
        if name is None:
            if required:
                raise TowerError("%s: no %s column" % (path, " or ".join(names)))
            default = {"precip": 0.0, "pa": pa, "co2": co2}[quantity]
            warn("kelm-forcing: no %s column: %s set to %g" % (" or ".join(names), quantity, default))
            forcing[quantity] = default
        else:
            forcing[quantity] = fill_gaps(table[name], name, max_gap)
    forcing["vpd"] /= 10.0                       # hPa -> kPa
    forcing["precip"] *= 60.0 / minutes          # mm per record -> mm h-1
    obs = pd.DataFrame(index=table.index)
    for quantity, names in OBSERVATIONS:
        name = pick(table, names)
        if name is None:
            warn("kelm-forcing: no %s column: observed %s missing" % (" or ".join(names), quantity.upper()))
        obs[quantity] = table[name] if name else np.nan
    obs["nep"] = -obs["nep"]
    leap = (table.index.month == 2) & (table.index.day == 29)
    if leap.any():
        warn("kelm-forcing: %d records of 29 February left out: the model's year has 365 days" % leap.sum())
        forcing, obs = forcing[~leap], obs[~leap]
    stamps = forcing.index
    day = stamps.dayofyear - ((stamps.is_leap_year) & (stamps.month > 2))
    for frame in (forcing, obs):
        frame.insert(0, "minute", stamps.minute)
        frame.insert(0, "hour", stamps.hour)
        frame.insert(0, "day", day)
    obs.insert(0, "timestamp", stamps.strftime(STAMP))
    return forcing.reset_index(drop=True), obs.reset_index(drop=True), stamps


def forcing_text(forcing, obs, stamps, source):
    lines = ["# kelm forcing converted from %s by kelm-forcing" % source,
             "# year %d (first record ends %s); records stamped with the end of their interval"
             % (stamps[0].year, stamps[0].strftime(STAMP)),
             "# day, hour, minute, ta (degC), vpd (kPa), wind (m s-1), sw_in (W m-2), lw_in (W m-2), "
             "precip (mm h-1), pa (kPa), co2 (umol mol-1), nep_obs (umol m-2 s-1)"]
    values = forcing.drop(columns=["day", "hour", "minute"]).to_numpy()
    nep = obs["nep"].to_numpy()
    for (d, h, m), row, n in zip(forcing[["day", "hour", "minute"]].to_numpy(), values, nep):
        lines.append("%d, %d, %d, " % (d, h, m) + ", ".join("%.6g" % v for v in row)
                     + ", " + (NEP_MISSING if np.isnan(n) else "%.6g" % n))
    return "\n".join(lines) + "\n"


def write(path, out, obs_path=None, max_gap=4, co2=400.0, pa=101.3, warn=print):
    forcing, obs, stamps = convert(path, max_gap, co2, pa, warn)
    with open(out, "w") as f:
        f.write(forcing_text(forcing, obs, stamps, path))
    if obs_path:
        obs[OBS_COLUMNS].to_csv(obs_path, index=False, na_rep="NaN", float_format="%.6g")
    return len(forcing)


def read_obs(path):
    """An observation file written by kelm-forcing --obs."""
    obs = pd.read_csv(path, dtype={"timestamp": str})
    missing = [c for c in OBS_COLUMNS if c not in obs.columns]
    if missing:
        raise TowerError("%s: no column %s" % (path, ", ".join(missing)))
    return obs
