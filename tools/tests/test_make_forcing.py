import os
import subprocess
import sys

import pytest

from conftest import REPO, TOOLS
import make_forcing

SCRIPT = os.path.join(TOOLS, "make_forcing.py")


def data_rows(lines):
    return [l.split(", ") for l in lines if not l.startswith("#")]


def minutes_between(a, b):
    """Minutes from row a to row b, counting 365 -> 1 as one day."""
    da, db = int(a[0]), int(b[0])
    dd = db - da if db >= da else 1 if (da, db) == (365, 1) else None
    assert dd is not None, (a, b)
    return (dd * 24 + int(b[1]) - int(a[1])) * 60 + int(b[2]) - int(a[2])


def test_same_seed_same_text_other_seed_other_text():
    a = make_forcing.generate(185, 3, 30, 7, True)
    assert a == make_forcing.generate(185, 3, 30, 7, True)
    assert a != make_forcing.generate(185, 3, 30, 8, True)


def test_first_record_pinned():
    # Guards the generator's arithmetic: the example forcing must not drift.
    rows = data_rows(make_forcing.generate(185, 3, 30, 2, True))
    assert ", ".join(rows[0]) == "185, 0, 0, 16.07, 0.409, 2.16, 0.0, 307.0, 0.00, 99.13, 405.5, -3.13"


def test_year_of_half_hours_wraps_to_day_one():
    rows = data_rows(make_forcing.generate(200, 365, 30, 1, False))
    assert len(rows) == 17520
    assert all(len(r) == 11 for r in rows)
    days = [int(r[0]) for r in rows]
    i = days.index(1)
    assert days[i - 1] == 365 and rows[i - 1][1:3] == ["23", "30"]
    assert rows[i][1:3] == ["0", "0"]
    assert days[-1] == 199
    assert all(minutes_between(a, b) == 30 for a, b in zip(rows, rows[1:]))


@pytest.mark.parametrize("interval", [7, 10, 60])
def test_interval_exact_also_when_not_dividing_a_day(interval):
    rows = data_rows(make_forcing.generate(364, 3, interval, 3, True))
    assert len(rows) == -(-3 * 1440 // interval)
    assert all(len(r) == 12 for r in rows)
    assert all(minutes_between(a, b) == interval for a, b in zip(rows, rows[1:]))


def test_values_plausible_and_missing_observations_marked():
    rows = data_rows(make_forcing.generate(180, 30, 30, 5, True))
    cols = list(zip(*[[float(x) for x in r] for r in rows]))
    ta, vpd, wind, sw, lw, p, pa, co2, nep = cols[3:]
    assert 14 <= min(ta) and max(ta) <= 27
    assert min(vpd) > 0 and min(sw) == 0 and 600 < max(sw) < 900
    assert 1 <= min(wind) and max(wind) <= 4
    assert 300 <= min(lw) and max(lw) <= 400 and 98 <= min(pa) and max(pa) <= 101
    assert 390 <= min(co2) and max(co2) <= 410 and max(p) > 0
    assert -9999.9 in nep
    night = [n for n, s in zip(nep, sw) if s == 0 and n > -999]
    day = [n for n, s in zip(nep, sw) if s > 400 and n > -999]
    assert -5.5 < sum(night) / len(night) < -2.5
    assert sum(day) / len(day) > 3


def test_command_line_stdout_equals_output_file(tmp_path):
    out = tmp_path / "f.txt"
    args = [sys.executable, SCRIPT, "185", "1", "30", "4", "--no-obs"]
    text = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    subprocess.run(args + ["-o", str(out)], check=True)
    assert out.read_text() == text
    assert len(data_rows(text.splitlines())) == 48
    bad = subprocess.run([sys.executable, SCRIPT, "366", "1", "30", "1"], capture_output=True)
    assert bad.returncode == 2


def test_shipped_example_is_the_generator_output():
    with open(os.path.join(REPO, "io", "input.txt")) as f:
        assert f.read().splitlines() == make_forcing.generate(185, 3, 30, 2, True)
