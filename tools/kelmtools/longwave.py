"""Incoming longwave radiation estimated from air temperature, humidity and
the shortwave's shortfall against a clear sky.

- Clear-sky emissivity after Brutsaert (1975): 1.24 (e / T)^(1/7), e the
  vapour pressure in hPa, T the air temperature in K.
- Clear-sky shortwave after FAO-56 (Allen et al. 1998, eq. 37): (0.75 +
  2e-5 z) Ra, Ra the extraterrestrial radiation over each record's interval
  (eq. 28-33: solar time from the longitude, the time zone of the time stamps
  and the seasonal correction).
- Cloud fraction c = 1 - SW_in / SW_clear, clipped to [0, 1], and the
  emissivity c + (1 - c) * clear-sky emissivity after Crawford and Duchon
  (1999).  Where the sun is too low for the ratio (clear-sky shortwave below
  LOW_SUN), c is the one of the last three daylight hours, carried through
  the night (before the first evening: the first evening's).  Without any
  daylight, c is 0.5.
"""

import numpy as np

SIGMA = 5.670374e-8
SOLAR_CONSTANT = 1367.0           # W m-2 (FAO-56: 0.0820 MJ m-2 min-1)
LOW_SUN = 50.0                    # W m-2 of clear-sky shortwave
LAST_HOURS = 3.0
METHOD = "Brutsaert-Crawford-Duchon"


def vapour_pressure_hpa(ta, vpd):
    """Vapour pressure (hPa) from air temperature (degC) and VPD (kPa)."""
    es = 0.6108 * np.exp(17.27 * ta / (ta + 237.3))
    return np.maximum(es - vpd, 0.001) * 10.0


def solar_terms(stamps, minutes, lon, utc_offset):
    """Day of year, and the solar hour angles (rad) at the start and end of
    each record's interval; stamps are the ends of the intervals in local
    time of the zone UTC+utc_offset."""
    middle = stamps - np.timedelta64(int(minutes * 30), "s")
    doy = middle.dayofyear.to_numpy().astype(float)
    clock = (middle.hour + middle.minute / 60.0 + middle.second / 3600.0).to_numpy()
    b = 2.0 * np.pi * (doy - 81.0) / 364.0
    sc = 0.1645 * np.sin(2 * b) - 0.1255 * np.cos(b) - 0.025 * np.sin(b)
    solar = clock + (lon - 15.0 * utc_offset) / 15.0 + sc
    omega = np.pi / 12.0 * (solar - 12.0)
    omega = (omega + np.pi) % (2 * np.pi) - np.pi
    half = np.pi * minutes / (24.0 * 60.0)
    return doy, omega - half, omega + half, sc


def extraterrestrial(stamps, minutes, lat, lon, utc_offset):
    """Mean extraterrestrial radiation (W m-2) over each record's interval."""
    doy, w1, w2, _ = solar_terms(stamps, minutes, lon, utc_offset)
    phi = np.radians(lat)
    dr = 1.0 + 0.033 * np.cos(2 * np.pi * doy / 365.0)
    delta = 0.409 * np.sin(2 * np.pi * doy / 365.0 - 1.39)
    ws = np.arccos(np.clip(-np.tan(phi) * np.tan(delta), -1.0, 1.0))
    a, b = np.clip(w1, -ws, ws), np.clip(w2, -ws, ws)
    ra = SOLAR_CONSTANT * dr * ((b - a) * np.sin(phi) * np.sin(delta)
                                + np.cos(phi) * np.cos(delta) * (np.sin(b) - np.sin(a))) / (w2 - w1)
    return np.maximum(ra, 0.0)


def utc_offset(stamps, minutes, sw_in, lon):
    """The time zone of the time stamps, in whole hours, from the time of day
    around which the shortwave is centred (solar noon)."""
    middle = stamps - np.timedelta64(int(minutes * 30), "s")
    clock = (middle.hour + middle.minute / 60.0).to_numpy()
    sw = np.nan_to_num(np.maximum(sw_in, 0.0))
    if sw.sum() <= 0.0:
        return float(np.round(lon / 15.0))
    angle = 2 * np.pi * clock / 24.0
    centre = np.arctan2((sw * np.sin(angle)).sum(), (sw * np.cos(angle)).sum()) * 24.0 / (2 * np.pi)
    _, _, _, sc = solar_terms(stamps, minutes, lon, 0.0)
    noon_utc = 12.0 - lon / 15.0 - float(np.average(sc, weights=sw + 1e-9))
    offset = (centre - noon_utc + 12.0) % 24.0 - 12.0
    return float(np.round(offset))


def cloud_fraction(sw_in, sw_clear, minutes):
    """Cloud fraction of each record: from the shortwave by day, carried from
    the last daylight hours through the night."""
    day = sw_clear >= LOW_SUN
    c = np.full(len(sw_in), np.nan)
    c[day] = np.clip(1.0 - sw_in[day] / sw_clear[day], 0.0, 1.0)
    last = max(1, int(round(LAST_HOURS * 60.0 / minutes)))
    evening = np.full(len(sw_in), np.nan)
    # the end of each run of daylight records: the ratio of its last hours
    ends = np.flatnonzero(day & ~np.append(day[1:], False))
    starts = np.flatnonzero(day & ~np.insert(day[:-1], 0, False))
    for s, e in zip(starts, ends):
        first = max(s, e + 1 - last)
        total = sw_clear[first:e + 1].sum()
        evening[e] = np.clip(1.0 - sw_in[first:e + 1].sum() / total, 0.0, 1.0)
    if not np.isfinite(evening).any():
        return np.full(len(sw_in), 0.5)
    carried = _fill_forward(evening)
    # before the first evening: the first evening's value
    carried[np.isnan(carried)] = evening[np.isfinite(evening)][0]
    return np.where(day, c, carried)


def _fill_forward(x):
    idx = np.where(np.isfinite(x), np.arange(len(x)), 0)
    np.maximum.accumulate(idx, out=idx)
    return x[idx]


def estimate(stamps, minutes, ta, vpd, sw_in, lat, lon, elevation=0.0, utc_offset=0.0):
    """Incoming longwave (W m-2) of each record: stamps the ends of the
    intervals (local time UTC+utc_offset), ta degC, vpd kPa, sw_in W m-2."""
    t = ta + 273.15
    e = vapour_pressure_hpa(ta, vpd)
    clear = 1.24 * (e / t) ** (1.0 / 7.0)
    sw_clear = (0.75 + 2e-5 * elevation) * extraterrestrial(stamps, minutes, lat, lon, utc_offset)
    c = cloud_fraction(np.maximum(sw_in, 0.0), sw_clear, minutes)
    return (c + (1.0 - c) * clear) * SIGMA * t ** 4
