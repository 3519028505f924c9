"""Run many variants of a site and collect their statistics.

Layout of the output directory:
    ensemble.json       what makes the ensemble: base, forcing and the keys it
                        varies; a run list with other keys, or another base or
                        forcing, is refused in this directory unless --force
    ensemble.lock       locked while kelm-ensemble works here
    runs.csv            the run list (name, file:key columns): the runs of every
                        list sent, a run's latest values
    NAME/               one directory per run: the base files with the run's
                        values, kelm's output files, and
        edits.txt       the run's values, one "file:key=value" per line
        run.sh          the command that runs kelm in this directory
        run.lock        locked by run.sh while the run goes on
        kelm.log        kelm's console output; kelm.err its error output
        kelm.status     kelm's exit status, written when kelm has ended
        setup.err       why the run could not be prepared (a missing key)
    jobs.txt            the run.sh paths still to run (GNU parallel or Slurm)
    parallel.log        GNU parallel's job log
    slurm.sh            with --slurm: the job-array script; beyond SLURM_ARRAY_LIMIT
    slurm-2.sh, ...     runs, one script per array of at most that many tasks
    summary.csv         the collected table, sorted by RMSE
"""

import csv
import errno
import fcntl
import io
import json
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys

import pandas as pd
from scipy.stats import qmc

from . import paramfile, reader, runner, stats
from .cli import SLURM_WORD, check_path, clean, note, write_file

NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")
SIGNAL_STATUS = 128
MAX_RUNS = 1000000
IDENTITY = "ensemble.json"
# run.sh exits with this status, touching nothing, when its run is going on already
BUSY_STATUS = 75
# Longest file name and path the file systems take (NAME_MAX, PATH_MAX), and
# room for the longest file name inside a run directory
NAME_MAX = 255
PATH_MAX = 4096
INNER_NAME = 64
# Tasks of one Slurm job array: Slurm's default MaxArraySize of 1001 allows
# the indices 1 to 1000
SLURM_ARRAY_LIMIT = 1000


class EnsembleError(ValueError):
    pass


def split_column(column):
    """"tree.leaf.par:_vmax" -> ("tree.leaf.par", "_vmax")."""
    file_name, sep, key = column.partition(":")
    file_name, key = file_name.strip(), key.strip()
    if not sep or not file_name or not key or "/" in file_name or "\\" in file_name or file_name.startswith("."):
        raise EnsembleError("column '%s' is not of the form file:key" % clean(column))
    return file_name, key


def read_runs(path):
    """Read a run list: [(name, {(file, key): value text})], values verbatim;
    an empty cell keeps the base file's value."""
    rows = [row for row in csv.reader(line for _, line in reader.text_lines(path))
            if any(c.strip() for c in row)]
    if len(rows) > MAX_RUNS + 1:
        raise EnsembleError("%s: more than %d runs" % (path, MAX_RUNS))
    if not rows or rows[0][0].strip() != "name":
        raise EnsembleError("%s: the first column must be 'name'" % path)
    columns = [split_column(c) for c in rows[0][1:]]
    runs, names = [], set()
    for row in rows[1:]:
        name = row[0].strip()
        if not NAME.match(name) or name in names:
            raise EnsembleError("%s: bad or repeated run name '%s'" % (path, clean(name)))
        if len(name.encode()) > NAME_MAX:
            raise EnsembleError("%s: run name '%s' is %d characters long; a file name holds at most %d"
                                % (path, clean(name, 40), len(name.encode()), NAME_MAX))
        names.add(name)
        values = {col: cell.strip() for col, cell in zip(columns, row[1:]) if cell.strip()}
        runs.append((name, values))
    return runs


def read_ranges(path):
    """[((file, key), low, high)] of a file with the columns file:key,low,high;
    a key "_lai*" stands for a factor on every "_laiN" of its file."""
    reader.check_input(path)
    ranges = pd.read_csv(path, dtype=str, skipinitialspace=True)
    if list(ranges.columns[:3]) != ["file:key", "low", "high"]:
        raise EnsembleError("%s: columns must be file:key,low,high" % path)
    result = []
    for _, row in ranges.iterrows():
        col = split_column(row["file:key"])
        try:
            low, high = float(row["low"]), float(row["high"])
        except (TypeError, ValueError):
            low = high = math.nan
        if not (math.isfinite(low) and math.isfinite(high)):
            raise EnsembleError("%s: %s needs finite numbers low and high, not '%s' and '%s'"
                                % (path, clean(row["file:key"]), clean(row["low"]), clean(row["high"])))
        if not high >= low:
            raise EnsembleError("%s: %s has high below low" % (path, clean(row["file:key"])))
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
             {col: sampled_text(col[1], low + u[i, j] * (high - low))
              for j, (col, low, high) in enumerate(ranges)})
            for i in range(n)]


def sampled_text(key, value):
    """A sampled value as its key reads it: integer keys take the nearest whole number."""
    return "%d" % round(value) if key in paramfile.INT_KEYS else "%.6g" % value


def write_runs(runs, path):
    columns = []
    for _, values in runs:
        for col in values:
            if col not in columns:
                columns.append(col)
    text = io.StringIO()
    w = csv.writer(text, lineterminator="\n")
    w.writerow(["name"] + ["%s:%s" % c for c in columns])
    for name, values in runs:
        w.writerow([name] + [values.get(c, "") for c in columns])
    write_file(path, text.getvalue())


def merge_runs(old, new):
    """The runs of an earlier run list with those of a new one: a run of
    both takes its new values and keeps its place, new runs come last."""
    new_values = dict(new)
    merged = [(name, new_values.pop(name, values)) for name, values in old]
    return merged + [(name, values) for name, values in new if name in new_values]


def edits_text(values):
    return "".join("%s:%s=%s\n" % (f, k, v) for (f, k), v in sorted(values.items()))


def read_text(path, default=None):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return default


def has_ended(run_dir):
    """True when kelm has ended in run_dir (successfully or with a model
    error); a run killed by a signal has not."""
    try:
        return 0 <= int(read_text(os.path.join(run_dir, "kelm.status"), "")) < SIGNAL_STATUS
    except ValueError:
        return False


def is_finished(run_dir, values):
    """True when kelm has ended in run_dir with the same values."""
    return has_ended(run_dir) and read_text(os.path.join(run_dir, "edits.txt")) == edits_text(values)


def is_running(run_dir):
    """True while a run.sh holds the run's lock."""
    try:
        fd = os.open(os.path.join(run_dir, "run.lock"), os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except OSError as e:
        return e.errno in (errno.EAGAIN, errno.EACCES)
    finally:
        os.close(fd)


def copy_base(run_dir, base):
    """Make run_dir afresh with a copy of every file of the base directory."""
    if os.path.isdir(run_dir):
        shutil.rmtree(run_dir)
    os.makedirs(run_dir)
    for entry in sorted(os.listdir(base)):
        src = os.path.join(base, entry)
        if os.path.isfile(src):
            shutil.copy2(src, os.path.join(run_dir, entry))


def edit_files(run_dir, values):
    """Set values ({(file, key): value text}) in the parameter files of
    run_dir; raises ValueError for a missing file or key or a bad value."""
    by_file = {}
    for (file_name, key), value in values.items():
        by_file.setdefault(file_name, {})[key] = value
    for file_name, keys in sorted(by_file.items()):
        path = os.path.join(run_dir, file_name)
        if not os.path.isfile(path):
            raise paramfile.KeyNotFound("%s: no such file in the base directory" % file_name)
        paramfile.edit_file(path, keys, file_name)


def prepare(run_dir, base, values, kelm, forcing):
    """Make the run directory afresh: base files, the run's values, run.sh.
    Returns an error message (and writes setup.err) when a key is missing or
    a value is no number of its key's kind."""
    copy_base(run_dir, base)
    write_file(os.path.join(run_dir, "edits.txt"), edits_text(values))
    try:
        edit_files(run_dir, values)
    except ValueError as e:
        write_file(os.path.join(run_dir, "setup.err"), str(e))
        return str(e)
    q = shlex.quote
    script = (
        "#!/bin/sh\n"
        "# one kelm run of an ensemble; rewritten by kelm-ensemble\n"
        "cd %s || exit 99\n"
        "exec 9> run.lock\n"
        "flock -n -E %d 9\n"
        "[ $? -ne %d ] || { echo 'this run is going on already' >&2; exit %d; }\n"
        "rm -f kelm.status\n"
        "%s %s %s < /dev/null > kelm.log 2> kelm.err\n"
        "status=$?\n"
        "echo $status > kelm.status.tmp && mv kelm.status.tmp kelm.status\n"
        "exit $status\n" % (q(run_dir), BUSY_STATUS, BUSY_STATUS, BUSY_STATUS,
                              q(kelm), q(forcing), q(run_dir + "/")))
    write_file(os.path.join(run_dir, "run.sh"), script, 0o755)
    return None


def write_jobs(out, scripts):
    path = os.path.join(out, "jobs.txt")
    write_file(path, "".join(s + "\n" for s in scripts))
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
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL)
    try:
        proc.wait()
    except KeyboardInterrupt:
        # parallel stops its runs on SIGINT; a run cut short keeps no status
        # and is run again next time
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
        raise


def slurm_options(options):
    """#SBATCH lines of the options given; a value must be one plain word."""
    lines = ""
    for name, value in (options or {}).items():
        if value is None:
            continue
        if not SLURM_WORD.match(value):
            raise EnsembleError("--%s '%s': give one word of letters, digits and _ . : , + = @ / -"
                                % (name, clean(value)))
        lines += "#SBATCH --%s=%s\n" % (name, value)
    return lines


def slurm_name(k):
    return "slurm.sh" if k == 1 else "slurm-%d.sh" % k


def write_slurm(out, scripts, jobs=None, job_name="kelm-ensemble", options=None):
    """Write jobs.txt and Slurm job-array scripts with one task per run:
    slurm.sh for the first SLURM_ARRAY_LIMIT lines of jobs.txt, slurm-2.sh
    for the next ones, and so on; options ({"time": ..., "partition": ...,
    "account": ...}) become #SBATCH lines.  Returns the script paths."""
    jobs_path = write_jobs(out, scripts)
    log_dir = os.path.join(out, "slurm-logs")
    os.makedirs(log_dir, exist_ok=True)
    count = -(-len(scripts) // SLURM_ARRAY_LIMIT)
    paths = []
    for k in range(1, count + 1):
        first = (k - 1) * SLURM_ARRAY_LIMIT
        tasks = min(SLURM_ARRAY_LIMIT, len(scripts) - first)
        array = "1-%d" % tasks + ("%%%d" % jobs if jobs else "")
        script = (
            "#!/bin/bash\n"
            "#SBATCH --job-name=%s\n"
            "#SBATCH --array=%s\n"
            "%s"
            "#SBATCH --ntasks=1\n"
            "#SBATCH --cpus-per-task=1\n"
            "#SBATCH --output=/dev/null\n"
            "# Task i runs line %d + i of jobs.txt and logs into slurm-logs/JOB_TASK.out.\n"
            "exec > %s/\"${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}.out\" 2>&1\n"
            "run=$(sed -n \"$((%d + SLURM_ARRAY_TASK_ID))p\" %s)\n"
            "exec sh \"$run\"\n" % (job_name, array, slurm_options(options), first, shlex.quote(log_dir), first,
                                      shlex.quote(jobs_path)))
        paths.append(os.path.join(out, slurm_name(k)))
        write_file(paths[-1], script, 0o755)
    # scripts of an earlier, longer split would run stale lines of jobs.txt
    k = count + 1
    while os.path.lexists(os.path.join(out, slurm_name(k))):
        os.remove(os.path.join(out, slurm_name(k)))
        k += 1
    if count > 1:
        note("%d runs exceed the %d tasks of one Slurm job array: split into %d arrays (%s)%s"
             % (len(scripts), SLURM_ARRAY_LIMIT, count, ", ".join(slurm_name(k) for k in range(1, count + 1)),
                "; --jobs %d holds for each array" % jobs if jobs else ""))
    return paths


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
        elif is_running(run_dir):
            row.update(status="running")
        elif status is not None:
            code = int(status) if status.strip().lstrip("-").isdigit() else -1
            ok, message, printed = runner.outcome(read_text(os.path.join(run_dir, "kelm.log"), ""), code)
            row.update(status="ok" if ok else "failed", exit=code, message=clean(message))
            row["r2_kelm"] = printed if printed is not None else math.nan
            if ok:
                try:
                    # the run's own part: earlier ones come from a restart's base files
                    result = stats.run_statistics(run_dir, forcing, parts=False)["records"]
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


def check_out(out, runs, identity, force, collect_only):
    """Refuse, before anything is written, an --out that holds another
    ensemble or other files, run directories that are not ours, paths too
    long for the file system, and (unless force) finished runs whose values
    the run list changes.  Returns the identity to record when out holds this
    very ensemble, else None."""
    for name, _ in runs:
        run_dir = os.path.join(out, name)
        if len(os.path.join(run_dir, "x").encode()) + INNER_NAME > PATH_MAX:
            raise EnsembleError("%s: path too long for the file system (at most %d bytes with the "
                                "run's file names)" % (clean(run_dir, 60), PATH_MAX))
    recorded = read_text(os.path.join(out, IDENTITY))
    try:
        old = json.loads(recorded) if recorded is not None else {}
        same = old["base"] == identity["base"] and old["forcing"] == identity["forcing"] \
            and set(identity["keys"]) <= set(old["keys"])
    except (ValueError, TypeError, KeyError):
        same = False
    if recorded is None:
        if collect_only and not force:
            raise EnsembleError("%s holds no ensemble to collect" % out)
        if os.path.isdir(out) and set(os.listdir(out)) - {"ensemble.lock"} and not force:
            raise EnsembleError("%s is not empty and holds no ensemble; give a new --out, "
                                "or --force to use it" % out)
    elif not force and not same:
        raise EnsembleError("%s holds a different ensemble (other base, forcing or keys); "
                            "give another --out, or --force to replace its runs" % out)
    changed = []
    for name, values in runs:
        run_dir = os.path.join(out, name)
        if os.path.lexists(run_dir) and not os.path.exists(os.path.join(run_dir, "edits.txt")) \
                and not (os.path.isdir(run_dir) and not os.listdir(run_dir)):
            raise EnsembleError("%s exists and is no ensemble run directory" % run_dir)
        if same and not collect_only and has_ended(run_dir) and not is_finished(run_dir, values):
            changed.append(name)
    if changed and not force:
        raise EnsembleError("%s: %d finished run%s would get other values (%s%s); give them new names, "
                            "or --force to run them again" % (out, len(changed), "s" * (len(changed) > 1),
                                                              ", ".join(changed[:3]), ", ..." * (len(changed) > 3)))
    return dict(identity, keys=old["keys"]) if same else None


def lock_out(out, name="ensemble.lock", tool="kelm-ensemble"):
    """Hold a lock on the file name in out for the life of this process (or
    until the returned descriptor is closed); refuse a second tool."""
    path = os.path.join(out, name)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as e:
        os.close(fd)
        if e.errno in (errno.EAGAIN, errno.EACCES):
            raise EnsembleError("%s is in use by another %s" % (out, tool))
        raise OSError(e.errno, "%s: cannot be locked: %s" % (path, e.strerror)) from None
    return fd


def run_ensemble(base, forcing, out, runs, kelm, jobs=None, sshloginfile=None,
                 slurm=False, collect_only=False, force=False):
    """Prepare, run (or write a Slurm script for) and collect an ensemble.
    Returns (table, [Slurm script paths] or None)."""
    base, forcing, out = (os.path.abspath(p) for p in (base, forcing, out))
    for path, option in ((base, "--base"), (forcing, "--forcing"), (out, "--out"), (kelm, "--kelm")):
        check_path(path, option)
    if not os.path.isdir(base):
        raise EnsembleError("base directory %s not found" % base)
    if not os.path.isfile(forcing):
        raise EnsembleError("forcing file %s not found" % forcing)
    identity = {"base": base, "forcing": forcing,
                "keys": sorted({"%s:%s" % col for _, values in runs for col in values})}
    same = check_out(out, runs, identity, force, collect_only)
    os.makedirs(out, exist_ok=True)
    lock = lock_out(out)
    try:
        return run_locked(base, forcing, out, runs, kelm, identity, same, jobs, sshloginfile,
                          slurm, collect_only)
    finally:
        os.close(lock)


def run_locked(base, forcing, out, runs, kelm, identity, same, jobs, sshloginfile, slurm,
               collect_only):
    if not collect_only:
        write_file(os.path.join(out, IDENTITY), json.dumps(same or identity, indent=1))
    listed = runs
    if same and os.path.exists(os.path.join(out, "runs.csv")):
        # the runs of earlier lists stay in the table
        runs = merge_runs(read_runs(os.path.join(out, "runs.csv")), runs)
    write_runs(runs, os.path.join(out, "runs.csv"))
    slurm_path = None
    if not collect_only:
        todo, finished, unprepared, running = [], 0, 0, 0
        for name, values in listed:
            run_dir = os.path.join(out, name)
            if is_running(run_dir):
                running += 1
            elif same and is_finished(run_dir, values):
                finished += 1
            elif prepare(run_dir, base, values, kelm, forcing) is None:
                todo.append(os.path.join(run_dir, "run.sh"))
            else:
                unprepared += 1
        print("%d runs: %d to run, %d already finished, %d could not be prepared"
              % (len(listed), len(todo), finished, unprepared)
              + (", %d running" % running if running else ""), file=sys.stderr)
        if slurm:
            if todo:
                slurm_path = write_slurm(out, todo, jobs, options=slurm if isinstance(slurm, dict) else None)
            return None, slurm_path
        run_parallel(out, todo, jobs, sshloginfile)
    table = collect(out, runs, forcing)
    write_file(os.path.join(out, "summary.csv"), table.to_csv(index=False, float_format="%.6g"))
    return table, slurm_path
