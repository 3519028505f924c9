"""What the command-line tools share: argument errors with exit status 1, and
one-line messages instead of tracebacks for failures, Ctrl-C and closed pipes.

Standard library only, so that a tool can load it before pandas and numpy."""

import argparse
import csv
import os
import re
import sys

INTERRUPTED = 130
ECHO_LIMIT = 200
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
# The running tool's name, set by run(); notes are printed with it.
TOOL = {"name": "kelmtools", "noted": set()}
# a value that goes into an #SBATCH line
SLURM_WORD = re.compile(r"^[A-Za-z0-9_.:,+=@/-]+$")


def clean(text, limit=ECHO_LIMIT):
    """text for a message: at most limit characters, control characters as '?'."""
    text = str(text)
    return CONTROL.sub("?", text[:limit]) + ("..." if len(text) > limit else "")


def check_path(path, what):
    """A path that goes into a generated script must hold no line break or other
    control character; returns it, else raises ValueError."""
    if CONTROL.search(str(path)):
        raise ValueError("%s %s holds a line break or another control character"
                         % (what, clean(path)))
    return path


def note(text):
    """Tell the user something about the input that is not a failure
    ("site.csv: joined 3 parts"): one line "TOOL: text" on stderr, once."""
    if text in TOOL["noted"]:
        return
    TOOL["noted"].add(text)
    print("%s: %s" % (TOOL["name"], clean(text, 4 * ECHO_LIMIT)), file=sys.stderr)


def write_file(path, data, mode=None):
    """Write data (text or bytes) to path as a whole; a failure (a full disk
    among them, which Python reports without the file) names the path."""
    try:
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)
    except OSError as e:
        raise OSError(e.errno, "%s: %s" % (path, e.strerror or e)) from None


def add_slurm_options(p):
    for name, text in (("time", "the run time limit of each array task (sbatch --time)"),
                       ("partition", "the partition to run in (sbatch --partition)"),
                       ("account", "the account to charge (sbatch --account)")):
        p.add_argument("--" + name, metavar=name.upper(), help="with --slurm: " + text)


def slurm_options(p, a):
    """The #SBATCH options of --slurm (a dict), or False without --slurm."""
    options = {"time": a.time, "partition": a.partition, "account": a.account}
    if not a.slurm:
        # the same command with --collect instead of --slurm collects
        if any(v is not None for v in options.values()) and not a.collect:
            p.error("--time, --partition and --account go with --slurm")
        return False
    for name, value in options.items():
        if value is not None and not SLURM_WORD.match(value):
            p.error("--%s '%s': give one word of letters, digits and _ . : , + = @ / -" % (name, clean(value)))
    return options


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(1, "%s: error: %s\n" % (self.prog, clean(message, 4 * ECHO_LIMIT)))


def run(name, main):
    """Run main() and exit with its status; a failure gives one line on stderr."""
    TOOL["name"] = name
    try:
        status = main()
        sys.stdout.flush()
    except KeyboardInterrupt:
        status, message = INTERRUPTED, "interrupted; run the same command again to resume"
    except BrokenPipeError:
        # the reader has gone (| head): nothing more can be shown
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status, message = 1, "output closed before the end"
    except (OSError, ValueError, MemoryError, csv.Error) as e:
        status, message = 1, str(e) if not isinstance(e, MemoryError) else "out of memory"
    else:
        message = None
    if message:
        print("%s: %s" % (name, clean(message, 4 * ECHO_LIMIT)), file=sys.stderr)
    sys.exit(status)
