"""Write a kelm run as one NetCDF file following the CF conventions (1.8).

Every data column of every output file becomes a variable over `time` (the
end of the span each line averages, with its bounds); the soil's grouped
columns become variables over (`time`, `layer`), with the layer depths from
soil.par.  Units and long names come from the header lines; a few unit texts
of the headers are written the way CF unit parsers read them.
"""

import os
import re

import netCDF4
import numpy as np

from . import observed, reader, stats

# Header unit texts and their CF spelling.
CF_UNITS = {"C": "degC", "umol m-2 -s": "umol m-2 s-1", "umol m-2 s-2": "umol m-2 s-1",
            "kgC m-2": "kg m-2", "": "1"}
DEFAULT_DZ = [0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 6.4]
SOIL_PLAIN_KEYS = {"_refl", "_rgh", "_fcv", "_fgh", "_b", "_psie", "_ks", "_porosity", "_zr", "_kw",
                   "_pw", "_W0", "_Wd", "_Td"}
YEAR_LINE = re.compile(r"^#\s*year\s+(\d{4})\b")


class ExportError(ValueError):
    pass


def var_name(prefix, title):
    return re.sub(r"[^a-z0-9]+", "_", ("%s %s" % (prefix, title)).lower()).strip("_")


def layer_thicknesses(run_dir):
    """The soil's layer thicknesses as kelm reads them from soil.par: every
    line whose first word contains "_dz" adds a layer, in file order."""
    path = os.path.join(run_dir, "soil.par")
    if not os.path.exists(path):
        return DEFAULT_DZ
    dz = []
    with open(path) as f:
        for line in f:
            words = line.replace(",", " ").split()
            if len(words) >= 2 and words[0] not in SOIL_PLAIN_KEYS and "_dz" in words[0]:
                dz.append(reader.leading_real(words[1]))
    return dz or DEFAULT_DZ


def forcing_year(path):
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                return None
            m = YEAR_LINE.match(line)
            if m:
                return int(m.group(1))
    return None


def is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def export(run_dir, forcing_path, out, year=None, obs_path=None, warn=print):
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    forcing = reader.read_forcing(forcing_path)
    stats.pair_nep(site, forcing)                   # the run belongs to the forcing
    reader.note_coverage(site, forcing_path, len(forcing))
    n = len(site)
    if n == 0:
        raise ExportError("%s holds no data line" % os.path.join(run_dir, "site.csv"))
    if year is None:
        year = forcing_year(forcing_path)
    if year is None:
        year = 2001
        warn("kelm-export: no year in %s: the time axis starts in %d (give --year YEAR)" % (forcing_path, year))
    # kelm's time: day of year, raised by 365 at each new year; the model's
    # year has 365 days, which the calendar says when a leap year is spanned
    days = forcing["time"].to_numpy() - 1.0
    years = range(year, year + int(days[-1] // 365) + 1)
    calendar = "noleap" if any(is_leap(y) for y in years) else "standard"

    with netCDF4.Dataset(out, "w", format="NETCDF4") as ds:
        ds.Conventions = "CF-1.8"
        ds.title = "kelm run %s" % os.path.abspath(run_dir)
        ds.source = "kelm output files of %s with the forcing %s" % (run_dir, forcing_path)
        ds.comment = "Each value is the mean over the interval that ends at its time."
        ds.createDimension("time", n)
        ds.createDimension("nv", 2)
        t = ds.createVariable("time", "f8", ("time",))
        t.units = "days since %04d-01-01 00:00:00" % year
        t.calendar, t.standard_name, t.axis, t.bounds = calendar, "time", "T", "time_bnds"
        t.long_name = "end of the averaging interval"
        t[:] = days[1:n + 1]
        ds.createVariable("time_bnds", "f8", ("time", "nv"))[:] = np.column_stack([days[:n], days[1:n + 1]])
        dz = None
        for file_name in reader.OUTPUT_FILES:
            path = os.path.join(run_dir, file_name)
            if not os.path.exists(path):
                continue
            frame = reader.read_output(path)
            if len(frame) == 0:
                continue
            if len(frame) != n:
                raise ExportError("%s has %d data lines, site.csv %d" % (path, len(frame), n))
            values = frame.to_numpy(dtype=float)[:, 4:]   # after day, hour, minute, time
            prefix = file_name[:-len(".csv")]
            position = 0
            for title, unit, count in frame.attrs["groups"]:
                name = var_name(prefix, title)
                while name in ds.variables:
                    name += "_"
                if count:
                    if dz is None:
                        dz = layer_thicknesses(run_dir)
                        if len(dz) != count:
                            raise ExportError("%s has %d layers, %s %d columns of %s"
                                              % (os.path.join(run_dir, "soil.par"), len(dz), path, count, title))
                        add_layers(ds, dz)
                    var = ds.createVariable(name, "f8", ("time", "layer"))
                    var.coordinates = "depth"
                    var[:] = values[:, position:position + count]
                    position += count
                else:
                    var = ds.createVariable(name, "f8", ("time",))
                    var[:] = values[:, position]
                    position += 1
                var.units = CF_UNITS.get(unit, unit)
                var.long_name = "%s: %s" % (prefix, title)
                var.cell_methods = "time: mean"
        if obs_path:
            obs = observed.load(forcing_path, obs_path)
            for v in observed.VARIABLES:
                var = ds.createVariable("observed_" + v, "f8", ("time",))
                var.units, var.long_name = observed.UNITS[v], "observed " + observed.NAMES[v]
                var.cell_methods = "time: mean"
                var[:] = np.ma.masked_invalid(obs[v].to_numpy(dtype=float)[1:n + 1])
    return n


def add_layers(ds, dz):
    bottom = np.cumsum(dz)
    ds.createDimension("layer", len(dz))
    layer = ds.createVariable("layer", "i4", ("layer",))
    layer.long_name = "soil layer, counted from the surface"
    layer[:] = np.arange(1, len(dz) + 1)
    depth = ds.createVariable("depth", "f8", ("layer",))
    depth.standard_name, depth.units, depth.positive = "depth", "m", "down"
    depth.long_name, depth.bounds = "depth of the layer's middle below the soil surface", "depth_bnds"
    depth[:] = bottom - np.asarray(dz) / 2.0
    ds.createVariable("depth_bnds", "f8", ("layer", "nv"))[:] = np.column_stack([bottom - dz, bottom])
