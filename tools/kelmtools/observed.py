"""Simulated against observed net ecosystem production (NEP), sensible heat
(H) and latent heat (LE), on three scales: every record, daily means and the
mean diurnal course.

The observations come from an observation file written by kelm-forcing --obs
(NEP, H, LE; one row per forcing record) or, without one, from the forcing
file's NEP column.  The simulated values are columns of site.csv: NEP = gross
production - total respiration, H and LE as written.
"""

import os

import numpy as np
import pandas as pd

from . import reader, stats, tower

VARIABLES = ["nep", "h", "le"]
NAMES = {"nep": "net ecosystem production", "h": "sensible heat flux", "le": "latent heat flux"}
UNITS = {"nep": "umol m-2 s-1", "h": "W m-2", "le": "W m-2"}
SCALES = ["records", "daily", "diurnal"]
SCALE_LABELS = {"records": "records", "daily": "daily means", "diurnal": "diurnal course"}


def load(forcing_path, obs_path=None):
    """Observation frame (day, hour, minute, nep, h, le), one row per forcing
    record."""
    forcing = reader.read_forcing(forcing_path)
    if obs_path is None:
        obs = forcing[["day", "hour", "minute"]].copy()
        obs["nep"], obs["h"], obs["le"] = forcing["nep_obs"], np.nan, np.nan
        return obs
    obs = tower.read_obs(obs_path)
    if len(obs) != len(forcing) or (obs[["day", "hour", "minute"]].to_numpy()
                                    != forcing[["day", "hour", "minute"]].to_numpy()).any():
        raise stats.PairingError("%s does not hold one row per record of %s" % (obs_path, forcing_path))
    return obs


def pair(site, obs):
    """Frame day, hour, minute, time and obs_V, sim_V for V in nep, h, le;
    site.csv line k goes with observation row k + 1."""
    frame = obs[["day", "hour", "minute"]].copy()
    frame["nep_obs"] = obs["nep"]
    pairs = stats.pair_nep(site, frame).rename(columns={"obs": "obs_nep", "sim": "sim_nep"})
    n = len(site)
    for v, column in (("h", 6), ("le", 7)):
        pairs["obs_" + v] = obs[v].to_numpy(dtype=float)[1:n + 1]
        # data columns 3 and 4 of site.csv (after day, hour, minute, time)
        pairs["sim_" + v] = site.iloc[:, column].to_numpy(dtype=float)
    return pairs


def span_day(pairs):
    """Day of year of the span each line closes (00:00 counts for the day before)."""
    return (np.floor(pairs["time"] - stats.HALF_MINUTE).astype(np.int64) - 1) % 365 + 1


def in_days(pairs, first, last):
    day = span_day(pairs)
    return pairs[(day >= first) & (day <= last) if first <= last else (day >= first) | (day <= last)]


def observed(pairs, variables=VARIABLES):
    return [v for v in variables if pairs["obs_" + v].notna().any()]


def two_columns(pairs, v):
    return pd.DataFrame({"day": pairs["day"], "hour": pairs["hour"], "minute": pairs["minute"],
                         "time": pairs["time"], "obs": pairs["obs_" + v], "sim": pairs["sim_" + v]})


def diurnal(pairs, v):
    """Mean diurnal course over the records where both values exist."""
    both = two_columns(pairs, v).dropna(subset=["obs", "sim"])
    return both.groupby(both["hour"] + both["minute"] / 60.0)[["obs", "sim"]].mean()


def scales(pairs, v):
    """{scale: statistics} of variable v."""
    daily = stats.daily_means(two_columns(pairs, v))
    course = diurnal(pairs, v)
    return {"records": stats.fit(pairs["obs_" + v], pairs["sim_" + v]),
            "daily": stats.fit(daily["obs"], daily["sim"]),
            "diurnal": stats.fit(course["obs"], course["sim"])}


def run_scores(run_dir, forcing_path, obs_path=None):
    """{variable: {scale: statistics}} for every observed variable."""
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    obs = load(forcing_path, obs_path)
    pairs = pair(site, obs)
    reader.note_coverage(site, forcing_path, len(obs))
    return {v: scales(pairs, v) for v in observed(pairs)}


def format_tables(scores):
    lines = []
    for v, result in scores.items():
        lines.append("Simulated against observed %s (%s), %s" % (NAMES[v], v.upper(), UNITS[v]))
        lines.append("%-16s" % "" + "".join("%15s" % SCALE_LABELS[s] for s in SCALES))
        for name in stats.STAT_NAMES:
            lines.append("%-16s" % stats.STAT_LABELS[name]
                         + "".join("%15s" % stats.format_value(name, result[s][name]) for s in SCALES))
        lines.append("")
    return "\n".join(lines)


def write_csv(scores, path):
    rows = [dict(variable=v, scale=s, **result[s]) for v, result in scores.items() for s in SCALES]
    pd.DataFrame(rows, columns=["variable", "scale"] + stats.STAT_NAMES).to_csv(
        path, index=False, float_format="%.6g")
