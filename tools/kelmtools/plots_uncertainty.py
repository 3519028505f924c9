"""PNG figures of the uncertainty tools: bar charts of sensitivity indices,
trace plots and pairwise scatter of a Markov chain, posterior predictive
bands.  Drawn with matplotlib's Agg backend, so no display is needed."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from . import observed  # noqa: E402

LABELS = {"mu_star": "mu* (mean |elementary effect|)", "sigma": "sigma of the effects",
          "S1": "first-order S1", "ST": "total ST"}


def _save(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def plot_indices(method, table, output, path):
    """Bars of each parameter's indices of one output, with their 95 % intervals."""
    wanted = ["mu_star", "sigma"] if method == "morris" else ["S1", "ST"]
    parameters = list(dict.fromkeys(table["parameter"]))
    x = np.arange(len(parameters))
    width = 0.8 / len(wanted)
    fig, ax = plt.subplots(figsize=(max(5.0, 1.4 * len(parameters) + 2), 4.2))
    for k, name in enumerate(wanted):
        rows = table[table["index"] == name].set_index("parameter").reindex(parameters)
        value = rows["value"].to_numpy(dtype=float)
        low, high = rows["low"].to_numpy(dtype=float), rows["high"].to_numpy(dtype=float)
        interval = np.isfinite(low).all()
        err = np.clip([value - low, high - value], 0, None) if interval else None
        ax.bar(x + (k - (len(wanted) - 1) / 2) * width, value, width, yerr=err, capsize=3,
               label=LABELS[name] + (" (95 % interval)" if interval else ""))
    ax.set_xticks(x)
    ax.set_xticklabels(parameters, rotation=20, ha="right", fontsize=8)
    ax.axhline(0, color="grey", lw=0.5)
    ax.set_title("%s: %s" % ("Morris screening" if method == "morris" else "Sobol indices", output))
    ax.legend(fontsize=8)
    return _save(fig, path)


def plot_trace(chain, log_prob, names, burn, path):
    """Each parameter's value per step for every walker (chain: steps, walkers, params)."""
    fig, axes = plt.subplots(len(names) + 1, 1, figsize=(9, 1.8 * (len(names) + 1)), sharex=True)
    for ax, values, name in zip(axes, list(np.moveaxis(chain, 2, 0)) + [log_prob], names + ["log posterior"]):
        ax.plot(values, lw=0.6, alpha=0.6)
        ax.axvline(burn - 0.5, color="black", ls="--", lw=0.8)
        ax.set_ylabel(name, fontsize=8)
    axes[-1].set_xlabel("step (dashed: end of the burn-in)")
    return _save(fig, path)


def plot_pairs(samples, names, path, truth=None):
    """Pairwise scatter of the posterior samples, histograms on the diagonal."""
    d = len(names)
    fig, axes = plt.subplots(d, d, figsize=(2.2 * d + 1, 2.2 * d + 1), squeeze=False)
    for i in range(d):
        for j in range(d):
            ax = axes[i, j]
            if j > i:
                ax.axis("off")
                continue
            if i == j:
                ax.hist(samples[:, i], bins=30, color="tab:blue")
            else:
                ax.plot(samples[:, j], samples[:, i], ".", ms=2, alpha=0.4)
            if truth is not None:
                ax.axvline(truth[j], color="tab:red", lw=0.8)
            if j == 0 and i > 0:
                ax.set_ylabel(names[i], fontsize=7)
            if i == d - 1:
                ax.set_xlabel(names[j], fontsize=7)
            ax.tick_params(labelsize=6)
    return _save(fig, path)


def plot_predictive(bands, coverage, with_error, path):
    """For each flux, the observations and the 5-95 % band over the period;
    the band of a flux outside the likelihood holds the parameters' spread only."""
    fluxes = list(bands)
    fig, axes = plt.subplots(len(fluxes), 1, figsize=(11, 3.0 * len(fluxes)), squeeze=False)
    for ax, v in zip(axes[:, 0], fluxes):
        band = bands[v]
        ax.fill_between(band["time"], band["q05"], band["q95"], color="tab:green", alpha=0.35, lw=0,
                        label="5-95 % posterior predictive" if with_error[v] else
                        "5-95 % of the simulated flux (no error model: not in the likelihood)")
        ax.plot(band["time"], band["q50"], "-", color="tab:green", lw=0.7, label="median")
        ax.plot(band["time"], band["obs"], ".", color="black", ms=2, label="observed")
        ax.set_ylabel("%s (%s)" % (v.upper(), observed.UNITS[v]))
        ax.set_title("%s: %.0f %% of the observations inside the band" % (observed.NAMES[v].capitalize(),
                                                                           100 * coverage[v]), fontsize=9)
        ax.legend(fontsize=7, loc="upper right")
    axes[-1, 0].set_xlabel("Day of year (continues past 365)")
    return _save(fig, path)
