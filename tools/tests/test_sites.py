import os

import pandas as pd
import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, tool
from kelmtools import benchmarks, newsite, sites
import make_forcing


def tower(path, seed, drop=None):
    lines = make_forcing.generate(152, 15, 60, seed, True, tower=2019)
    if drop:   # leave a driver out: the conversion fails
        cut = lines[0].split(",").index(drop)
        lines = [",".join(w for i, w in enumerate(line.split(",")) if i != cut) for line in lines]
    path.write_text("\n".join(lines) + "\n")


def test_sites_run_score_fail_alone_and_resume(tmp_path):
    # the model when KELM names it, else the stand-in: one of them, to keep the time down
    kelm = os.path.abspath(os.environ.get("KELM") or FAKE_KELM)
    tower(tmp_path / "good.csv", 3)
    tower(tmp_path / "broken.csv", 4, drop="SW_IN_F")
    (tmp_path / "sites.csv").write_text("site,tower,zref,igbp\ngood,good.csv,25,ENF\nbroken,broken.csv,,EBF\n")
    out = tmp_path / "out"
    p = tool("kelm-sites", tmp_path / "sites.csv", "--out", out, "--jobs", 2, "--kelm", kelm)
    assert p.returncode == 3, p.stderr
    assert "2 sites: 2 to run, 0 already finished, 0 could not be prepared" in p.stderr
    assert "sites.csv: column igbp not used" in p.stderr
    # a new site: _physics 1 at the record interval, zref from the list
    assert (out / "good" / "site.par").read_text() == newsite.site_par(zref=25)
    summary = pd.read_csv(out / "summary.csv")
    assert list(summary.columns) == ["site", "flux", "model", "metric", "value"]
    assert set(summary["site"]) == {"good"} and set(summary["flux"]) == {"nep", "h", "le"}
    assert len(summary) == 3 * len(benchmarks.MODELS) * len(benchmarks.METRICS)
    nme = summary.set_index(["flux", "model", "metric"])["value"].xs("nme", level="metric")
    text = (out / "summary.txt").read_text()
    rows = [line.split() for line in text.splitlines() if line.startswith("good ")]
    assert [[float(w) for w in r[1:5]] for r in rows] == [
        [round(nme[v, m], 3) for m in benchmarks.MODELS] for v in ("nep", "h", "le")]
    failed = [line.split(None, 1)[1] for line in text.splitlines() if line.startswith("broken ")]
    assert len(failed) == 3 and all(f.startswith("failed (convert): kelm-forcing: ") and "SW_IN" in f for f in failed)
    assert text in p.stdout
    status = pd.read_csv(out / "status.csv").set_index("site")
    assert status["status"].to_dict() == {"good": "ok", "broken": "failed"}

    # again: nothing reruns; the repaired site alone runs, and all is ok
    stamp = os.stat(out / "good" / "site.status").st_mtime_ns
    p = tool("kelm-sites", tmp_path / "sites.csv", "--out", out, "--kelm", kelm)
    assert p.returncode == 3 and "2 sites: 0 to run, 2 already finished" in p.stderr
    tower(tmp_path / "broken.csv", 4)
    p = tool("kelm-sites", tmp_path / "sites.csv", "--out", out, "--kelm", kelm, "--plot")
    assert p.returncode == 0 and "2 sites: 1 to run, 1 already finished" in p.stderr, p.stderr
    assert os.stat(out / "good" / "site.status").st_mtime_ns == stamp
    assert sorted(os.listdir(out / "figures")) == ["diurnal_broken.png", "diurnal_good.png", "ranks.png"]


@pytest.mark.parametrize("text, message", [
    ("site,tower\na,t.csv\na,t.csv\n", "bad or repeated site name 'a'"),
    ("site,tower,dt\na,t.csv,6.5\n", "site a: dt '6.5' is not a whole number from 1 to 3600"),
    ("site,tower,lat\na,t.csv,91\n", "site a: lat '91' is not a number from -90 to 90"),
    ("name,tower\na,t.csv\n", "columns are site, tower and optionally lat, lon"),
    ("site,tower\na,none.csv\n", "none.csv not found"),
    ("site,tower,base\na,t.csv,nobase\n", "nobase not found"),
])
def test_bad_site_lists(tmp_path, text, message):
    (tmp_path / "t.csv").write_text("")
    (tmp_path / "s.csv").write_text(text)
    with pytest.raises(sites.SitesError, match=message):
        sites.read_sites(tmp_path / "s.csv")


def test_slurm_options(tmp_path):
    tower(tmp_path / "t.csv", 1)
    (tmp_path / "s.csv").write_text("site,tower\na,t.csv\n")
    p = tool("kelm-sites", tmp_path / "s.csv", "--out", tmp_path / "o", "--slurm", "--time", "1:00\n#SBATCH --x")
    assert p.returncode == 1 and "--time '1:00?#SBATCH --x': give one word" in p.stderr and not (tmp_path / "o").exists()
    p = tool("kelm-sites", tmp_path / "s.csv", "--out", tmp_path / "o", "--slurm", "--time", "2:00:00",
             "--partition", "short", "--account", "forest-1")
    assert p.returncode == 0, p.stderr
    assert "#SBATCH --job-name=kelm-sites\n#SBATCH --array=1-1\n#SBATCH --time=2:00:00\n#SBATCH --partition=short\n" \
           "#SBATCH --account=forest-1\n" in (tmp_path / "o" / "slurm.sh").read_text()
    # kelm-ensemble --slurm takes the same options
    (tmp_path / "base").mkdir()
    (tmp_path / "base" / "tree.leaf.par").write_text("_vmax 50 ->rate\n")
    (tmp_path / "runs.csv").write_text("name,tree.leaf.par:_vmax\nr1,30\n")
    p = tool("kelm-ensemble", "--base", tmp_path / "base", "--forcing", EXAMPLE_FORCING, "--out", tmp_path / "e",
             "--runs", tmp_path / "runs.csv", "--kelm", FAKE_KELM, "--slurm", "--time", "10", "--account", "a.b")
    assert p.returncode == 0 and "#SBATCH --time=10\n#SBATCH --account=a.b\n#SBATCH --ntasks=1\n" in (
        tmp_path / "e" / "slurm.sh").read_text(), p.stderr


# A new site steps at the record interval up to half an hour, or the longest
# step below that fills the records; the interval comes from the tower file.
@pytest.mark.parametrize("minutes,dt", [(30, 1800), (60, 1800), (15, 900), (45, 1350), (40, 1200), (1, 60)])
def test_new_site_step(tmp_path, minutes, dt):
    path = tmp_path / "tower.csv"
    path.write_text("\n".join(make_forcing.generate(152, 1, minutes, 1, True, tower=2019)) + "\n")
    assert newsite.tower_minutes(path) == minutes
    assert newsite.step_for(minutes) == dt
    assert newsite.tower_minutes(tmp_path / "missing.csv") is None
