"""Read kelm output files and forcing files into pandas DataFrames.

Output files start with one '#' header line per column ("# Title (unit)"; the
site file writes "#Title (unit)"), where a line "# N columns of title (unit)"
stands for N like columns, one per soil layer.  Data lines hold
"day, hour, minute, v1, v2, ...".  Every frame gets the columns "day", "hour",
"minute", a column "time" (see :func:`add_time`) and the data columns named by
their titles; ``df.attrs["units"]`` maps column names to units and
``df.attrs["groups"]`` lists the header lines as (title, unit, count).
"""

import os
import re
import stat

import numpy as np
import pandas as pd

from .cli import clean

GROUP = re.compile(r"^(\d+)\s+columns of\s+(.*)$")
TITLE_UNIT = re.compile(r"^(.*?)\s*\(([^()]*)\)\s*$")
INT_WORD = re.compile(r"^[+-]?\d+")
REAL_WORD = re.compile(r"^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")

FORCING_COLUMNS = [
    ("ta", "degC"), ("vpd", "kPa"), ("wind", "m s-1"), ("sw_in", "W m-2"),
    ("lw_in", "W m-2"), ("precip", "mm h-1"), ("pa", "kPa"), ("co2", "umol mol-1"),
    ("nep_obs", "umol m-2 s-1"),
]
MISSING_LIMIT = 999.9
LINE_LIMIT = 64 * 1024

# The output files of a run, in the order kelm creates them.
OUTPUT_FILES = [
    "site.csv", "tree.csv", "tree.foliage.csv", "tree.leaf.csv", "tree.stem.csv",
    "shrub.csv", "shrub.foliage.csv", "shrub.leaf.csv", "shrub.stem.csv",
    "soil.csv", "root.fine.csv", "root.coarse.csv",
]


class FormatError(ValueError):
    """A file does not have the layout the reader expects."""


def check_input(path):
    """Refuse a character device (/dev/zero, a terminal) as an input file."""
    if stat.S_ISCHR(os.stat(path).st_mode):
        raise FormatError("%s is a device, not a file" % path)


def text_lines(path):
    """Lines of a text file, read with bounds: a character device (/dev/zero)
    is refused, a line may hold at most LINE_LIMIT characters, undecodable
    bytes become U+FFFD, and CR alone ends a line too."""
    check_input(path)
    with open(path, encoding="utf-8", errors="replace") as f:
        number = 0
        while True:
            line = f.readline(LINE_LIMIT + 1)
            if not line:
                return
            number += 1
            if len(line) > LINE_LIMIT:
                raise FormatError("Line too long at line %d of %s" % (number, path))
            yield number, line


def split_header(text):
    """Split a header text (without '#') into (title, unit); unit may be ''."""
    text = text.strip()
    m = TITLE_UNIT.match(text)
    if m:
        return m.group(1), m.group(2)
    return text, ""


def header_groups(headers):
    """(title, unit, count) of each header text: a grouped header "8 columns
    of temperature (C)" gives ("temperature", "C", 8), any other one count None."""
    result = []
    for text in headers:
        title, unit = split_header(text)
        m = GROUP.match(title)
        result.append((m.group(2).strip(), unit, int(m.group(1))) if m else (title, unit, None))
    return result


def expand_headers(groups):
    """Turn header_groups() into (name, unit) pairs, one per data column.

    A group of 8 columns of "temperature" gives "temperature 1" ..
    "temperature 8".  Repeated names get " (2)", " (3)" .. appended.
    """
    columns = []
    for title, unit, count in groups:
        if count is not None:
            columns.extend(("%s %d" % (title, i + 1), unit) for i in range(count))
        else:
            columns.append((title, unit))
    seen = {}
    result = []
    for name, unit in columns:
        seen[name] = seen.get(name, 0) + 1
        if seen[name] > 1:
            name = "%s (%d)" % (name, seen[name])
        result.append((name, unit))
    return result


def add_time(df):
    """Insert a "time" column after "minute": day of year plus the fraction of
    the day, in days, raised by 365 at each new year (when the day number goes
    down), so that it keeps increasing over the whole series."""
    day = df["day"].to_numpy(dtype=np.int64)
    wraps = np.concatenate([[0], np.cumsum(day[1:] < day[:-1])]) if len(day) else day
    time = (day + 365 * wraps + df["hour"].to_numpy() / 24.0
            + df["minute"].to_numpy() / 1440.0).astype(float)
    df.insert(df.columns.get_loc("minute") + 1, "time", time)
    return df


def read_output(path):
    """Read one kelm output file (site.csv, tree.csv, soil.csv, ...)."""
    headers = []
    rows = []
    for number, line in text_lines(path):
        if line.startswith("#"):
            if rows:
                raise FormatError("%s:%d: header line after data" % (path, number))
            headers.append(line[1:].rstrip("\r\n"))
            continue
        if not line.strip():
            continue
        fields = [w.strip() for w in line.split(",")]
        try:
            rows.append([float(w) for w in fields])
        except ValueError:
            raise FormatError("%s:%d: not a number in '%s'" % (path, number, clean(line.strip())))
    if len(headers) < 3:
        raise FormatError("%s: expected day, hour and minute header lines, found %d header lines"
                          % (path, len(headers)))
    groups = header_groups(headers[3:])
    columns = [("day", ""), ("hour", ""), ("minute", "")] + expand_headers(groups)
    names = [c[0] for c in columns]
    for i, row in enumerate(rows):
        if len(row) != len(names):
            raise FormatError("%s: data line %d has %d values, the header names %d columns"
                              % (path, i + 1, len(row), len(names)))
    data = np.array(rows, dtype=float).reshape(len(rows), len(names))
    df = pd.DataFrame(data, columns=names)
    for c in ("day", "hour", "minute"):
        df[c] = df[c].astype(np.int64)
    add_time(df)
    df.attrs["units"] = dict(columns)
    df.attrs["groups"] = groups
    df.attrs["path"] = str(path)
    return df


def read_run(run_dir):
    """Read every output file present in a run directory; {file name: frame}."""
    return {name: read_output(os.path.join(run_dir, name))
            for name in OUTPUT_FILES if os.path.exists(os.path.join(run_dir, name))}


def leading_int(word):
    m = INT_WORD.match(word)
    return int(m.group(0)) if m else 0


def leading_real(word):
    m = REAL_WORD.match(word)
    return float(m.group(0)) if m else 0.0


def read_forcing(path, max_records=None):
    """Read a forcing file the way kelm does: '#' lines are comments, commas
    count as blanks, lines with fewer than 11 words are skipped, words past
    the 12th are ignored, each word gives its leading number.  A missing or
    absent observation (|value| >= 999.9) becomes NaN.  Reading stops after
    max_records records, so that an endless pipe ends too."""
    rows = []
    for _, line in text_lines(path):
        if max_records is not None and len(rows) >= max_records:
            break
        if line.startswith("#"):
            continue
        words = line.replace(",", " ").split()
        if len(words) < 11:
            continue
        row = [leading_int(w) for w in words[:3]]
        row += [leading_real(w) for w in words[3:11]]
        obs = leading_real(words[11]) if len(words) > 11 else np.nan
        row.append(obs if abs(obs) < MISSING_LIMIT else np.nan)
        rows.append(row)
    names = ["day", "hour", "minute"] + [c for c, _ in FORCING_COLUMNS]
    df = pd.DataFrame(rows, columns=names)
    for c in ("day", "hour", "minute"):
        df[c] = df[c].astype(np.int64)
    add_time(df)
    df.attrs["units"] = dict([("day", ""), ("hour", ""), ("minute", "")] + FORCING_COLUMNS)
    df.attrs["path"] = str(path)
    return df
