"""Bayesian calibration: the posterior of the keys within their ranges, with
emcee's affine-invariant ensemble sampler (Goodman and Weare 2010;
Foreman-Mackey et al. 2013).

Prior: uniform within the ranges; a free error sigma_V of a flux is uniform in
log sigma (a scale prior) between 0.001 and 10 standard deviations of its
observations.  Likelihood: independent Gaussian errors per flux V of the
target, over the records of the calibration days,
    log L = sum_V [ -n_V log sigma_V - n_V RMSE_V^2 / (2 sigma_V^2) - n_V log(2 pi) / 2 ],
so a run's RMSE and count, as the calibration history keeps them, give it.

Files in --out besides the calibration's (settings.txt, history.csv, runs/,
best/ with the values of the highest posterior, report.csv):
    chain.csv           every walker after every step, appended step by step
                        (a free error as log_sigma:FLUX); the same command
                        resumes from its last step
    posterior.csv       the samples after the burn-in
    posterior_summary.csv  per parameter: mean, sd, q05, q50, q95, tau
    mcmc.txt            acceptance fraction, autocorrelation times, predictive coverage
    trace.png, pairs.png
    predictive/         runs of posterior draws (kelm-ensemble's layout)
    predictive.csv      validation records: obs, q05, q50, q95 per flux
    predictive.png
"""

import concurrent.futures
import hashlib
import logging
import math
import os
import warnings

import emcee
import numpy as np
import pandas as pd
from scipy.stats import qmc

from . import calibrate, ensemble, observed, reader
from .calibrate import CalibrationError

SIGMA_PREFIX = "sigma:"
# the free error's prior range, in standard deviations of the observations
SIGMA_RANGE = (1e-3, 10.0)
CHAIN_LENGTH_TAUS = 50
NOISE_REPLICATES = 20
PREDICTIVE_FILES = [name for name in reader.OUTPUT_FILES if name != "site.csv"]


def parse_sigma(text, target):
    """{flux: sigma} of "nep=1.5,le=20"; every flux must be one of the target."""
    result = {}
    for item in filter(None, (w.strip() for w in (text or "").split(","))):
        name, sep, value = item.partition("=")
        name = name.strip().lower()
        try:
            sigma = float(value)
        except ValueError:
            sigma = math.nan
        if not sep or not math.isfinite(sigma) or sigma <= 0:
            raise CalibrationError("--sigma %s: give FLUX=SIGMA pairs with positive numbers, "
                                   "such as nep=1.5,le=20" % text)
        if name not in target:
            raise CalibrationError("--sigma %s: %s is not in --target %s" % (text, name, "+".join(target)))
        result[name] = sigma
    return result


class Posterior:
    """Log posterior of parameter vectors (keys, then log sigma of each flux
    whose error is free); runs go through the calibration's history."""

    def __init__(self, cal, sigma, pool):
        self.cal, self.pool = cal, pool
        self.given = sigma
        self.free = [v for v in cal.target if v not in sigma]
        self.names = cal.columns + [SIGMA_PREFIX + v for v in self.free]
        # the chain holds a free error as its logarithm, the sampled quantity
        self.chain_names = cal.columns + ["log_" + SIGMA_PREFIX + v for v in self.free]
        low = [lo for _, lo, _ in cal.ranges]
        high = [hi for _, _, hi in cal.ranges]
        timed = reader.add_time(cal.obs.copy())
        calibration_days = observed.in_days(timed, *cal.periods["calibration"])
        for v in self.free:
            sd = float(np.nanstd(calibration_days[v].to_numpy(dtype=float)))
            if not sd > 0:
                raise CalibrationError("observed %s does not vary on the calibration days: give its --sigma"
                                       % v.upper())
            low.append(math.log(SIGMA_RANGE[0] * sd))
            high.append(math.log(SIGMA_RANGE[1] * sd))
        self.low, self.high = np.array(low), np.array(high)
        self.nkeys = len(cal.columns)

    def sigmas(self, x):
        """{flux: sigma} of a parameter vector."""
        result = dict(self.given)
        result.update({v: math.exp(s) for v, s in zip(self.free, x[self.nkeys:])})
        return result

    def log_likelihood(self, row, x):
        if row["status"] != "ok":
            return -math.inf
        total = 0.0
        for v, sigma in self.sigmas(x).items():
            n = row.get("calibration_%s_n" % v, math.nan)
            rmse = row.get("calibration_%s_rmse" % v, math.nan)
            if not (n > 0 and math.isfinite(rmse)):
                return -math.inf
            total += -n * math.log(sigma) - 0.5 * n * (rmse / sigma) ** 2 - 0.5 * n * math.log(2 * math.pi)
        return total

    def __call__(self, xs):
        """Log posterior of the rows of xs; the runs of those inside the prior
        go jobs at a time."""
        xs = np.atleast_2d(xs)
        inside = np.all((xs >= self.low) & (xs <= self.high), axis=1)
        result = np.full(len(xs), -math.inf)
        if inside.any():
            self.cal.evaluate(list(xs[inside, :self.nkeys]), self.pool)
            for k in np.nonzero(inside)[0]:
                row = self.cal.history[self.cal.texts(xs[k, :self.nkeys])]
                result[k] = self.log_likelihood(row, xs[k])
        return result


# -- the chain file -----------------------------------------------------------

def read_chain(path, names, walkers):
    """(positions (steps, walkers, d), log posterior (steps, walkers)) of the
    complete steps of chain.csv; refuses a chain of other parameters or walkers."""
    table = pd.read_csv(path, float_precision="round_trip")
    if list(table.columns) != ["step", "walker"] + names + ["log_posterior"]:
        raise CalibrationError("%s holds a chain of other parameters; give another --out" % path)
    if len(table) and table["walker"].max() + 1 != walkers:
        raise CalibrationError("%s holds a chain of %d walkers, not %d; give the same --walkers or another --out"
                               % (path, table["walker"].max() + 1, walkers))
    steps = len(table) // walkers
    table = table.iloc[:steps * walkers]
    if (table["step"].to_numpy() != np.repeat(np.arange(1, steps + 1), walkers)).any():
        raise CalibrationError("%s is damaged: its steps are not in order; give another --out" % path)
    chain = table[names].to_numpy(dtype=float).reshape(steps, walkers, len(names))
    return chain, table["log_posterior"].to_numpy(dtype=float).reshape(steps, walkers)


def write_chain(path, names, chain, log_prob):
    """Rewrite chain.csv with the complete steps (drops a step cut short)."""
    with open(path, "w") as f:
        f.write(",".join(["step", "walker"] + names + ["log_posterior"]) + "\n")
        for step in range(len(chain)):
            append_step(f, step + 1, chain[step], log_prob[step])


def append_step(f, step, coords, log_prob):
    for w, (x, lp) in enumerate(zip(coords, log_prob)):
        f.write("%d,%d,%s,%r\n" % (step, w, ",".join(repr(float(v)) for v in x), float(lp)))


def start_near_best(post, walkers, seed):
    """Walkers in a small ball (1 % of each range) around the run of the
    history with the highest likelihood, a free error at that run's RMSE."""
    best, best_ll = None, -math.inf
    for texts, row in post.cal.history.items():
        if row["status"] != "ok":
            continue
        rmse = [row.get("calibration_%s_rmse" % v, math.nan) for v in post.free]
        x = np.array([float(v) for v in texts] + [math.log(r) if r > 0 else math.nan for r in rmse])
        if np.all(np.isfinite(x)) and np.all((x >= post.low) & (x <= post.high)):
            ll = post.log_likelihood(row, x)
            if ll > best_ll:
                best, best_ll = x, ll
    if best is None:
        raise CalibrationError("--init best: the history holds no successful run within the ranges; "
                               "run the search (--method de) into this --out first, or use --init prior")
    ball = best + 0.01 * (post.high - post.low) * np.random.default_rng(seed).standard_normal((walkers, len(best)))
    # mirrored back into the ranges
    ball = np.where(ball < post.low, 2 * post.low - ball, ball)
    return np.clip(np.where(ball > post.high, 2 * post.high - ball, ball), post.low, post.high)


def sample(post, walkers, steps, seed, log, init="prior"):
    """Run (or resume) the chain to `steps` steps; returns (chain, log posterior).
    The first walkers are a Latin-hypercube sample of the prior, or with
    init "best" a small ball around the best run of the history."""
    d = len(post.names)
    path = os.path.join(post.cal.out, "chain.csv")
    if os.path.exists(path):
        chain, log_prob = read_chain(path, post.chain_names, walkers)
        write_chain(path, post.chain_names, chain, log_prob)
    else:
        chain, log_prob = np.empty((0, walkers, d)), np.empty((0, walkers))
        write_chain(path, post.chain_names, chain, log_prob)
    if len(chain):
        coords, lp = chain[-1], log_prob[-1]
        log("resuming the chain at step %d of %d" % (len(chain), steps))
    else:
        if init == "best":
            coords = start_near_best(post, walkers, seed)
        else:
            coords = post.low + qmc.LatinHypercube(d=d, seed=seed).random(walkers) * (post.high - post.low)
        lp = post(coords)
        if not np.isfinite(lp).any():
            raise CalibrationError("no walker of the first ensemble has a finite posterior: every run failed "
                                   "(see %s)" % post.cal.history_path)
    sampler = emcee.EnsembleSampler(walkers, d, post, vectorize=True)
    new_chain, new_lp = [chain], [log_prob]
    with open(path, "a") as f:
        for step in range(len(chain) + 1, steps + 1):
            # each step its own random state: a resumed chain is the one run in one go
            state = emcee.State(coords, log_prob=lp, random_state=np.random.RandomState(
                (seed * 1000003 + step) % 2**32).get_state())
            for state in sampler.sample(state, iterations=1, store=False, skip_initial_state_check=True):
                pass
            coords, lp = state.coords, state.log_prob
            append_step(f, step, coords, lp)
            f.flush()
            new_chain.append(coords[None])
            new_lp.append(lp[None])
            if step % 10 == 0 or step == steps:
                log("step %d of %d: %d runs (%d new), acceptance %.2f, best log posterior %.6g"
                    % (step, steps, post.cal.counts["new"] + post.cal.counts["reused"], post.cal.counts["new"],
                       acceptance(np.concatenate(new_chain)), np.max(np.concatenate(new_lp))))
    return np.concatenate(new_chain)[:steps], np.concatenate(new_lp)[:steps]


def acceptance(chain):
    """Share of the steps in which a walker moved (a rejected proposal keeps it)."""
    if len(chain) < 2:
        return math.nan
    return float(np.mean(np.any(chain[1:] != chain[:-1], axis=2)))


def autocorrelation(chain):
    """Integrated autocorrelation time of each parameter (emcee's estimate,
    Goodman and Weare 2010 / Sokal's window), in steps."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")      # a chain too short for an estimate: the caller warns
        logging.getLogger("emcee.autocorr").setLevel(logging.ERROR)
        return emcee.autocorr.integrated_time(chain, quiet=True)


# -- predictions ----------------------------------------------------------------

def predictive(post, samples, draws, seed, kelm):
    """Run `draws` posterior samples and return ({flux: band frame}, {flux: coverage},
    {flux: with_error}) on the validation days: 5, 50 and 95 % of the simulated
    flux plus a Gaussian error of the draw's sigma (fluxes of the likelihood),
    or of the simulated flux alone (other fluxes)."""
    cal = post.cal
    rng = np.random.default_rng(seed)
    picks = rng.choice(len(samples), size=min(draws, len(samples)), replace=False)
    # a draw's run is named by its values: a longer chain draws other samples,
    # and the runs of earlier draws stay apart and can be taken again
    runs, names = {}, []
    for i in picks:
        values = cal.values(cal.texts(samples[i, :post.nkeys]))
        names.append("draw-" + hashlib.sha256(ensemble.edits_text(values).encode()).hexdigest()[:16])
        runs[names[-1]] = values
    runs = list(runs.items())
    out = os.path.join(cal.out, "predictive")
    table, _ = ensemble.run_ensemble(cal.base, cal.forcing, out, runs, kelm, jobs=cal.jobs, force=False)
    sims, frame = {v: [] for v in cal.variables}, None
    used = []
    status = dict(zip(table["name"], table["status"]))
    for name, i in zip(names, picks):
        if status[name] != "ok":
            continue
        run_dir = os.path.join(out, name)
        site = reader.read_output(os.path.join(run_dir, "site.csv"))
        pairs = observed.in_days(observed.pair(site, cal.obs), *cal.periods["validation"])
        frame = pairs if frame is None else frame
        for v in cal.variables:
            sims[v].append(pairs["sim_" + v].to_numpy(dtype=float))
        used.append(i)
        for f in PREDICTIVE_FILES:
            if os.path.exists(os.path.join(run_dir, f)):
                os.remove(os.path.join(run_dir, f))
    if frame is None:
        raise CalibrationError("no predictive run ended ok (see %s)" % out)
    bands, coverage, with_error = {}, {}, {}
    for v in cal.variables:
        sim = np.array(sims[v])                            # (draws, records)
        with_error[v] = v in cal.target
        if with_error[v]:
            sigma = np.array([post.sigmas(samples[i])[v] for i in used])
            noise = rng.standard_normal((NOISE_REPLICATES,) + sim.shape) * sigma[None, :, None]
            sim = (sim[None] + noise).reshape(-1, sim.shape[1])
        q05, q50, q95 = np.percentile(sim, [5, 50, 95], axis=0)
        obs = frame["obs_" + v].to_numpy(dtype=float)
        ok = np.isfinite(obs)
        coverage[v] = float(np.mean((obs[ok] >= q05[ok]) & (obs[ok] <= q95[ok]))) if ok.any() else math.nan
        bands[v] = pd.DataFrame({"day": frame["day"], "hour": frame["hour"], "minute": frame["minute"],
                                 "time": frame["time"], "obs": obs, "q05": q05, "q50": q50, "q95": q95})
    return bands, coverage, with_error, len(used)


# -- results --------------------------------------------------------------------

def summary_table(names, samples, tau):
    q = np.percentile(samples, [5, 50, 95], axis=0)
    return pd.DataFrame({"parameter": names, "mean": samples.mean(axis=0), "sd": samples.std(axis=0, ddof=1),
                         "q05": q[0], "q50": q[1], "q95": q[2], "tau": tau})


def natural(post, values):
    """Parameter vectors with the free errors as sigma instead of log sigma."""
    values = np.array(values, dtype=float)
    values[..., post.nkeys:] = np.exp(values[..., post.nkeys:])
    return values


def main(args, kelm):
    """kelm-calibrate --method mcmc; returns the exit status."""
    log = lambda text: print(text, flush=True)  # noqa: E731
    # the checks of the sampler's own options come before anything is written
    target = [v.strip().lower() for v in args.target.split("+")]
    sigma = parse_sigma(args.sigma, target)
    d = len(ensemble.read_ranges(args.ranges)) + len([v for v in target if v not in sigma])
    walkers = args.walkers or max(8, 2 * d + 2)
    if walkers < 2 * d or walkers % 2:
        raise CalibrationError("--walkers %d: give an even number of at least %d (twice the %d parameters)"
                               % (walkers, 2 * d, d))
    cal = calibrate.Calibration(args.base, args.forcing, args.ranges, args.out,
                                calibrate.parse_days(args.calibrate, "--calibrate"),
                                calibrate.parse_days(args.validate, "--validate"),
                                kelm, obs=args.obs, target=args.target, metric=args.metric, jobs=args.jobs, log=log)
    try:
        return finish(args, kelm, cal, log, sigma, walkers)
    finally:
        cal.close()


def finish(args, kelm, cal, log, sigma, walkers):
    """The chain, its summaries and figures, the predictive band and the report."""
    from . import plots_uncertainty
    with concurrent.futures.ThreadPoolExecutor(cal.jobs) as pool:
        post = Posterior(cal, sigma, pool)
        d = len(post.names)
        burn = args.burn if args.burn is not None else args.steps // 2
        log("%d parameters (%s), %d walkers, %d steps: up to %d runs"
            % (d, ", ".join(post.names), walkers, args.steps, walkers * (args.steps + 1) + 1))
        cal.evaluate([np.array(cal.default)], pool)
        default_texts = cal.texts(cal.default)
        chain, log_prob = sample(post, walkers, args.steps, args.seed, log, args.init)
    samples = chain[burn:].reshape(-1, d)
    tau = autocorrelation(chain[burn:])
    names = post.names
    natural_samples = natural(post, samples)
    pd.DataFrame(natural_samples, columns=names).to_csv(os.path.join(cal.out, "posterior.csv"), index=False,
                                                        float_format="%.9g")
    table = summary_table(names, natural_samples, tau)
    table.to_csv(os.path.join(cal.out, "posterior_summary.csv"), index=False, float_format="%.6g")
    best = np.unravel_index(np.argmax(log_prob), log_prob.shape)
    best_texts = cal.texts(chain[best][:post.nkeys])
    plots_uncertainty.plot_trace(natural(post, chain), log_prob, names, burn, os.path.join(cal.out, "trace.png"))
    plots_uncertainty.plot_pairs(natural_samples, names, os.path.join(cal.out, "pairs.png"))
    bands, coverage, with_error, used = predictive(post, samples, args.draws, args.seed, kelm)
    rows = [band.assign(flux=v) for v, band in bands.items()]
    pd.concat(rows)[["flux", "day", "hour", "minute", "time", "obs", "q05", "q50", "q95"]].to_csv(
        os.path.join(cal.out, "predictive.csv"), index=False, float_format="%.6g")
    plots_uncertainty.plot_predictive(bands, coverage, with_error, os.path.join(cal.out, "predictive.png"))
    best_dir = cal.write_best(best_texts)
    report = cal.report(default_texts, best_texts)

    text = format_summary(table, chain, burn, tau, bands, coverage, with_error, used)
    with open(os.path.join(cal.out, "mcmc.txt"), "w") as f:
        f.write(text)
    print(calibrate.format_report(cal, report, default_texts, best_texts), end="")
    print(text, end="")
    print("posterior: %s; chain: %s; figures: trace.png, pairs.png, predictive.png; best (highest posterior): %s"
          % (os.path.join(cal.out, "posterior.csv"), os.path.join(cal.out, "chain.csv"), best_dir))
    return 0


def format_summary(table, chain, burn, tau, bands, coverage, with_error, used):
    """The text of mcmc.txt: the posterior, the chain's health and the predictive coverage."""
    steps = len(chain)
    lines = ["%-28s %12s %12s %12s %12s %8s" % ("parameter", "mean", "q05", "q50", "q95", "tau")]
    for r in table.to_dict("records"):
        lines.append("%-28s %12.6g %12.6g %12.6g %12.6g %8.1f" % (r["parameter"], r["mean"], r["q05"], r["q50"],
                                                                  r["q95"], r["tau"]))
    moved = np.any(chain[1:] != chain[:-1], axis=2).mean(axis=0) if len(chain) > 1 else np.array([math.nan])
    lines.append("acceptance fraction %.3f (walkers %.2f to %.2f); %d steps, burn-in %d, %d samples"
                 % (acceptance(chain), moved.min(), moved.max(), steps, burn, (steps - burn) * chain.shape[1]))
    kept = steps - burn
    if not np.all(np.isfinite(tau)):
        lines.append("WARNING: the chain after the burn-in (%d steps) is too short to estimate its autocorrelation "
                     "time: run the same command with more --steps" % kept)
    elif not np.all(kept >= CHAIN_LENGTH_TAUS * tau):
        lines.append("WARNING: the chain after the burn-in (%d steps) is shorter than %d autocorrelation times "
                     "(%d x %.1f): the posterior is not yet well sampled; run the same command with more --steps"
                     % (kept, CHAIN_LENGTH_TAUS, CHAIN_LENGTH_TAUS, np.max(tau)))
    for v in bands:
        lines.append("validation %s: %.1f %% of %d observations inside the 5-95 %% band (%s, %d draws)"
                     % (v.upper(), 100 * coverage[v], int(np.isfinite(bands[v]["obs"]).sum()),
                        "with its error" if with_error[v] else "simulated spread only, not in the likelihood",
                        used))
    return "\n".join(lines) + "\n"
