import fcntl
import os
import re
import signal
import subprocess
import time

import pandas as pd
import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, TOOLS, run_kelm, tool
from kelmtools import ensemble, runner


def make_base(kelm, tmp_path):
    """Base parameter files as kelm writes them with its defaults."""
    status, console = run_kelm(kelm, EXAMPLE_FORCING, tmp_path / "scratch")
    assert status == 0, console
    (tmp_path / "base").mkdir()
    for entry in os.listdir(tmp_path / "scratch"):
        if entry.endswith(".par"):
            (tmp_path / "base" / entry).write_bytes((tmp_path / "scratch" / entry).read_bytes())
    return tmp_path / "base"


def ens(base, out, runs, kelm, *more):
    return tool("kelm-ensemble", "--base", base, "--forcing", EXAMPLE_FORCING, "--out", out,
                *(["--runs", runs] if "--sample" not in more else []), "--kelm", kelm, *more)


def summary(out):
    return pd.read_csv(out / "summary.csv").set_index("name")


def test_run_lists_and_latin_hypercube(tmp_path):
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax,site.par:_dt\na,40.50,\nb,60,30\n")
    assert ensemble.read_runs(tmp_path / "runs.csv") == [
        ("a", {("tree.leaf.par", "_vmax"): "40.50"}),
        ("b", {("tree.leaf.par", "_vmax"): "60", ("site.par", "_dt"): "30"})]
    for text, message in [("name,_vmax\na,1\n", "column '_vmax' is not of the form file:key"),
                          ("name,../x:_k\na,1\n", "not of the form"),
                          ("name,x:_k\n-a,1\n", "bad or repeated run name '-a'"),
                          ("name,x:_k\na\x1b[2J" + "b" * 300 + ",1\n", "name 'a?[2J" + "b" * 195 + "...'")]:
        (tmp_path / "bad.csv").write_text(text)
        with pytest.raises(ensemble.EnsembleError, match=re.escape(message)):
            ensemble.read_runs(tmp_path / "bad.csv")

    ranges = os.path.join(TOOLS, "examples", "ranges.csv")
    runs = ensemble.latin_hypercube(10, ranges, seed=4)
    assert runs == ensemble.latin_hypercube(10, ranges, seed=4) != ensemble.latin_hypercube(10, ranges, seed=5)
    assert [name for name, _ in runs][:2] == ["run01", "run02"]
    for (col, low, high) in [(("tree.leaf.par", "_vmax"), 40, 110), (("root.fine.par", "_re25"), 0.75, 3)]:
        # one value in each tenth of each range
        assert sorted(int((float(v[col]) - low) / (high - low) * 10) for _, v in runs) == list(range(10))
    assert dict(ensemble.read_runs(os.path.join(TOOLS, "examples", "runs.csv")))["broken"] == {
        ("tree.leaf.par", "_vmax"): "-1", ("tree.leaf.par", "_g1"): "5.6"}


def test_ensemble_statuses_exit_codes_and_rerun(kelm, tmp_path):
    base, out, runs = make_base(kelm, tmp_path), tmp_path / "out", tmp_path / "runs.csv"
    if kelm == FAKE_KELM:
        column, bad, bad_message = "tree.leaf.par:_vmax", "-1", "/bad/tree.leaf.par: Bad leaf _vmax value."
    else:
        column, bad, bad_message = "site.par:_dt", "7", "Error: data interval and dt not compatible."
    runs.write_text("name,%s,site.par:_nokey,site.par:_type,tree.leaf.par:_g1\nlow,30\nhigh,60\nbad,%s\n"
                    "nokey,30,3\nshell,30,,,$(echo)\npath,30,,,../../x\nint,30,,0.5\n" % (column, bad))
    p = ens(base, out, runs, kelm, "--jobs", "2")
    assert p.returncode == 3, p.stderr
    table = summary(out)
    assert list(table.index[:2]) == sorted(["low", "high"], key=lambda n: table.loc[n, "rmse"])
    for name in ("low", "high"):
        assert table.loc[name, "status"] == "ok" and table.loc[name, "n"] == 141
        assert abs(table.loc[name, "r2"] - table.loc[name, "r2_kelm"]) <= 2e-6
    assert table.loc["bad", "status"] == "failed" and table.loc["bad", "message"].endswith(bad_message)
    assert table.loc[["nokey", "shell", "path", "int"], "message"].tolist() == [
        "site.par: no entry for key _nokey", "tree.leaf.par: _g1 needs a finite number, not '$(echo)'",
        "tree.leaf.par: _g1 needs a finite number, not '../../x'", "site.par: _type needs an integer, not '0.5'"]
    assert set(table.loc[["nokey", "shell", "path", "int"], "status"]) == {"setup failed"}
    assert bad_message in p.stdout

    # the run directory differs from the base in the one edited line only
    file_name = column.split(":")[0]
    diff = [(a, b) for a, b in zip((base / file_name).read_bytes().split(b"\n"),
                                   (out / "high" / file_name).read_bytes().split(b"\n")) if a != b]
    assert diff == [(diff[0][0], diff[0][0].replace(diff[0][0].split()[1], b"60", 1))]

    # a rerun skips what has finished and redoes what changed; all ok: status 0
    stamps = {n: os.stat(out / n / "kelm.status").st_mtime_ns for n in ("low", "high")}
    runs.write_text("name,%s\nlow,30\nhigh,30\n" % column)
    p = ens(base, out, runs, kelm)
    assert p.returncode == 0, p.stderr
    assert "2 runs: 1 to run, 1 already finished, 0 could not be prepared" in p.stderr
    assert os.stat(out / "low" / "kelm.status").st_mtime_ns == stamps["low"] != stamps["high"]
    assert summary(out).loc["high", "rmse"] == pytest.approx(summary(out).loc["low", "rmse"])


def test_slurm_script_quotes_hostile_paths_and_collect_sees_each_state(tmp_path):
    base = make_base(FAKE_KELM, tmp_path)
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\nr2,40\nr3,50\n")
    for out in ["x'$(touch PWNED)';touch PWNED;'", "%A %a\\$HOME"]:
        out = tmp_path / out
        args = (base, out, tmp_path / "runs.csv", FAKE_KELM)
        p = ens(*args, "--slurm", "--jobs", "2")
        assert p.returncode == 0, p.stderr
        assert "#SBATCH --array=1-3%2\n" in (out / "slurm.sh").read_text()
        assert (out / "jobs.txt").read_text().splitlines() == [str(out / r / "run.sh") for r in ("r1", "r2", "r3")]
        subprocess.run(["bash", out / "slurm.sh"], env=dict(os.environ, SLURM_ARRAY_TASK_ID="2"), cwd=tmp_path)
        assert (out / "r2" / "kelm.status").read_text() == "0\n" and not (tmp_path / "PWNED").exists()
        assert os.listdir(out / "slurm-logs") == ["_2.out"]
        with open(out / "r1" / "run.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            assert ens(*args, "--collect").returncode == 3
            assert subprocess.run(["sh", out / "r1" / "run.sh"]).returncode == ensemble.BUSY_STATUS
        assert summary(out)["status"].to_dict() == {"r2": "ok", "r1": "running", "r3": "not run"}
        p = ens(*args, "--slurm")
        assert "#SBATCH --array=1-2\n" in (out / "slurm.sh").read_text()
        assert (out / "jobs.txt").read_text().splitlines() == [str(out / r / "run.sh") for r in ("r1", "r3")]


@pytest.mark.parametrize("out, extra, setup, message", [
    ("new\nline", [], None, r"--out .*new\?line holds a line break"),
    ("cr\rx", [], None, r"--out .*cr\?x holds a line break"),
    ("o", ["--sample", "1000000000", "--ranges", "r"], None, "--sample needs 1 to 1000000 runs"),
    ("o", ["--jobs", "0"], None, "--jobs needs at least 1"),
    ("o", ["--collect"], None, "holds no ensemble to collect"),
    ("o", [], {"notes.txt": "mine"}, "is not empty and holds no ensemble; .* or --force"),
    ("o", [], {"ensemble.json": '{"base": "/elsewhere"}', "runs.csv": "name\nold\n"}, "holds a different ensemble"),
    ("o", [], {"ensemble.json": "SAME", "r1/kelm.log": "mine"}, "o/r1 exists and is no ensemble run directory"),
    ("o", [], {"ensemble.json": "SAME", "ensemble.lock": "LOCKED"}, "in use by another kelm-ensemble"),
])
def test_refusals_leave_out_untouched(tmp_path, out, extra, setup, message):
    base, out = tmp_path / "base", tmp_path / out
    base.mkdir()
    (base / "tree.leaf.par").write_text("_vmax 50 ->rate\n")
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\n")
    identity = '{"base": "%s", "forcing": "%s", "keys": ["tree.leaf.par:_vmax"]}' % (base, EXAMPLE_FORCING)
    for name, text in (setup or {}).items():
        (out / name).parent.mkdir(parents=True, exist_ok=True)
        (out / name).write_text(identity if text == "SAME" else text)
    before = {f: (out / f).read_text() for f in (setup or {})}
    args = [base, out, tmp_path / "runs.csv", FAKE_KELM]
    lock = open(out / "ensemble.lock") if "ensemble.lock" in before else None
    if lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
    p = ens(*args, *extra)
    assert p.returncode == 1 and "Traceback" not in p.stderr
    assert re.search("kelm-ensemble: (error: )?.*" + message, p.stderr.splitlines()[-1]), p.stderr
    assert (setup or not out.exists()) and sorted(before) == sorted(str(f.relative_to(out)) for f in out.rglob("*") if f.is_file()) \
        and before == {f: (out / f).read_text() for f in before}
    if setup and "different" in message:
        assert ens(*args, "--force").returncode == 0 and summary(out).loc["r1", "status"] == "ok"


def test_interrupt_then_resume(tmp_path):
    base, out = make_base(FAKE_KELM, tmp_path), tmp_path / "out"
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\nr2,40\n")
    slow = tmp_path / "slow.sh"
    slow.write_text("#!/bin/sh\n[ -e %s ] || sleep 30\nexec %s \"$@\"\n" % (tmp_path / "fast", FAKE_KELM))
    slow.chmod(0o755)
    args = ["/usr/bin/python3", os.path.join(TOOLS, "kelm-ensemble"), "--base", base, "--forcing",
            EXAMPLE_FORCING, "--out", out, "--runs", tmp_path / "runs.csv", "--kelm", slow]
    p = subprocess.Popen(args, start_new_session=True, stderr=subprocess.PIPE, text=True)
    while not (out / "r2" / "run.lock").exists():
        time.sleep(0.1)
    time.sleep(0.5)
    os.killpg(p.pid, signal.SIGINT)   # Ctrl-C reaches the whole process group
    assert p.wait(30) == 130
    assert p.stderr.read().splitlines()[-1] == "kelm-ensemble: interrupted; run the same command again to resume"
    assert not (out / "r1" / "kelm.status").exists()
    (tmp_path / "fast").touch()
    assert subprocess.run(args).returncode == 0


def test_outcome_and_program_lookup(tmp_path, monkeypatch):
    banner = "\nKelmora version 1.02\n\nUsage:\n  kelm.exe [input_file_name output_path_name]\n\n"
    for console, status, expected in [
            (banner + "day 185\nCorrelation: 0.5\n\nFinished. Press any key to end.\n", 0, (True, "", 0.5)),
            # a failed initialisation ends with the message and may still exit with 0
            (banner + "io/site.par: Bad time step.", 0, (False, "io/site.par: Bad time step.", None)),
            (banner + "day 185\n", 139, (False, "no error message", None))]:
        assert runner.outcome(console, status) == expected
    monkeypatch.setenv("KELM", FAKE_KELM)
    assert runner.find_kelm() == runner.find_kelm(FAKE_KELM) == FAKE_KELM
    with pytest.raises(FileNotFoundError, match="--kelm names"):
        runner.find_kelm(str(tmp_path / "none"))
    monkeypatch.setenv("KELM", str(tmp_path / "none"))
    with pytest.raises(FileNotFoundError, match="KELM names"):
        runner.find_kelm()
