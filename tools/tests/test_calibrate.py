import csv

import pytest

from conftest import EXAMPLE_FORCING, make_base, tool
from kelmtools import paramfile


def calibrate(base, out, ranges, kelm, jobs):
    return tool("kelm-calibrate", "--base", base, "--forcing", EXAMPLE_FORCING, "--ranges", ranges,
                "--out", out, "--calibrate", "185:185", "--validate", "186:187", "--budget", 11,
                "--seed", 3, "--jobs", jobs, "--kelm", kelm)


def rows(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def test_calibration_is_reproducible_and_reuses_its_history(kelm, tmp_path):
    base = make_base(kelm, tmp_path)
    ranges = tmp_path / "ranges.csv"
    ranges.write_text("file:key,low,high\ntree.leaf.par:_vmax,-40,120\ntree.leaf.par:_jmax,50,150\n")
    p = calibrate(base, tmp_path / "a", ranges, kelm, 2)
    assert p.returncode == 0, p.stderr
    # five members (the defaults among them) and one generation: 10 of the 11 runs
    assert [line.split(":")[0] for line in p.stdout.splitlines() if line.startswith("generation")] == \
        ["generation 0", "generation 1"]
    assert "generation 1: 10 runs done (10 new, 0 from the history)" in p.stdout
    history = rows(tmp_path / "a" / "history.csv")
    assert len(history) == 10
    assert history[0]["tree.leaf.par:_vmax"] == paramfile.get_value(base / "tree.leaf.par", "_vmax")
    report = rows(tmp_path / "a" / "report.csv")
    assert list(report[0]) == ["run", "period", "variable", "n", "r2", "rmse", "bias", "nse"]
    assert [(r["run"], r["period"], r["variable"], r["n"]) for r in report] == [
        ("default", "calibration", "nep", "47"), ("default", "validation", "nep", "94"),
        ("best", "calibration", "nep", "47"), ("best", "validation", "nep", "94")]
    assert float(report[2]["rmse"]) <= float(report[0]["rmse"])
    best = min(history, key=lambda r: float(r["objective"]))
    assert "%.6g" % float(best["calibration_nep_rmse"]) == report[2]["rmse"]
    assert paramfile.get_value(tmp_path / "a" / "best" / "tree.leaf.par", "_vmax") == best["tree.leaf.par:_vmax"]

    # one run at a time, in another directory: the same result
    p = calibrate(base, tmp_path / "b", ranges, kelm, 1)
    assert (tmp_path / "b" / "report.csv").read_text() == (tmp_path / "a" / "report.csv").read_text()
    # again in the first directory: every run comes from the history
    p = calibrate(base, tmp_path / "a", ranges, kelm, 2)
    assert "generation 1: 10 runs done (0 new, 10 from the history)" in p.stdout
    assert len(rows(tmp_path / "a" / "history.csv")) == 10
    (base / "tree.leaf.par").write_text((base / "tree.leaf.par").read_text() + "\n")
    p = calibrate(base, tmp_path / "a", ranges, kelm, 2)
    assert p.returncode == 1 and "holds a calibration with other base files" in p.stderr


def test_a_sum_of_fluxes_adds_rmses_divided_by_the_spread_of_their_observations():
    from kelmtools import calibrate
    import numpy as np
    import pandas as pd
    cal = calibrate.Calibration.__new__(calibrate.Calibration)
    # hourly rows of days 10 and 11; line k closes row k + 1, so day 10's lines are rows 1..24
    cal.obs = pd.DataFrame({"day": [10] * 24 + [11] * 24 + [12], "hour": list(range(24)) * 2 + [0],
                            "minute": 0, "nep": [0.0] + [1.0, 3.0] * 12 + [9.0, 11.0] * 12,
                            "le": [0.0] + [100.0, 300.0] * 12 + [np.nan, 50.0, np.nan, 150.0] * 6})
    cal.periods, cal.target, cal.metric = {"calibration": (10, 10), "validation": (11, 11)}, ["nep", "le"], "rmse"
    cal.spread = cal.observed_spread()
    assert cal.spread == {"calibration": {"nep": 1.0, "le": 100.0}, "validation": {"nep": 1.0, "le": 50.0}}
    row = {"status": "ok", "calibration_nep_rmse": 2.0, "calibration_le_rmse": 50.0}
    assert cal.objective(row) == 2.5 and cal.metric_name() == "rmse/sd"
    cal.obs.loc[25:, "nep"] = 9.0
    with pytest.raises(calibrate.CalibrationError, match="observed NEP does not vary in the validation period"):
        cal.observed_spread()
