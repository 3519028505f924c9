import os
import subprocess

import pandas as pd
import pytest

from conftest import EXAMPLE_FORCING, REPO, TOOLS, run_kelm, tool
from kelmtools import ensemble, runner


def make_base(kelm, tmp_path):
    """Base parameter files as kelm writes them with its defaults."""
    scratch = tmp_path / "scratch"
    status, console = run_kelm(kelm, EXAMPLE_FORCING, scratch)
    assert status == 0, console
    base = tmp_path / "base"
    base.mkdir()
    for entry in os.listdir(scratch):
        if entry.endswith(".par"):
            (base / entry).write_bytes((scratch / entry).read_bytes())
    return base


def summary(out):
    return pd.read_csv(out / "summary.csv").set_index("name")


def test_run_list_and_latin_hypercube(tmp_path):
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax,site.par:_dt\na,40.50,\nb,60,30\n")
    assert ensemble.read_runs(tmp_path / "runs.csv") == [
        ("a", {("tree.leaf.par", "_vmax"): "40.50"}),
        ("b", {("tree.leaf.par", "_vmax"): "60", ("site.par", "_dt"): "30"})]
    (tmp_path / "bad.csv").write_text("name,_vmax\na,1\n")
    with pytest.raises(ensemble.EnsembleError, match="file:key"):
        ensemble.read_runs(tmp_path / "bad.csv")

    (tmp_path / "ranges.csv").write_text("file:key,low,high\ntree.leaf.par:_vmax,20,80\nsoil.par:_x,0,1\n")
    runs = ensemble.latin_hypercube(10, tmp_path / "ranges.csv", seed=4)
    assert runs == ensemble.latin_hypercube(10, tmp_path / "ranges.csv", seed=4)
    assert runs != ensemble.latin_hypercube(10, tmp_path / "ranges.csv", seed=5)
    assert [name for name, _ in runs][:2] == ["run01", "run02"]
    vmax = sorted(float(v[("tree.leaf.par", "_vmax")]) for _, v in runs)
    x = sorted(float(v[("soil.par", "_x")]) for _, v in runs)
    # one value in each tenth of each range
    assert [int((v - 20) / 6) for v in vmax] == list(range(10))
    assert [int(v * 10) for v in x] == list(range(10))


def test_ensemble_with_a_failing_variant_and_rerun(kelm, tmp_path):
    base = make_base(kelm, tmp_path)
    out = tmp_path / "out"
    runs = tmp_path / "runs.csv"
    if kelm.endswith("fake_kelm.py"):
        columns = "tree.leaf.par:_vmax", "40", "60", "-1"
        bad_message = "/bad/tree.leaf.par: Bad leaf _vmax value."
    else:
        columns = "site.par:_dt", "30", "60", "7"   # 1800 s is no multiple of 7 s
        bad_message = "Error: data interval and dt not compatible."
    runs.write_text("name,%s,site.par:_nokey\nlow,%s,\nhigh,%s,\nbad,%s,\nnokey,%s,3\n"
                    % (columns[0], columns[1], columns[2], columns[3], columns[1]))
    args = ["kelm-ensemble", "--base", base, "--forcing", EXAMPLE_FORCING, "--out", out,
            "--runs", runs, "--jobs", "2", "--kelm", kelm]
    p = tool(*args)
    assert p.returncode == 0, p.stderr
    table = summary(out)
    assert list(table.index[:2]) == sorted(["low", "high"], key=lambda n: table.loc[n, "rmse"])
    for name in ("low", "high"):
        assert table.loc[name, "status"] == "ok" and table.loc[name, "n"] == 141
        assert abs(table.loc[name, "r2"] - table.loc[name, "r2_kelm"]) <= 1e-6
    assert table.loc["bad", "status"] == "failed"
    assert table.loc["bad", "message"].endswith(bad_message)
    assert int(table.loc["bad", "exit"]) in (0, 2)
    assert table.loc["nokey", "status"] == "setup failed"
    assert table.loc["nokey", "message"] == "site.par: no entry for key _nokey"
    assert "bad" in p.stdout and bad_message in p.stdout

    # the run directory differs from the base in the one edited line only
    file_name, key = columns[0].split(":")
    base_lines = (base / file_name).read_bytes().split(b"\n")
    run_lines = (out / "high" / file_name).read_bytes().split(b"\n")
    diff = [(a, b) for a, b in zip(base_lines, run_lines) if a != b]
    assert len(base_lines) == len(run_lines) and len(diff) == 1
    assert diff[0][1] == diff[0][0].replace(diff[0][0].split()[1], columns[2].encode(), 1)

    # a rerun skips what has finished and redoes what changed
    stamps = {n: os.stat(out / n / "kelm.status").st_mtime_ns for n in ("low", "high", "bad")}
    runs.write_text(runs.read_text().replace("high,%s," % columns[2], "high,%s," % columns[1]))
    p = tool(*args)
    assert p.returncode == 0, p.stderr
    assert "4 runs: 1 to run, 2 already finished, 1 could not be prepared" in p.stderr
    assert os.stat(out / "low" / "kelm.status").st_mtime_ns == stamps["low"]
    assert os.stat(out / "bad" / "kelm.status").st_mtime_ns == stamps["bad"]
    assert os.stat(out / "high" / "kelm.status").st_mtime_ns != stamps["high"]
    again = summary(out)
    assert again.loc["high", "rmse"] == pytest.approx(again.loc["low", "rmse"])


def test_slurm_script_runs_the_listed_runs(tmp_path):
    base = make_base(os.path.join(TOOLS, "tests", "fake_kelm.py"), tmp_path)
    out = tmp_path / "out"
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\nr2,40\nr3,50\n")
    args = ["kelm-ensemble", "--base", base, "--forcing", EXAMPLE_FORCING, "--out", out,
            "--runs", tmp_path / "runs.csv", "--kelm", os.path.join(TOOLS, "tests", "fake_kelm.py")]
    p = tool(*(args + ["--slurm", "--jobs", "2"]))
    assert p.returncode == 0, p.stderr
    script = (out / "slurm.sh").read_text()
    assert "#SBATCH --array=1-3%2\n" in script
    jobs = (out / "jobs.txt").read_text().splitlines()
    assert jobs == [str(out / n / "run.sh") for n in ("r1", "r2", "r3")]
    assert not (out / "r1" / "kelm.status").exists()
    # what one array task does
    env = dict(os.environ, SLURM_ARRAY_TASK_ID="2")
    subprocess.run(["bash", str(out / "slurm.sh")], env=env, check=True, cwd=REPO)
    assert (out / "r2" / "kelm.status").read_text() == "0\n"
    assert not (out / "r1" / "kelm.status").exists()
    p = tool(*(args + ["--collect"]))
    table = summary(out)
    assert table["status"].to_dict() == {"r2": "ok", "r1": "not run", "r3": "not run"}
    # the next script covers the two runs still to do
    p = tool(*(args + ["--slurm"]))
    assert "#SBATCH --array=1-2\n" in (out / "slurm.sh").read_text()
    assert (out / "jobs.txt").read_text().split() == [str(out / n / "run.sh") for n in ("r1", "r3")]


def test_shipped_examples_parse():
    runs = ensemble.read_runs(os.path.join(TOOLS, "examples", "runs.csv"))
    assert dict(runs)["broken"][("tree.leaf.par", "_vmax")] == "-1"
    sample = ensemble.latin_hypercube(3, os.path.join(TOOLS, "examples", "ranges.csv"), 1)
    assert sorted(sample[0][1]) == [("root.fine.par", "_re25"), ("tree.leaf.par", "_g1"),
                                    ("tree.leaf.par", "_vmax")]


def test_outcome_and_program_lookup(tmp_path, monkeypatch):
    banner = "\nKelmora version 1.02\n\nUsage:\n  kelm.exe [input_file_name output_path_name]\n\n"
    done = banner + "day 185\nCorrelation: 0.5\n\nFinished. Press any key to end.\n"
    assert runner.outcome(done, 0) == (True, "", 0.5)
    # a failed initialisation ends with the message and may still exit with 0
    assert runner.outcome(banner + "io/site.par: Bad time step.", 0) == (False, "io/site.par: Bad time step.", None)
    assert runner.outcome(banner + "day 185\n", 139) == (False, "no error message", None)

    fake = os.path.join(TOOLS, "tests", "fake_kelm.py")
    monkeypatch.setenv("KELM", fake)
    assert runner.find_kelm() == fake
    assert runner.find_kelm(fake) == fake
    with pytest.raises(FileNotFoundError, match="--kelm names"):
        runner.find_kelm(str(tmp_path / "none"))
    monkeypatch.setenv("KELM", str(tmp_path / "none"))
    with pytest.raises(FileNotFoundError, match="KELM names"):
        runner.find_kelm()
