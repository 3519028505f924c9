"""Write a kelm run as one NetCDF file following the CF conventions (1.8).

Every data column of every output file becomes a variable over `time` (the
end of the span each line averages, with its bounds); the soil's grouped
columns become variables over (`time`, `layer`), with the layer depths from
soil.par.  Where the land-surface benchmarking practice has a short name
(`GPP`, `Qh`, `Qle`, `Qg`, `SoilTemp`, `SoilMoist`, `TVeg`, `ECanop`,
`AutoResp`, `HeteroResp`, `NEE`) the variable carries it; the other columns
are named after their file and their header, spelled correctly.  Carbon
fluxes are written as mass of carbon (kg m-2 s-1), except NEE, a mole flux of
CO2 as measured at towers (umol m-2 s-1); carbon pools are kg m-2 of carbon.
Missing values carry `_FillValue`.  The site sits in scalar coordinates
(`site`, `lat`, `lon`) of a CF "timeSeries".
"""

import datetime
import glob
import os
import re
import subprocess
import sys

import netCDF4
import numpy as np

from . import observed, reader, stats

FILL = 1.0e20
CARBON_KG_PER_UMOL = 12.011e-9       # kg of carbon in one micromole of C (or CO2)
WATER_DENSITY = 1000.0               # kg m-3
DEFAULT_DZ = [0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 6.4]
SOIL_PLAIN_KEYS = {"_refl", "_rgh", "_fcv", "_fgh", "_b", "_psie", "_ks", "_porosity", "_zr", "_kw",
                   "_pw", "_W0", "_Wd", "_Td"}
YEAR_LINE = re.compile(r"^#\s*year\s+(\d{4})\b")
SITE_LINE = re.compile(r"^#\s*site\s+(\S*)\s*,\s*lat\s+(\S+)\s*,\s*lon\s+(\S+)")
VERSION = re.compile(r"Kelmora version (\S+)")
# Header words the output files misspell, and their spelling here.
SPELLING = {"resperiation": "respiration", "letent": "latent", "lesf": "leaf", "stomato": "stomatal",
            "life": "live"}
# What a header (spelled correctly, lower case) holds: kind of conversion,
# CF standard name (or None), short name at site level (or None).  Kinds:
# "cflux" umol m-2 s-1 -> kg m-2 s-1 of carbon, "cpool" kg m-2 of carbon,
# "degC" and None as written.
COLUMNS = {
    ("site", "gross primary production"): ("cflux", "gross_primary_productivity_of_biomass_expressed_as_carbon",
                                            "GPP"),
    ("site", "total respiration"): ("cflux", None, "Reco"),
    ("site", "sensible heat flux"): (None, "surface_upward_sensible_heat_flux", "Qh"),
    ("site", "latent heat flux"): (None, "surface_upward_latent_heat_flux", "Qle"),
    ("soil", "net surface energy flux"): (None, "downward_heat_flux_in_soil", "Qg"),
    ("*", "gross production"): ("cflux", "gross_primary_productivity_of_biomass_expressed_as_carbon", None),
    ("*", "dark respiration"): ("cflux", None, None),
    ("*", "stem respiration"): ("cflux", None, None),
    ("*", "respiration"): ("cflux", None, None),
    ("*", "decomposition"): ("cflux", "heterotrophic_respiration_carbon_flux", None),
    ("*", "leaf litter decomposition"): ("cflux", "heterotrophic_respiration_carbon_flux", None),
    ("*", "stem litter decomposition"): ("cflux", "heterotrophic_respiration_carbon_flux", None),
    ("foliage", "carbon"): ("cpool", "leaf_carbon_content", None),
    ("stem", "carbon"): ("cpool", "wood_carbon_content", None),
    ("root", "live root carbon"): ("cpool", "root_carbon_content", None),
    ("*", "dead root carbon"): ("cpool", None, None),
    ("*", "leaf litter"): ("cpool", "litter_carbon_content", None),
    ("*", "litter"): ("cpool", "litter_carbon_content", None),
    ("*", "water transpiration"): (None, "transpiration_flux", None),
    ("*", "water evaporation"): (None, "water_evaporation_flux_from_canopy", None),
    ("*", "air temperature at z12"): (None, "air_temperature", None),
    ("*", "specific humidity at z12"): (None, "specific_humidity", None),
    ("*", "transmitted down ir"): (None, "downwelling_longwave_flux_in_air", None),
    ("*", "transmitted up ir"): (None, "upwelling_longwave_flux_in_air", None),
    ("*", "transmitted down vis"): (None, "downwelling_photosynthetic_radiative_flux_in_air", None),
}
# Header unit texts and their CF spelling.
CF_UNITS = {"C": "degC", "umol m-2 -s": "umol m-2 s-1", "umol m-2 s-2": "umol m-2 s-1", "kgC m-2": "kg m-2",
            "": "1"}
# Site-level sums over the components' files: (file, header) terms.
SUMS = {
    "TVeg": ([("tree.foliage", "water transpiration"), ("shrub.foliage", "water transpiration")],
             "transpiration_flux", "kg m-2 s-1", "transpiration of trees and shrubs", 1.0),
    "ECanop": ([(p, "water evaporation") for p in ("tree.foliage", "tree.stem", "shrub.foliage", "shrub.stem")],
               "water_evaporation_flux_from_canopy", "kg m-2 s-1",
               "evaporation of water intercepted by leaves and stems", 1.0),
    "AutoResp": ([(p, t) for p, t in [("tree.leaf", "dark respiration"), ("tree.stem", "stem respiration"),
                                      ("shrub.leaf", "dark respiration"), ("shrub.stem", "stem respiration"),
                                      ("root.fine", "respiration"), ("root.coarse", "respiration")]],
                 "plant_respiration_carbon_flux", "kg m-2 s-1", "autotrophic (plant) respiration as carbon",
                 CARBON_KG_PER_UMOL),
    "HeteroResp": ([(p, t) for p, t in [("tree.foliage", "leaf litter decomposition"),
                                        ("tree.stem", "stem litter decomposition"),
                                        ("shrub.foliage", "leaf litter decomposition"),
                                        ("shrub.stem", "stem litter decomposition"),
                                        ("root.fine", "decomposition"), ("root.coarse", "decomposition")]],
                   "heterotrophic_respiration_carbon_flux", "kg m-2 s-1",
                   "heterotrophic respiration (litter and dead root decomposition) as carbon", CARBON_KG_PER_UMOL),
}
NEE_MOLE = "surface_upward_mole_flux_of_carbon_dioxide"
OBSERVED = {"nep": ("NEE_obs", NEE_MOLE, "umol m-2 s-1", "observed net ecosystem exchange of CO2, upward positive",
                    -1.0),
            "h": ("Qh_obs", "surface_upward_sensible_heat_flux", "W m-2", "observed sensible heat flux", 1.0),
            "le": ("Qle_obs", "surface_upward_latent_heat_flux", "W m-2", "observed latent heat flux", 1.0)}


class ExportError(ValueError):
    pass


def spelled(title):
    words = title.split()
    return " ".join(SPELLING.get(w.lower(), w) if w.lower() in SPELLING else w for w in words)


def var_name(prefix, title):
    return re.sub(r"[^a-z0-9]+", "_", ("%s %s" % (prefix, title)).lower()).strip("_")


def describe(prefix, title):
    """(kind, standard name, short name) of a column."""
    key = title.lower()
    part = prefix.split(".")[-1] if "." in prefix else prefix
    family = "root" if prefix.startswith("root") else part
    for k in ((prefix, key), (family, key), ("*", key)):
        if k in COLUMNS:
            return COLUMNS[k]
    return (None, None, None)


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


def forcing_header(path):
    """(year, site, lat, lon) noted in a kelm-forcing header (None where absent)."""
    year = site = lat = lon = None
    with open(path, errors="replace") as f:
        for line in f:
            if not line.startswith("#"):
                break
            m = YEAR_LINE.match(line)
            if m:
                year = int(m.group(1))
            m = SITE_LINE.match(line)
            if m:
                site = m.group(1) or None
                lat, lon = (float(v) if v != "unknown" else None for v in m.group(2, 3))
    return year, site, lat, lon


def is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def parameter_files(run_dir):
    """{file name: "key value; ..."} of every parameter file of the run."""
    result = {}
    for path in sorted(glob.glob(os.path.join(run_dir, "*.par"))):
        entries = []
        with open(path, errors="replace") as f:
            for line in f:
                words = line.replace(",", " ").split()
                if len(words) >= 2 and words[0].startswith("_"):
                    entries.append("%s %s" % (words[0], words[1]))
        result[os.path.basename(path)] = "; ".join(entries)
    return result


def site_value(params, key):
    for entry in params.get("site.par", "").split("; "):
        words = entry.split()
        if len(words) == 2 and words[0] == key:
            return reader.leading_int(words[1])
    return None


def model_version(run_dir, kelm=None):
    """The model version: asked of the program kelm where given, else found
    in the run's console text (*.log)."""
    if kelm:
        try:
            p = subprocess.run([kelm, "--version"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
        except (OSError, subprocess.SubprocessError) as e:
            raise ExportError("cannot run %s --version: %s" % (kelm, e))
        m = VERSION.search(p.stdout)
        if not m:
            raise ExportError("%s --version does not print a Kelmora version" % kelm)
        return m.group(1)
    for path in sorted(glob.glob(os.path.join(run_dir, "*.log"))):
        with open(path, errors="replace") as f:
            m = VERSION.search(f.read(4096))
        if m:
            return m.group(1)
    return None


def add_variable(ds, name, values, units, long_name, standard_name=None, dims=("time",), **attrs):
    var = ds.createVariable(name, "f8", dims, fill_value=FILL)
    var.units, var.long_name = units, long_name
    if standard_name:
        var.standard_name = standard_name
    var.cell_methods = "time: mean"
    if "site" in ds.variables:
        var.coordinates = " ".join(c for c in ("site", "lat", "lon") if c in ds.variables) + \
            (" depth" if "layer" in dims else "")
    elif "layer" in dims:
        var.coordinates = "depth"
    for k, v in attrs.items():
        setattr(var, k, v)
    var[:] = np.ma.masked_invalid(np.asarray(values, dtype=float))
    return var


def export(run_dir, forcing_path, out, year=None, obs_path=None, warn=print, site_id=None, lat=None, lon=None,
           command=None, kelm=None):
    site = reader.read_output(os.path.join(run_dir, "site.csv"))
    forcing = reader.read_forcing(forcing_path)
    stats.pair_nep(site, forcing)                   # the run belongs to the forcing
    reader.note_coverage(site, forcing_path, len(forcing))
    n = len(site)
    if n == 0:
        raise ExportError("%s holds no data line" % os.path.join(run_dir, "site.csv"))
    noted_year, noted_site, noted_lat, noted_lon = forcing_header(forcing_path)
    year = year if year is not None else noted_year
    site_id = site_id or noted_site
    lat = lat if lat is not None else noted_lat
    lon = lon if lon is not None else noted_lon
    if year is None:
        year = 2001
        warn("kelm-export: no year in %s: the time axis starts in %d (give --year YEAR)" % (forcing_path, year))
    if lat is None or lon is None:
        warn("kelm-export: no site position in %s: lat and lon left out (give --lat and --lon)" % forcing_path)
    # kelm's time: day of year, raised by 365 at each new year; the model's
    # year has 365 days, which the calendar says when a leap year is spanned
    days = forcing["time"].to_numpy() - 1.0
    years = range(year, year + int(days[-1] // 365) + 1)
    calendar = "noleap" if any(is_leap(y) for y in years) else "standard"
    frames = {}
    for file_name in reader.OUTPUT_FILES:
        path = os.path.join(run_dir, file_name)
        if os.path.exists(path):
            frame = reader.read_output(path)
            if len(frame) == 0:
                continue
            if len(frame) != n:
                raise ExportError("%s has %d data lines, site.csv %d" % (path, len(frame), n))
            frames[file_name[:-len(".csv")]] = frame
    params = parameter_files(run_dir)
    version = model_version(run_dir, kelm)
    if version is None:
        warn("kelm-export: no model version in a *.log of %s (give --kelm PROGRAM)" % run_dir)

    tmp = "%s.kelm-export.tmp" % out
    try:
        with netCDF4.Dataset(tmp, "w", format="NETCDF4") as ds:
            write_globals(ds, run_dir, forcing_path, params, version, command)
            write_axes(ds, n, days, year, calendar, site_id, lat, lon)
            columns = write_columns(ds, frames, run_dir)
            write_derived(ds, frames, columns)
            write_observations(ds, forcing_path, obs_path, n)
        os.replace(tmp, out)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return n


def write_globals(ds, run_dir, forcing_path, params, version, command):
    ds.Conventions = "CF-1.8"
    ds.featureType = "timeSeries"
    ds.title = "kelm run %s" % os.path.abspath(run_dir)
    ds.source = "Kelmora version %s" % version if version else "Kelmora (version unknown)"
    ds.model_version = version or "unknown"
    ds.comment = ("Each value is the mean over the interval that ends at its time. Carbon fluxes are mass of "
                  "carbon (kg m-2 s-1; 1 umol m-2 s-1 = 12.011e-9 kg m-2 s-1) except NEE, NEE_obs: mole flux "
                  "of CO2 (umol m-2 s-1), upward positive. Carbon pools are kg of carbon m-2.")
    ds.input_forcing = os.path.abspath(forcing_path)
    for key in ("_physics", "_dt", "_type"):
        value = site_value(params, key)
        if value is not None:
            setattr(ds, "kelm" + key, np.int32(value))
    for name, values in params.items():
        setattr(ds, "parameters_" + re.sub(r"[^A-Za-z0-9]", "_", name), values)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    ds.history = "%s: %s" % (stamp, command or "kelm-export %s %s" % (run_dir, forcing_path))


def write_axes(ds, n, days, year, calendar, site_id, lat, lon):
    ds.createDimension("time", n)
    ds.createDimension("nv", 2)
    t = ds.createVariable("time", "f8", ("time",))
    t.units = "days since %04d-01-01 00:00:00" % year
    t.calendar, t.standard_name, t.axis, t.bounds = calendar, "time", "T", "time_bnds"
    t.long_name = "end of the averaging interval"
    t[:] = days[1:n + 1]
    ds.createVariable("time_bnds", "f8", ("time", "nv"))[:] = np.column_stack([days[:n], days[1:n + 1]])
    s = ds.createVariable("site", str, ())
    s.cf_role, s.long_name = "timeseries_id", "site identifier"
    s[...] = np.array(site_id or "unknown", dtype=object)
    if lat is not None and lon is not None:
        for name, value, std, units in (("lat", lat, "latitude", "degrees_north"),
                                        ("lon", lon, "longitude", "degrees_east")):
            v = ds.createVariable(name, "f8", ())
            v.standard_name, v.units, v.long_name = std, units, std
            v[...] = value


def write_columns(ds, frames, run_dir):
    """Every output column as a variable; returns {(file, header): values in
    the file's units} for the derived sums."""
    columns, dz = {}, None
    for prefix, frame in frames.items():
        values = frame.to_numpy(dtype=float)[:, 4:]   # after day, hour, minute, time
        position = 0
        for title, unit, count in frame.attrs["groups"]:
            width = count or 1
            block = values[:, position:position + width]
            position += width
            title = spelled(title)
            kind, standard, short = describe(prefix, title)
            columns[(prefix, title.lower())] = block[:, 0]
            units = CF_UNITS.get(unit, unit)
            long_name = "%s: %s" % (prefix, title)
            if title.lower() == "air temperature at z12" and units == "K":
                # the header says K, the values are degrees Celsius
                units, long_name = "degC", long_name + " (written in degC although the header says K)"
            if kind == "cflux":
                block, units = block * CARBON_KG_PER_UMOL, "kg m-2 s-1"
                long_name += " as carbon"
            elif kind == "cpool":
                units, long_name = "kg m-2", long_name + " (kg of carbon per m2)"
            if not count:
                name = short or var_name(prefix, title)
                while name in ds.variables:
                    name += "_"
                add_variable(ds, name, block[:, 0], units, long_name, standard)
                continue
            if dz is None:
                dz = layer_thicknesses(run_dir)
                if len(dz) != count:
                    raise ExportError("%s has %d layers, %s %d columns of %s"
                                      % (os.path.join(run_dir, "soil.par"), len(dz), prefix + ".csv", count, title))
                add_layers(ds, dz)
            if title.lower() == "temperature":
                add_variable(ds, "SoilTemp", block + 273.15, "K", "soil temperature of each layer",
                             "soil_temperature", ("time", "layer"))
            elif title.lower() == "water content":
                add_variable(ds, "SoilMoist", block * WATER_DENSITY * np.asarray(dz), "kg m-2",
                             "water held in each soil layer", "mass_content_of_water_in_soil_layer",
                             ("time", "layer"))
                add_variable(ds, "soil_water_content", block, CF_UNITS.get(unit, unit),
                             "volumetric water content of each soil layer", None, ("time", "layer"))
            else:
                add_variable(ds, var_name(prefix, title), block, units, long_name, standard, ("time", "layer"))
    return columns


def write_derived(ds, frames, columns):
    if ("site", "gross primary production") in columns and ("site", "total respiration") in columns:
        nee = columns[("site", "total respiration")] - columns[("site", "gross primary production")]
        add_variable(ds, "NEE", nee, "umol m-2 s-1", "simulated net ecosystem exchange of CO2", NEE_MOLE,
                     comment="total respiration minus gross primary production (site.csv); upward (to the "
                             "atmosphere) positive; 1 umol m-2 s-1 of CO2 is 12.011e-9 kg m-2 s-1 of carbon",
                     positive="up")
    for name, (terms, standard, units, long_name, factor) in SUMS.items():
        present = [columns[(p, t)] for p, t in terms if (p, t) in columns]
        if present:
            add_variable(ds, name, np.sum(present, axis=0) * factor, units, long_name, standard,
                         comment="sum of " + ", ".join("%s: %s" % (p, t) for p, t in terms if (p, t) in columns))


def write_observations(ds, forcing_path, obs_path, n):
    obs = observed.load(forcing_path, obs_path)
    for v, (name, standard, units, long_name, sign) in OBSERVED.items():
        values = sign * obs[v].to_numpy(dtype=float)[1:n + 1]
        if np.isfinite(values).any():
            add_variable(ds, name, values, units, long_name, standard)


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


def command_line():
    return " ".join([os.path.basename(sys.argv[0])] + sys.argv[1:])
