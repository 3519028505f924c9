import argparse
import csv
import fcntl
import shutil

import numpy as np
import pandas as pd

import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, make_base, tool
from kelmtools import calibrate as calibration, paramfile


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


RANGES = "file:key,low,high\ntree.leaf.par:_vmax,20,120\n"


@pytest.fixture(scope="module")
def calibrated(tmp_path_factory):
    """A base and a calibration of one run (the defaults) done in it."""
    tmp = tmp_path_factory.mktemp("cal")
    (tmp / "ranges.csv").write_text(RANGES)
    assert calibration.main(arguments(make_base(FAKE_KELM, tmp), tmp / "ranges.csv", tmp / "out", budget=1)) == 0
    return tmp


def arguments(base, ranges, out, **change):
    values = dict(base=str(base), forcing=EXAMPLE_FORCING, ranges=str(ranges), out=str(out), calibrate="185:185",
                  validate="186:187", target="nep", metric="rmse", budget=3, seed=3, jobs=1, obs=None, kelm=FAKE_KELM)
    return argparse.Namespace(**dict(values, **change))


def snapshot(out):
    return out.exists() and {str(f.relative_to(out)): f.read_bytes() for f in out.rglob("*") if f.is_file()}


@pytest.mark.parametrize("change, files, message", [
    ({"budget": 0}, {}, "--budget needs at least one run"),
    ({"jobs": 0}, {}, "--jobs needs at least 1"),
    ({}, {"ranges.csv": RANGES + "root.fine.par:_re25,1,inf\n"}, "_re25 needs finite numbers low and .*'inf'"),
    ({"calibrate": "1:10"}, {}, "--calibrate 1:10: no record of .*input.txt in these days"),
    ({"validate": "190:200"}, {}, "--validate 190:200: no record of"),
    # in the --out of the finished calibration
    ({"out": "out"}, {"out/calibrate.lock": "LOCKED"}, "out is in use by another kelm-calibrate"),
    ({"out": "out"}, {"out/history.csv": "run,status\n"}, "history.csv line 1: the header differs"),
    ({"out": "out"}, {"out/history.csv": "+1,ok\n"}, r"history.csv line 3 is damaged: 2 fields instead of 15"),
    ({"out": "out"}, {"out/history.csv": "2,ok,,1,x" + ",1" * 10 + "\n"}, "line 3 is damaged: a run number, status"),
    # every run fails: the base's _vmax fails the initialisation and the range holds only such values
    ({"out": "new"}, {"base/tree.leaf.par": "_vmax -1\n", "ranges.csv": RANGES.replace("20,120", "-40,-1")},
     r"every run failed or gave no statistic \(3 runs; the first said: .*tree.leaf.par: Bad leaf _vmax value.\)"),
])
def test_calibration_refuses_before_it_writes_and_reads_its_history_with_care(calibrated, tmp_path, change, files,
                                                                                message):
    shutil.copytree(calibrated, tmp_path, dirs_exist_ok=True)
    change = dict(change)
    out = tmp_path / change.pop("out", "new")
    for path, text in ((tmp_path / name, text) for name, text in files.items() if text != "LOCKED"):
        path.write_text(path.read_text() + text if path.name == "history.csv" and "1" in text else text)
    before = snapshot(out)
    with open(tmp_path / "out" / "calibrate.lock") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX if "out/calibrate.lock" in files else fcntl.LOCK_UN)
        with pytest.raises(ValueError, match=message):
            calibration.main(arguments(tmp_path / "base", tmp_path / "ranges.csv", out, **change))
    if "every run" in message:
        assert not (out / "report.csv").exists() and not (out / "best").exists()
    else:
        assert snapshot(out) == before


def test_a_sum_of_fluxes_adds_rmses_divided_by_the_spread_of_their_observations():
    cal = calibration.Calibration.__new__(calibration.Calibration)
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
    with pytest.raises(calibration.CalibrationError, match="observed NEP does not vary in the validation period"):
        cal.observed_spread()
