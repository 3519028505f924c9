"""Convert, run and score many tower sites, each against the empirical
benchmarks fitted to its own weather and fluxes.

A site list is a CSV file with the columns site and tower (a tower file that
kelm-forcing reads) and, optionally, lat, lon, elevation (passed to
kelm-forcing), zref, base (a folder of parameter files), physics (default 1),
dt (default: the longest step up to 1800 s that divides the records) and qc.
Relative paths count from the list's folder.

Layout of the output directory:
    sites.lock          locked while kelm-sites works here
    sites.csv           the site list as used (paths made absolute)
    SITE/               one directory per site:
        site.txt        the site's settings; a change reruns the site
        run.sh          converts, runs and scores the site
        run.lock        locked by run.sh while it works
        forcing.txt, obs.csv, forcing.err   the conversion and its messages
        *.par, *.csv, kelm.log, kelm.err    the run
        scores.csv, scores.txt, scores.err  kelm-stats --benchmarks
        site.status     "STEP STATUS" when run.sh has ended: the step that
                        ended it (convert, run, score or ok) and its status
        setup.err       why the site could not be prepared
    jobs.txt, parallel.log, slurm.sh, slurm-logs/   as for kelm-ensemble
    status.csv          site, status, step, message
    summary.csv         site, flux, model, metric, value
    summary.txt         per flux: the sites' normalised mean errors
    figures/            with --plot: ranks.png, diurnal_SITE.png
"""

import fcntl
import errno
import math
import os
import shlex
import shutil
import sys

import numpy as np
import pandas as pd

from . import benchmarks, ensemble, newsite, observed, paramfile, reader, runner
from .cli import check_path, clean

COLUMNS = ["site", "tower", "lat", "lon", "elevation", "zref", "base", "physics", "dt", "qc"]
STEPS = ["convert", "run", "score", "ok"]
LOCK = "sites.lock"
LIST = "sites.csv"
SITE_KEYS = {"_physics": "physics (0: as designed; 1: energy-conserving, stable leaf temperatures)",
             "_dt": "time step (s) to run model",
             "_zref": "reference height of measurements above canopy (m)"}


class SitesError(ValueError):
    pass


# -- the site list -------------------------------------------------------------------

def number(text, kind, row, column, low=None, high=None):
    try:
        value = kind(text)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or (low is not None and value < low) \
            or (high is not None and value > high):
        raise SitesError("site %s: %s '%s' is not %s" % (row, column, clean(text), {
            int: "a whole number", float: "a number"}[kind] + (" from %g to %g" % (low, high)
                                                                if low is not None and high is not None else
                                                                " of at least %g" % low if low is not None else "")))
    return value


def resolve(folder, path):
    """A path of the list: from the list's folder, else (when only that exists) from the working directory."""
    listed = os.path.join(folder, path)
    return listed if os.path.exists(listed) or not os.path.exists(path) else os.path.abspath(path)


def read_sites(path, warn=None):
    """[{column: value}] of a site list; raises SitesError."""
    reader.check_input(path)
    table = pd.read_csv(path, dtype=str, keep_default_na=False, skipinitialspace=True)
    table.columns = [c.strip().lower() for c in table.columns]
    if "site" not in table.columns or "tower" not in table.columns:
        raise SitesError("%s: columns are site, tower and optionally %s" % (path, ", ".join(COLUMNS[2:])))
    unknown = [c for c in table.columns if c not in COLUMNS]
    if unknown and warn:
        warn("kelm-sites: %s: column%s %s not used (known: %s)" % (path, "s" if len(unknown) > 1 else "",
                                                                   clean(", ".join(unknown)), ", ".join(COLUMNS)))
    folder = os.path.dirname(os.path.abspath(path))
    sites, names = [], set()
    for _, row in table.iterrows():
        cell = {c: str(row.get(c, "")).strip() for c in COLUMNS}
        name = cell["site"]
        if not ensemble.NAME.match(name) or name in names:
            raise SitesError("%s: bad or repeated site name '%s'" % (path, clean(name)))
        names.add(name)
        if not cell["tower"]:
            raise SitesError("site %s: no tower file" % name)
        site = {"site": name, "tower": check_path(resolve(folder, cell["tower"]), "tower file")}
        if not os.path.isfile(site["tower"]):
            raise SitesError("site %s: tower file %s not found" % (name, site["tower"]))
        site["base"] = check_path(resolve(folder, cell["base"]), "base folder") if cell["base"] else None
        if site["base"] and not os.path.isdir(site["base"]):
            raise SitesError("site %s: base folder %s not found" % (name, site["base"]))
        site["lat"] = number(cell["lat"], float, name, "lat", -90, 90) if cell["lat"] else None
        site["lon"] = number(cell["lon"], float, name, "lon", -180, 360) if cell["lon"] else None
        site["elevation"] = number(cell["elevation"], float, name, "elevation", -500, 9000) \
            if cell["elevation"] else None
        site["zref"] = number(cell["zref"], float, name, "zref", 1) if cell["zref"] else None
        site["physics"] = number(cell["physics"], int, name, "physics", 0, 1) if cell["physics"] \
            else newsite.PHYSICS
        if cell["dt"]:
            site["dt"] = number(cell["dt"], int, name, "dt", 1, 3600)
        else:
            minutes = newsite.tower_minutes(site["tower"])
            site["dt"] = newsite.step_for(minutes) if minutes else newsite.DT
        site["qc"] = number(cell["qc"], int, name, "qc", 0) if cell["qc"] else None
        sites.append(site)
    if not sites:
        raise SitesError("%s lists no site" % path)
    return sites


def settings_text(site, kelm, train):
    """What a site's results depend on; the files by size and modification time."""
    def stamp(path):
        s = os.stat(path)
        return "%s %d %d" % (path, s.st_size, s.st_mtime_ns)
    lines = ["%s %s" % (c, "-" if site[c] is None else site[c]) for c in COLUMNS if c not in ("tower", "base")]
    lines.append("tower " + stamp(site["tower"]))
    if site["base"]:
        lines += ["base " + stamp(os.path.join(site["base"], e)) for e in sorted(os.listdir(site["base"]))
                  if os.path.isfile(os.path.join(site["base"], e))]
    lines.append("kelm " + stamp(kelm))
    lines.append("train %s" % ("%d:%d" % train if train else "-"))
    return "\n".join(lines) + "\n"


# -- one site ------------------------------------------------------------------------

def set_site_keys(path, values):
    """Set keys of site.par; a key the file lacks (an older file) is added."""
    with open(path, "rb") as f:
        text = f.read()
    for key, value in values.items():
        try:
            text = paramfile.set_values(text, {key: value}, "site.par")
        except paramfile.KeyNotFound:
            text += (b"" if text.endswith(b"\n") or not text else b"\n") + \
                ("%-10s %s    ->%s\n" % (key, value, SITE_KEYS[key])).encode()
    with open(path, "wb") as f:
        f.write(text)


def forcing_options(site):
    options = []
    for option, key in (("--qc", "qc"), ("--lat", "lat"), ("--lon", "lon"), ("--elevation", "elevation")):
        if site[key] is not None:
            options += [option, "%g" % site[key]]
    return options


def prepare(run_dir, site, kelm, train, settings):
    """Make the site directory afresh: parameter files, site.txt, run.sh.
    Returns an error message (also written to setup.err) or None."""
    if site["base"]:
        ensemble.copy_base(run_dir, site["base"])
    else:
        if os.path.isdir(run_dir):
            shutil.rmtree(run_dir)
        os.makedirs(run_dir)
    with open(os.path.join(run_dir, "site.txt"), "w") as f:
        f.write(settings)
    values = {"_physics": "%d" % site["physics"], "_dt": "%d" % site["dt"]}
    if site["zref"] is not None:
        values["_zref"] = "%g" % site["zref"]
    par = os.path.join(run_dir, "site.par")
    try:
        if not newsite.make_site(run_dir, site["physics"], site["dt"], site["zref"]):
            set_site_keys(par, values)
    except ValueError as e:
        with open(os.path.join(run_dir, "setup.err"), "w") as f:
            f.write(str(e))
        return str(e)
    q = shlex.quote
    py = q(sys.executable or "/usr/bin/python3")
    tool = lambda name: py + " " + q(os.path.join(runner.TOOLS_DIR, name))
    convert = " ".join([tool("kelm-forcing"), q(site["tower"]), "-o forcing.txt --obs obs.csv"]
                       + [q(o) for o in forcing_options(site)])
    score = " ".join([tool("kelm-stats"), q(run_dir), "forcing.txt --obs obs.csv --benchmarks --csv scores.csv"]
                     + (["--train", "%d:%d" % train] if train else []))
    script = (
        "#!/bin/sh\n"
        "# converts, runs and scores one site; rewritten by kelm-sites\n"
        "cd %s || exit 99\n"
        "exec 9> run.lock\n"
        "flock -n -E %d 9\n"
        "[ $? -ne %d ] || { echo 'this site is being run already' >&2; exit %d; }\n"
        "rm -f site.status kelm.status\n"
        "ended() { echo \"$1 $2\" > site.status.tmp && mv site.status.tmp site.status; exit $2; }\n"
        "%s < /dev/null > forcing.log 2> forcing.err || ended convert $?\n"
        "%s forcing.txt %s < /dev/null > kelm.log 2> kelm.err\n"
        "status=$?\n"
        "echo $status > kelm.status\n"
        "[ $status -eq 0 ] || ended run $status\n"
        "grep -q 'Finished. Press any key to end.' kelm.log || ended run 1\n"
        "%s < /dev/null > scores.txt 2> scores.err || ended score $?\n"
        "ended ok 0\n" % (q(run_dir), ensemble.BUSY_STATUS, ensemble.BUSY_STATUS, ensemble.BUSY_STATUS,
                          convert, q(kelm), q(run_dir + "/"), score))
    with open(os.path.join(run_dir, "run.sh"), "w") as f:
        f.write(script)
    os.chmod(os.path.join(run_dir, "run.sh"), 0o755)
    return None


def ended(run_dir):
    """(step, status) of site.status, or None while run.sh has not ended."""
    words = (ensemble.read_text(os.path.join(run_dir, "site.status")) or "").split()
    if len(words) != 2 or words[0] not in STEPS or not words[1].lstrip("-").isdigit():
        return None
    return words[0], int(words[1])


def is_finished(run_dir, settings):
    """True when run.sh has ended in run_dir with the same settings, not by a signal."""
    end = ended(run_dir)
    return end is not None and 0 <= end[1] < ensemble.SIGNAL_STATUS \
        and ensemble.read_text(os.path.join(run_dir, "site.txt")) == settings


def last_line(path):
    lines = [line.strip() for line in (ensemble.read_text(path) or "").splitlines() if line.strip()]
    return lines[-1] if lines else ""


def site_outcome(run_dir):
    """(status, step, message) of a site directory."""
    setup_error = ensemble.read_text(os.path.join(run_dir, "setup.err"))
    if setup_error is not None:
        return "setup failed", "", clean(setup_error)
    if ensemble.is_running(run_dir):
        return "running", "", ""
    end = ended(run_dir)
    if end is None:
        return "not run", "", ""
    step, code = end
    if step == "ok":
        return "ok", step, ""
    if step == "run":
        ok, message, _ = runner.outcome(ensemble.read_text(os.path.join(run_dir, "kelm.log"), ""), code)
        return "failed", step, clean(message if not ok else "kelm ended with status %d" % code)
    err = "forcing.err" if step == "convert" else "scores.err"
    return "failed", step, clean(last_line(os.path.join(run_dir, err)) or "%s ended with status %d" % (step, code))


# -- collecting ----------------------------------------------------------------------

def collect(out, sites):
    """(status table, long summary table site, flux, model, metric, value)."""
    status, parts = [], []
    for site in sites:
        run_dir = os.path.join(out, site["site"])
        state, step, message = site_outcome(run_dir)
        if state == "ok":
            try:
                scores = pd.read_csv(os.path.join(run_dir, "scores.csv"))
                if list(scores.columns) != ["flux", "model", "metric", "value"]:
                    raise ValueError("scores.csv has columns %s" % ", ".join(scores.columns))
                scores.insert(0, "site", site["site"])
                parts.append(scores)
            except (OSError, ValueError) as e:
                state, message = "failed", clean("scores: %s" % e)
        status.append({"site": site["site"], "status": state, "step": step, "message": message})
    summary = pd.concat(parts, ignore_index=True) if parts else \
        pd.DataFrame(columns=["site", "flux", "model", "metric", "value"])
    return pd.DataFrame(status, columns=["site", "status", "step", "message"]), summary


def wide(summary, flux, metric):
    """Frame site x model of one flux and metric."""
    part = summary[(summary["flux"] == flux) & (summary["metric"] == metric)]
    return part.pivot(index="site", columns="model", values="value").reindex(columns=benchmarks.MODELS)


def site_ranks(summary, flux):
    """Frame (site, metric) x model of the ranks of one flux."""
    rows = {}
    for site, part in summary[summary["flux"] == flux].groupby("site"):
        values = part.set_index(["model", "metric"])["value"]
        result = {m: {k: values.get((m, k), math.nan) for k in benchmarks.METRICS} for m in benchmarks.MODELS}
        for metric, ranked in benchmarks.ranks(result).items():
            rows[(site, metric)] = ranked
    return pd.DataFrame.from_dict(rows, orient="index").reindex(columns=benchmarks.MODELS)


def format_summary(status, summary):
    lines = []
    g = lambda v: "%.3f" % v if v == v else "-"
    fluxes = [v for v in observed.VARIABLES if v in set(summary["flux"])] or ["nep"]
    for v in fluxes:
        nme = wide(summary, v, "nme")
        lines.append("%s (%s): normalised mean error, sum |m - o| / sum |o - mean o|; lower is better"
                     % (v.upper(), observed.NAMES[v]))
        lines.append("%-14s" % "site" + "".join("%9s" % m for m in benchmarks.MODELS) + "  model beats")
        beats = dict.fromkeys(benchmarks.BENCHMARKS, 0)
        for _, row in status.iterrows():
            if row["status"] == "ok" and row["site"] in nme.index:
                values = nme.loc[row["site"]]
                won = [b for b in benchmarks.BENCHMARKS if values[benchmarks.MODEL] == values[benchmarks.MODEL]
                       and not values[b] <= values[benchmarks.MODEL]]
                for b in won:
                    beats[b] += 1
                lines.append("%-14s" % row["site"] + "".join("%9s" % g(values[m]) for m in benchmarks.MODELS)
                             + "  " + (", ".join(won) or "none"))
            elif row["status"] == "ok":
                lines.append("%-14s  (%s not observed)" % (row["site"], v.upper()))
            else:
                lines.append("%-14s  %s%s: %s" % (row["site"], row["status"],
                                                  " (%s)" % row["step"] if row["step"] else "",
                                                  row["message"] or "-"))
        scored = len(nme.index)
        if scored:
            lines.append("%-14s" % "mean" + "".join("%9s" % g(nme[m].mean()) for m in benchmarks.MODELS))
            lines.append("the model beats " + ", ".join("%s at %d of %d sites" % (b, n, scored)
                                                        for b, n in beats.items()))
            ranked = site_ranks(summary, v)
            lines.append("%-14s" % "mean rank" + "".join("%9.2f" % ranked[m].mean() for m in benchmarks.MODELS)
                         + "  (1 best, 4 worst; over the sites and the metrics R2, RMSE, bias, NME, "
                           "SD ratio, 5th and 95th percentiles)")
        lines.append("")
    return "\n".join(lines)


# -- the whole list ------------------------------------------------------------------

def check_out(out, sites):
    """Refuse an --out that holds something other than kelm-sites output, and
    site directories that are not ours."""
    if os.path.isdir(out) and set(os.listdir(out)) - {LOCK} and not os.path.exists(os.path.join(out, LIST)):
        raise SitesError("%s is not empty and holds no kelm-sites output; give a new --out" % out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise SitesError("%s is not a directory" % out)
    for site in sites:
        run_dir = os.path.join(out, site["site"])
        if os.path.lexists(run_dir) and not os.path.exists(os.path.join(run_dir, "site.txt")) \
                and not (os.path.isdir(run_dir) and not os.listdir(run_dir)):
            raise SitesError("%s exists and is no kelm-sites site directory" % run_dir)


def lock_out(out):
    """Hold a lock on out for the life of this process; refuse a second tool."""
    fd = os.open(os.path.join(out, LOCK), os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as e:
        os.close(fd)
        if e.errno in (errno.EAGAIN, errno.EACCES):
            raise SitesError("%s is in use by another kelm-sites" % out)
        raise
    return fd


def write_list(sites, path):
    table = pd.DataFrame([{c: "" if s[c] is None else s[c] for c in COLUMNS} for s in sites], columns=COLUMNS)
    table.to_csv(path, index=False)


def run_sites(sites, out, kelm, jobs=None, sshloginfile=None, slurm=None, collect_only=False,
              train=None, log=None):
    """Prepare, run (or write a Slurm script for) and collect the sites.
    slurm is None or a dict of #SBATCH options.  Returns (status, summary,
    slurm script path or None); status and summary are None with slurm."""
    log = log or (lambda text: print(text, file=sys.stderr))
    out = os.path.abspath(out)
    check_path(out, "--out")
    if kelm:
        check_path(kelm, "--kelm")
    if collect_only and not os.path.exists(os.path.join(out, LIST)):
        raise SitesError("%s holds no kelm-sites output to collect" % out)
    check_out(out, sites)
    os.makedirs(out, exist_ok=True)
    lock = lock_out(out)
    try:
        slurm_path = None
        if not collect_only:
            write_list(sites, os.path.join(out, LIST))
            def entry(site):
                settings = settings_text(site, kelm, train)
                return (os.path.join(out, site["site"]),
                        lambda run_dir: is_finished(run_dir, settings),
                        lambda run_dir: prepare(run_dir, site, kelm, train, settings))

            todo, counts = ensemble.sort_runs(entry(site) for site in sites)
            log(counts % "sites")
            if slurm is not None:
                if todo:
                    slurm_path = ensemble.write_slurm(out, todo, jobs, job_name="kelm-sites", options=slurm)
                return None, None, slurm_path
            ensemble.run_parallel(out, todo, jobs, sshloginfile)
        status, summary = collect(out, sites)
        status.to_csv(os.path.join(out, "status.csv"), index=False)
        summary.to_csv(os.path.join(out, "summary.csv"), index=False, float_format="%.6g")
        with open(os.path.join(out, "summary.txt"), "w") as f:
            f.write(format_summary(status, summary))
        return status, summary, slurm_path
    finally:
        os.close(lock)


# -- figures -------------------------------------------------------------------------

def diurnal_frame(run_dir, train=None):
    """Mean diurnal course of NEP, H and LE of a finished site: observed (mean,
    10th and 90th percentiles), model and 2lin, over the records where all exist."""
    forcing_path = os.path.join(run_dir, "forcing.txt")
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    pairs = observed.pair(site, observed.load(forcing_path, os.path.join(run_dir, "obs.csv")))
    frame = benchmarks.drivers(reader.read_forcing(forcing_path, max_records=len(site) + 1), len(site))
    hour = pairs["hour"] + pairs["minute"] / 60.0
    courses = {}
    for v in observed.observed(pairs):
        lin = benchmarks.benchmark_predictions(pairs, frame, v, train, names=["2lin"])["2lin"]
        both = pd.DataFrame({"hour": hour, "obs": pairs["obs_" + v], "sim": pairs["sim_" + v], "2lin": lin}).dropna()
        grouped = both.groupby("hour")
        course = grouped[["obs", "sim", "2lin"]].mean()
        course["p10"] = grouped["obs"].quantile(0.1)
        course["p90"] = grouped["obs"].quantile(0.9)
        courses[v] = course
    return courses


def plot(out, status, summary, train=None):
    """Write figures/ranks.png and figures/diurnal_SITE.png; returns the paths."""
    from . import plots
    plt = plots.plt
    folder = os.path.join(out, "figures")
    os.makedirs(folder, exist_ok=True)
    paths = []
    fluxes = [v for v in observed.VARIABLES if v in set(summary["flux"])]
    if fluxes:
        fig, axes = plt.subplots(1, len(fluxes), figsize=(4.2 * len(fluxes) + 1, 4.2), sharey=True, squeeze=False)
        styles = {"kelm": dict(color="tab:green", marker="o", lw=2.5), "1lin": dict(color="tab:blue", marker="s"),
                  "2lin": dict(color="tab:orange", marker="^"), "3km27": dict(color="tab:purple", marker="D")}
        labels = [benchmarks.METRIC_LABELS[k].split(" (")[0] for k in benchmarks.RANKED]
        for ax, v in zip(axes[0], fluxes):
            ranked = site_ranks(summary, v).groupby(level=1).mean().reindex(benchmarks.RANKED)
            sites = summary[summary["flux"] == v]["site"].nunique()
            x = np.arange(len(benchmarks.RANKED))
            for m in benchmarks.MODELS:
                ax.plot(x, ranked[m], label=m, **styles[m])
            ax.set_xticks(x)
            ax.set_xticklabels(labels, rotation=45, ha="right")
            ax.set_ylim(4.3, 0.7)
            ax.set_yticks([1, 2, 3, 4])
            ax.set_title("%s, mean over %d site%s" % (v.upper(), sites, "s" if sites != 1 else ""))
            ax.grid(axis="y", lw=0.3)
        axes[0][0].set_ylabel("Rank (1 best)")
        axes[0][-1].legend(loc="center left", bbox_to_anchor=(1.02, 0.5), fontsize=9)
        paths.append(plots._save(fig, os.path.join(folder, "ranks.png")))
    for name in status[status["status"] == "ok"]["site"]:
        courses = diurnal_frame(os.path.join(out, name), train)
        if not courses:
            continue
        fig, axes = plt.subplots(1, len(courses), figsize=(4.5 * len(courses), 3.8), squeeze=False)
        for ax, (v, c) in zip(axes[0], courses.items()):
            ax.fill_between(c.index, c["p10"], c["p90"], color="0.85", label="observed 10-90 %")
            ax.plot(c.index, c["obs"], color="black", label="observed")
            ax.plot(c.index, c["sim"], color="tab:green", lw=2, label="kelm")
            ax.plot(c.index, c["2lin"], color="tab:orange", ls="--", label="2lin")
            ax.axhline(0, color="grey", lw=0.5)
            ax.set_xlabel("Hour (end of interval)")
            ax.set_ylabel("%s (%s)" % (v.upper(), observed.UNITS[v]))
            ax.set_title("%s, %s: mean diurnal course" % (name, v.upper()))
        axes[0][0].legend(fontsize=8)
        paths.append(plots._save(fig, os.path.join(folder, "diurnal_%s.png" % name)))
    return paths
