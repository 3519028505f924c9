"""Which parameters matter for which output: Morris screening and Sobol
variance indices over the ranges of a ranges file.

The outputs of a run are the RMSE of each observed flux (NEP; H and LE with an
observation file) and the means of the simulated NEP, H and LE over the whole
run (the annual means of a site-year).

Layout of the output directory:
    design.csv      the design points: point, run (points of the same values
                    share one), method, then per key its value and its place
                    in the unit range (u:file:key)
    runs/           the model runs, an ensemble in kelm-ensemble's layout, each
                    named by its values; a rerun skips the runs that have
                    finished, also those another design shares
    outputs.csv     per run: status and the outputs
    indices.csv     output,parameter,index,value,low,high (95 % bootstrap interval)
    OUTPUT.png      a bar chart per output with the intervals
"""

import hashlib
import math
import os
import shlex
import warnings

import numpy as np
import pandas as pd
from scipy.stats import qmc

from . import ensemble, observed, reader, stats

METHODS = ["morris", "sobol"]
MORRIS_LEVELS = 4
BOOTSTRAP = 1000
CONFIDENCE = 0.95
# kelm's output files other than site.csv: removed once a run is scored, as a
# year of them takes ten times the room of site.csv
PRUNED = [name for name in reader.OUTPUT_FILES if name != "site.csv"]


class SensitivityError(ValueError):
    pass


# -- Morris elementary effects -------------------------------------------------

def morris_trajectory(rng, d, levels=MORRIS_LEVELS):
    """One trajectory of d + 1 points on a grid of `levels` levels in [0, 1]^d:
    from a random grid point, each factor in random order moves once by
    delta = levels / (2 (levels - 1)), up where it can, else down (Morris 1991)."""
    delta = levels / (2.0 * (levels - 1))
    x = rng.integers(0, levels, d) / (levels - 1.0)
    points = [x.copy()]
    for i in rng.permutation(d):
        x[i] += delta if x[i] + delta <= 1.0 + 1e-12 else -delta
        points.append(x.copy())
    return np.array(points)


def morris_design(r, d, seed, levels=MORRIS_LEVELS):
    """r random trajectories, (r, d + 1, d).  They are not chosen for spread
    among more candidates (Campolongo et al. 2007): on a grid of few levels
    that choice favours the corners and biases mu* (Ishigami's third factor:
    1.9 instead of 6.2 with four levels)."""
    rng = np.random.default_rng(seed)
    return np.array([morris_trajectory(rng, d, levels) for _ in range(r)])


def elementary_effects(design, y):
    """Elementary effects (r, d) of the outputs y (r, d + 1) along the
    trajectories: EE_i = (y(x + delta_i e_i) - y(x)) / delta_i, in output per
    unit range (Morris 1991, eq. 1)."""
    steps = np.diff(design, axis=1)                 # (r, d, d): one non-zero per step
    factor = np.argmax(np.abs(steps), axis=2)       # which factor each step moves
    delta = np.take_along_axis(steps, factor[..., None], axis=2)[..., 0]
    ee = np.empty(factor.shape)
    np.put_along_axis(ee, factor, np.diff(y, axis=1) / delta, axis=1)
    return ee


def morris_indices(ee, seed=1, bootstrap=BOOTSTRAP):
    """{mu_star, mu, sigma: (d,)} of elementary effects (r, d): the mean of
    their absolute values (Campolongo et al. 2007), their mean and standard
    deviation (Morris 1991); and the bootstrap interval of mu_star over the
    trajectories as (low, high)."""
    r = len(ee)
    result = {"mu_star": np.abs(ee).mean(axis=0), "mu": ee.mean(axis=0),
              "sigma": ee.std(axis=0, ddof=1) if r > 1 else np.full(ee.shape[1], math.nan)}
    idx = np.random.default_rng(seed).integers(0, r, (bootstrap, r))
    boot = np.abs(ee)[idx].mean(axis=1)
    tail = 50.0 * (1.0 - CONFIDENCE)
    result["mu_star_interval"] = (np.percentile(boot, tail, axis=0), np.percentile(boot, 100 - tail, axis=0))
    return result


# -- Sobol indices ------------------------------------------------------------

def saltelli_design(n, d, seed):
    """Matrices A and B (n, d) of a scrambled Sobol' sequence of 2 d
    dimensions and the d matrices AB_i, A with its column i from B,
    stacked (n (d + 2), d) as A, B, AB_1 .. AB_d (Saltelli et al. 2010, sect. 3)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")      # balance warning of n not a power of two
        base = qmc.Sobol(2 * d, scramble=True, seed=seed).random(n)
    a, b = base[:, :d], base[:, d:]
    ab = []
    for i in range(d):
        m = a.copy()
        m[:, i] = b[:, i]
        ab.append(m)
    return np.vstack([a, b] + ab)


def _jansen(fa, fb, fab):
    """First-order and total indices of outputs fa, fb (..., n) and fab
    (d, ..., n) with Jansen's (1999) estimators, as in Saltelli et al. (2010),
    Table 2 (c) and (f):
        V_i  = V(Y) - 1/(2n) sum_j (f(B)_j - f(AB_i)_j)^2
        VT_i = 1/(2n) sum_j (f(A)_j - f(AB_i)_j)^2
    with V(Y) the variance of f(A) and f(B) together."""
    v = np.var(np.concatenate([fa, fb], axis=-1), axis=-1)
    s1 = 1.0 - 0.5 * np.mean((fb - fab) ** 2, axis=-1) / v
    st = 0.5 * np.mean((fa - fab) ** 2, axis=-1) / v
    return s1, st


def sobol_indices(y, d, seed=1, bootstrap=BOOTSTRAP):
    """{S1, ST: (d,)} of the outputs y of a saltelli_design (n (d + 2),),
    and their bootstrap intervals over the n rows as S1_interval, ST_interval."""
    y = np.asarray(y, dtype=float).reshape(d + 2, -1)
    n = y.shape[1]
    s1, st = _jansen(y[0], y[1], y[2:])
    idx = np.random.default_rng(seed).integers(0, n, (bootstrap, n))
    b1, bt = _jansen(y[0][idx], y[1][idx], y[2:][:, idx])
    tail = 50.0 * (1.0 - CONFIDENCE)
    return {"S1": s1, "ST": st,
            "S1_interval": (np.percentile(b1, tail, axis=1), np.percentile(b1, 100 - tail, axis=1)),
            "ST_interval": (np.percentile(bt, tail, axis=1), np.percentile(bt, 100 - tail, axis=1))}


def design_points(method, n, d, seed):
    """Unit-cube points of a study: (runs, d)."""
    if method == "morris":
        return morris_design(n, d, seed).reshape(-1, d)
    return saltelli_design(n, d, seed)


def indices(method, points, y, d, seed=1):
    """Rows (parameter number, index, value, low, high) of one output y (runs,).
    Trajectories (Morris) or rows (Sobol) with a failed run are left out."""
    if method == "morris":
        design, y = points.reshape(-1, d + 1, d), np.asarray(y, dtype=float).reshape(-1, d + 1)
        ok = np.isfinite(y).all(axis=1)
        if ok.sum() < 2:
            return []
        r = morris_indices(elementary_effects(design[ok], y[ok]), seed)
        low, high = r["mu_star_interval"]
        return [row for i in range(d) for row in
                ((i, "mu_star", r["mu_star"][i], low[i], high[i]), (i, "mu", r["mu"][i], math.nan, math.nan),
                 (i, "sigma", r["sigma"][i], math.nan, math.nan))]
    y = np.asarray(y, dtype=float).reshape(d + 2, -1)
    ok = np.isfinite(y).all(axis=0)
    if ok.sum() < 2 or np.var(y[:2, ok]) == 0:
        return []
    r = sobol_indices(y[:, ok], d, seed)
    return [row for i in range(d) for name in ("S1", "ST")
            for row in [(i, name, r[name][i], r[name + "_interval"][0][i], r[name + "_interval"][1][i])]]


# -- the study ------------------------------------------------------------------

def run_outputs(run_dir, obs):
    """{rmse_V (observed fluxes), mean_V} of a finished run."""
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    pairs = observed.pair(site, obs)
    result = {"mean_" + v: float(np.nanmean(pairs["sim_" + v])) for v in observed.VARIABLES}
    for v in observed.observed(pairs):
        result["rmse_" + v] = stats.fit(pairs["obs_" + v], pairs["sim_" + v])["rmse"]
    return result


def output_names(obs):
    return ["rmse_" + v for v in observed.VARIABLES if obs[v].notna().any()] + \
        ["mean_" + v for v in observed.VARIABLES]


def make_runs(ranges, points):
    """The runs of the design points, one per distinct set of values (Morris
    trajectories share many points), and the run of each point.  A run is
    named by its values, so that another design (--n, --seed, --method) in
    the same --out reuses the finished runs it shares and adds the others."""
    values = [{col: ensemble.sampled_text(col[1], low + u[j] * (high - low))
               for j, (col, low, high) in enumerate(ranges)} for u in points]
    names = ["run-" + hashlib.sha256(ensemble.edits_text(v).encode()).hexdigest()[:16] for v in values]
    return list(dict(zip(names, values)).items()), names


def write_design(path, method, ranges, point_runs, points):
    table = pd.DataFrame({"point": np.arange(1, len(points) + 1), "run": point_runs, "method": method})
    for j, (col, low, high) in enumerate(ranges):
        table["%s:%s" % col] = low + points[:, j] * (high - low)
    for j, (col, _, _) in enumerate(ranges):
        table["u:%s:%s" % col] = points[:, j]
    table.to_csv(path, index=False, float_format="%.9g")


def score_runs(out, runs, table, obs):
    """outputs.csv: each run's status and outputs; successful runs keep only
    their site.csv."""
    status = dict(zip(table["name"], table["status"])) if table is not None else {}
    rows = []
    for name, _ in runs:
        run_dir = os.path.join(out, "runs", name)
        row = {"name": name, "status": status.get(name, "not run")}
        if row["status"] == "ok":
            try:
                row.update(run_outputs(run_dir, obs))
            except (OSError, ValueError) as e:
                row["status"] = "failed"
                row["message"] = "outputs: %s" % e
            for f in PRUNED:
                try:
                    os.remove(os.path.join(run_dir, f))
                except FileNotFoundError:
                    pass
        rows.append(row)
    frame = pd.DataFrame(rows)
    for c in output_names(obs):
        if c not in frame.columns:
            frame[c] = math.nan
    frame.to_csv(os.path.join(out, "outputs.csv"), index=False, float_format="%.9g")
    return frame


def all_indices(method, ranges, points, outputs, names, seed):
    d = len(ranges)
    rows = []
    for name in names:
        for i, index, value, low, high in indices(method, points, outputs[name].to_numpy(dtype=float), d, seed):
            rows.append(dict(output=name, parameter="%s:%s" % ranges[i][0], index=index,
                             value=value, low=low, high=high))
    return pd.DataFrame(rows, columns=["output", "parameter", "index", "value", "low", "high"])


def check_out(out, force):
    if os.path.isdir(out) and os.listdir(out) and not os.path.exists(os.path.join(out, "design.csv")) \
            and not force:
        raise SensitivityError("%s is not empty and holds no sensitivity study; give a new --out, "
                               "or --force to use it" % out)


def format_indices(method, table):
    wanted = ["mu_star", "sigma"] if method == "morris" else ["S1", "ST"]
    lines = []
    for output, part in table.groupby("output", sort=False):
        lines.append("%s" % output)
        lines.append("  %-30s" % "parameter" + "".join("%28s" % w for w in wanted))
        for parameter, rows in part.groupby("parameter", sort=False):
            cells = []
            for w in wanted:
                r = rows[rows["index"] == w].iloc[0]
                interval = " [%.3g, %.3g]" % (r["low"], r["high"]) if r["low"] == r["low"] else ""
                cells.append("%28s" % ("%.3g%s" % (r["value"], interval)))
            lines.append("  %-30s" % parameter + "".join(cells))
    return "\n".join(lines) + "\n"


def main(args):
    """Run a study from parsed command-line arguments; returns the exit status."""
    from . import plots_uncertainty
    if args.method not in METHODS:
        raise SensitivityError("--method %s: choose morris or sobol" % args.method)
    out = os.path.abspath(args.out)
    ranges = ensemble.read_ranges(args.ranges)
    if not ranges:
        raise SensitivityError("%s names no key" % args.ranges)
    check_out(out, args.force)
    obs = observed.load(args.forcing, args.obs)
    d = len(ranges)
    points = design_points(args.method, args.n, d, args.seed)
    runs, point_runs = make_runs(ranges, points)
    os.makedirs(out, exist_ok=True)
    write_design(os.path.join(out, "design.csv"), args.method, ranges, point_runs, points)
    print("%s of %d keys: %d points, %d distinct runs" % (args.method, d, len(points), len(runs)), flush=True)
    table, slurm = ensemble.run_ensemble(args.base, args.forcing, os.path.join(out, "runs"), runs, args.kelm,
                                         jobs=args.jobs, sshloginfile=args.sshloginfile, slurm=args.slurm,
                                         collect_only=args.collect, force=args.force)
    if args.slurm:
        if slurm:
            print("wrote %s; submit %s with: %s" % (", ".join(slurm), "it" if len(slurm) == 1 else "them",
                                                   "; ".join("sbatch " + shlex.quote(s) for s in slurm)))
            print("then compute the indices with the same command and --collect instead of --slurm")
        else:
            print("every run has finished or could not be prepared; run with --collect for the indices")
        return 0
    outputs = score_runs(out, runs, table, obs).set_index("name").loc[point_runs]
    names = output_names(obs)
    result = all_indices(args.method, ranges, points, outputs, names, args.seed)
    result.to_csv(os.path.join(out, "indices.csv"), index=False, float_format="%.6g")
    figures = [plots_uncertainty.plot_indices(args.method, result[result["output"] == name], name,
                                              os.path.join(out, name + ".png"))
               for name in names if (result["output"] == name).any()]
    failed = len(set(outputs.index[outputs["status"] != "ok"]))
    print(format_indices(args.method, result), end="")
    if failed:
        print("%d of %d runs did not end ok (see %s); the %s with them are left out"
              % (failed, len(runs), os.path.join(out, "outputs.csv"),
                 "trajectories" if args.method == "morris" else "sample rows"))
    print("indices: %s; figures: %s" % (os.path.join(out, "indices.csv"), ", ".join(figures) or "none"))
    return 3 if failed else 0
