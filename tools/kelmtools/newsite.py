"""The parameter file of a new site made from tower data.

A new site runs the energy-conserving physics at the record interval of
half-hourly and hourly towers (_dt 1800), the setting for tower years: its
half-hourly heat fluxes stay within 10 W m-2 of 10-second steps; kelm
itself keeps _physics 0 and _dt 10 for a site.par without them.  A tower of
other records takes the longest step up to 1800 s that divides them.  The
other parameter files are written by kelm with its defaults on the first
run.
"""

import os

from . import paramfile

PHYSICS = 1
DT = 1800


def step_for(minutes):
    """The longest _dt up to DT that divides records of `minutes` minutes
    (kelm's sub-steps must fill each record interval)."""
    seconds = int(minutes) * 60
    return next(d for d in range(min(DT, seconds), 0, -1) if seconds % d == 0)


def tower_minutes(path):
    """The record length of a tower file from its first data row, or None when
    it cannot be read (the conversion then reports the fault)."""
    import pandas as pd
    try:
        row = pd.read_csv(path, nrows=1, dtype=str, skipinitialspace=True,
                          usecols=["TIMESTAMP_START", "TIMESTAMP_END"])
        start, end = (pd.to_datetime(row[c].iloc[0].strip(), format="%Y%m%d%H%M")
                      for c in ("TIMESTAMP_START", "TIMESTAMP_END"))
    except (OSError, ValueError, KeyError, IndexError, AttributeError):
        return None
    minutes = (end - start).total_seconds() / 60
    return int(minutes) if minutes == int(minutes) and 1 <= minutes <= 60 else None
SITE_PAR = ("Parameters (name, value, remark):\n"
            "_type      0    ->site type (0: no shrub; 1: has shrub)\n"
            "_restart   0    ->restart (1) from previous run or new start (0)\n"
            "_dt        %d    ->time step (s) to run model\n"
            "_zref      30    ->reference height of measurements above canopy (m)\n"
            "_physics   %d    ->physics (0: as designed; 1: energy-conserving, stable leaf temperatures)\n")


def site_par(physics=PHYSICS, dt=DT, zref=None):
    """The text of a new site.par."""
    text = (SITE_PAR % (dt, physics)).encode()
    if zref is not None:
        text = paramfile.set_values(text, {"_zref": "%g" % zref}, "site.par")
    return text.decode()


def make_site(directory, physics=PHYSICS, dt=DT, zref=None):
    """Write directory/site.par of a new site; returns False, touching
    nothing, when the directory holds a site.par already."""
    path = os.path.join(directory, "site.par")
    if os.path.exists(path):
        return False
    os.makedirs(directory, exist_ok=True)
    with open(path, "w") as f:
        f.write(site_par(physics, dt, zref))
    return True
