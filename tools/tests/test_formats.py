"""kelm-forcing on the shipped sample of each tower format, its refusals, the
longwave estimate, and kelm-export's CF file."""
import gzip
import math
import os
import shutil

import numpy as np
import pandas as pd
import pytest

from conftest import REPO, run_kelm, tool
from kelmtools import longwave, tower

SAMPLES = os.path.join(REPO, "io", "towers")
FLX = os.path.join(SAMPLES, "FLX_DE-Tha_FLUXNET2015_FULLSET_HH_20100701-20100704.csv")
AMF = os.path.join(SAMPLES, "AMF_FR-Pue_BASE_HH_20050505-20050508.csv")
MET, FLUX = (os.path.join(SAMPLES, "DE-Tha_2010_%s.nc" % k) for k in ("Met", "Flux"))
TOWERS = os.environ.get("KELM_TOWERS", os.path.join(REPO, "..", "shared", "data", "towers"))
NAMES = ["ta", "vpd", "wind", "sw_in", "lw_in", "precip", "pa", "co2", "nep"]


def forcing(path):
    return pd.read_csv(path, comment="#", header=None, names=["day", "hour", "minute"] + NAMES,
                       skipinitialspace=True, na_values=["-9999.9"])


def csv_source(path):
    return pd.read_csv(path, comment="#", na_values=[-9999])


def alma_source(met=MET):
    netCDF4 = pytest.importorskip("netCDF4")
    with netCDF4.Dataset(met) as m, netCDF4.Dataset(FLUX) as f:
        values = {k: np.ma.filled(d[k][:].ravel().astype(float), np.nan)
                  for d in (m, f) for k in d.variables if d[k].dimensions[:1] == ("time",)}
    return pd.DataFrame(values)


# sample, options, source reader, expected forcing columns and observations
# (value, QC) from the source's own columns
CASES = {
    "fluxnet": (FLX, ["--lat", 50.96, "--lon", 13.57], csv_source,
                lambda s: dict(ta=s.TA_F, vpd=s.VPD_F / 10, precip=s.P_F * 2, pa=s.PA_F, co2=s.CO2_F_MDS),
                lambda s: dict(nep=(-s.NEE_VUT_USTAR50, s.NEE_VUT_USTAR50_QC), h=(s.H_F_MDS, s.H_F_MDS_QC),
                               le=(s.LE_F_MDS, s.LE_F_MDS_QC))),
    "ameriflux": (AMF, ["--lat", 43.74, "--lon", 3.60], csv_source,
                  lambda s: dict(ta=s.TA_1_1_1, vpd=s.VPD_PI_1_1_1 / 10, precip=s.P * 2, pa=s.PA, co2=s.CO2_1_1_1),
                  lambda s: dict(nep=(-s.FC, 0 * s.FC), h=(s.H, 0 * s.H), le=(s.LE, 0 * s.LE))),
    "alma": (MET, ["--flux", FLUX], alma_source,
             lambda s: dict(ta=s.Tair - 273.15, precip=s.Rainf * 3600, pa=s.Psurf / 1000, co2=s.CO2air),
             lambda s: dict(nep=(-s.NEE, s.NEE_qc), h=(s.Qh, s.Qh_qc), le=(s.Qle, s.Qle_qc))),
}


@pytest.mark.parametrize("fmt", CASES)
def test_each_sample_converts_to_its_source_values(tmp_path, fmt):
    path, options, read, drivers, fluxes = CASES[fmt]
    p = tool("kelm-forcing", path, "-o", tmp_path / "f.txt", "--obs", tmp_path / "o.csv", *options)
    assert p.returncode == 0, p.stderr
    assert "incoming longwave of 192 records estimated: Brutsaert-Crawford-Duchon" in p.stderr
    assert "time stamps taken as UTC+1" in p.stderr                    # both sites keep CET
    out, obs, src = forcing(tmp_path / "f.txt"), pd.read_csv(tmp_path / "o.csv"), read(path)
    assert len(out) == len(src) == 192 and (out.hour * 60 + out.minute)[0] == 30
    for name, expected in drivers(src).items():
        assert out[name].to_numpy() == pytest.approx(expected.to_numpy(), rel=1e-5, abs=1e-4), name
    for name, (values, qc) in fluxes(src).items():
        kept = np.where(qc.to_numpy() == 0, values.to_numpy(), np.nan)
        assert obs[name].to_numpy() == pytest.approx(kept, rel=1e-5, nan_ok=True), name
        kept_line = [line for line in p.stdout.splitlines() if "observed %s" % {"nep": "NEE"}.get(name, name.upper())
                     in line][0]
        assert " %d of 192 records kept" % np.isfinite(kept).sum() in kept_line
    assert out.nep.to_numpy() == pytest.approx(obs.nep.to_numpy(), nan_ok=True)
    assert out.lw_in.between(150, 450).all()


def test_variants_humidity_longwave_and_qc(tmp_path):
    # AmeriFlux with RH instead of VPD_PI; the VPD comes back
    src = csv_source(AMF)
    es = 0.6108 * np.exp(17.27 * src.TA_1_1_1 / (src.TA_1_1_1 + 237.3))
    rh = (100 * (1 - src.VPD_PI_1_1_1 / 10 / es)).round(4)
    text = open(AMF).read().replace("VPD_PI_1_1_1", "RH_1_1_1")
    lines = text.splitlines()
    rows = [line.rsplit(",", 2) for line in lines[3:]]
    (tmp_path / "rh.csv").write_text("\n".join(lines[:3] + ["%s,%s,%s" % (r[0], v, r[2]) for r, v in zip(rows, rh)]))
    assert tool("kelm-forcing", tmp_path / "rh.csv", "-o", tmp_path / "f.txt", "--lat", 43.7, "--lon", 3.6,
                "--format", "ameriflux").returncode == 0
    assert forcing(tmp_path / "f.txt").vpd.to_numpy() == pytest.approx(src.VPD_PI_1_1_1 / 10, abs=2e-4)
    # AmeriFlux BASE is not gap-filled: a long gap takes the mean of the same time of day on the other days
    ta = src.TA_1_1_1.to_numpy()
    lines = open(AMF).read().splitlines()
    for i in range(100, 110):
        lines[3 + i] = lines[3 + i].replace(",%s," % lines[3 + i].split(",")[10], ",-9999,", 1)
    (tmp_path / "gap.csv").write_text("\n".join(lines) + "\n")
    p = tool("kelm-forcing", tmp_path / "gap.csv", "-o", tmp_path / "f.txt", "--lat", 43.7, "--lon", 3.6)
    assert "TA_1_1_1: 10 records in gaps longer than --max-gap 4 filled from the mean diurnal course" in p.stderr
    assert forcing(tmp_path / "f.txt").ta[100] == pytest.approx(np.mean(ta[[4, 52, 148]]), abs=1e-3)
    # an ALMA Met file with measured LWdown keeps it; --qc 3 keeps every flux
    netCDF4 = pytest.importorskip("netCDF4")
    shutil.copy(MET, tmp_path / "met.nc")
    with netCDF4.Dataset(tmp_path / "met.nc", "a") as ds:
        ds.createVariable("LWdown", "f4", ("time", "y", "x"))[:] = np.full((192, 1, 1), 311.5)
    p = tool("kelm-forcing", tmp_path / "met.nc", "--flux", FLUX, "-o", tmp_path / "f.txt", "--qc", 3)
    assert p.returncode == 0 and "estimated" not in p.stderr and p.stdout.count("192 of 192 records kept") == 3
    assert (forcing(tmp_path / "f.txt").lw_in == 311.5).all()
    # a fractional flag counts as measured at 1 only
    qc = pd.Series([1.0, 0.75, 0.0, np.nan])
    assert tower.quality_mask(qc, 0).tolist() == [True, False, False, True]
    assert tower.quality_mask(pd.Series([0.0, 1, 2, 3]), 1).tolist() == [True, True, False, False]


def kelvin(path):
    text = open(FLX).read().replace(",19.292,", ",292.442,")
    path.write_text(text)


def long_line(path):
    path.write_bytes(b"TIMESTAMP_START," + b"x" * 70000 + b"\n")


def bad_byte(path):
    path.write_bytes(open(FLX, "rb").read().replace(b",19.292,", b",19.2\xff,"))


def ragged(path):
    path.write_text(open(FLX).read().replace(",19.292,", ",19.292,1,"))


# setup of the input ({} is the input), output, --obs, options, message
OUT = "{}.txt"
REFUSALS = [
    (None, "/dev/zero", OUT, None, {}, "/dev/zero is a device, not a file"),
    (lambda path: path.mkdir(), "{}", OUT, None, {}, "{} is a directory, not a file"),
    (long_line, "{}", OUT, None, {}, "{}: line 1 is longer than 65536 bytes"),
    (bad_byte, "{}", OUT, None, {}, "{}: undecodable byte 0xff in line 4 (the file must be UTF-8 text)"),
    (ragged, "{}", OUT, None, {}, "{}: line 4 has 29 fields, the header names 28 columns"),
    (kelvin, "{}", OUT, None, dict(lat=50, lon=13), "{}: TA_F out of range at TIMESTAMP_END 201007010130: "
                                                    "292.442 degC, allowed -90 to 60 degC (wrong units?)"),
    (None, FLX, OUT, None, {}, "%s: no LW_IN_F or LW_IN column: give --lat and --lon of the site to estimate "
                               "incoming longwave" % FLX),
    (None, FLX, OUT, None, dict(co2=math.nan), "--co2 nan is out of range 100 to 5000 umol mol-1"),
    (None, FLX, OUT, None, dict(pa=1013), "--pa 1013 is out of range 30 to 110 kPa"),
    (None, FLX, FLX, None, {}, "-o %s is the input: it would be overwritten" % FLX),
    (None, FLX, OUT, FLX, {}, "--obs %s is the input: it would be overwritten" % FLX),
    (None, MET, OUT, FLUX, dict(flux=FLUX), "--obs %s is --flux: it would be overwritten" % FLUX),
]


@pytest.mark.parametrize("setup, path, out, obs, options, message", REFUSALS)
def test_refusals_name_the_fault_and_write_nothing(tmp_path, setup, path, out, obs, options, message):
    src = tmp_path / "in.csv"
    if setup:
        setup(src)
    before = {f: open(f, "rb").read() for f in (FLX, FLUX)}
    with pytest.raises(tower.TowerError) as e:
        tower.write(path.replace("{}", str(src)), out.replace("{}", str(src)), obs, tower.Options(**options))
    assert str(e.value) == message.replace("{}", str(src))
    assert os.listdir(tmp_path) == (["in.csv"] if setup else []) and before == {f: open(f, "rb").read() for f in before}


def test_longwave_limits_and_solar_geometry():
    # a whole day's mean extraterrestrial radiation: FAO-56 example 8, 20 S on 3 September, 32.2 MJ m-2 d-1
    stamps = pd.date_range("2015-09-03 00:30", periods=48, freq="30min")
    ra = longwave.extraterrestrial(stamps, 30, -20.0, 0.0, 0.0)
    assert ra.mean() * 86400 / 1e6 == pytest.approx(32.2, abs=0.1)
    assert abs(stamps[ra.argmax()].hour - 12) < 1                       # noon in solar time at lon 0, UTC
    # overcast all day (no shortwave): black body; clear sky: Brutsaert's emissivity
    ta, vpd = np.full(48, 10.0), np.full(48, 0.2282)                    # e = 10 hPa
    dark = longwave.estimate(stamps, 30, ta, vpd, np.zeros(48), -20.0, 0.0)
    assert dark == pytest.approx(5.670374e-8 * 283.15 ** 4)
    clear = longwave.estimate(stamps, 30, ta, vpd, 0.75 * ra, -20.0, 0.0)
    assert clear == pytest.approx(1.24 * (10 / 283.15) ** (1 / 7) * 5.670374e-8 * 283.15 ** 4, rel=1e-3)


@pytest.mark.skipif(not os.path.exists(os.path.join(TOWERS, "DE-Tha_2010_HH.csv.gz")), reason="no shared towers")
def test_annual_longwave_against_net_radiation_balance():
    """No shipped year has measured longwave; DE-Tha's measured net radiation
    gives it with the canopy at air temperature (emissivity 0.98, albedo 0.1)."""
    path = os.path.join(TOWERS, "DE-Tha_2010_HH.csv.gz")
    out, _, _, _ = tower.convert(path, tower.Options(lat=50.96, lon=13.57, elevation=380), warn=lambda t: None)
    src = pd.read_csv(gzip.open(path), na_values=[-9999])
    implied = src.NETRAD - 0.9 * src.SW_IN_F + 0.98 * 5.670374e-8 * (src.TA_F + 273.15) ** 4
    assert abs(np.nanmean(out.lw_in.to_numpy() - implied.to_numpy())) < 10


def test_export_is_cf_that_xarray_reads(tmp_path, kelm):
    xr = pytest.importorskip("xarray")
    assert tool("kelm-forcing", MET, "--flux", FLUX, "-o", tmp_path / "f.txt", "--obs", tmp_path / "o.csv").returncode == 0
    status, console = run_kelm(kelm, tmp_path / "f.txt", tmp_path / "run")
    assert status == 0, console
    p = tool("kelm-export", tmp_path / "run", tmp_path / "f.txt", "--obs", tmp_path / "o.csv", "-o", tmp_path / "r.nc")
    assert p.returncode == 0, p.stderr
    with xr.open_dataset(tmp_path / "r.nc", decode_cf=True) as ds:
        assert (ds.attrs["featureType"], ds.site.item(), ds.lat.item(), ds.lon.item()) == \
            ("timeSeries", "DE-Tha", 50.96, 13.57)
        site_par = dict(line.split()[:2] for line in open(tmp_path / "run" / "site.par") if line.startswith("_"))
        assert {k: str(ds.attrs.get("kelm" + k)) for k in ("_physics", "_dt", "_type") if k in site_par} == \
            {k: site_par[k] for k in ("_physics", "_dt", "_type") if k in site_par}
        assert {"parameters_tree_leaf_par", "history"} <= set(ds.attrs)
        standard = {"GPP": "gross_primary_productivity_of_biomass_expressed_as_carbon",
                    "NEE": "surface_upward_mole_flux_of_carbon_dioxide", "Qh": "surface_upward_sensible_heat_flux",
                    "Qle": "surface_upward_latent_heat_flux", "Qg": "downward_heat_flux_in_soil",
                    "SoilTemp": "soil_temperature", "SoilMoist": "mass_content_of_water_in_soil_layer",
                    "TVeg": "transpiration_flux", "NEE_obs": "surface_upward_mole_flux_of_carbon_dioxide",
                    "Qle_obs": "surface_upward_latent_heat_flux"}
        assert {v: ds[v].attrs.get("standard_name") for v in standard} == standard
        for name, var in ds.data_vars.items():
            if var.dtype.kind == "f" and not name.endswith("_bnds"):
                assert "_FillValue" in var.encoding and np.isfinite(var.mean().item()), name
                assert not any(w in name for w in ("resperiation", "letent", "lesf")), name
        nee = (ds.Reco - ds.GPP) / 12.011e-9
        assert ds.NEE.values == pytest.approx(nee.values, rel=1e-6, abs=1e-9)
        obs = pd.read_csv(tmp_path / "o.csv")
        assert ds.NEE_obs.isnull().sum().item() == obs.nep[1:].isna().sum() > 0      # masked values read as NaN
        assert ds.NEE_obs.values == pytest.approx(-obs.nep[1:].to_numpy(), nan_ok=True)
    assert math.isclose(float(ds.GPP.attrs.get("_FillValue", 1e20)), 1e20)
