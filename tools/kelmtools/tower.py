"""Convert a flux tower's records into a kelm forcing file and an observation
file.

Three formats are read, recognised by their content:

- ``fluxnet``: FLUXNET2015/ONEFlux half-hourly or hourly CSV (TA_F, VPD_F,
  NEE_VUT_REF, ...; -9999 missing);
- ``ameriflux``: AmeriFlux BASE CSV (leading '#' lines, TA, VPD_PI or RH, FC
  or NEE_PI, ...; the position suffixes _H_V_R and _N chosen by rule);
- ``alma``: ALMA/PLUMBER NetCDF, a Met file (Tair, Qair, Wind, SWdown, LWdown,
  Rainf, Psurf, CO2air) with its Flux file (NEE, Qh, Qle) given apart.

Each record is stamped with the end of its averaging interval, so that a kelm
output line, the mean over the span that ends at its record, covers the
tower's interval.  kelm's year has 365 days: the records of 29 February are
left out.  Observed fluxes whose quality flag is above --qc are written as
missing.  Missing incoming longwave is estimated (see :mod:`longwave`).
"""

import gzip
import io
import math
import os
import re
import stat
import warnings

import numpy as np
import pandas as pd

from . import longwave

MISSING = -9999
NEP_MISSING = "-9999.9"
STAMP = "%Y%m%d%H%M"
LINE_LIMIT = 64 * 1024
FORMATS = ["fluxnet", "ameriflux", "alma"]
FORMAT_NAMES = {"fluxnet": "FLUXNET2015/ONEFlux CSV", "ameriflux": "AmeriFlux BASE CSV",
                "alma": "ALMA/PLUMBER NetCDF"}
MISSING_WORDS = {"", "NA", "NaN", "nan", "-9999", "-9999.0", "-9999.00"}

RD_RV = 0.622                      # ratio of the gas constants of dry air and water vapour


def esat_kpa(ta):
    """Saturation vapour pressure (kPa) over water at ta (degC), after FAO-56."""
    return 0.6108 * np.exp(17.27 * ta / (ta + 237.3))


# Every unit conversion of the tool: (source unit, kelm unit) -> (function of
# the values and the record context, what it does).  The context holds the
# record length in minutes and the converted air temperature and pressure.
CONVERSIONS = {
    ("degC", "degC"): (lambda v, c: v, "as is"),
    ("K", "degC"): (lambda v, c: v - 273.15, "minus 273.15"),
    ("hPa", "kPa"): (lambda v, c: v / 10.0, "divided by 10"),
    ("Pa", "kPa"): (lambda v, c: v / 1000.0, "divided by 1000"),
    ("kPa", "kPa"): (lambda v, c: v, "as is"),
    ("%", "kPa"): (lambda v, c: esat_kpa(c["ta"]) * (1.0 - v / 100.0),
                   "relative humidity to VPD: saturation pressure at the air temperature times (1 - RH/100)"),
    ("kg kg-1", "kPa"): (lambda v, c: esat_kpa(c["ta"]) - v * c["pa"] / (RD_RV + (1.0 - RD_RV) * v),
                         "specific humidity to VPD: saturation pressure minus q p / (0.622 + 0.378 q)"),
    ("mm", "mm h-1"): (lambda v, c: v * 60.0 / c["minutes"], "mm per record to mm per hour"),
    ("kg m-2 s-1", "mm h-1"): (lambda v, c: v * 3600.0, "times 3600"),
    ("m s-1", "m s-1"): (lambda v, c: v, "as is"),
    ("W m-2", "W m-2"): (lambda v, c: v, "as is"),
    ("umol mol-1", "umol mol-1"): (lambda v, c: v, "as is"),
    ("umol m-2 s-1", "umol m-2 s-1"): (lambda v, c: v, "as is"),
    ("NEE umol m-2 s-1", "umol m-2 s-1"): (lambda v, c: -v, "NEP = -NEE"),
}
# Unit texts of NetCDF files and their names in the table above.
UNIT_ALIASES = {"k": "K", "kelvin": "K", "degc": "degC", "c": "degC", "celsius": "degC", "deg_c": "degC",
                "kg/kg": "kg kg-1", "kg kg-1": "kg kg-1", "1": "kg kg-1", "pa": "Pa", "hpa": "hPa",
                "kpa": "kPa", "kg/m2/s": "kg m-2 s-1", "kg m-2 s-1": "kg m-2 s-1", "mm/s": "kg m-2 s-1",
                "mm s-1": "kg m-2 s-1", "w/m2": "W m-2", "w m-2": "W m-2", "w/m^2": "W m-2", "m/s": "m s-1",
                "m s-1": "m s-1", "ppm": "umol mol-1", "ppmv": "umol mol-1", "umol/mol": "umol mol-1",
                "umol mol-1": "umol mol-1", "µmol/mol": "umol mol-1", "umol/m2/s": "umol m-2 s-1",
                "umol m-2 s-1": "umol m-2 s-1", "µmol/m2/s": "umol m-2 s-1", "%": "%"}

# Forcing quantities in the order of the forcing file: kelm unit and the
# physical bounds every value must keep.
QUANTITIES = [("ta", "degC", -90.0, 60.0), ("vpd", "kPa", -1.0, 15.0), ("wind", "m s-1", 0.0, 75.0),
              ("sw_in", "W m-2", -50.0, 1500.0), ("lw_in", "W m-2", 50.0, 700.0),
              ("precip", "mm h-1", 0.0, 500.0), ("pa", "kPa", 30.0, 110.0),
              ("co2", "umol mol-1", 100.0, 5000.0)]
UNIT = {q: u for q, u, _, _ in QUANTITIES}
BOUNDS = {q: (lo, hi) for q, _, lo, hi in QUANTITIES}
DEFAULTS = {"precip": 0.0}

NEE_VARIANTS = ["NEE_VUT_REF", "NEE_VUT_USTAR50", "NEE_VUT_MEAN", "NEE_CUT_REF", "NEE_CUT_USTAR50",
                "NEE_CUT_MEAN"]
# Per format: quantity -> [(names tried in order, source unit)].  The
# observations nep, h and le follow the drivers.
CSV_VARIABLES = {
    "fluxnet": {
        "ta": [(["TA_F", "TA"], "degC")], "vpd": [(["VPD_F", "VPD"], "hPa")], "wind": [(["WS_F", "WS"], "m s-1")],
        "sw_in": [(["SW_IN_F", "SW_IN"], "W m-2")], "lw_in": [(["LW_IN_F", "LW_IN"], "W m-2")],
        "precip": [(["P_F", "P"], "mm")], "pa": [(["PA_F", "PA"], "kPa")],
        "co2": [(["CO2_F_MDS", "CO2"], "umol mol-1")],
        "nep": [(NEE_VARIANTS + ["NEE"], "NEE umol m-2 s-1")], "h": [(["H_F_MDS", "H"], "W m-2")],
        "le": [(["LE_F_MDS", "LE"], "W m-2")]},
    "ameriflux": {
        "ta": [(["TA"], "degC")], "vpd": [(["VPD_PI", "VPD"], "hPa"), (["RH"], "%")], "wind": [(["WS"], "m s-1")],
        "sw_in": [(["SW_IN"], "W m-2")], "lw_in": [(["LW_IN"], "W m-2")], "precip": [(["P"], "mm")],
        "pa": [(["PA"], "kPa")], "co2": [(["CO2"], "umol mol-1")],
        "nep": [(["FC", "NEE_PI", "NEE"], "NEE umol m-2 s-1")], "h": [(["H"], "W m-2")], "le": [(["LE"], "W m-2")]},
}
ALMA_VARIABLES = {"ta": "Tair", "vpd": "Qair", "wind": "Wind", "sw_in": "SWdown", "lw_in": "LWdown",
                  "precip": "Rainf", "pa": "Psurf", "co2": "CO2air", "nep": "NEE", "h": "Qh", "le": "Qle"}
ALMA_UNITS = {"Tair": "K", "Qair": "kg kg-1", "Wind": "m s-1", "SWdown": "W m-2", "LWdown": "W m-2",
              "Rainf": "kg m-2 s-1", "Snowf": "kg m-2 s-1", "Psurf": "Pa", "CO2air": "umol mol-1",
              "NEE": "umol m-2 s-1", "Qh": "W m-2", "Qle": "W m-2"}
OBSERVED = ["nep", "h", "le"]
DIURNAL_DAYS = 15
FLUX_LABELS = {"nep": "NEE", "h": "H", "le": "LE"}
OBS_COLUMNS = ["timestamp", "day", "hour", "minute", "nep", "h", "le"]
POSITION = re.compile(r"^(.*?)(?:_(\d+)_(\d+)_(\d+)|_(\d+))$")
SITE_ID = re.compile(r"(?<![A-Za-z0-9])([A-Z]{2}-[A-Za-z0-9]{3})(?![A-Za-z0-9])")
SITE_COMMENT = re.compile(r"^#\s*Site\s*:\s*(\S+)", re.I)


class TowerError(ValueError):
    pass


class Options:
    """What a conversion depends on besides the input file."""

    def __init__(self, max_gap=4, co2=400.0, pa=101.3, qc=0, fmt=None, flux=None, lat=None, lon=None,
                 elevation=None, utc_offset=None, site=None):
        self.max_gap, self.co2, self.pa, self.qc, self.fmt, self.flux = max_gap, co2, pa, qc, fmt, flux
        self.lat, self.lon, self.elevation, self.utc_offset = lat, lon, elevation, utc_offset
        self.site = site

    def check(self):
        checks = [("--co2", self.co2, "co2"), ("--pa", self.pa, "pa")]
        for flag, value, q in checks:
            lo, hi = BOUNDS[q]
            if not (math.isfinite(value) and lo <= value <= hi):
                raise TowerError("%s %g is out of range %g to %g %s" % (flag, value, lo, hi, UNIT[q]))
        for flag, value, lo, hi in [("--lat", self.lat, -90, 90), ("--lon", self.lon, -180, 360),
                                    ("--elevation", self.elevation, -500, 9000), ("--utc-offset", self.utc_offset,
                                                                                  -12, 14)]:
            if value is not None and not (math.isfinite(value) and lo <= value <= hi):
                raise TowerError("%s %g is out of range %g to %g" % (flag, value, lo, hi))
        if self.max_gap < 0:
            raise TowerError("--max-gap must be 0 or more")
        if self.qc < 0:
            raise TowerError("--qc must be 0 or more")


# ---------------------------------------------------------------- reading

def open_checked(path):
    """Open an input file for reading in bytes; a directory or a device is
    refused, a gzip file is read through."""
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        raise TowerError("%s: cannot read: %s" % (path, e.strerror))
    if stat.S_ISDIR(mode):
        raise TowerError("%s is a directory, not a file" % path)
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) or stat.S_ISSOCK(mode):
        raise TowerError("%s is a device, not a file" % path)
    try:
        f = open(path, "rb")
    except OSError as e:
        raise TowerError("%s: cannot read: %s" % (path, e.strerror))
    if stat.S_ISREG(mode) and f.read(2) == b"\x1f\x8b":
        f.close()
        return gzip.open(path, "rb")
    if stat.S_ISREG(mode):
        f.seek(0)
    return f


def sniff(path):
    """The first bytes of a regular file (b'' for a pipe)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return b""
        with open(path, "rb") as f:
            return f.read(8)
    except OSError:
        return b""


def csv_lines(path):
    """(line number, text) of a CSV file: lines of at most LINE_LIMIT bytes,
    UTF-8 (a byte-order mark is skipped), no NUL byte."""
    with open_checked(path) as f:
        number = 0
        while True:
            try:
                raw = f.readline(LINE_LIMIT + 1)
            except (OSError, EOFError) as e:
                raise TowerError("%s: cannot read after line %d: %s" % (path, number, e))
            if not raw:
                return
            number += 1
            if len(raw) > LINE_LIMIT:
                raise TowerError("%s: line %d is longer than %d bytes" % (path, number, LINE_LIMIT))
            if number == 1 and raw.startswith(b"\xef\xbb\xbf"):
                raw = raw[3:]
            if b"\0" in raw:
                raise TowerError("%s: NUL byte in line %d" % (path, number))
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise TowerError("%s: undecodable byte 0x%02x in line %d (the file must be UTF-8 text)"
                                 % (path, raw[e.start], number))
            yield number, text.rstrip("\r\n")


def read_csv_table(path):
    """(header columns, data text, line numbers of the data lines, comment
    lines) of a CSV file with leading '#' comment lines and a header row;
    every data line holds as many fields as the header."""
    comments, columns, lines, numbers = [], None, [], []
    for number, text in csv_lines(path):
        if columns is None:
            if text.startswith("#") or not text.strip():
                comments.append(text)
                continue
            columns = [c.strip().strip('"') for c in text.split(",")]
            continue
        if not text.strip():
            continue
        fields = text.count(",") + 1
        if fields != len(columns):
            raise TowerError("%s: line %d has %d fields, the header names %d columns"
                             % (path, number, fields, len(columns)))
        lines.append(text)
        numbers.append(number)
    if columns is None:
        raise TowerError("%s: no header line" % path)
    return columns, "\n".join(lines), np.asarray(numbers), comments


def text_columns(text, columns, names):
    """The named columns of the data text, as stripped strings."""
    if not text:
        return pd.DataFrame({n: pd.Series([], dtype=str) for n in names})
    frame = pd.read_csv(io.StringIO(text), header=None, names=columns, usecols=names, dtype=str,
                        na_filter=False, quoting=3, engine="c")
    return frame.apply(lambda c: c.str.strip().str.strip('"'))


def by_position(columns, name):
    """The column that stands for name: the name itself, else the one with the
    lowest position suffix _H_V_R, else the lowest layer suffix _N."""
    if name in columns:
        return name
    found = []
    for c in columns:
        m = POSITION.match(c)
        if m and m.group(1) == name:
            key = (0, int(m.group(2)), int(m.group(3)), int(m.group(4))) if m.group(2) else (1, int(m.group(5)))
            found.append((key, c))
    return min(found)[1] if found else None


def numeric(path, name, texts, numbers):
    """A column's texts as numbers, missing words (-9999, NA, NaN, empty) as
    NaN; any other text is refused with its line."""
    values = pd.to_numeric(texts, errors="coerce").to_numpy(dtype=float)
    bad = ~np.isfinite(values) & ~texts.isin(MISSING_WORDS).to_numpy()
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise TowerError("%s: bad %s value '%s' in line %d" % (path, name, texts.iloc[i][:40], numbers[i]))
    values[values == MISSING] = np.nan
    return values


def stamps_of(path, texts, column):
    try:
        return pd.to_datetime(texts, format=STAMP)
    except ValueError:
        raise TowerError("%s: %s must read YYYYMMDDHHMM" % (path, column))


class Source:
    """A tower file read into columns on a regular time axis (index: end of
    each interval), with a record length and where each column came from."""

    def __init__(self, path, fmt, table, minutes, units, lat=None, lon=None, elevation=None, site=None):
        self.path, self.fmt, self.table, self.minutes, self.units = path, fmt, table, minutes, units
        self.lat, self.lon, self.elevation = lat, lon, elevation
        m = SITE_ID.search(os.path.basename(str(path)))
        self.site = site or (m.group(1) if m else None)


def regular_axis(path, end, minutes):
    if not end.is_monotonic_increasing or end.duplicated().any():
        raise TowerError("%s: the time stamps must increase from record to record" % path)
    axis = pd.date_range(end[0], end[-1], freq="%dmin" % minutes)
    if len(axis.union(end)) != len(axis):
        raise TowerError("%s: time stamps off the %d-minute grid" % (path, minutes))
    return axis


def record_minutes(path, start, end):
    lengths = (end - start).total_seconds().unique() / 60.0
    if len(lengths) != 1 or not 1 <= lengths[0] <= 60 or lengths[0] != int(lengths[0]):
        raise TowerError("%s: records must be of one length of whole minutes up to 60, found %s minutes"
                         % (path, ", ".join("%g" % v for v in sorted(lengths))))
    return int(lengths[0])


def read_csv_source(path, fmt):
    columns, text, numbers, comments = read_csv_table(path)
    site = next((m.group(1) for m in map(SITE_COMMENT.match, comments) if m), None)
    if fmt is None:
        fmt = csv_format(columns)
    for c in ("TIMESTAMP_START", "TIMESTAMP_END"):
        if c not in columns:
            raise TowerError("%s: no %s column" % (path, c))
    if len(set(columns)) != len(columns):
        raise TowerError("%s: the header names a column twice" % path)
    if not len(numbers):
        raise TowerError("%s: no records" % path)
    chosen = {}
    for quantity, choices in CSV_VARIABLES[fmt].items():
        for names, unit in choices:
            name = next((n for n in (by_position(columns, m) if fmt == "ameriflux" else (m if m in columns else None)
                                     for m in names) if n), None)
            if name:
                chosen[quantity] = (name, unit)
                break
    wanted = [n for n, _ in chosen.values()]
    wanted += [n + "_QC" for q, (n, _) in chosen.items() if q in OBSERVED and n + "_QC" in columns]
    texts = text_columns(text, columns, ["TIMESTAMP_START", "TIMESTAMP_END"] + wanted)
    start = pd.DatetimeIndex(stamps_of(path, texts["TIMESTAMP_START"], "TIMESTAMP_START"))
    end = pd.DatetimeIndex(stamps_of(path, texts["TIMESTAMP_END"], "TIMESTAMP_END"))
    minutes = record_minutes(path, start, end)
    axis = regular_axis(path, end, minutes)
    table = {name: pd.Series(numeric(path, name, texts[name], numbers), index=end).reindex(axis) for name in wanted}
    return Source(path, fmt, pd.DataFrame(table, index=axis), minutes, chosen, site=site)


def csv_format(columns):
    flux_names = {"TA_F", "SW_IN_F", "VPD_F", "LW_IN_F", "H_F_MDS", "LE_F_MDS"} | set(NEE_VARIANTS)
    return "fluxnet" if flux_names & set(columns) else "ameriflux"


def alma_frame(path, what):
    """An ALMA NetCDF file as (xarray dataset, its times)."""
    import xarray as xr
    try:
        ds = xr.open_dataset(path, decode_times=True, use_cftime=None)
    except Exception as e:       # noqa: BLE001 - any reader failure becomes one message
        raise TowerError("%s: not a readable NetCDF %s file (%s)" % (path, what, type(e).__name__))
    if "time" not in ds.variables:
        raise TowerError("%s: no time variable" % path)
    index = ds.indexes.get("time")
    if index is None or not len(index):
        raise TowerError("%s: no records" % path)
    if not isinstance(index, pd.DatetimeIndex):
        try:
            with warnings.catch_warnings():         # a 365-day calendar read as the standard one
                warnings.simplefilter("ignore")
                index = index.to_datetimeindex()
        except Exception:       # noqa: BLE001
            raise TowerError("%s: time must be a calendar time (units 'seconds since ...')" % path)
    return ds, pd.DatetimeIndex(index).round("s")


def alma_scalar(ds, names):
    for n in names:
        if n in ds.variables:
            v = np.asarray(ds[n].values, dtype=float).ravel()
            if v.size and np.isfinite(v[0]):
                return float(v[0])
    return None


def alma_series(path, ds, name):
    """Values of variable name over time (its other dimensions of size 1)."""
    var = ds[name]
    extra = [d for d in var.dims if d != "time"]
    if "time" not in var.dims or any(ds.sizes[d] != 1 for d in extra):
        raise TowerError("%s: variable %s must lie over time alone (one site), found dimensions %s"
                         % (path, name, ", ".join(var.dims)))
    values = np.asarray(var.values, dtype=float).reshape(-1)
    return values


def alma_unit(path, ds, name):
    text = str(ds[name].attrs.get("units", ALMA_UNITS[name])).strip()
    unit = UNIT_ALIASES.get(text.lower().replace("**", "^"), UNIT_ALIASES.get(text.lower()))
    if unit is None:
        raise TowerError("%s: variable %s has units '%s', which kelm-forcing does not convert" % (path, name, text))
    return unit


def time_ends(path, ds, index):
    """End of each record's interval: the upper bound where the time variable
    has bounds, else the time stamp plus one record (ALMA stamps the start)."""
    bounds = ds["time"].attrs.get("bounds")
    steps = np.unique(np.diff(index.values).astype("timedelta64[s]").astype(np.int64)) / 60.0
    if len(index) > 1 and (len(steps) != 1 or not 1 <= steps[0] <= 60 or steps[0] != int(steps[0])):
        raise TowerError("%s: records must be of one length of whole minutes up to 60, found %s minutes"
                         % (path, ", ".join("%g" % v for v in steps[:5])))
    minutes = int(steps[0]) if len(index) > 1 else 30
    if bounds and bounds in ds.variables:
        upper = np.asarray(ds[bounds].values)[:, 1]
        if upper.dtype == object:               # calendars other than the standard one
            import xarray as xr
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                upper = xr.CFTimeIndex(upper).to_datetimeindex()
        return pd.DatetimeIndex(upper).round("s"), minutes
    return index + pd.Timedelta(minutes=minutes), minutes


def read_alma_source(path, flux_path):
    ds, index = alma_frame(path, "Met")
    end, minutes = time_ends(path, ds, index)
    axis = regular_axis(path, end, minutes)
    table, units = {}, {}
    for quantity, name in ALMA_VARIABLES.items():
        if quantity in OBSERVED:
            continue
        if name in ds.variables:
            table[name] = pd.Series(alma_series(path, ds, name), index=end).reindex(axis)
            unit = alma_unit(path, ds, name)
            units[quantity] = (name, unit)
    if "Wind" not in ds.variables and "Wind_N" in ds.variables and "Wind_E" in ds.variables:
        n, e = alma_series(path, ds, "Wind_N"), alma_series(path, ds, "Wind_E")
        table["Wind"] = pd.Series(np.hypot(n, e), index=end).reindex(axis)
        units["wind"] = ("Wind", alma_unit(path, ds, "Wind_N"))
    if "Snowf" in ds.variables and "Rainf" in ds.variables:
        table["Rainf"] = table["Rainf"] + pd.Series(alma_series(path, ds, "Snowf"), index=end).reindex(axis).fillna(0)
    lat = alma_scalar(ds, ["latitude", "lat", "nav_lat"])
    lon = alma_scalar(ds, ["longitude", "lon", "nav_lon"])
    elevation = alma_scalar(ds, ["elevation", "elev", "altitude"])
    site = next((str(ds.attrs[k]).split()[0] for k in ("site_code", "site_id", "site_name", "site")
                 if str(ds.attrs.get(k, "")).strip()), None)
    ds.close()
    if flux_path:
        fx, findex = alma_frame(flux_path, "Flux")
        fend, _ = time_ends(flux_path, fx, findex)
        for quantity in OBSERVED:
            name = ALMA_VARIABLES[quantity]
            if name in fx.variables:
                series = pd.Series(alma_series(flux_path, fx, name), index=fend)
                if series.index.duplicated().any():
                    raise TowerError("%s: time stamps repeat" % flux_path)
                table[name] = series.reindex(axis)
                unit = alma_unit(flux_path, fx, name)
                units[quantity] = (name, "NEE " + unit if quantity == "nep" else unit)
                for qc in (name + "_qc", name + "_QC"):
                    if qc in fx.variables:
                        table[name + "_QC"] = pd.Series(alma_series(flux_path, fx, qc), index=fend).reindex(axis)
                        break
        fx.close()
        if not any(ALMA_VARIABLES[q] in table and table[ALMA_VARIABLES[q]].notna().any() for q in OBSERVED):
            raise TowerError("%s: no observed NEE, Qh or Qle on the time axis of %s" % (flux_path, path))
    frame = pd.DataFrame(table, index=axis)
    for c in frame.columns:
        frame[c] = frame[c].where(frame[c] != MISSING)
    return Source(path, "alma", frame, minutes, units, lat, lon, elevation, site)


def read_source(path, options):
    fmt = options.fmt
    head = sniff(path)
    netcdf = head[:3] == b"CDF" or head[:4] == b"\x89HDF"
    if fmt is None:
        fmt = "alma" if netcdf else None
    if fmt == "alma":
        if not netcdf:
            open_checked(path).close()
            raise TowerError("%s: not a NetCDF file" % path)
        try:
            return read_alma_source(path, options.flux)
        except (TypeError, KeyError, IndexError, AttributeError) as e:
            raise TowerError("%s: not a readable ALMA/PLUMBER file (%s: %s)" % (path, type(e).__name__, e))
    if netcdf:
        raise TowerError("%s is a NetCDF file: it can only be read as --format alma" % path)
    if options.flux:
        raise TowerError("--flux goes with an ALMA/PLUMBER NetCDF Met file, not with %s" % path)
    return read_csv_source(path, fmt)


# ---------------------------------------------------------------- converting

def fill_gaps(series, name, max_gap):
    """Fill runs of up to max_gap missing records linearly (the nearest value
    at either end of the series); a longer run raises TowerError."""
    runs = long_gaps(series, max_gap)
    if runs:
        first, last, count = runs[0]
        raise TowerError("%s: %d missing records from TIMESTAMP_END %s to %s, more than --max-gap %d"
                         % (name, count, first.strftime(STAMP), last.strftime(STAMP), max_gap))
    return series.interpolate(method="linear", limit_direction="both") if series.isna().any() else series


def long_gaps(series, max_gap):
    """(first, last, length) of every run of more than max_gap missing records."""
    missing = series.isna().to_numpy()
    if not missing.any():
        return []
    run_id = np.cumsum(np.concatenate([[True], missing[1:] != missing[:-1]]))
    runs = pd.Series(np.arange(len(series)))[missing].groupby(run_id[missing])
    return [(series.index[p.iloc[0]], series.index[p.iloc[-1]], len(p)) for _, p in runs if len(p) > max_gap]


def fill_long_gaps(series, quantity, name, minutes, max_gap, warn):
    """AmeriFlux BASE files are not gap-filled: the records of gaps longer
    than max_gap take the mean of the same time of day over the surrounding
    DIURNAL_DAYS days (rain: 0), with a warning."""
    gaps = gap_records(series, max_gap)
    if quantity == "precip":
        filled, how = series.fillna(0.0), "set to 0"
    else:
        filled, how = diurnal_fill(series, minutes), "filled from the mean diurnal course of the surrounding days"
        if filled[gaps].isna().any():
            raise TowerError("%s: no value at some time of day to fill its gaps from" % name)
    warn("kelm-forcing: %s: %d records in gaps longer than --max-gap %d %s" % (name, len(gaps), max_gap, how))
    return series.where(~series.index.isin(gaps), filled)


def diurnal_fill(series, minutes):
    """series with each missing value replaced by the mean of the values at
    the same time of day within DIURNAL_DAYS days, the window widened where
    it holds none."""
    if 1440 % minutes:
        return series
    clock = series.index - series.index.normalize()
    table = pd.DataFrame({"day": series.index.normalize(), "slot": clock // pd.Timedelta(minutes=minutes),
                          "v": series.to_numpy()})
    grid = table.pivot_table(index="day", columns="slot", values="v", aggfunc="first", dropna=False)
    grid = grid.reindex(pd.date_range(grid.index[0], grid.index[-1], freq="D"))
    for window in (DIURNAL_DAYS, 4 * DIURNAL_DAYS + 1, 2 * len(grid) + 1):
        grid = grid.fillna(grid.rolling(window, center=True, min_periods=1).mean())
    means = grid.stack(dropna=False)
    looked_up = means.reindex(pd.MultiIndex.from_arrays([table["day"], table["slot"]])).to_numpy()
    return series.fillna(pd.Series(looked_up, index=series.index))


def check_bounds(series, quantity, name, path):
    lo, hi = BOUNDS[quantity]
    bad = series[(series < lo) | (series > hi)]
    if len(bad):
        raise TowerError("%s: %s out of range at TIMESTAMP_END %s: %.6g %s, allowed %g to %g %s (wrong units?)"
                         % (path, name, bad.index[0].strftime(STAMP), bad.iloc[0], UNIT[quantity], lo, hi,
                            UNIT[quantity]))


def convert_column(source, quantity, target, context):
    name, unit = source.units[quantity]
    if (unit, target) not in CONVERSIONS:
        raise TowerError("%s: %s in %s cannot be converted to %s" % (source.path, name, unit, target))
    return CONVERSIONS[(unit, target)][0](source.table[name], context)


def quality_mask(qc, limit):
    """True where a value is kept: an integer flag (0 measured, 1-3 gap-filled,
    poorer with the number) at most limit; a fractional flag (share of measured
    data) counts as measured at 1 and as the poorest gap-filling below it."""
    flags = qc.to_numpy(dtype=float)
    valid = flags[np.isfinite(flags)]
    fractional = len(valid) and ((valid > 0) & (valid < 1)).any()
    if fractional:
        flags = np.where(flags >= 1.0, 0.0, np.where(np.isfinite(flags), 3.0, np.nan))
    return ~(flags > limit)


def convert(path, options=None, warn=print, say=None, max_gap=None, co2=None, pa=None):
    """Return (forcing frame, observation frame, end time stamps, header lines).
    max_gap, co2 and pa, where given, stand for the options of those names."""
    options = options if isinstance(options, Options) else Options()
    for key, value in (("max_gap", max_gap), ("co2", co2), ("pa", pa)):
        if value is not None:
            setattr(options, key, value)
    options.check()
    say = say or (lambda text: None)
    source = read_source(path, options)
    table, minutes = source.table, source.minutes
    notes = ["source %s: %s, %d-minute records" % (os.path.basename(str(path)), FORMAT_NAMES[source.fmt], minutes)]
    forcing = pd.DataFrame(index=table.index)
    context = {"minutes": minutes}
    fallback = {"pa": options.pa, "co2": options.co2}
    for quantity in ["ta", "pa", "vpd", "wind", "sw_in", "lw_in", "precip", "co2"]:
        if quantity not in source.units:
            tried = tried_names(source, quantity)
            if quantity == "lw_in":
                forcing[quantity] = np.nan
                continue
            if quantity in fallback or quantity in DEFAULTS:
                value = fallback.get(quantity, DEFAULTS.get(quantity))
                warn("kelm-forcing: no %s: %s set to %g" % (tried, quantity, value))
                forcing[quantity] = value
                context[quantity] = forcing[quantity]
                continue
            raise TowerError("%s: no %s" % (path, tried))
        name = source.units[quantity][0]
        values = convert_column(source, quantity, UNIT[quantity], context)
        check_bounds(values, quantity, name, path)
        if quantity == "lw_in":
            forcing[quantity] = values
            continue
        if source.fmt == "ameriflux" and long_gaps(values, options.max_gap):
            values = fill_long_gaps(values, quantity, name, source.minutes, options.max_gap, warn)
        forcing[quantity] = fill_gaps(values, name, options.max_gap)
        context[quantity] = forcing[quantity]
    estimate_longwave(source, forcing, options, warn, notes)
    lat = options.lat if options.lat is not None else source.lat
    lon = options.lon if options.lon is not None else source.lon
    notes.insert(1, "site %s, lat %s, lon %s" % (options.site or source.site or "", "unknown" if lat is None
                                                 else "%g" % lat, "unknown" if lon is None else "%g" % lon))
    obs = pd.DataFrame(index=table.index)
    if source.fmt == "alma" and not options.flux:
        warn("kelm-forcing: no --flux file: observed NEE, H and LE missing")
    for quantity in OBSERVED:
        if source.fmt == "alma" and not options.flux:
            obs[quantity] = np.nan
            continue
        if quantity not in source.units:
            warn("kelm-forcing: no %s: observed %s missing" % (tried_names(source, quantity),
                                                                     quantity.upper()))
            obs[quantity] = np.nan
            continue
        name = source.units[quantity][0]
        values = convert_column(source, quantity, "umol m-2 s-1" if quantity == "nep" else "W m-2", context)
        qc_name = name + "_QC"
        total = int(values.notna().sum())
        if qc_name in table.columns:
            values = values.where(quality_mask(table[qc_name], options.qc))
            rule = "%s at most %d" % (qc_name if source.fmt != "alma" else name + "_qc", options.qc)
        else:
            rule = "no quality flag"
        say("kelm-forcing: observed %s from %s: %d of %d records kept (%d present, %s)"
            % (FLUX_LABELS[quantity], name, int(values.notna().sum()), len(values), total, rule))
        notes.append("observed %s from %s, quality flag at most %d" % (FLUX_LABELS[quantity], name, options.qc))
        obs[quantity] = values
    leap = (table.index.month == 2) & (table.index.day == 29)
    if leap.any():
        warn("kelm-forcing: %d records of 29 February left out: the model's year has 365 days" % leap.sum())
        forcing, obs = forcing[~leap], obs[~leap]
    stamps = forcing.index
    day = stamps.dayofyear - ((stamps.is_leap_year) & (stamps.month > 2))
    for frame in (forcing, obs):
        frame.insert(0, "minute", stamps.minute)
        frame.insert(0, "hour", stamps.hour)
        frame.insert(0, "day", day)
    obs.insert(0, "timestamp", stamps.strftime(STAMP))
    return forcing.reset_index(drop=True), obs.reset_index(drop=True), stamps, notes


def tried_names(source, quantity):
    """What the file lacks, for a message: "LWdown variable", "LW_IN_F or LW_IN column"."""
    if source.fmt == "alma":
        return ALMA_VARIABLES[quantity] + " variable"
    return " or ".join(n for names, _ in CSV_VARIABLES[source.fmt][quantity] for n in names) + " column"


def estimate_longwave(source, forcing, options, warn, notes):
    """Measured longwave with short gaps filled; records without it estimated."""
    lw = forcing["lw_in"]
    name = source.units.get("lw_in", (None,))[0]
    if name is not None and not long_gaps(lw, options.max_gap):
        forcing["lw_in"] = fill_gaps(lw, name, options.max_gap)
        return
    lat = options.lat if options.lat is not None else source.lat
    lon = options.lon if options.lon is not None else source.lon
    what = "no %s" % tried_names(source, "lw_in") if name is None else \
        "%s has gaps longer than --max-gap %d" % (name, options.max_gap)
    if lat is None or lon is None:
        raise TowerError("%s: %s: give --lat and --lon of the site to estimate incoming longwave"
                         % (source.path, what))
    elevation = options.elevation if options.elevation is not None else (source.elevation or 0.0)
    offset, found = options.utc_offset, False
    if offset is None:
        offset, found = longwave.utc_offset(forcing.index, source.minutes, forcing["sw_in"].to_numpy(), lon), True
    estimate = longwave.estimate(forcing.index, source.minutes, forcing["ta"].to_numpy(),
                                 forcing["vpd"].to_numpy(), forcing["sw_in"].to_numpy(), lat, lon, elevation, offset)
    if name is None:
        forcing["lw_in"] = estimate
        count = len(estimate)
    else:
        keep = ~forcing.index.isin(gap_records(lw, options.max_gap))
        forcing["lw_in"] = lw.where(keep).interpolate(method="linear", limit_direction="both").where(keep, estimate)
        count = int((~keep).sum())
    method = ("%s (Brutsaert 1975 clear-sky emissivity, cloud fraction from shortwave against FAO-56 clear-sky "
              "shortwave after Crawford and Duchon 1999; lat %g, lon %g, elevation %g m, time stamps taken as "
              "UTC%+g%s)" % (longwave.METHOD, lat, lon, elevation, offset,
                             " from the course of the shortwave; --utc-offset to set" if found else ""))
    warn("kelm-forcing: %s: incoming longwave of %d records estimated: %s" % (what, count, method))
    notes.append("lw_in of %d records estimated: %s" % (count, method))


def gap_records(series, max_gap):
    out = []
    for first, last, _ in long_gaps(series, max_gap):
        out.extend(series.index[(series.index >= first) & (series.index <= last)])
    return pd.DatetimeIndex(out)


# ---------------------------------------------------------------- writing

def forcing_text(forcing, obs, stamps, source, notes=()):
    lines = ["# kelm forcing converted from %s by kelm-forcing" % source,
             "# year %d (first record ends %s); records stamped with the end of their interval"
             % (stamps[0].year, stamps[0].strftime(STAMP))]
    lines += ["# " + n for n in notes]
    lines.append("# day, hour, minute, ta (degC), vpd (kPa), wind (m s-1), sw_in (W m-2), lw_in (W m-2), "
                 "precip (mm h-1), pa (kPa), co2 (umol mol-1), nep_obs (umol m-2 s-1)")
    values = forcing.drop(columns=["day", "hour", "minute"])[[q for q, _, _, _ in QUANTITIES]].to_numpy()
    nep = obs["nep"].to_numpy()
    for (d, h, m), row, n in zip(forcing[["day", "hour", "minute"]].to_numpy(), values, nep):
        lines.append("%d, %d, %d, " % (d, h, m) + ", ".join("%.6g" % v for v in row)
                     + ", " + (NEP_MISSING if np.isnan(n) else "%.6g" % n))
    return "\n".join(lines) + "\n"


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(str(a)) == os.path.abspath(str(b))


def write_atomic(path, text):
    """Write text to path through a temporary file, so that a failed write
    leaves no half file."""
    tmp = "%s.kelm-forcing.tmp" % path
    try:
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError as e:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise TowerError("cannot write %s: %s" % (path, e.strerror or e))


def write(path, out, obs_path=None, *args, options=None, warn=print, say=None):
    """Convert path into the forcing file out (and the observation file
    obs_path); args may give max_gap, co2 and pa in this order."""
    if args and isinstance(args[0], Options):
        options = args[0]
    elif args:
        options = Options(*args)
    options = options or Options()
    inputs = [("the input", path)] + ([("--flux", options.flux)] if options.flux else [])
    outputs = [("-o", out)] + ([("--obs", obs_path)] if obs_path else [])
    for flag, o in outputs:
        for what, i in inputs:
            if same_file(o, i):
                raise TowerError("%s %s is %s: it would be overwritten" % (flag, o, what))
    if options.flux and same_file(path, options.flux):
        raise TowerError("--flux %s is the input: give the Met file as the input, its Flux file with --flux"
                         % options.flux)
    if obs_path and same_file(out, obs_path):
        raise TowerError("-o and --obs name the same file %s" % out)
    forcing, obs, stamps, notes = convert(path, options, warn, say)
    write_atomic(out, forcing_text(forcing, obs, stamps, path, notes))
    if obs_path:
        write_atomic(obs_path, obs[OBS_COLUMNS].to_csv(index=False, na_rep="NaN", float_format="%.6g"))
    return len(forcing)


def read_obs(path):
    """An observation file written by kelm-forcing --obs."""
    obs = pd.read_csv(path, dtype={"timestamp": str})
    missing = [c for c in OBS_COLUMNS if c not in obs.columns]
    if missing:
        raise TowerError("%s: no column %s" % (path, ", ".join(missing)))
    return obs
