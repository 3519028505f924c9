"""Empirical benchmarks of a run: what the tower's own weather predicts of its
fluxes, to tell whether the model adds anything.

Three benchmarks for each flux (NEP, H, LE), fitted by least squares on part
of the records and applied to the rest:
    1lin    a linear regression on shortwave radiation
    2lin    a linear regression on shortwave radiation and air temperature
    3km27   27 k-means clusters of shortwave, air temperature and relative
            humidity (each scaled to unit standard deviation), and a linear
            regression on the three in each cluster

By default they are fitted on alternate weeks and scored on the weeks left
out (two folds: even weeks predict odd ones and the other way round); with a
training period they are fitted on its days and scored on the other days.
The model is scored on the same records.  The drivers of site.csv line k are
those of forcing record k + 1, the record whose span the line closes.
"""

import math
import os
import warnings

import numpy as np
import pandas as pd
from scipy.cluster.vq import kmeans2, vq

from . import observed, reader, stats

BENCHMARKS = ["1lin", "2lin", "3km27"]
MODEL = "kelm"
MODELS = [MODEL] + BENCHMARKS
DRIVERS = {"1lin": ["sw_in"], "2lin": ["sw_in", "ta"], "3km27": ["sw_in", "ta", "rh"]}
CLUSTERS = 27
SEED = 27
METRICS = ["n", "r2", "rmse", "bias", "nme", "sd_ratio", "p5_diff", "p95_diff"]
METRIC_LABELS = {"n": "n", "r2": "R2", "rmse": "RMSE", "bias": "bias (m - o)",
                 "nme": "NME", "sd_ratio": "SD ratio (m / o)", "p5_diff": "5th pct (m - o)",
                 "p95_diff": "95th pct (m - o)"}
# How far a metric's value is from a perfect fit, for ranking: smaller is better.
DISTANCE = {"r2": lambda v: 1.0 - v, "rmse": abs, "bias": abs, "nme": abs,
            "sd_ratio": lambda v: abs(v - 1.0), "p5_diff": abs, "p95_diff": abs}
RANKED = list(DISTANCE)
WEEK = 7


def relative_humidity(ta, vpd):
    """Relative humidity (0..1) from air temperature (degC) and vapour
    pressure deficit (kPa), with the Magnus saturation pressure."""
    es = 0.6108 * np.exp(17.27 * ta / (ta + 237.3))
    return np.clip(1.0 - vpd / es, 0.0, 1.0)


def drivers(forcing, n):
    """Frame sw_in, ta, rh of the forcing records that lines 0..n-1 of site.csv close."""
    f = forcing.iloc[1:n + 1].reset_index(drop=True)
    return pd.DataFrame({"sw_in": f["sw_in"].to_numpy(dtype=float), "ta": f["ta"].to_numpy(dtype=float),
                         "rh": relative_humidity(f["ta"].to_numpy(dtype=float), f["vpd"].to_numpy(dtype=float))})


# -- fitting ---------------------------------------------------------------------

def fit_linear(x, y):
    """Least-squares coefficients [intercept, slope per column of x]."""
    a = np.column_stack([np.ones(len(x)), x])
    coef, *_ = np.linalg.lstsq(a, y, rcond=None)
    return coef


def predict_linear(coef, x):
    return coef[0] + np.asarray(x, dtype=float) @ coef[1:]


def fit(name, x, y, seed=SEED):
    """A fitted benchmark (a dict) of drivers x (rows, columns as DRIVERS[name]) and fluxes y."""
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    if len(y) < x.shape[1] + 1:
        raise ValueError("%s needs at least %d training records, has %d" % (name, x.shape[1] + 1, len(y)))
    overall = fit_linear(x, y)
    if name != "3km27":
        return {"name": name, "coef": overall}
    mean, sd = x.mean(axis=0), x.std(axis=0)
    sd[sd == 0] = 1.0
    z = (x - mean) / sd
    k = min(CLUSTERS, len(np.unique(z, axis=0)))
    with warnings.catch_warnings():
        # an empty cluster keeps its seed and predicts with the overall line
        warnings.simplefilter("ignore")
        centroids, labels = kmeans2(z, k, seed=seed, minit="++")
    coefs = []
    for c in range(len(centroids)):
        inside = labels == c
        # a cluster too small for a regression of its own takes the overall one
        coefs.append(fit_linear(x[inside], y[inside]) if inside.sum() > 2 * (x.shape[1] + 1) else overall)
    return {"name": name, "coef": overall, "mean": mean, "sd": sd, "centroids": centroids,
            "coefs": np.array(coefs)}


def predict(model, x):
    x = np.asarray(x, dtype=float)
    if "centroids" not in model:
        return predict_linear(model["coef"], x)
    labels, _ = vq((x - model["mean"]) / model["sd"], model["centroids"])
    coefs = model["coefs"][labels]
    return coefs[:, 0] + np.sum(coefs[:, 1:] * x, axis=1)


def folds(time, train=None):
    """[(fit mask, score mask)] over the lines: alternate weeks counted from the
    first line's day, or one fold that fits on the days of year train=(first,
    last) and scores on the others."""
    day = np.floor(np.asarray(time, dtype=float) - stats.HALF_MINUTE).astype(np.int64)
    if train is None:
        even = ((day - day[0]) // WEEK) % 2 == 0 if len(day) else np.zeros(0, dtype=bool)
        return [(even, ~even), (~even, even)]
    first, last = train
    doy = (day - 1) % 365 + 1
    inside = (doy >= first) & (doy <= last) if first <= last else (doy >= first) | (doy <= last)
    return [(inside, ~inside)]


def benchmark_predictions(pairs, driver_frame, v, train=None, seed=SEED, names=BENCHMARKS):
    """{benchmark: predictions of flux v on every line} (NaN where not scored)."""
    obs = pairs["obs_" + v].to_numpy(dtype=float)
    known = np.isfinite(obs)
    result = {}
    for name in names:
        x = driver_frame[DRIVERS[name]].to_numpy(dtype=float)
        prediction = np.full(len(obs), math.nan)
        for fit_mask, score_mask in folds(pairs["time"], train):
            use = fit_mask & known
            # too few records to fit on: the other fold's lines stay unscored
            if use.sum() <= len(DRIVERS[name]) or not score_mask.any():
                continue
            model = fit(name, x[use], obs[use], seed)
            prediction[score_mask] = predict(model, x[score_mask])
        result[name] = prediction
    return result


# -- metrics ---------------------------------------------------------------------

def metrics(obs, sim):
    """The metric set of sim against obs over the pairs where both are finite."""
    obs, sim = np.asarray(obs, dtype=float), np.asarray(sim, dtype=float)
    ok = np.isfinite(obs) & np.isfinite(sim)
    o, m = obs[ok], sim[ok]
    result = dict.fromkeys(METRICS, math.nan)
    result["n"] = len(o)
    if len(o) == 0:
        return result
    d = m - o
    result["rmse"] = float(np.sqrt(np.mean(d * d)))
    result["bias"] = float(np.mean(d))
    spread = float(np.sum(np.abs(o - o.mean())))
    if spread > 0:
        result["nme"] = float(np.sum(np.abs(d))) / spread
    so, sm = float(np.std(o)), float(np.std(m))
    if so > 0:
        result["sd_ratio"] = sm / so
        if sm > 0:
            result["r2"] = float(np.corrcoef(o, m)[0, 1]) ** 2
    result["p5_diff"] = float(np.percentile(m, 5) - np.percentile(o, 5))
    result["p95_diff"] = float(np.percentile(m, 95) - np.percentile(o, 95))
    return result


def score(pairs, driver_frame, variables, train=None, seed=SEED):
    """{flux: {model: metrics}} for the model and the benchmarks, each over the
    lines where the benchmarks have a prediction and the flux is observed."""
    result = {}
    for v in variables:
        predictions = benchmark_predictions(pairs, driver_frame, v, train, seed)
        scored = np.isfinite(predictions[BENCHMARKS[0]])
        obs = np.where(scored, pairs["obs_" + v].to_numpy(dtype=float), math.nan)
        result[v] = {MODEL: metrics(obs, pairs["sim_" + v])}
        result[v].update({name: metrics(obs, predictions[name]) for name in BENCHMARKS})
    return result


def run_benchmarks(run_dir, forcing_path, obs_path=None, train=None, seed=SEED):
    """Benchmarks of a run: (scores as of score(), pairs, driver frame)."""
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    pairs = observed.pair(site, observed.load(forcing_path, obs_path))
    forcing = reader.read_forcing(forcing_path, max_records=len(site) + 1)
    frame = drivers(forcing, len(site))
    return score(pairs, frame, observed.observed(pairs), train, seed), pairs, frame


def beaten(result):
    """Benchmarks whose normalised mean error is above the model's."""
    mine = result[MODEL]["nme"]
    return [b for b in BENCHMARKS if mine == mine and not result[b]["nme"] <= mine]


def ranks(result):
    """{metric: {model: rank}}: 1 for the best of the model and the benchmarks;
    ties share the mean rank, an undefined value ranks last."""
    table = {}
    for metric in RANKED:
        distance = pd.Series({m: DISTANCE[metric](result[m][metric]) for m in MODELS})
        table[metric] = distance.rank(method="average", na_option="bottom").to_dict()
    return table


def long_table(scores):
    """Frame flux, model, metric, value."""
    rows = [(v, m, k, scores[v][m][k]) for v in scores for m in MODELS for k in METRICS]
    return pd.DataFrame(rows, columns=["flux", "model", "metric", "value"])


def format_tables(scores, train=None):
    how = ("fitted on days %d to %d, scored on the others" % train if train
           else "fitted on alternate weeks, scored on the weeks left out")
    lines = []
    for v, result in scores.items():
        lines.append("%s (%s, %s) against the benchmarks, %s"
                     % (observed.NAMES[v].capitalize(), v.upper(), observed.UNITS[v], how))
        lines.append("%-18s" % "" + "".join("%12s" % m for m in MODELS))
        for k in METRICS:
            lines.append("%-18s" % METRIC_LABELS[k]
                         + "".join("%12s" % stats.format_value(k, result[m][k]) for m in MODELS))
        beats = beaten(result)
        lines.append("%s: the model beats %s (lower normalised mean error)"
                     % (v.upper(), ", ".join(beats) if beats else "no benchmark"))
        lines.append("")
    return "\n".join(lines)
