"""Shared test helpers: paths, the kelm programs to test against, runs.

Tests that take a ``kelm`` argument run with the stand-in fake_kelm.py and,
when the environment variable KELM names an existing program, once more with
the real kelm."""
import os
import subprocess
import sys

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(TOOLS)
EXAMPLE_FORCING = os.path.join(REPO, "io", "input.txt")
FAKE_KELM = os.path.join(TOOLS, "tests", "fake_kelm.py")
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)


def real_kelm():
    path = os.environ.get("KELM")
    return path if path and os.path.isfile(path) and os.access(path, os.X_OK) else None


@pytest.fixture(params=["fake", "real"])
def kelm(request):
    if request.param == "fake":
        return FAKE_KELM
    path = real_kelm()
    if not path:
        pytest.skip("set KELM to a built kelm to run this against the model")
    return os.path.abspath(path)


def run_kelm(kelm, forcing, out_dir, shrub=False):
    """Run kelm into out_dir (made here); returns (exit status, console text)."""
    os.makedirs(out_dir, exist_ok=True)
    if shrub:
        with open(os.path.join(out_dir, "site.par"), "w") as f:
            f.write("Parameters (name, value, remark):\n_type      1    ->site type\n")
    p = subprocess.run([kelm, str(forcing), str(out_dir)], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=300)
    return p.returncode, p.stdout


def tool(name, *args):
    """Run one of the command-line tools; returns the CompletedProcess."""
    return subprocess.run(["/usr/bin/python3", os.path.join(TOOLS, name)] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=300)
