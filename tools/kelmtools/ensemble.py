"""Run many variants of a site and collect their statistics.

Layout of the output directory:
    runs.csv            the run list (name, file:key columns), as used
    NAME/               one directory per run: the base files with the run's
                        values, kelm's output files, and
        edits.txt       the run's values, one "file:key=value" per line
        run.sh          the command that runs kelm in this directory
        kelm.log        kelm's console output; kelm.err its error output
        kelm.status     kelm's exit status, written when kelm has ended
        setup.err       why the run could not be prepared (a missing key)
    jobs.txt            the run.sh paths still to run (GNU parallel or Slurm)
    parallel.log        GNU parallel's job log
    slurm.sh            with --slurm: the job-array script
    summary.csv         the collected table, sorted by RMSE
"""

import csv
import math
import os
import re
import shlex
import shutil
import subprocess
import sys

import pandas as pd
from scipy.stats import qmc

from . import paramfile, runner, stats

NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")
SIGNAL_STATUS = 128


class EnsembleError(Exception):
    pass


def split_column(column):
    """"tree.leaf.par:_vmax" -> ("tree.leaf.par", "_vmax")."""
    file_name, sep, key = column.partition(":")
    file_name, key = file_name.strip(), key.strip()
    if not sep or not file_name or not key or "/" in file_name or "\\" in file_name or file_name.startswith("."):
        raise EnsembleError("column %r is not of the form file:key" % column)
    return file_name, key


def read_runs(path):
    """Read a run list: [(name, {(file, key): value text})], values verbatim;
    an empty cell keeps the base file's value."""
    with open(path, newline="") as f:
        rows = [row for row in csv.reader(f) if any(c.strip() for c in row)]
    if not rows or rows[0][0].strip() != "name":
        raise EnsembleError("%s: the first column must be 'name'" % path)
    columns = [split_column(c) for c in rows[0][1:]]
    runs, names = [], set()
    for row in rows[1:]:
        name = row[0].strip()
        if not NAME.match(name) or name in names:
            raise EnsembleError("%s: bad or repeated run name %r" % (path, name))
        names.add(name)
        values = {col: cell.strip() for col, cell in zip(columns, row[1:]) if cell.strip()}
        runs.append((name, values))
    return runs


def read_ranges(path):
    """[((file, key), low, high)] of a file with the columns file:key,low,high;
    a key "_lai*" stands for a factor on every "_laiN" of its file."""
    ranges = pd.read_csv(path, dtype=str, skipinitialspace=True)
    if list(ranges.columns[:3]) != ["file:key", "low", "high"]:
        raise EnsembleError("%s: columns must be file:key,low,high" % path)
    result = []
    for _, row in ranges.iterrows():
        col = split_column(row["file:key"])
        low, high = float(row["low"]), float(row["high"])
        if not high >= low:
            raise EnsembleError("%s: %s has high below low" % (path, row["file:key"]))
        result.append((col, low, high))
    return result


def latin_hypercube(n, ranges_path, seed):
    """n runs drawn as a Latin-hypercube sample over the key ranges of a
    file with the columns file:key, low, high: each key's range is cut into
    n equal strata and every stratum is used once."""
    ranges = read_ranges(ranges_path)
    if n < 1:
        raise EnsembleError("--sample needs at least one run")
    u = qmc.LatinHypercube(d=len(ranges), seed=seed).random(n)
    width = len(str(n))
    return [("run%0*d" % (width, i + 1),
             {col: "%.6g" % (low + u[i, j] * (high - low)) for j, (col, low, high) in enumerate(ranges)})
            for i in range(n)]


def write_runs(runs, path):
    columns = []
    for _, values in runs:
        for col in values:
            if col not in columns:
                columns.append(col)
    with open(path, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["name"] + ["%s:%s" % c for c in columns])
        for name, values in runs:
            w.writerow([name] + [values.get(c, "") for c in columns])


def edits_text(values):
    return "".join("%s:%s=%s\n" % (f, k, v) for (f, k), v in sorted(values.items()))


def read_text(path, default=None):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return default


def is_finished(run_dir, values):
    """True when kelm has ended in run_dir (successfully or with a model
    error) with the same values; a run killed by a signal is not finished."""
    status = read_text(os.path.join(run_dir, "kelm.status"))
    if status is None or read_text(os.path.join(run_dir, "edits.txt")) != edits_text(values):
        return False
    try:
        return 0 <= int(status) < SIGNAL_STATUS
    except ValueError:
        return False


def prepare(run_dir, base, values, kelm, forcing):
    """Make the run directory afresh: base files, the run's values, run.sh.
    Returns an error message (and writes setup.err) when a key is missing."""
    if os.path.isdir(run_dir):
        if not os.path.exists(os.path.join(run_dir, "edits.txt")) and os.listdir(run_dir):
            raise EnsembleError("%s exists and is no ensemble run directory" % run_dir)
        shutil.rmtree(run_dir)
    os.makedirs(run_dir)
    for entry in sorted(os.listdir(base)):
        src = os.path.join(base, entry)
        if os.path.isfile(src):
            shutil.copy2(src, os.path.join(run_dir, entry))
    with open(os.path.join(run_dir, "edits.txt"), "w") as f:
        f.write(edits_text(values))
    by_file = {}
    for (file_name, key), value in values.items():
        by_file.setdefault(file_name, {})[key] = value
    try:
        for file_name, keys in sorted(by_file.items()):
            path = os.path.join(run_dir, file_name)
            if not os.path.isfile(path):
                raise paramfile.KeyNotFound("%s: no such file in the base directory" % file_name)
            paramfile.edit_file(path, keys, file_name)
    except (paramfile.KeyNotFound, ValueError) as e:
        with open(os.path.join(run_dir, "setup.err"), "w") as f:
            f.write(str(e))
        return str(e)
    q = shlex.quote
    script = (
        "#!/bin/sh\n"
        "# one kelm run of an ensemble; rewritten by kelm-ensemble\n"
        "cd %s || exit 99\n"
        "rm -f kelm.status\n"
        "%s %s %s < /dev/null > kelm.log 2> kelm.err\n"
        "status=$?\n"
        "echo $status > kelm.status.tmp && mv kelm.status.tmp kelm.status\n"
        "exit $status\n" % (q(run_dir), q(kelm), q(forcing), q(run_dir + "/")))
    with open(os.path.join(run_dir, "run.sh"), "w") as f:
        f.write(script)
    os.chmod(os.path.join(run_dir, "run.sh"), 0o755)
    return None


def write_jobs(out, scripts):
    path = os.path.join(out, "jobs.txt")
    with open(path, "w") as f:
        f.write("".join(s + "\n" for s in scripts))
    return path


def run_parallel(out, scripts, jobs=None, sshloginfile=None):
    """Run the scripts with GNU parallel; failures of single runs are
    recorded in their directories and do not stop the others."""
    if not scripts:
        return
    exe = shutil.which("parallel")
    if not exe:
        raise EnsembleError("GNU parallel not found (apt-get install parallel)")
    cmd = [exe, "--will-cite", "--joblog", os.path.join(out, "parallel.log")]
    if jobs:
        cmd += ["--jobs", str(jobs)]
    if sshloginfile:
        cmd += ["--sshloginfile", sshloginfile]
    if sys.stderr.isatty():
        cmd.append("--bar")
    cmd += ["sh", "::::", write_jobs(out, scripts)]
    subprocess.run(cmd, stdin=subprocess.DEVNULL)


def write_slurm(out, scripts, jobs=None):
    """Write jobs.txt and a Slurm job-array script with one task per run."""
    jobs_path = write_jobs(out, scripts)
    array = "1-%d" % len(scripts) + ("%%%d" % jobs if jobs else "")
    log_dir = os.path.join(out, "slurm-logs")
    os.makedirs(log_dir, exist_ok=True)
    script = (
        "#!/bin/bash\n"
        "#SBATCH --job-name=kelm-ensemble\n"
        "#SBATCH --array=%s\n"
        "#SBATCH --ntasks=1\n"
        "#SBATCH --cpus-per-task=1\n"
        "#SBATCH --output=%s/%%A_%%a.out\n"
        "# Task i runs line i of jobs.txt.\n"
        "run=$(sed -n \"${SLURM_ARRAY_TASK_ID}p\" %s)\n"
        "exec sh \"$run\"\n" % (array, log_dir, shlex.quote(jobs_path)))
    path = os.path.join(out, "slurm.sh")
    with open(path, "w") as f:
        f.write(script)
    os.chmod(path, 0o755)
    return path


def collect(out, runs, forcing):
    """One row per run with its outcome and statistics, sorted by RMSE
    (runs without statistics last)."""
    rows = []
    for name, values in runs:
        run_dir = os.path.join(out, name)
        row = {"name": name, "status": "not run", "exit": "", "message": ""}
        setup_error = read_text(os.path.join(run_dir, "setup.err"))
        status = read_text(os.path.join(run_dir, "kelm.status"))
        if setup_error is not None:
            row.update(status="setup failed", message=setup_error)
        elif status is not None:
            code = int(status) if status.strip().lstrip("-").isdigit() else -1
            ok, message, printed = runner.outcome(read_text(os.path.join(run_dir, "kelm.log"), ""), code)
            row.update(status="ok" if ok else "failed", exit=code, message=message)
            row["r2_kelm"] = printed if printed is not None else math.nan
            if ok:
                try:
                    result = stats.run_statistics(run_dir, forcing)["records"]
                    row.update({k: result[k] for k in stats.STAT_NAMES})
                except (OSError, ValueError) as e:
                    row["message"] = "statistics: %s" % e
        for (file_name, key), value in values.items():
            row["%s:%s" % (file_name, key)] = value
        rows.append(row)
    columns = ["name", "status", "exit", "message"] + stats.STAT_NAMES + ["r2_kelm"]
    table = pd.DataFrame(rows)
    for c in columns:
        if c not in table.columns:
            table[c] = math.nan
    table = table[columns + [c for c in table.columns if c not in columns]]
    table = table.sort_values("rmse", na_position="last", kind="stable").reset_index(drop=True)
    return table


def format_summary(table):
    lines = ["%-12s %-12s %4s %6s %10s %10s %10s %10s  %s"
             % ("name", "status", "exit", "n", "R2", "RMSE", "bias", "NSE", "message")]
    def g(v):
        return "%.4g" % v if isinstance(v, float) and v == v else "-"
    for _, r in table.iterrows():
        n = "%d" % r["n"] if r["n"] == r["n"] else "-"
        lines.append("%-12s %-12s %4s %6s %10s %10s %10s %10s  %s"
                     % (r["name"], r["status"], r["exit"], n, g(r["r2"]), g(r["rmse"]),
                        g(r["bias"]), g(r["nse"]), r["message"]))
    return "\n".join(lines) + "\n"


def run_ensemble(base, forcing, out, runs, kelm, jobs=None, sshloginfile=None,
                 slurm=False, collect_only=False):
    """Prepare, run (or write a Slurm script for) and collect an ensemble.
    Returns (table, slurm script path or None)."""
    base, forcing, out = (os.path.abspath(p) for p in (base, forcing, out))
    if not os.path.isdir(base):
        raise EnsembleError("base directory %s not found" % base)
    if not os.path.isfile(forcing):
        raise EnsembleError("forcing file %s not found" % forcing)
    os.makedirs(out, exist_ok=True)
    write_runs(runs, os.path.join(out, "runs.csv"))
    slurm_path = None
    if not collect_only:
        todo, finished, unprepared = [], 0, 0
        for name, values in runs:
            run_dir = os.path.join(out, name)
            if is_finished(run_dir, values):
                finished += 1
            elif prepare(run_dir, base, values, kelm, forcing) is None:
                todo.append(os.path.join(run_dir, "run.sh"))
            else:
                unprepared += 1
        print("%d runs: %d to run, %d already finished, %d could not be prepared"
              % (len(runs), len(todo), finished, unprepared), file=sys.stderr)
        if slurm:
            if todo:
                slurm_path = write_slurm(out, todo, jobs)
            return None, slurm_path
        run_parallel(out, todo, jobs, sshloginfile)
    table = collect(out, runs, forcing)
    table.to_csv(os.path.join(out, "summary.csv"), index=False, float_format="%.6g")
    return table, slurm_path
