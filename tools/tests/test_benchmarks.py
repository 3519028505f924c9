import math

import numpy as np
import pandas as pd
import pytest

from kelmtools import benchmarks


def synthetic(weeks=16, seed=7):
    """Half-hourly lines with a diurnal shortwave and temperature course;
    time is the continuing day of year as the reader gives it."""
    rng = np.random.default_rng(seed)
    n = weeks * 7 * 48
    time = 152 + (np.arange(n) + 1) / 48.0
    hour = (time % 1) * 24
    sw = np.clip(800 * np.sin(np.pi * (hour - 6) / 12), 0, None) * rng.uniform(0.3, 1.0, n)
    ta = 15 + 6 * np.sin(np.pi * (hour - 9) / 12) + rng.normal(0, 2, n)
    rh = np.clip(0.7 - 0.01 * (ta - 15) + rng.normal(0, 0.05, n), 0, 1)
    return time, pd.DataFrame({"sw_in": sw, "ta": ta, "rh": rh}), rng


@pytest.mark.parametrize("name, coef", [("1lin", [-2.0, 0.05]), ("2lin", [-6.0, 0.04, 0.3])])
def test_benchmarks_recover_a_linear_construction(name, coef):
    time, drivers, rng = synthetic()
    x = drivers[benchmarks.DRIVERS[name]].to_numpy()
    signal = coef[0] + x @ np.array(coef[1:])
    y = signal + rng.normal(0, 4.0, len(time))
    fitted = benchmarks.fit(name, x, y)["coef"]
    # slopes within 0.01, and every coefficient within three standard errors of the noise
    a = np.column_stack([np.ones(len(x)), x])
    se = 4.0 * np.sqrt(np.diag(np.linalg.inv(a.T @ a)))
    assert fitted[1:] == pytest.approx(coef[1:], abs=0.01) and (abs(fitted - coef) < 3 * se).all()
    # scored on the weeks left out, every benchmark explains what the construction does
    built = np.var(signal) / (np.var(signal) + 16.0)
    pairs = pd.DataFrame({"time": time, "obs_nep": y, "sim_nep": signal})
    y[::50] = math.nan  # missing observations are left out of fitting and scoring
    scores = benchmarks.score(pairs.assign(obs_nep=y), drivers, ["nep"])["nep"]
    for model in benchmarks.BENCHMARKS:
        assert scores[model]["r2"] == pytest.approx(built, abs=0.01), model
        assert scores[model]["n"] == len(y) - len(y[::50])
    assert scores["kelm"]["r2"] == pytest.approx(built, abs=0.01)


def test_folds_and_training_period():
    time = 182 + np.arange(1, 28 * 48 + 1) / 48.0          # lines closing days 182 .. 209 (00:00 of 210)
    (fit_a, score_a), (fit_b, score_b) = benchmarks.folds(time)
    day = np.floor(time - 1e-6).astype(int)
    assert (fit_a == score_b).all() and (fit_a != fit_b).all()
    assert sorted(set(day[fit_a])) == list(range(182, 189)) + list(range(196, 203))
    [(fit, score)] = benchmarks.folds(time, (190, 199))
    assert sorted(set(day[fit])) == list(range(190, 200)) and (score == ~fit).all()
    # clusters: a piecewise-linear flux is followed closely by 3km27, less by one line
    _, drivers, rng = synthetic(weeks=8)
    x = drivers.to_numpy()
    y = np.where(x[:, 1] > 15, 0.05 * x[:, 0], -0.02 * x[:, 0] + 3 * x[:, 2]) + rng.normal(0, 0.5, len(x))
    model = benchmarks.fit("3km27", x, y)
    assert len(model["centroids"]) == benchmarks.CLUSTERS
    r = [np.corrcoef(y, benchmarks.predict(m, x[:, :k]))[0, 1] ** 2
         for m, k in ((benchmarks.fit("1lin", x[:, :1], y), 1), (model, 3))]
    assert r[1] > r[0] + 0.05 and r[1] > 0.9


def test_metric_set_worked_by_hand():
    # o = 1 2 3 4, m = 2 2 4 7; the pair with a NaN is left out
    r = benchmarks.metrics([1, 2, math.nan, 3, 4], [2, 2, 5, 4, 7])
    assert [r[k] for k in benchmarks.METRICS] == pytest.approx([
        4, 289 / 335, math.sqrt(11 / 4), 5 / 4,
        5 / 4,                       # sum |m - o| = 5 over sum |o - 2.5| = 4
        math.sqrt(4.1875 / 1.25),    # population SDs of m and o
        2.0 - 1.15,                  # 5th percentiles, linear between ranks: 2 and 1 + 0.15
        6.55 - 3.85], rel=1e-12)     # 95th: 4 + 0.85 * 3 and 3 + 0.85
    flat = benchmarks.metrics([2, 2, 2], [1, 2, 3])
    assert math.isnan(flat["nme"]) and math.isnan(flat["r2"]) and math.isnan(flat["sd_ratio"])
    result = {"kelm": r, "1lin": dict(r, r2=0.9, bias=-1.0, nme=2.0), "2lin": dict(r, sd_ratio=1.0, nme=1.25),
              "3km27": dict(r, nme=math.nan, r2=math.nan)}
    ranks = benchmarks.ranks(result)
    assert ranks["r2"] == {"1lin": 1, "kelm": 2.5, "2lin": 2.5, "3km27": 4}
    assert ranks["bias"]["1lin"] == 1 and ranks["sd_ratio"]["2lin"] == 1
    assert benchmarks.beaten(result) == ["1lin", "3km27"]  # a tie does not count as beating
