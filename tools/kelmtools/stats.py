"""Goodness of fit of the simulated net ecosystem production (NEP).

The simulated NEP of a record is gross primary production minus total
respiration, columns 4 and 5 of site.csv.  The observed NEP is the twelfth
column of the forcing file.  kelm writes no line for the first forcing record,
so data line k of site.csv (from 0) belongs to forcing record k + 1; records
are paired by position and their time stamps must agree.
"""

import math
import os
import re

import numpy as np
import pandas as pd

from . import reader

STAT_NAMES = ["n", "r2", "rmse", "bias", "mae", "nse", "slope", "intercept"]
STAT_LABELS = {
    "n": "n", "r2": "R2", "rmse": "RMSE", "bias": "bias (sim - obs)", "mae": "MAE",
    "nse": "Nash-Sutcliffe", "slope": "slope", "intercept": "intercept",
}
CORRELATION = re.compile(r"Correlation:\s*(\S+)")
# Half a minute, in days: the smallest forcing interval is one minute.
HALF_MINUTE = 0.5 / 1440.0


class PairingError(ValueError):
    """site.csv and the forcing file do not belong together."""


def pair_nep(site, forcing):
    """Frame of the paired records: day, hour, minute, time, obs, sim.

    obs is NaN where the forcing has no observation."""
    n = len(site)
    if n > len(forcing) - 1:
        raise PairingError("site.csv has %d data lines but the forcing only %d records after the first"
                           % (n, max(len(forcing) - 1, 0)))
    f = forcing.iloc[1:n + 1].reset_index(drop=True)
    stamps_s = site[["day", "hour", "minute"]].to_numpy()
    stamps_f = f[["day", "hour", "minute"]].to_numpy()
    bad = np.nonzero((stamps_s != stamps_f).any(axis=1))[0]
    if len(bad):
        k = bad[0]
        raise PairingError("time stamps differ at site.csv data line %d: %s in site.csv, %s in the forcing"
                           % (k + 1, "/".join(map(str, stamps_s[k])), "/".join(map(str, stamps_f[k]))))
    return pd.DataFrame({
        "day": site["day"], "hour": site["hour"], "minute": site["minute"],
        "time": site["time"],
        "obs": f["nep_obs"].to_numpy(dtype=float),
        # data columns 1 and 2 of site.csv (after day, hour, minute and the
        # reader's time column): gross production and total respiration
        "sim": (site.iloc[:, 4] - site.iloc[:, 5]).to_numpy(dtype=float),
    })


def fit(obs, sim):
    """Statistics of sim against obs over the pairs where both are finite.

    R2 is the square of the correlation from population moments summed in
    record order, as kelm computes it; slope and intercept are those of the
    least-squares line sim = slope * obs + intercept; bias is mean(sim - obs).
    Undefined values are NaN."""
    obs = np.asarray(obs, dtype=float)
    sim = np.asarray(sim, dtype=float)
    ok = np.isfinite(obs) & np.isfinite(sim)
    o, s = obs[ok], sim[ok]
    n = len(o)
    result = dict.fromkeys(STAT_NAMES, math.nan)
    result["n"] = n
    if n == 0:
        return result
    so = ss = soo = sss = sos = 0.0
    for oi, si in zip(o.tolist(), s.tolist()):
        so += oi
        ss += si
        soo += oi * oi
        sss += si * si
        sos += oi * si
    mo, ms = so / n, ss / n
    cov = sos / n - ms * mo
    var_o = soo / n - mo * mo
    var_s = sss / n - ms * ms
    if var_o > 0 and var_s > 0:
        r = cov / (math.sqrt(var_s) * math.sqrt(var_o))
        result["r2"] = r * r
    d = s - o
    result["rmse"] = float(np.sqrt(np.mean(d * d)))
    result["bias"] = float(np.mean(d))
    result["mae"] = float(np.mean(np.abs(d)))
    ss_obs = float(np.sum((o - o.mean()) ** 2))
    if ss_obs > 0:
        result["nse"] = 1.0 - float(np.sum(d * d)) / ss_obs
        result["slope"] = float(np.sum((o - o.mean()) * (s - s.mean()))) / ss_obs
        result["intercept"] = float(s.mean() - result["slope"] * o.mean())
    return result


def daily_means(pairs):
    """Daily means of obs and sim over the records where both exist.

    A line stands for the span that ends at its time stamp, so a line at
    00:00 belongs to the day before."""
    ok = pairs[np.isfinite(pairs["obs"]) & np.isfinite(pairs["sim"])]
    day_index = np.floor(ok["time"] - HALF_MINUTE).astype(np.int64)
    daily = ok.groupby(day_index)[["obs", "sim"]].mean()
    daily["records"] = ok.groupby(day_index).size()
    daily.index.name = "time"
    daily = daily.reset_index()
    daily["day"] = (daily["time"] - 1) % 365 + 1
    return daily


def run_statistics(run_dir, forcing_path, parts=True):
    """Statistics of a run: {"records": {...}, "daily": {...}}; parts as
    for reader.read_output."""
    site = reader.read_output(os.path.join(run_dir, "site.csv"), parts)
    forcing = reader.read_forcing(forcing_path, max_records=len(site) + 1)
    pairs = pair_nep(site, forcing)
    reader.note_coverage(site, forcing_path)
    daily = daily_means(pairs)
    return {"records": fit(pairs["obs"], pairs["sim"]), "daily": fit(daily["obs"], daily["sim"])}


def printed_correlation(text):
    """The R2 that kelm printed ("Correlation: x") in a console text, or None."""
    found = CORRELATION.findall(text)
    if not found:
        return None
    try:
        return float(found[-1])
    except ValueError:
        return None


def agrees_with_printed(value, printed):
    """True when value matches kelm's printed R2 to its 6 significant digits.

    kelm takes its statistic from unrounded fluxes, while site.csv holds them
    to 6 significant digits, so the two can differ by rounding: one unit in
    the sixth digit is allowed."""
    if printed == 0 or printed != printed:
        return value == printed
    unit = 10.0 ** (math.floor(math.log10(abs(printed))) - 5)
    return abs(value - printed) <= unit


def format_value(name, value):
    if name == "n":
        return "%d" % value
    return "%.6g" % value if value == value else "-"


def format_table(stats, printed=None):
    """Plain-text table of run_statistics() output."""
    lines = ["Simulated (GPP - respiration) against observed NEP, umol m-2 s-1",
             "%-16s %12s %12s" % ("", "records", "daily means")]
    for name in STAT_NAMES:
        lines.append("%-16s %12s %12s" % (STAT_LABELS[name],
                                           format_value(name, stats["records"][name]),
                                           format_value(name, stats["daily"][name])))
    if printed is not None:
        same = agrees_with_printed(stats["records"]["r2"], printed)
        lines.append("%-16s %12s   (%s)" % ("R2 from kelm", "%.6g" % printed,
                                            "agrees" if same else "DIFFERS"))
    return "\n".join(lines) + "\n"


def write_csv(stats, path):
    rows = [dict(scale=scale, **stats[scale]) for scale in ("records", "daily")]
    pd.DataFrame(rows, columns=["scale"] + STAT_NAMES).to_csv(path, index=False, float_format="%.6g")
