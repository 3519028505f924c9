import os
import re
import subprocess

import pytest

from conftest import EXAMPLE_FORCING, FAKE_KELM, run_kelm, tool
import make_forcing

FIGURES = ["nep_series.png", "nep_scatter.png", "diurnal.png", "soil.png"]


def test_every_figure_of_the_example_run(kelm, tmp_path):
    status, console = run_kelm(kelm, EXAMPLE_FORCING, tmp_path / "run")
    assert status == 0, console
    p = tool("kelm-plot", tmp_path / "run", EXAMPLE_FORCING, "-o", tmp_path / "fig")
    assert p.returncode == 0 and p.stdout.split() == [str(tmp_path / "fig" / f) for f in FIGURES], p.stderr
    for name in FIGURES:
        assert (tmp_path / "fig" / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert os.path.getsize(tmp_path / "fig" / name) > 10000


@pytest.mark.parametrize("name, forcing, message", [
    ("kelm-stats", "NOOBS", "no observed NEP paired with .*site.csv to score"),
    ("kelm-plot", "NOOBS", "no observed NEP paired with .*site.csv to score: only the simulated figures"),
    ("kelm-stats", "/dev/zero", "/dev/zero is a device, not a file"),
    ("kelm-stats", "BINARY", "Line too long at line 1 of "),
    ("kelm-stats", "<(yes 185 0 0 1 1 1 1 1 1 1 1 1)", "time stamps differ at site.csv data line 1"),
    ("kelm-stats", "<(cat /dev/zero)", "Line too long at line 1"),
    ("kelm-stats", "MISSING", "No such file or directory"),
    ("kelm-plot", "", "error: the following arguments are required: forcing, -o"),
    ("kelm-stats", EXAMPLE_FORCING, "output closed before the end"),
])
def test_tool_failures_are_one_line(tmp_path, name, forcing, message):
    run_kelm(FAKE_KELM, EXAMPLE_FORCING, tmp_path / "run")
    (tmp_path / "NOOBS").write_text("\n".join(make_forcing.generate(185, 3, 30, 2, False)) + "\n")
    (tmp_path / "BINARY").write_bytes(b"\x1b]0;pwned\x07\x00\xff" * 20000)
    out = ["-o", tmp_path / "fig"] if name == "kelm-plot" and forcing else []
    read, write = os.pipe()
    os.close(read)   # a reader that has gone away, like head
    p = subprocess.run("/usr/bin/python3 %s/%s run %s %s" % (os.path.dirname(FAKE_KELM) + "/..", name, forcing,
                                                            " ".join(map(str, out))),
                       shell=True, executable="/bin/bash", cwd=tmp_path, stderr=subprocess.PIPE, text=True,
                       stdout=write if "closed" in message else subprocess.DEVNULL, timeout=60)
    os.close(write)
    assert p.returncode == 1 and len(p.stderr.splitlines()) == 1 + ("required" in message), p.stderr
    assert re.match(name + ": .*" + message, p.stderr.splitlines()[-1]) and not re.search("[\x00-\x09\x0b-\x1f]", p.stderr)
    if name == "kelm-plot" and forcing:
        assert sorted(os.listdir(tmp_path / "fig")) == ["diurnal.png", "soil.png"]
