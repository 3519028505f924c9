"""Sensitivity indices and Bayesian calibration: estimators on a function of
known indices, and a twin experiment on the model itself."""
import itertools
import os

import numpy as np
import pandas as pd
import pytest

from conftest import EXAMPLE_FORCING as FORCING, FAKE_KELM, run_kelm, tool
from kelmtools import paramfile, reader, sensitivity

A, B = 7.0, 0.1


def ishigami(u):
    x = -np.pi + 2 * np.pi * np.asarray(u)
    return np.sin(x[:, 0]) + A * np.sin(x[:, 1]) ** 2 + B * x[:, 2] ** 4 * np.sin(x[:, 0])


def test_estimators_reproduce_the_indices_of_the_ishigami_function():
    # Sobol: V_1 = (1 + b pi^4 / 5)^2 / 2, V_2 = a^2 / 8, V_13 = 8 b^2 pi^8 / 225 (Ishigami and Homma 1990)
    v = A * A / 8 + B * np.pi ** 4 / 5 + B * B * np.pi ** 8 / 18 + 0.5
    v1, v2, v13 = 0.5 * (1 + B * np.pi ** 4 / 5) ** 2, A * A / 8, 8 * B * B * np.pi ** 8 / 225
    known = {"S1": np.array([v1, v2, 0]) / v, "ST": np.array([v1 + v13, v2, v13]) / v}
    points = sensitivity.design_points("sobol", 1024, 3, seed=1)
    rows = sensitivity.indices("sobol", points, ishigami(points), 3, seed=1)
    for i, name, value, low, high in rows:
        exact = known[name][i]
        assert low <= exact <= high and high - low < 0.25, (i, name, value, low, high)
    assert len(rows) == 6
    # Morris: the exact mu* of the four-level grid is the mean |effect| over all its pairs of points
    levels, delta = np.arange(4) / 3, 2 / 3
    exact = []
    for i in range(3):
        lower = np.array([p for p in itertools.product(levels, repeat=3) if p[i] < 0.5])
        upper = lower.copy()
        upper[:, i] += delta
        exact.append(np.mean(np.abs(ishigami(upper) - ishigami(lower))) / delta)
    design = sensitivity.morris_design(50, 3, seed=1)
    assert np.allclose(np.abs(np.diff(design, axis=1)).sum(axis=2), delta)    # one factor per step
    r = sensitivity.morris_indices(sensitivity.elementary_effects(design, ishigami(design.reshape(-1, 3)).reshape(
        50, 4)), seed=1)
    low, high = r["mu_star_interval"]
    assert np.all((low - 1e-9 <= exact) & (exact <= high + 1e-9)), (exact, low, high)


TRUTH = {("tree.leaf.par", "_vmax"): 50.0, ("root.fine.par", "_re25"): 2.0}
NOISE = {"nep": 1.0, "h": 15.0, "le": 10.0}


@pytest.fixture(scope="module")
def twin(tmp_path_factory):
    """Six summer days, _physics 1 at _dt 60; observations: the run at TRUTH
    plus Gaussian errors of the sizes NOISE."""
    kelm = os.environ.get("KELM")
    if not kelm or not os.access(kelm, os.X_OK):
        pytest.skip("set KELM to a built kelm for the twin experiment")
    kelm, tmp = os.path.abspath(kelm), tmp_path_factory.mktemp("twin")
    forcing, base, truth = tmp / "forcing.txt", tmp / "base", tmp / "truth"
    assert tool("make_forcing.py", 181, 6, 30, 5, "-o", forcing).returncode == 0
    assert run_kelm(kelm, forcing, base)[0] == 0
    for entry in os.listdir(base):
        if not entry.endswith(".par"):
            os.remove(base / entry)
    paramfile.edit_file(base / "site.par", {"_dt": "60", "_physics": "1"})
    truth.mkdir()
    for entry in os.listdir(base):
        (truth / entry).write_bytes((base / entry).read_bytes())
    for (file_name, key), value in TRUTH.items():
        paramfile.edit_file(truth / file_name, {key: "%g" % value})
    assert run_kelm(kelm, forcing, truth)[0] == 0
    site = reader.read_output(truth / "site.csv")
    records = reader.read_forcing(forcing)
    obs = records[["day", "hour", "minute"]].copy()
    obs.insert(0, "timestamp", "0")
    rng = np.random.default_rng(7)
    for v, column in (("nep", None), ("h", 6), ("le", 7)):
        sim = site.iloc[:, 4] - site.iloc[:, 5] if column is None else site.iloc[:, column]
        obs[v] = np.concatenate([[np.nan], sim.to_numpy() + rng.normal(0, NOISE[v], len(site))])
    obs.to_csv(tmp / "obs.csv", index=False, na_rep="NaN")
    ranges = tmp / "ranges.csv"
    ranges.write_text("file:key,low,high\ntree.leaf.par:_vmax,20,110\nroot.fine.par:_re25,1,3\n")
    return dict(kelm=kelm, tmp=tmp, forcing=forcing, base=base, obs=tmp / "obs.csv", ranges=ranges)


def test_twin_sensitivity_ranks_the_dominant_parameter_first(twin):
    common = ["--base", twin["base"], "--forcing", twin["forcing"], "--obs", twin["obs"], "--ranges",
              twin["ranges"], "--kelm", twin["kelm"], "--jobs", 2]
    out = twin["tmp"] / "morris"
    p = tool("kelm-sensitivity", *common, "--out", out, "--method", "morris", "--n", 4)
    assert p.returncode == 0, p.stdout + p.stderr
    table = pd.read_csv(out / "indices.csv")
    mu_star = table[(table["index"] == "mu_star") & (table["output"] == "rmse_nep")]
    assert mu_star.sort_values("value")["parameter"].tolist() == ["root.fine.par:_re25", "tree.leaf.par:_vmax"]
    # root respiration moves neither heat flux
    assert table[(table["parameter"] == "root.fine.par:_re25") & table["output"].isin(["mean_h", "mean_le"])][
        "value"].abs().max() == 0
    assert (out / "rmse_nep.png").exists() and (out / "mean_le.png").exists()
    # the same command again runs nothing and gives the same indices
    p = tool("kelm-sensitivity", *common, "--out", out, "--method", "morris", "--n", 4)
    assert "0 to run" in p.stderr and pd.read_csv(out / "indices.csv").equals(table)


def test_twin_posterior_holds_the_truth_and_its_band_the_observations(twin):
    out = twin["tmp"] / "mcmc"
    args = ["--base", twin["base"], "--forcing", twin["forcing"], "--obs", twin["obs"], "--ranges",
            twin["ranges"], "--kelm", twin["kelm"], "--jobs", 2, "--out", out, "--calibrate", "181:183",
            "--validate", "184:186", "--method", "mcmc", "--sigma", "nep=%g" % NOISE["nep"],
            "--walkers", 8, "--steps", 30, "--draws", 16]
    p = tool("kelm-calibrate", *args)
    assert p.returncode == 0, p.stdout + p.stderr
    summary = pd.read_csv(out / "posterior_summary.csv").set_index("parameter")
    for (file_name, key), value in TRUTH.items():
        row = summary.loc["%s:%s" % (file_name, key)]
        assert row["q05"] <= value <= row["q95"], summary
    # cut short in step 19: the same command completes the chain as it was, from the history
    chain = (out / "chain.csv").read_text()
    lines = chain.splitlines(keepends=True)
    (out / "chain.csv").write_text("".join(lines[:1 + 18 * 8 + 2]) + lines[1 + 18 * 8 + 2][:9])
    p = tool("kelm-calibrate", *args)
    assert "resuming the chain at step 18 of 30" in p.stdout and "runs (0 new)" in p.stdout, p.stdout
    assert (out / "chain.csv").read_text() == chain
    band = pd.read_csv(out / "predictive.csv")
    nep = band[band["flux"] == "nep"].dropna()
    inside = ((nep["obs"] >= nep["q05"]) & (nep["obs"] <= nep["q95"])).mean()
    assert 0.85 <= inside <= 0.95 and len(nep) == 143


@pytest.mark.parametrize("more, message", [
    (["--sigma", "le=3"], "--sigma le=3: le is not in --target nep"),
    (["--sigma", "nep=-1"], "--sigma nep=-1: give FLUX=SIGMA pairs with positive numbers"),
    (["--target", "nep+le", "--walkers", "4"], "--walkers 4: give an even number of at least 6 (twice the 3 parameters)"),
    (["--steps", "10", "--burn", "10"], "--burn 10: give 0 or more, and fewer than --steps 10"),
])
def test_sampler_options_are_refused_before_anything_is_written(tmp_path, more, message):
    (tmp_path / "ranges.csv").write_text("file:key,low,high\ntree.leaf.par:_vmax,20,110\n")
    (tmp_path / "base").mkdir()
    p = tool("kelm-calibrate", "--base", tmp_path / "base", "--forcing", FORCING, "--ranges", tmp_path / "ranges.csv",
             "--out", tmp_path / "out", "--calibrate", "185:185", "--validate", "186:187", "--kelm", FAKE_KELM,
             "--method", "mcmc", *more)
    assert p.returncode == 1 and message in p.stderr and not (tmp_path / "out").exists(), p.stderr
