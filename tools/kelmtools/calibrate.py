"""Calibrate parameters of a site against observations with SciPy's
differential evolution.

Layout of the output directory:
    calibrate.lock  locked while kelm-calibrate works here: a second one is refused
    settings.txt    what the runs depend on (base files, forcing, observations,
                    periods); a rerun with other settings is refused
    history.csv     every model run: its values, status and statistics; a rerun
                    takes the runs it finds here instead of running them again
    runs/NAME/      directories of runs that failed (kept to look into);
                    those of successful runs are removed once scored
    best/           the base files with the best values, ready to run
    report.csv      default and best on both periods: run,period,variable,n,r2,rmse,bias,nse
"""

import concurrent.futures
import csv
import hashlib
import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
from scipy.optimize import differential_evolution
from scipy.stats import qmc

from . import cli, ensemble, observed, paramfile, reader, runner, stats

PERIODS = ["calibration", "validation"]
REPORT_STATS = ["n", "r2", "rmse", "bias", "nse"]
METRICS = {"rmse": lambda r: r["rmse"], "1-r2": lambda r: 1.0 - r["r2"], "1-nse": lambda r: 1.0 - r["nse"]}
# Objective of a run that failed or has no statistic: worse than any real one.
PENALTY = 1e30
LOCK = "calibrate.lock"


class CalibrationError(ValueError):
    pass


def parse_days(text, option):
    try:
        first, last = (int(w) for w in text.split(":"))
    except ValueError:
        raise CalibrationError("%s %r: give FIRST:LAST days of year" % (option, text))
    if not (1 <= first <= 365 and 1 <= last <= 365):
        raise CalibrationError("%s %r: days of year run from 1 to 365" % (option, text))
    return first, last


def parse_target(text, variables):
    target = [v.strip().lower() for v in text.split("+")]
    for v in target:
        if v not in variables:
            raise CalibrationError("--target %s: %s is not observed (known: %s%s)"
                                   % (text, v, ", ".join(variables),
                                      "" if "h" in variables else "; h and le need --obs"))
    return target


def fingerprint(paths, extra):
    digest = hashlib.sha256(extra.encode())
    for path in filter(None, paths):
        digest.update(os.path.basename(path).encode())
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


class Calibration:
    """One calibration: the settings, the history of runs and the objective."""

    def __init__(self, base, forcing, ranges, out, calibrate, validate, kelm, obs=None,
                 target="nep", metric="rmse", jobs=1, log=None):
        self.base, self.forcing, self.out = (os.path.abspath(p) for p in (base, forcing, out))
        self.obs_path = os.path.abspath(obs) if obs else None
        self.kelm, self.jobs, self.log = kelm, jobs, log or (lambda text: print(text))
        if not os.path.isdir(self.base):
            raise CalibrationError("base directory %s not found" % base)
        if metric not in METRICS:
            raise CalibrationError("--metric %s: choose rmse, 1-r2 or 1-nse" % metric)
        self.metric = metric
        self.ranges = ensemble.read_ranges(ranges)
        if not self.ranges:
            raise CalibrationError("%s names no key" % ranges)
        self.columns = ["%s:%s" % col for col, _, _ in self.ranges]
        self.default = []
        for (file_name, key), low, high in self.ranges:
            try:
                self.default.append(float(paramfile.get_value(os.path.join(self.base, file_name), key)))
            except OSError:
                raise CalibrationError("%s: no such file in the base directory" % file_name)
        self.periods = {"calibration": calibrate, "validation": validate}
        self.obs = observed.load(self.forcing, self.obs_path)
        self.variables = [v for v in observed.VARIABLES if self.obs[v].notna().any()]
        if "nep" not in self.variables:
            raise CalibrationError("%s has no observed NEP" % (obs or forcing))
        self.target = parse_target(target, self.variables)
        self.check_periods()
        # metrics with units of fluxes of different kinds are made comparable:
        # each is divided by the standard deviation of its flux's observations
        self.spread = self.observed_spread() if len(self.target) > 1 and metric == "rmse" else None
        self.still_falling = None
        stat_columns = ["%s_%s_%s" % (p, v, s) for p in PERIODS for v in self.variables for s in REPORT_STATS]
        self.history_columns = ["run", "status", "message"] + self.columns + ["objective"] + stat_columns
        self.counts = {"new": 0, "reused": 0}
        self.seen = set()
        self.best = None
        self.setup_out()

    def check_periods(self):
        """Refuse a period in which the run writes no line, and a calibration
        period without an observation of the target: every run would fail."""
        lines = self.obs.iloc[1:].reset_index(drop=True)
        reader.add_time(lines)
        for period, option in (("calibration", "--calibrate"), ("validation", "--validate")):
            first, last = self.periods[period]
            part = observed.in_days(lines, first, last)
            if not len(part):
                raise CalibrationError("%s %d:%d: no record of %s in these days" % (option, first, last, self.forcing))
            for v in self.target if period == "calibration" else []:
                if not part[v].notna().any():
                    raise CalibrationError("%s %d:%d: no observed %s in these days" % (option, first, last, v))

    def observed_spread(self):
        """{period: {flux: standard deviation of the observations}} over the
        records that the output lines of each period close."""
        lines = reader.add_time(self.obs.iloc[1:].reset_index(drop=True))
        spread = {}
        for period, (first, last) in self.periods.items():
            part = observed.in_days(lines, first, last)
            spread[period] = {v: float(np.nanstd(part[v].to_numpy(dtype=float))) for v in self.target}
            for v, sd in spread[period].items():
                if not sd > 0:
                    raise CalibrationError("the observed %s does not vary in the %s period: it cannot "
                                           "be normalised" % (v.upper(), period))
        return spread

    def metric_name(self):
        return self.metric + ("/sd" if self.spread else "")

    # -- output directory and history ---------------------------------------

    def check_out(self, settings):
        """Refuse an --out that holds something else than this calibration."""
        if os.path.isdir(self.out) and set(os.listdir(self.out)) - {LOCK}:
            old = ensemble.read_text(os.path.join(self.out, "settings.txt"))
            if old is None:
                raise CalibrationError("%s exists and holds no calibration; give another --out" % self.out)
            if old.split("fingerprint ")[-1] != settings.split("fingerprint ")[-1]:
                raise CalibrationError("%s holds a calibration with other base files, forcing, observations, "
                                       "periods or keys (see its settings.txt); give another --out" % self.out)

    def setup_out(self):
        base_files = sorted(os.path.join(self.base, e) for e in os.listdir(self.base)
                            if os.path.isfile(os.path.join(self.base, e)))
        settings = ("base files %s\nforcing %s\nobservations %s\ncalibration %d:%d\nvalidation %d:%d\n"
                    "keys %s\nfingerprint %s\n"
                    % (self.base, self.forcing, self.obs_path or "-", *self.periods["calibration"],
                       *self.periods["validation"], " ".join(self.columns),
                       fingerprint(base_files + [self.forcing, self.obs_path],
                                   repr(self.periods) + repr(self.columns))))
        self.check_out(settings)
        os.makedirs(self.out, exist_ok=True)
        # held until the process ends: two calibrations in one --out would
        # run the same run numbers and mix their history lines
        self.lock = ensemble.lock_out(self.out, LOCK, "kelm-calibrate")
        try:
            self.open_history(settings)
        except BaseException:
            self.close()
            raise

    def close(self):
        """Let another calibration into --out."""
        if self.lock is not None:
            os.close(self.lock)
            self.lock = None

    def open_history(self, settings):
        self.check_out(settings)
        self.history_path = os.path.join(self.out, "history.csv")
        self.history = {}
        self.next_run = 1
        if os.path.exists(self.history_path):
            for row in self.read_history():
                self.history[tuple(row[c] for c in self.columns)] = row
                self.next_run = max(self.next_run, row["run"] + 1)
        else:
            cli.write_file(self.history_path, ",".join(self.history_columns) + "\n")
        os.makedirs(os.path.join(self.out, "runs"), exist_ok=True)
        cli.write_file(os.path.join(self.out, "settings.txt"), settings)

    def read_history(self):
        """The rows of history.csv; a damaged line stops with its number."""
        lines = csv.reader(line for _, line in reader.text_lines(self.history_path))
        texts = set(self.columns + ["message", "status"])
        rows = []
        for cells in lines:
            if not cells:
                continue
            where = "%s line %d" % (self.history_path, lines.line_num)
            if not rows and cells == self.history_columns:
                rows.append(None)
                continue
            if not rows:
                raise CalibrationError("%s: the header differs from this calibration's columns; "
                                       "delete the file to start the history afresh" % where)
            if len(cells) != len(self.history_columns):
                raise CalibrationError("%s is damaged: %d fields instead of %d; mend or delete that line"
                                       % (where, len(cells), len(self.history_columns)))
            try:
                row = {c: t if c in texts else float(t) for c, t in zip(self.history_columns, cells)}
                row["run"] = int(cells[0])
                if row["run"] < 1 or row["status"] not in ("ok", "failed"):
                    raise ValueError
            except ValueError:
                raise CalibrationError("%s is damaged: a run number, status or statistic is no number of "
                                       "its kind; mend or delete that line" % where)
            rows.append(row)
        return rows[1:]

    def append_history(self, row):
        """Add a row to history.csv with one write, so that a crash leaves no half line."""
        line = pd.DataFrame([row], columns=self.history_columns).to_csv(header=False, index=False,
                                                                         float_format="%.17g", na_rep="nan")
        try:
            fd = os.open(self.history_path, os.O_WRONLY | os.O_APPEND)
            try:
                os.write(fd, line.encode())
            finally:
                os.close(fd)
        except OSError as e:
            raise OSError(e.errno, "%s: %s" % (self.history_path, e.strerror)) from None

    # -- runs ------------------------------------------------------------------

    def texts(self, x):
        return tuple(ensemble.sampled_text(col[1], v) for (col, _, _), v in zip(self.ranges, x))

    def values(self, texts):
        return {col: t for (col, _, _), t in zip(self.ranges, texts)}

    def score(self, run_dir):
        # the run's own part: earlier ones come from a restart's base files
        site = reader.read_output(os.path.join(run_dir, "site.csv"), parts=False)
        pairs = observed.pair(site, self.obs)
        row = {}
        for period, (first, last) in self.periods.items():
            part = observed.in_days(pairs, first, last)
            for v in self.variables:
                result = stats.fit(part["obs_" + v], part["sim_" + v])
                row.update({"%s_%s_%s" % (period, v, s): result[s] for s in REPORT_STATS})
        return row

    def run(self, run_id, texts):
        """Run kelm with the values; the history row."""
        name = "run%04d" % run_id
        run_dir = os.path.join(self.out, "runs", name)
        row = dict(zip(self.columns, texts), run=run_id, status="failed", message="")
        problem = ensemble.prepare(run_dir, self.base, self.values(texts), self.kelm, self.forcing)
        if problem:
            row["message"] = problem
            return row
        p = subprocess.run([self.kelm, self.forcing, run_dir + "/"], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, errors="replace")
        ok, message, _ = runner.outcome(p.stdout, p.returncode)
        if ok:
            try:
                row.update(self.score(run_dir))
                row["status"] = "ok"
            except (OSError, ValueError) as e:
                message = "statistics: %s" % e
        row["message"] = message
        if row["status"] == "ok":
            shutil.rmtree(run_dir)
        else:
            with open(os.path.join(run_dir, "kelm.log"), "w") as f:
                f.write(p.stdout + p.stderr)
        return row

    def objective(self, row, period="calibration"):
        if row["status"] != "ok":
            return PENALTY
        total = 0.0
        for v in self.target:
            value = METRICS[self.metric]({s: row.get("%s_%s_%s" % (period, v, s), math.nan) for s in REPORT_STATS})
            if not math.isfinite(value):
                return PENALTY
            total += value / self.spread[period][v] if self.spread else value
        return total

    def evaluate(self, xs, pool):
        """Objectives of a batch of parameter vectors; runs what the history
        lacks, jobs at a time, in a fixed order of run numbers."""
        keys = [self.texts(x) for x in xs]
        todo = []
        for key in dict.fromkeys(keys):
            if key not in self.seen:
                self.seen.add(key)
                self.counts["reused" if key in self.history else "new"] += 1
            if key not in self.history:
                todo.append((self.next_run, key))
                self.next_run += 1
        for row in pool.map(lambda job: self.run(*job), todo):
            row["objective"] = self.objective(row)
            self.history[tuple(row[c] for c in self.columns)] = row
            self.append_history(row)
        results = [self.objective(self.history[k]) for k in keys]
        for k, r in zip(keys, results):
            if self.best is None or r < self.best[0]:
                self.best = (r, k)
        return results

    # -- the search --------------------------------------------------------------

    def population_size(self, budget):
        """Members of the population: about a fifth of the budget, so that
        several generations fit, at least 5 and at most 15 per key."""
        return max(5, min(15 * len(self.ranges), budget // 5))

    def solve(self, budget, seed):
        """Run the search; returns (default texts, best texts).  A search in
        which no run gave a statistic is a failure."""
        bounds = [(low, high) for _, low, high in self.ranges]
        low, high = np.array(bounds).T
        default = np.array(self.default)
        inside = bool(np.all((default >= low) & (default <= high)))
        size = self.population_size(budget)
        population = low + qmc.LatinHypercube(d=len(bounds), seed=seed).random(size) * (high - low)
        if inside:
            population[0] = default
        generation = [0]

        with concurrent.futures.ThreadPoolExecutor(self.jobs) as pool:
            def progress():
                self.log("generation %d: %d runs done (%d new, %d from the history), best %s %.6g"
                         % (generation[0], self.counts["new"] + self.counts["reused"], self.counts["new"],
                            self.counts["reused"], self.metric_name(), self.best[0]))
                generation[0] += 1

            def batch(func, xs):
                before = self.best[0]
                results = self.evaluate(list(xs), pool)
                self.still_falling = (before, self.best[0]) if self.best[0] < before else None
                progress()
                return results

            default_texts = self.texts(default)
            self.evaluate([default], pool)
            # the initial population and each generation cost `size` runs
            left = budget - (0 if inside else 1)
            if left >= 2 * size:
                differential_evolution(lambda x: self.evaluate([x], pool)[0], bounds, init=population,
                                       seed=seed, maxiter=left // size - 1, polish=False,
                                       updating="deferred", workers=batch, tol=0.0)
            else:
                batch(None, population[:left])
        if self.best[0] >= PENALTY:
            failed = sorted((self.history[k] for k in self.seen), key=lambda r: r["run"])
            messages = [r["message"] for r in failed if r["message"]]
            raise CalibrationError("every run failed or gave no statistic (%d runs; the first said: %s); see %s"
                                   % (len(failed), messages[0] if messages else "nothing",
                                      os.path.join(self.out, "history.csv")))
        return default_texts, self.best[1]

    # -- results -------------------------------------------------------------------

    def write_best(self, texts):
        best = os.path.join(self.out, "best")
        ensemble.copy_base(best, self.base)
        ensemble.edit_files(best, self.values(texts))
        return best

    def report(self, default_texts, best_texts):
        rows = []
        for run, texts in (("default", default_texts), ("best", best_texts)):
            row = self.history[texts]
            for period in PERIODS:
                for v in self.variables:
                    rows.append(dict(run=run, period=period, variable=v,
                                     **{s: row.get("%s_%s_%s" % (period, v, s), math.nan) for s in REPORT_STATS}))
        table = pd.DataFrame(rows, columns=["run", "period", "variable"] + REPORT_STATS)
        table.to_csv(os.path.join(self.out, "report.csv"), index=False, float_format="%.6g")
        return table


def format_report(cal, table, default_texts, best_texts):
    lines = ["%-28s %12s %12s" % ("key", "default", "best")]
    lines += ["%-28s %12s %12s" % (c, d, b) for c, d, b in zip(cal.columns, default_texts, best_texts)]
    lines.append("")
    lines.append("%-8s %-12s %-8s %6s %10s %10s %10s %10s" % ("run", "period", "variable", "n", "R2", "RMSE",
                                                             "bias", "NSE"))
    for r in table.to_dict("records"):
        lines.append("%-8s %-12s %-8s %6d %10.4g %10.4g %10.4g %10.4g"
                     % (r["run"], r["period"], r["variable"], r["n"], r["r2"], r["rmse"], r["bias"], r["nse"]))
    lines.append("")
    for period in PERIODS:
        d = cal.objective(cal.history[default_texts], period)
        b = cal.objective(cal.history[best_texts], period)
        change = "%+.1f %%" % (100.0 * (b - d) / d) if d and d < PENALTY and b < PENALTY else "-"
        lines.append("%s %s of %s: default %.6g, best %.6g (%s)"
                     % (period, cal.metric_name(), "+".join(cal.target), d, b, change))
    if cal.spread:
        lines.append("%s/sd: each flux's %s divided by the standard deviation of its observations in the "
                     "period (%s), so that fluxes of different units weigh alike; the sum has no unit"
                     % (cal.metric, cal.metric.upper(), "; ".join(
                         "%s: %s" % (period, ", ".join("%s %.4g %s" % (v.upper(), sd, observed.UNITS[v])
                                                        for v, sd in cal.spread[period].items()))
                         for period in PERIODS)))
    if cal.still_falling:
        lines.append("the best value was still falling in the last generation (%.6g to %.6g): "
                     "a larger --budget may find a better fit" % cal.still_falling)
    return "\n".join(lines) + "\n"


def main(args):
    """Run a calibration from parsed command-line arguments; returns the exit status."""
    if args.budget < 1:
        raise CalibrationError("--budget needs at least one run")
    if args.jobs < 1:
        raise CalibrationError("--jobs needs at least 1")
    if not 0 <= args.seed < 2 ** 32:
        raise CalibrationError("--seed takes 0 to %d" % (2 ** 32 - 1))
    try:
        kelm = runner.find_kelm(args.kelm)
        cal = Calibration(args.base, args.forcing, args.ranges, args.out,
                          parse_days(args.calibrate, "--calibrate"), parse_days(args.validate, "--validate"),
                          kelm, obs=args.obs, target=args.target, metric=args.metric, jobs=args.jobs,
                          log=lambda text: print(text, flush=True))
        try:
            default_texts, best_texts = cal.solve(args.budget, args.seed)
            best = cal.write_best(best_texts)
            table = cal.report(default_texts, best_texts)
        finally:
            cal.close()
    except KeyboardInterrupt:
        print("kelm-calibrate: interrupted; run the same command again to resume "
              "(the finished runs are kept in history.csv)", file=sys.stderr)
        return 130
    sys.stdout.write(format_report(cal, table, default_texts, best_texts))
    print("best files: %s; report: %s; history: %s"
          % (best, os.path.join(cal.out, "report.csv"), cal.history_path))
    return 0
