"""Read kelm output files and forcing files into pandas DataFrames.

Output files start with one '#' header line per column ("# Title (unit)"; the
site file writes "#Title (unit)"), where a line "# N columns of title (unit)"
stands for N like columns, one per soil layer.  Data lines hold
"day, hour, minute, v1, v2, ...".  Every frame gets the columns "day", "hour",
"minute", a column "time" (see :func:`add_time`) and the data columns named by
their titles; ``df.attrs["units"]`` maps column names to units and
``df.attrs["groups"]`` lists the header lines as (title, unit, count).

A restarted run renames the earlier files to NAME.csv.1, NAME.csv.2, ... in
the order written; the newest part is NAME.csv.  :func:`read_output` joins
the parts into one series (see :func:`join_parts`).
"""

import os
import re
import stat

import numpy as np
import pandas as pd

from .cli import clean, note

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
YEAR_MINUTES = 365 * 1440
# How far back a part may reach into the earlier ones (a run resumed from a
# stamp it had written): less than half a year, so that a year cycled again
# for a spin-up is never taken for a repetition.
OVERLAP_DAYS = 180

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


def read_part(path):
    """Read one output file as written, without joining parts."""
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
    df.attrs["parts"] = 1
    df.attrs["missing"] = 0
    return df


def part_paths(path):
    """The parts of an output file in the order written: PATH.1, PATH.2, ...
    and PATH itself (when present).  A hole in the numbers is refused: a
    part would be lost, and the next restart would fill the hole out of order."""
    parts = []
    while os.path.exists("%s.%d" % (path, len(parts) + 1)):
        parts.append("%s.%d" % (path, len(parts) + 1))
    directory = os.path.dirname(str(path)) or "."
    base = os.path.basename(str(path))
    try:
        numbers = [int(e[len(base) + 1:]) for e in os.listdir(directory)
                   if e.startswith(base + ".") and e[len(base) + 1:].isdigit()]
    except OSError:
        numbers = []
    stray = [n for n in numbers if n > len(parts)]
    if stray:
        raise FormatError("%s.%d exists but %s.%d does not: a part of the series is missing"
                          % (path, min(stray), base, len(parts) + 1))
    if os.path.exists(path) or not parts:
        parts.append(str(path))
    return parts


def minute_of_year(df):
    return ((df["day"].to_numpy() - 1) * 1440 + df["hour"].to_numpy() * 60
            + df["minute"].to_numpy()).astype(np.int64)


def blank_records(df, start, interval, count):
    """count records without values, stamped start + interval, + 2 interval, ..."""
    stamps = (start + interval * np.arange(1, count + 1)) % YEAR_MINUTES
    blank = pd.DataFrame(np.nan, index=range(count), columns=df.columns)
    blank["day"], blank["hour"], blank["minute"] = stamps // 1440 + 1, stamps % 1440 // 60, stamps % 60
    return blank


def join_parts(frames):
    """One series of the parts (frames of read_part, oldest first).

    Where a part starts at a time stamp the series before it already holds
    (a run resumed from a stamp it had written), the records that repeat
    earlier ones are dropped: the first written stays.  Where a part starts
    more than one record interval after the end of the series before it (a
    run continued with a forcing that starts one interval later writes no
    line for that first record), the missing records are added without
    values, so that the series keeps one line per record.  Returns (frame,
    records dropped, records added)."""
    joined, dropped, added = [], 0, 0
    last = None                        # the series so far: its stamps (minutes of year) and times
    for df in frames:
        if not len(df):
            continue
        stamps = minute_of_year(df)
        if last is not None:
            old_stamps, old_times = last
            recent = np.nonzero(old_times > old_times[-1] - OVERLAP_DAYS)[0]
            same = recent[old_stamps[recent] == stamps[0]]
            if len(same):
                repeat = len(old_stamps) - same[-1]
                n = min(repeat, len(df))
                if (old_stamps[same[-1]:same[-1] + n] != stamps[:n]).any():
                    raise FormatError("%s repeats the time stamps of the part before it from day %d hour %d "
                                      "minute %d on, but not one by one" % (df.attrs["path"], *df.iloc[0, :3]))
                df, stamps, dropped = df.iloc[n:], stamps[n:], dropped + int(n)
                if not len(df):
                    continue
            else:
                interval = (old_stamps[-1] - old_stamps[-2]) % YEAR_MINUTES if len(old_stamps) > 1 \
                    else (stamps[1] - stamps[0]) % YEAR_MINUTES if len(stamps) > 1 else 0
                gap = (stamps[0] - old_stamps[-1]) % YEAR_MINUTES
                if interval and gap > interval and gap % interval == 0:
                    blank = blank_records(df, old_stamps[-1], interval, gap // interval - 1)
                    joined.append(blank)
                    added += int(len(blank))
        joined.append(df)
        whole = pd.concat(joined, ignore_index=True).drop(columns="time")
        last = (minute_of_year(whole), add_time(whole)["time"].to_numpy())
    frame = pd.concat(joined, ignore_index=True).drop(columns="time") if joined \
        else frames[-1].drop(columns="time")
    for c in ("day", "hour", "minute"):
        frame[c] = frame[c].astype(np.int64)
    return add_time(frame), dropped, added


def read_output(path, parts=True):
    """Read one kelm output file (site.csv, tree.csv, soil.csv, ...), joined
    with its earlier parts PATH.1, PATH.2, ... when a restarted run left
    them (and say so); with parts False the newest part alone.
    attrs["missing"] counts the records added without values between parts."""
    if not parts:
        return read_part(path)
    paths = part_paths(path)
    frames = [read_part(p) for p in paths]
    if len(frames) == 1:
        return frames[0]
    for p, df in zip(paths[1:], frames[1:]):
        if df.attrs["groups"] != frames[0].attrs["groups"]:
            raise FormatError("%s has other header lines than %s" % (p, paths[0]))
    joined, dropped, added = join_parts(frames)
    joined.attrs.update(frames[-1].attrs, path=str(path), parts=len(frames), missing=added)
    detail = ["%d repeated record%s dropped" % (dropped, "s" * (dropped != 1))] if dropped else []
    detail += ["%d missing record%s left blank" % (added, "s" * (added != 1))] if added else []
    note("%s: joined %d parts%s" % (os.path.basename(str(path)), len(frames),
                                    " (%s)" % ", ".join(detail) if detail else ""))
    return joined


def read_run(run_dir):
    """Read every output file present in a run directory; {file name: frame}."""
    return {name: read_output(os.path.join(run_dir, name)) for name in OUTPUT_FILES
            if os.path.exists(os.path.join(run_dir, name)) or os.path.exists(os.path.join(run_dir, name + ".1"))}


def leading_int(word):
    m = INT_WORD.match(word)
    return int(m.group(0)) if m else 0


def leading_real(word):
    m = REAL_WORD.match(word)
    return float(m.group(0)) if m else 0.0


def record_words(line):
    """The words of a forcing line that holds a record, else None."""
    if line.startswith("#"):
        return None
    words = line.replace(",", " ").split()
    return words if len(words) >= 11 else None


def note_coverage(site, forcing_path, records=None):
    """Say when a run holds fewer records than its forcing ("N of M
    records"): kelm writes a line for every forcing record but the first.
    records is the forcing's number of records; without it the forcing is
    counted, unless it is no regular file (a pipe can be read only once)."""
    if records is None:
        if not os.path.isfile(forcing_path):
            return
        records = sum(record_words(line) is not None for _, line in text_lines(forcing_path))
    held = len(site) - site.attrs.get("missing", 0)
    if held < records - 1:
        note("%s holds %d of %d records of %s" % (os.path.basename(site.attrs.get("path", "site.csv")), held,
                                                  records - 1, forcing_path))


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
        words = record_words(line)
        if words is None:
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
