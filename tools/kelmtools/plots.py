"""PNG figures of a run: NEP over time, scatter, diurnal courses, soil.

Drawn with matplotlib's Agg backend, so no display is needed."""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from . import observed, reader, stats  # noqa: E402

NEP_LABEL = "NEP (umol m-2 s-1)"
TIME_LABEL = "Day of year (continues past 365)"
OBS_STYLE = dict(color="black", label="observed")
SIM_STYLE = dict(color="tab:green", label="simulated")


def label(df, column):
    unit = df.attrs.get("units", {}).get(column, "")
    return "%s (%s)" % (column, unit) if unit else column


def _save(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def plot_series(pairs, daily, path):
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7))
    top.plot(pairs["time"], pairs["obs"], ".", ms=3, **OBS_STYLE)
    top.plot(pairs["time"], pairs["sim"], "-", lw=1, **SIM_STYLE)
    top.set_title("Net ecosystem production, every record")
    bottom.plot(daily["time"] + 0.5, daily["obs"], "o-", **OBS_STYLE)
    bottom.plot(daily["time"] + 0.5, daily["sim"], "s-", **SIM_STYLE)
    bottom.set_title("Daily means")
    for ax in (top, bottom):
        ax.set_xlabel(TIME_LABEL)
        ax.set_ylabel(NEP_LABEL)
        ax.axhline(0, color="grey", lw=0.5)
        ax.legend()
    return _save(fig, path)


def plot_scatter(pairs, path):
    ok = pairs[np.isfinite(pairs["obs"]) & np.isfinite(pairs["sim"])]
    result = stats.fit(ok["obs"], ok["sim"])
    fig, ax = plt.subplots(figsize=(6, 6))
    ax.plot(ok["obs"], ok["sim"], ".", color="tab:green", ms=4)
    both = np.concatenate([ok["obs"], ok["sim"]]) if len(ok) else np.array([0.0, 1.0])
    lo, hi = float(both.min()), float(both.max())
    ax.plot([lo, hi], [lo, hi], "k-", lw=1, label="1:1")
    if result["slope"] == result["slope"]:
        ax.plot([lo, hi], [result["intercept"] + result["slope"] * lo,
                           result["intercept"] + result["slope"] * hi],
                "--", color="tab:blue", lw=1,
                label="fit: %.3g x %+.3g" % (result["slope"], result["intercept"]))
    ax.set_title("R2 = %.4g, n = %d" % (result["r2"], result["n"]))
    ax.set_xlabel("Observed " + NEP_LABEL)
    ax.set_ylabel("Simulated " + NEP_LABEL)
    ax.set_aspect("equal", adjustable="datalim")
    ax.legend()
    return _save(fig, path)


def plot_heat(pairs, path):
    """H and LE: every record, daily means and simulated against observed."""
    fig, axes = plt.subplots(2, 3, figsize=(16, 8), gridspec_kw=dict(width_ratios=[2, 2, 1.2]))
    for row, v in zip(axes, ("h", "le")):
        frame = observed.two_columns(pairs, v)
        daily = stats.daily_means(frame)
        unit = "%s (%s)" % (v.upper(), observed.UNITS[v])
        row[0].plot(frame["time"], frame["obs"], ".", ms=2, **OBS_STYLE)
        row[0].plot(frame["time"], frame["sim"], "-", lw=0.6, **SIM_STYLE)
        row[0].set_title(observed.NAMES[v].capitalize() + ", every record")
        row[1].plot(daily["time"] + 0.5, daily["obs"], "o-", ms=3, **OBS_STYLE)
        row[1].plot(daily["time"] + 0.5, daily["sim"], "s-", ms=3, **SIM_STYLE)
        row[1].set_title("Daily means")
        for ax in row[:2]:
            ax.set_xlabel(TIME_LABEL)
            ax.set_ylabel(unit)
            ax.legend()
        result = stats.fit(frame["obs"], frame["sim"])
        row[2].plot(frame["obs"], frame["sim"], ".", ms=2, color="tab:green")
        both = frame[["obs", "sim"]].dropna().to_numpy()
        if len(both):
            lo, hi = float(both.min()), float(both.max())
            row[2].plot([lo, hi], [lo, hi], "k-", lw=1)
        row[2].set_title("R2 = %.3g, RMSE = %.3g" % (result["r2"], result["rmse"]))
        row[2].set_xlabel("Observed " + unit)
        row[2].set_ylabel("Simulated " + unit)
    return _save(fig, path)


def plot_diurnal(pairs, site, path):
    hour = site["hour"] + site["minute"] / 60.0
    fig, axes = plt.subplots(1, 3, figsize=(14, 4.5))
    nep = pd.DataFrame({"hour": hour, "obs": pairs["obs"], "sim": pairs["sim"]}).groupby("hour").mean()
    axes[0].plot(nep.index, nep["obs"], "o-", ms=3, **OBS_STYLE)
    axes[0].plot(nep.index, nep["sim"], "-", **SIM_STYLE)
    axes[0].set_ylabel(NEP_LABEL)
    axes[0].set_title("Net ecosystem production")
    axes[0].legend()
    # site.csv data columns 3 and 4: sensible and latent heat flux
    for ax, column, v in zip(axes[1:], site.columns[6:8], ("h", "le")):
        if "obs_" + v in pairs and pairs["obs_" + v].notna().any():
            course = observed.diurnal(pairs, v)
            ax.plot(course.index, course["obs"], "o-", ms=3, **OBS_STYLE)
            ax.plot(course.index, course["sim"], "-", **SIM_STYLE)
            ax.set_title(column)
            ax.legend()
        else:
            mean = site[column].groupby(hour).mean()
            ax.plot(mean.index, mean.to_numpy(), "-", color="tab:red")
            ax.set_title(column + ", simulated")
        ax.set_ylabel(label(site, column))
    for ax in axes:
        ax.set_xlabel("Hour of day (end of the averaging interval)")
        ax.set_xlim(0, 24)
        ax.set_xticks(range(0, 25, 3))
        ax.axhline(0, color="grey", lw=0.5)
    return _save(fig, path)


def plot_soil(soil, path):
    temp = [c for c in soil.columns if c.startswith("temperature ")]
    water = [c for c in soil.columns if c.startswith("water content ")]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    colours = plt.cm.viridis(np.linspace(0, 0.9, max(len(temp), 1)))
    for ax, columns, what in ((top, temp, "Soil temperature"), (bottom, water, "Soil water content")):
        for colour, c in zip(colours, columns):
            ax.plot(soil["time"], soil[c], color=colour, label="layer " + c.rsplit(" ", 1)[1])
        if columns:
            ax.set_ylabel("%s (%s)" % (what, soil.attrs["units"][columns[0]]))
        ax.set_title(what + " by layer")
        ax.legend(fontsize="small", ncol=2)
    bottom.set_xlabel(TIME_LABEL)
    return _save(fig, path)


def make_figures(run_dir, forcing_path, out_dir, obs_path=None):
    """Write every figure the run allows into out_dir; returns the paths.
    With obs_path (kelm-forcing --obs) the observed NEP, H and LE come from
    that file."""
    os.makedirs(out_dir, exist_ok=True)
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    if obs_path:
        pairs = observed.pair(site, observed.load(forcing_path, obs_path))
        pairs["obs"], pairs["sim"] = pairs["obs_nep"], pairs["sim_nep"]
    else:
        forcing = reader.read_forcing(forcing_path, max_records=len(site) + 1)
        pairs = stats.pair_nep(site, forcing)
    daily = stats.daily_means(pairs) if pairs["obs"].notna().any() else pd.DataFrame()
    paths = []
    if len(daily):
        paths.append(plot_series(pairs, daily, os.path.join(out_dir, "nep_series.png")))
        paths.append(plot_scatter(pairs, os.path.join(out_dir, "nep_scatter.png")))
    paths.append(plot_diurnal(pairs, site, os.path.join(out_dir, "diurnal.png")))
    if obs_path and observed.observed(pairs, ["h", "le"]):
        paths.append(plot_heat(pairs, os.path.join(out_dir, "heat.png")))
    soil_path = os.path.join(run_dir, "soil.csv")
    if os.path.exists(soil_path):
        soil = reader.read_output(soil_path)
        if len(soil):
            paths.append(plot_soil(soil, os.path.join(out_dir, "soil.png")))
    return paths
