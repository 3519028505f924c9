import os
import subprocess

import pytest

from conftest import REPO, TOOLS
import make_forcing


def rows(first_day, n_days, interval, seed, obs):
    return [l.split(", ") for l in make_forcing.generate(first_day, n_days, interval, seed, obs)
            if not l.startswith("#")]


def test_command_line_writes_the_shipped_example_and_seeds_differ(tmp_path):
    args = ["/usr/bin/python3", os.path.join(TOOLS, "make_forcing.py"), "185", "3", "30", "2", "--obs"]
    text = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    subprocess.run(args + ["-o", tmp_path / "f.txt"], check=True)
    with open(os.path.join(REPO, "io", "input.txt")) as f:
        assert f.read() == (tmp_path / "f.txt").read_text() == text
    assert subprocess.run(args[:2] + ["366", "1", "30", "1"], capture_output=True).returncode == 2


@pytest.mark.parametrize("first_day, n_days, interval, obs, last_day", [
    (200, 365, 30, False, 199), (364, 3, 7, True, 1), (364, 3, 60, True, 1)])
def test_records_are_exactly_one_interval_apart_across_new_year(first_day, n_days, interval, obs, last_day):
    r = rows(first_day, n_days, interval, 3, obs)
    assert len(r) == -(-n_days * 1440 // interval) and {len(x) for x in r} == {12 if obs else 11}
    stamps = [(int(d) + (365 if int(d) < first_day else 0)) * 1440 + int(h) * 60 + int(m) for d, h, m, *_ in r]
    assert {b - a for a, b in zip(stamps, stamps[1:])} == {interval} and int(r[-1][0]) == last_day
    assert obs is ("-9999.9" in [x[-1] for x in r])   # some observations are missing
