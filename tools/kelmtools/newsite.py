"""The parameter file of a new site made from tower data.

A new site runs the energy-conserving physics at one-minute steps, the
setting for tower years; kelm itself keeps _physics 0 and _dt 10 for a
site.par without them.  The other parameter files are written by kelm with
its defaults on the first run.
"""

import os

from . import paramfile

PHYSICS = 1
DT = 60
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
