"""Tests that take a ``kelm`` argument run with the stand-in fake_kelm.py and,
when KELM names a built program, with the model."""
import os
import subprocess
import sys

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(TOOLS)
EXAMPLE_FORCING = os.path.join(REPO, "io", "input.txt")
FAKE_KELM = os.path.join(TOOLS, "tests", "fake_kelm.py")
sys.path.insert(0, TOOLS)


@pytest.fixture(params=["fake", "real"])
def kelm(request):
    path = FAKE_KELM if request.param == "fake" else os.environ.get("KELM")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("set KELM to a built kelm to run this against the model")
    return os.path.abspath(path)


def run_kelm(kelm, forcing, out_dir):
    """Run kelm into out_dir (made here); returns (exit status, console text)."""
    os.makedirs(out_dir, exist_ok=True)
    p = subprocess.run([kelm, str(forcing), str(out_dir)], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=300)
    return p.returncode, p.stdout


def tool(name, *args):
    return subprocess.run(["/usr/bin/python3", os.path.join(TOOLS, name)] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=300)


def make_base(kelm, tmp_path):
    """Base parameter files as kelm writes them with its defaults."""
    scratch, base = tmp_path / "scratch", tmp_path / "base"
    status, console = run_kelm(kelm, EXAMPLE_FORCING, scratch)
    assert status == 0, console
    base.mkdir()
    for entry in os.listdir(scratch):
        if entry.endswith(".par"):
            (base / entry).write_bytes((scratch / entry).read_bytes())
    return base
