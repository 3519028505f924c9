import fcntl
import os
import re
import shlex
import signal
import subprocess
import time

import pandas as pd
import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, TOOLS, run_kelm, tool
from kelmtools import cli, ensemble, paramfile, runner


def ens(base, out, runs, kelm, *more, popen=False):
    args = ["--base", base, "--forcing", EXAMPLE_FORCING, "--out", out, "--kelm", kelm, *more]
    args += ["--runs", runs] if "--sample" not in more and "--runs" not in more else []
    if not popen:
        return tool("kelm-ensemble", *args)
    return subprocess.Popen(["/usr/bin/python3", os.path.join(TOOLS, "kelm-ensemble")] + args,
                            start_new_session=True, stderr=subprocess.PIPE, text=True)


def summary(out):
    return pd.read_csv(out / "summary.csv").set_index("name")


def test_run_lists_and_latin_hypercube(tmp_path):
    for text, message in [("name,_vmax\na,1\n", "column '_vmax' is not of the form file:key"),
                          ("name,../x:_k\na,1\n", "not of the form"), ("name,x:_k\n-a,1\n", "run name '-a'"),
                          ("name,x:_k\na\x1b[2J" + "b" * 300 + ",1\n", "name 'a?[2J" + "b" * 195 + "...'")]:
        (tmp_path / "bad.csv").write_text(text)
        with pytest.raises(ensemble.EnsembleError, match=re.escape(message)):
            ensemble.read_runs(tmp_path / "bad.csv")
    runs = ensemble.latin_hypercube(10, os.path.join(TOOLS, "examples", "ranges.csv"), seed=4)
    for (col, low, high) in [(("tree.leaf.par", "_vmax"), 40, 110), (("root.fine.par", "_re25"), 0.75, 3)]:
        # one value in each tenth of each range
        assert sorted(int((float(v[col]) - low) / (high - low) * 10) for _, v in runs) == list(range(10))


def test_ensemble_statuses_exit_codes_and_rerun(kelm, tmp_path):
    base, out, runs = tmp_path / "base", tmp_path / "out", tmp_path / "runs.csv"
    assert run_kelm(kelm, EXAMPLE_FORCING, base)[0] == 0   # base files: kelm's defaults
    # a part left by an earlier run of the base: the runs are scored on their own part
    head = "".join(line for line in open(base / "site.csv") if line[0] == "#")
    (base / "site.csv.1").write_text(head + "1,0,30,1,2,3,4\n")
    column, bad, bad_message = ("tree.leaf.par:_vmax", "-1", "/bad/tree.leaf.par: Bad leaf _vmax value.") \
        if kelm == FAKE_KELM else ("site.par:_dt", "7", "Error: data interval and dt not compatible.")
    runs.write_text("name,%s,site.par:_nokey,site.par:_type,tree.leaf.par:_g1\nlow,30\nhigh,60\nbad,%s\n"
                    "nokey,30,3\nshell,30,,,$(echo)\npath,30,,,../../x\nint,30,,0.5\n" % (column, bad))
    p = ens(base, out, runs, kelm, "--jobs", "2")
    table = summary(out)
    assert p.returncode == 3 and table.index[2] == "bad" and table["message"]["bad"].endswith(bad_message), p.stderr
    assert table["rmse"][:2].is_monotonic_increasing and set(table["n"][:2]) == {141} and bad_message in p.stdout
    assert abs(table["r2"] - table["r2_kelm"])[:2].max() <= 2e-6 and table["exit"]["bad"] in (0, 2)
    assert table.iloc[2:][["status", "message"]].values.tolist() == [["failed", table["message"]["bad"]]] + [
        ["setup failed", m] for m in ["site.par: no entry for key _nokey",
                                      "tree.leaf.par: _g1 needs a finite number, not '$(echo)'",
                                      "tree.leaf.par: _g1 needs a finite number, not '../../x'",
                                      "site.par: _type needs an integer, not '0.5'"]]
    # the run directory differs from the base in the one edited line only
    key = column.split(":")[1].encode()
    a, b = ((d / column.split(":")[0]).read_bytes().split(b"\n") for d in (base, out / "high"))
    assert len(a) == len(b) and [(x, y) for x, y in zip(a, b) if x != y] == [
        (x, x.replace(x.split()[1], b"60", 1)) for x in a if x.split()[:1] == [key]]
    # a list sent again: a finished run with other values only with --force, which skips what has
    # finished and redoes what changed; the runs of the first list stay in the table
    stamps = [os.stat(out / n / "kelm.status").st_mtime_ns for n in ("low", "high")]
    before = (out / "summary.csv").read_text()
    runs.write_text("name,%s\nlow,30\nhigh,30\n" % column)
    p = ens(base, out, runs, kelm)
    assert p.returncode == 1 and "1 finished run would get other values (high)" in p.stderr
    assert (out / "summary.csv").read_text() == before
    p = ens(base, out, runs, kelm, "--force")
    assert p.returncode == 3 and "2 runs: 1 to run, 1 already finished, 0 could not be prepared" in p.stderr
    assert [os.stat(out / n / "kelm.status").st_mtime_ns == s for n, s in zip(("low", "high"), stamps)] == [True, False]
    assert len(summary(out)) == 7 and summary(out)["rmse"]["high"] == pytest.approx(summary(out)["rmse"]["low"])


def test_slurm_script_quotes_hostile_paths_and_collect_sees_each_state(tmp_path):
    (tmp_path / "base").mkdir()
    (tmp_path / "base" / "tree.leaf.par").write_text("_vmax 50 ->rate\n")
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\nr2,40\nr3,50\n")
    for out in ["x'$(touch PWNED)';touch PWNED;'", "%A %a\\$HOME"]:
        out = tmp_path / out
        args = (tmp_path / "base", out, tmp_path / "runs.csv", FAKE_KELM)
        p = ens(*args, "--slurm", "--jobs", "2")
        assert p.returncode == 0 and "submit it with: sbatch %s\n" % shlex.quote(str(out / "slurm.sh")) in p.stdout
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
        ens(*args, "--slurm")
        assert "#SBATCH --array=1-2\n" in (out / "slurm.sh").read_text()
        assert (out / "jobs.txt").read_text().splitlines() == [str(out / r / "run.sh") for r in ("r1", "r3")]


def test_slurm_arrays_of_at_most_1000_tasks_and_writes_that_name_their_file(tmp_path, capsys):
    scripts = [str(tmp_path / ("run%d.sh" % i)) for i in range(1, 2502)]
    for i in (1000, 1007, 2501):
        (tmp_path / ("run%d.sh" % i)).write_text('echo "$0" > %s\n' % (tmp_path / "ran"))
    paths = ensemble.write_slurm(str(tmp_path), scripts, jobs=4)
    assert [os.path.basename(p) for p in paths] == ["slurm.sh", "slurm-2.sh", "slurm-3.sh"]
    assert "2501 runs exceed the 1000 tasks of one Slurm job array: split into 3 arrays" in capsys.readouterr().err
    for path, array, task in zip(paths, ["1-1000%4", "1-1000%4", "1-501%4"], [1000, 7, 501]):
        assert "#SBATCH --array=%s\n" % array in open(path).read()
        subprocess.run(["bash", path], env=dict(os.environ, SLURM_ARRAY_TASK_ID=str(task)), check=True)
        assert (tmp_path / "ran").read_text() == scripts[paths.index(path) * 1000 + task - 1] + "\n"
    assert ensemble.write_slurm(str(tmp_path), scripts[:5]) == [paths[0]] and not os.path.exists(paths[1])
    with pytest.raises(OSError, match="/dev/full: No space left on device"):
        cli.write_file("/dev/full", "a full disk")


SAME = '{"base": "%s", "forcing": "%s", "keys": ["tree.leaf.par:_vmax"]}'


@pytest.mark.parametrize("out, extra, setup, message", [
    ("new\nline", [], {}, r"--out .*new\?line holds a line break"),
    ("cr\rx", [], {}, r"--out .*cr\?x holds a line break"),
    ("o", ["--sample", "1000000000", "--ranges", "r"], {}, "--sample needs 1 to 1000000 runs"),
    ("o", ["--jobs", "0"], {}, "--jobs needs at least 1"),
    ("o", ["--collect"], {}, "holds no ensemble to collect"),
    ("o", [], {"notes.txt": "mine"}, "is not empty and holds no ensemble; .* or --force"),
    ("o", [], {"ensemble.json": '{"base": "/elsewhere"}', "runs.csv": "name\nold\n"}, "holds a different ensemble"),
    ("o", [], {"ensemble.json": SAME, "r1/kelm.log": "mine"}, "o/r1 exists and is no ensemble run directory"),
    ("o", [], {"ensemble.json": SAME, "ensemble.lock": ""}, "in use by another kelm-ensemble"),
    ("o", [], {"ensemble.json": SAME, "runs.csv": "name,tree.leaf.par:_vmax\nr1,20\n", "r1/kelm.status": "2\n",
               "r1/edits.txt": "tree.leaf.par:_vmax=20\n"}, r"1 finished run would get other values \(r1\)"),
    ("o", ["--runs", "OUT/long.csv"], {"long.csv": "name,tree.leaf.par:_vmax\n%s,1\n" % ("a" * 256)},
     "run name '%s...' is 256 characters long; a file name holds at most 255" % ("a" * 40)),
    ("/".join(["d" * 250] * 15), ["--runs", "OUT/r.csv"], {"r.csv": "name\n%s\n" % ("r" * 255)}, "path too long"),
])
def test_refusals_leave_out_untouched(tmp_path, out, extra, setup, message):
    base, out = tmp_path / "base", tmp_path / out
    extra = [a.replace("OUT", str(out)) for a in extra]
    base.mkdir()
    (base / "tree.leaf.par").write_text("_vmax 50 ->rate\n")
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\n")
    for name, text in setup.items():
        (out / name).parent.mkdir(parents=True, exist_ok=True)
        (out / name).write_text(text.replace("%s", str(base), 1).replace("%s", EXAMPLE_FORCING))
    before = {f: (out / f).read_text() for f in setup}
    with open(out / "ensemble.lock" if "ensemble.lock" in setup else base / "tree.leaf.par") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        p = ens(base, out, tmp_path / "runs.csv", FAKE_KELM, *extra)
    assert p.returncode == 1 and re.search("kelm-ensemble: (error: )?.*" + message, p.stderr.splitlines()[-1])
    assert sorted(before) == sorted(str(f.relative_to(out)) for f in out.rglob("*") if f.is_file()) \
        and before == {f: (out / f).read_text() for f in before} and (setup or not os.path.lexists(out))
    if "different" in message:
        assert ens(base, out, tmp_path / "runs.csv", FAKE_KELM, "--force").returncode == 0


def test_interrupt_then_resume(tmp_path):
    base, out = tmp_path / "base", tmp_path / "out"
    base.mkdir()
    (tmp_path / "runs.csv").write_text("name\nr1\nr2\n")
    (tmp_path / "slow.sh").write_text('#!/bin/sh\n[ -e %s ] || sleep 30\nexec %s "$@"\n' % (tmp_path / "go", FAKE_KELM))
    (tmp_path / "slow.sh").chmod(0o755)
    p = ens(base, out, tmp_path / "runs.csv", tmp_path / "slow.sh", popen=True)
    while not (out / "r2" / "run.lock").exists() and p.poll() is None:
        time.sleep(0.1)
    os.killpg(p.pid, signal.SIGINT)   # Ctrl-C reaches the whole process group
    assert p.wait(30) == 130 and not (out / "r1" / "kelm.status").exists()
    assert p.stderr.read().splitlines()[-1] == "kelm-ensemble: interrupted; run the same command again to resume"
    (tmp_path / "go").touch()
    assert ens(base, out, tmp_path / "runs.csv", tmp_path / "slow.sh").returncode == 0


@pytest.mark.parametrize("console, status, expected", [
    ("day 185\nCorrelation: 0.5\n\nFinished. Press any key to end.\n", 0, (True, "", 0.5)),
    ("io/site.par: Bad time step.", 0, (False, "io/site.par: Bad time step.", None)),  # may exit with 0
    ("day 185\n", 139, (False, "no error message", None))])
def test_outcome_of_a_run(console, status, expected):
    assert runner.outcome("\nKelmora version 1.02\n\nUsage:\n  kelm.exe [in out]\n\n" + console, status) == expected


LEAF = (b"Parameters (name, value, remark):\n"
        b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)\n"
        b"_vmax2     7    ->a key that only starts like _vmax\n"
        b"_jmax      100    ->remark naming _vmax 3\n"
        b"_g1,9.5, comma form\n"
        b"  _gd   0.1    ->VPD coefficient \r\n"
        b"_vpd      1    ->use VPD\n")


def test_only_the_value_words_of_the_named_lines_change():
    after = paramfile.set_values(LEAF, {"_vmax": "61.25", "_g1": "4", "_gd": "1e-3"})
    assert [(a, b) for a, b in zip(LEAF.split(b"\n"), after.split(b"\n")) if a != b] == [
        (b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)",
         b"_vmax      61.25\t->maximum carboxylation rate (umol m-2 s-1)"),
        (b"_g1,9.5, comma form", b"_g1,4, comma form"),
        (b"  _gd   0.1    ->VPD coefficient \r", b"  _gd   1e-3    ->VPD coefficient \r")]
    # a repeated key changes every entry, because the last one counts
    assert paramfile.set_values(b"_dt 10 ->a\n_dt 20 ->b\n", {"_dt": "60"}) == b"_dt 60 ->a\n_dt 60 ->b\n"


@pytest.mark.parametrize("text, values, message", [
    (LEAF, {"_vm": "1"}, "tree.leaf.par: no entry for key _vm"),
    (b"_x 1 ->_remark 2\n", {"_remark": "3"}, "no entry for key _remark"),
    (LEAF, {"_vmax": "5 6"}, "_vmax needs a finite number, not '5 6'"),
    *[(LEAF, {"_vmax": v}, "_vmax needs a finite number") for v in ("1e999", "nan", "0x10", "../../x", "", "1,5")],
    (LEAF, {"_vmax": "\x1b[2J" + "9" * 300}, "not '?[2J" + "9" * 196 + "...'"),
    *[(LEAF, {"_vpd": v}, "_vpd needs an integer, not '%s'" % v) for v in ("1.0", "1e3", "2147483648")],
])
def test_values_that_kelm_would_misread_and_missing_keys_are_errors(text, values, message):
    with pytest.raises((paramfile.KeyNotFound, ValueError)) as e:
        paramfile.set_values(text, values, "tree.leaf.par")
    assert message in str(e.value)
    assert paramfile.set_values(b"_dt 10\n_vmax 1\n", {"_dt": "-2147483648", "_vmax": "+.5e-3"}) == \
        b"_dt -2147483648\n_vmax +.5e-3\n"
