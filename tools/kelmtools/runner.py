"""Finding the kelm program and reading the outcome of one run."""

import os
import shutil

from .stats import printed_correlation

TOOLS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO_DIR = os.path.dirname(TOOLS_DIR)
FINISHED = "Finished. Press any key to end."


def find_kelm(option=None):
    """Absolute path of kelm: the --kelm option, else $KELM, else build/kelm
    of this repository, else kelm on PATH.  Raises FileNotFoundError."""
    for candidate, origin in ((option, "--kelm"), (os.environ.get("KELM"), "KELM")):
        if candidate:
            found = shutil.which(candidate) if os.sep not in candidate else candidate
            if found and os.path.isfile(found) and os.access(found, os.X_OK):
                return os.path.abspath(found)
            raise FileNotFoundError("%s names %s, which is not an executable file" % (origin, candidate))
    built = os.path.join(REPO_DIR, "build", "kelm")
    if os.path.isfile(built) and os.access(built, os.X_OK):
        return built
    on_path = shutil.which("kelm")
    if on_path:
        return os.path.abspath(on_path)
    raise FileNotFoundError("kelm not found: give --kelm PATH, set KELM, or build it as build/kelm")


def outcome(stdout, status):
    """Interpret a finished kelm run from its console text and exit status.

    Returns (ok, message, r2): kelm prints its error message as the last text,
    without a line break, and "Finished. ..." only on success; its exit status
    alone does not tell every failure apart."""
    r2 = printed_correlation(stdout)
    tail = stdout.rsplit("\n", 1)[-1].strip()
    if status == 0 and FINISHED in stdout and not tail:
        return True, "", r2
    return False, tail or "no error message", r2
