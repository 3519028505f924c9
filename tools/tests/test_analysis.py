import math
import os
import re
import subprocess

import numpy as np
import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, TOOLS, run_kelm, tool
from kelmtools import reader, stats
import make_forcing

# data columns per file, besides day, hour, minute
DATA_COLUMNS = {"site.csv": 4, "tree.csv": 7, "tree.foliage.csv": 9, "tree.leaf.csv": 11, "tree.stem.csv": 9,
                "shrub.csv": 7, "shrub.foliage.csv": 9, "shrub.leaf.csv": 11, "shrub.stem.csv": 9,
                "soil.csv": 17, "root.fine.csv": 4, "root.coarse.csv": 4}
FIGURES = ["nep_series.png", "nep_scatter.png", "diurnal.png", "soil.png"]
SITE_HEAD = ("#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
             "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n#Letent heat flux (W m-2)\n")
NAN = math.nan


def forcing_text(stamps, obs):
    return "".join("%d, %d, %d, 20, 1, 2, 100, 350, 0, 99.5, 400, %s\n" % (d, h, m, o)
                   for (d, h, m), o in zip(stamps, obs))


@pytest.mark.parametrize("obs, sim, expected", [
    # o = 1 2 3 4, s = 2 2 4 5 worked by hand; the pair with a NaN is left out
    ([1, 2, NAN, 3, 4], [2, 2, 9, 4, 5], [4, 1.890625 / 2.109375, math.sqrt(0.75), 0.75, 0.75, 0.4, 1.1, 0.5]),
    ([2.0], [3.0], [1, NAN, 1, 1, 1, NAN, NAN, NAN]),
    ([], [], [0] + [NAN] * 7),
    ([1, 2, 3], [5, 5, 5], [3, NAN, math.sqrt(29 / 3), 3, 3, -13.5, 0, 5]),
])
def test_fit_worked_by_hand_and_undefined_cases(obs, sim, expected):
    r = stats.fit(obs, sim)
    assert [r[k] for k in stats.STAT_NAMES] == pytest.approx(expected, rel=1e-12, nan_ok=True)


def test_pairing_by_position_daily_means_at_midnight_and_refusals(tmp_path):
    stamps = [(365, 23, 0), (365, 23, 30), (1, 0, 0), (1, 0, 30)]
    (tmp_path / "f.txt").write_text(forcing_text(stamps, [9, 1, -9999.9, 3]))
    forcing = reader.read_forcing(tmp_path / "f.txt")
    (tmp_path / "site.csv").write_text(SITE_HEAD + "365,23,30,5,2,0,0\n1,0,0,1,2,0,0\n1,0,30,0,2.5,0,0\n")
    pairs = stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)
    assert pairs[["sim", "obs"]].values.ravel().tolist() == pytest.approx([3, 1, -1, NAN, -2.5, 3], nan_ok=True)
    daily = stats.daily_means(pairs)
    # 1 00:00 closes the last span of day 365; its observation is missing
    assert daily[["day", "obs", "sim"]].values.tolist() == [[365, 1, 3], [1, 3, -2.5]]
    (tmp_path / "site.csv").write_text(SITE_HEAD + "365, 23, 30, 5, 2, 0, 0\n" * 4)
    with pytest.raises(stats.PairingError, match="4 data lines but the forcing only 3 records"):
        stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)


@pytest.mark.parametrize("value, printed, agrees", [
    (0.948826584, 0.948826, True), (0.948828, 0.948826, False), (0.01234561, 0.0123456, True),
    (0.0123458, 0.0123456, False)])
def test_agreement_to_six_digits(value, printed, agrees):
    assert stats.agrees_with_printed(value, printed) == agrees


def test_example_run_statistics_and_figures(kelm, tmp_path):
    run = tmp_path / "run"
    status, console = run_kelm(kelm, EXAMPLE_FORCING, run)
    printed = stats.printed_correlation(console)
    assert status == 0 and printed is not None, console
    result = stats.run_statistics(run, EXAMPLE_FORCING)
    assert (result["records"]["n"], result["daily"]["n"]) == (141, 3)   # 143 spans, two observations missing
    assert stats.agrees_with_printed(result["records"]["r2"], printed), (result["records"]["r2"], printed)
    (run / "kelm.log").write_text(console)
    p = tool("kelm-stats", run, EXAMPLE_FORCING, "--csv", tmp_path / "s.csv")
    assert p.returncode == 0 and "(agrees)" in p.stdout and p.stdout.splitlines()[2].split() == ["n", "141", "3"]
    assert (tmp_path / "s.csv").read_text().splitlines()[:2] == ["scale," + ",".join(stats.STAT_NAMES), ",".join(
        ["records"] + ["%.6g" % result["records"][k] for k in stats.STAT_NAMES])]
    p = tool("kelm-plot", run, EXAMPLE_FORCING, "-o", tmp_path / "fig")
    assert p.returncode == 0 and p.stdout.split() == [str(tmp_path / "fig" / f) for f in FIGURES], p.stderr
    for name in FIGURES:
        png = (tmp_path / "fig" / name).read_bytes()
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 10000


@pytest.mark.parametrize("name, forcing, message", [
    ("kelm-stats", "NOOBS", "no observed NEP paired with .*site.csv to score"),
    ("kelm-plot", "NOOBS", "no observed NEP paired with .*site.csv to score: only the simulated figures"),
    ("kelm-stats", "/dev/zero", "/dev/zero is a device, not a file"),
    ("kelm-stats", "BINARY", "Line too long at line 1 of "),
    ("kelm-stats", "<(yes 185 0 0 1 1 1 1 1 1 1 1 1)", "time stamps differ at site.csv data line 1"),
    ("kelm-stats", "<(cat /dev/zero)", "Line too long at line 1"),
    ("kelm-plot", "", "error: the following arguments are required: forcing, -o"),
    ("kelm-stats", EXAMPLE_FORCING + " | (exec 0<&-)", "output closed before the end"),   # a reader that left
])
def test_tool_failures_are_one_line(tmp_path, name, forcing, message):
    run_kelm(FAKE_KELM, EXAMPLE_FORCING, tmp_path / "run")
    (tmp_path / "NOOBS").write_text("\n".join(make_forcing.generate(185, 3, 30, 2, False)) + "\n")
    (tmp_path / "BINARY").write_bytes(b"\x1b]0;pwned\x07\x00\xff" * 20000)
    command = "set -o pipefail; /usr/bin/python3 %s/%s run %s" % (TOOLS, name, forcing)
    p = subprocess.run(command + " -o fig" * (name == "kelm-plot" and bool(forcing)), shell=True,
                       executable="/bin/bash", cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert p.returncode == 1 and len(p.stderr.splitlines()) == 1 + ("required" in message), p.stderr
    assert re.match(name + ": .*" + message, p.stderr.splitlines()[-1])
    assert not re.search("[\x00-\x09\x0b-\x1f]", p.stderr)   # no terminal control from the files
    if name == "kelm-plot" and forcing:
        assert sorted(os.listdir(tmp_path / "fig")) == ["diurnal.png", "soil.png"]


def test_every_output_file_of_a_shrub_run_across_new_year(kelm, tmp_path):
    (tmp_path / "f.txt").write_text("\n".join(make_forcing.generate(365, 2, 30, 3, True)) + "\n")
    (tmp_path / "run").mkdir()
    (tmp_path / "run" / "site.par").write_text("Parameters (name, value, remark):\n_type      1    ->site type\n")
    assert run_kelm(kelm, tmp_path / "f.txt", tmp_path / "run")[0] == 0
    frames = reader.read_run(tmp_path / "run")
    assert sorted(frames) == sorted(DATA_COLUMNS)
    for name, df in frames.items():
        assert list(df.columns[:4]) == ["day", "hour", "minute", "time"], name
        assert df.shape == (95, 4 + DATA_COLUMNS[name]) and np.all(np.diff(df["time"]) > 0), name
        assert np.allclose(df.loc[46:47, ["day", "hour", "minute", "time"]].values,
                           [[365, 23, 30, 365 + 47 / 48], [1, 0, 0, 366]]), name
    assert list(frames["soil.csv"].columns[5:]) == ["%s %d" % (q, i) for q in ("temperature", "water content")
                                                     for i in range(1, 9)]
    assert [frames[f].attrs["units"][c] for f, c in [
        ("site.csv", "Letent heat flux"), ("soil.csv", "temperature 3"), ("soil.csv", "water content 1"),
        ("shrub.leaf.csv", "Cv of Av=Vm*(Ci-Gamma)/(Ci+Cv)"), ("shrub.leaf.csv", "Ratio of absorbed VIS to GSR")]] \
        == ["W m-2", "C", "m3 m-3", "umol mol-1", ""]


@pytest.mark.parametrize("text, message", [
    ("185, 1, 0, 0.5, 7\n", "has 5 values, the header names 4"),
    ("185, 1, 0, \x1b[2J" + "x" * 300 + "\n", r"not a number in '185, 1, 0, \?\[2J" + "x" * 185 + r"\.\.\.'"),
    ("185, 1, 0, 0.5\n" + "9" * 70000 + "\n", "Line too long at line 6 of"),
])
def test_output_file_layout_and_bounds(tmp_path, text, message):
    path = tmp_path / "root.fine.csv"
    path.write_text("# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n" + text)
    with pytest.raises(reader.FormatError, match=message):
        reader.read_output(path)


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
def test_forcing_read_like_the_model(tmp_path, end):
    (tmp_path / "f.txt").write_bytes(end.join([
        "# comment 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11",
        "185, 0, 0, 20.5, 1.2, 2.3, 0, 350, 0, 99.5, 400, -4.25", "",
        "185 0 30 20 1 2 0 350 0 99.5 400",               # 11 columns: no observation
        "185, 1, 0, 20, 1, 2, 0, 350",                     # too short: skipped
        "185,1,0,19.5abc,1,2,0,350,1.5,99.5,400,-9999.9,77",
        "185, 1, 30, 19, 1, 2, 0, 350, 0, 99.5, 400, 1200", ""]).encode())
    df = reader.read_forcing(tmp_path / "f.txt")
    assert df[["day", "hour", "minute", "ta", "precip"]].values.tolist() == [
        [185, 0, 0, 20.5, 0], [185, 0, 30, 20, 0], [185, 1, 0, 19.5, 1.5], [185, 1, 30, 19, 0]]
    assert df["nep_obs"].iloc[0] == -4.25 and df["nep_obs"].iloc[1:].isna().all()
    assert len(reader.read_forcing(tmp_path / "f.txt", max_records=2)) == 2


ROOT_HEAD = "# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n"
STAMPS = [(365, 22, 30), (365, 23, 0), (365, 23, 30), (1, 0, 0), (1, 0, 30), (1, 1, 0)]


def part(stamps, head=ROOT_HEAD):
    return head + "".join("%d, %d, %d, %g\n" % (d, h, m, 10 * d + h + m / 100) for d, h, m in stamps)


@pytest.mark.parametrize("parts, stamps, message", [
    # parts as a restarted run leaves them: NAME.csv.1, NAME.csv.2, ..., the newest NAME.csv
    ({".1": STAMPS[:2], ".2": STAMPS[2:4], "": STAMPS[4:]}, STAMPS, "root.fine.csv: joined 3 parts$"),
    ({".1": STAMPS[:3], ".2": [], "": STAMPS[2:]}, STAMPS, r"3 parts \(1 repeated record dropped\)"),
    ({".1": STAMPS[:3], ".2": STAMPS[4:]}, STAMPS[:3] + [None] + STAMPS[4:], r"2 parts \(1 missing record left"),
    ({".1": STAMPS[:2], ".3": STAMPS[2:], "": STAMPS[4:]}, None, "root.fine.csv.3 exists but root.fine.csv.2 does not"),
    ({".1": STAMPS[:3], "": STAMPS[1:2] + STAMPS[3:]}, None, "repeats the time stamps .* from day 365 hour 23 "),
    ({".1": STAMPS[:3], "": "# Day\n# Hour\n# Minute\n# Dead root carbon (kgC m-2)\n"}, None, "other header lines"),
])
def test_parts_of_a_restarted_run_join_into_one_series(tmp_path, capsys, parts, stamps, message):
    for suffix, content in parts.items():
        (tmp_path / ("root.fine.csv" + suffix)).write_text(content if isinstance(content, str) else part(content))
    if stamps is None:
        with pytest.raises(reader.FormatError, match=message):
            reader.read_output(tmp_path / "root.fine.csv")
        return
    df = reader.read_output(tmp_path / "root.fine.csv")
    assert re.search(message, capsys.readouterr().err.strip())
    assert np.diff(df["time"]) == pytest.approx([1 / 48] * (len(df) - 1)) and df.attrs["missing"] == stamps.count(None)
    assert [tuple(r[:3]) if r[3] == r[3] else None for r in df.drop(columns="time").values.tolist()] == stamps
    assert df.iloc[:, 4].dropna().tolist() == [10 * d + h + m / 100 for d, h, m in filter(None, stamps)]


def test_tools_score_and_export_the_joined_parts_and_count_the_records(tmp_path):
    whole, run = tmp_path / "whole", tmp_path / "run"
    run_kelm(FAKE_KELM, EXAMPLE_FORCING, whole)
    run.mkdir()

    def split(rows):   # three parts; the second run resumed from the last stamp of the first and wrote it again
        for name in [n for n in os.listdir(whole) if n.endswith(".csv")]:
            lines = (whole / name).read_text().splitlines(keepends=True)
            n = sum(line.startswith("#") for line in lines)
            for suffix, part in ((".1", lines[n:n + 50]), (".2", lines[n + 49:n + 100]), ("", lines[n + 100:n + rows])):
                (run / (name + suffix)).write_text("".join(lines[:n] + part))
    split(143)
    (run / "kelm.log").write_text("Correlation: 0.5\n")   # of the newest part only: not compared
    p, q = (tool("kelm-stats", d, EXAMPLE_FORCING) for d in (whole, run))
    assert p.returncode == q.returncode == 0 and p.stdout == q.stdout and p.stderr == ""
    assert q.stderr == "kelm-stats: site.csv: joined 3 parts (1 repeated record dropped)\n"
    split(120)   # the last part of a run that stopped early
    p = tool("kelm-export", run, EXAMPLE_FORCING, "-o", tmp_path / "run.nc")
    assert p.returncode == 0 and p.stdout.endswith("run.nc: 120 times\n") and p.stderr.count("joined 3 parts") == 8
    assert "kelm-export: site.csv holds 120 of 143 records of " in p.stderr
