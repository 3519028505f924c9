#!/usr/bin/python3
"""Write a synthetic forcing file for kelm: plausible summer weather at a
mid-latitude forest site, with a diurnal cycle, day-to-day weather, occasional
rain and (optionally) an observed net ecosystem production column.  With
--seasonal the air temperature and humidity follow the course of the year
(cold, humid winters; warm, drier summers) instead of staying in summer.

    make_forcing.py FIRST_DAY N_DAYS INTERVAL_MIN SEED [--obs|--no-obs] [--seasonal]
                    [--tower YEAR] [-o FILE]

With --tower YEAR the same weather is written in the flux tower networks' CSV
layout instead (TIMESTAMP_START, TIMESTAMP_END, TA_F, VPD_F in hPa, WS_F,
SW_IN_F, LW_IN_F, P_F in mm per record, PA_F, CO2_F_MDS, NEE_VUT_REF, H_F_MDS,
LE_F_MDS; -9999 for missing), each record ending at the generated time, the
first one at FIRST_DAY 00:00 of YEAR; a few air temperatures are missing.

Columns: day, hour, minute, air temperature (degC), VPD (kPa), wind (m/s),
shortwave in (W/m2), longwave in (W/m2), precipitation (mm/h), air pressure
(kPa), CO2 (umol/mol) and, with --obs, observed NEP (umol m-2 s-1; -9999.9
when missing).

The output depends only on the arguments: the random numbers come from a
small integer generator of our own, not from the random module, so a seed
gives the same file on every Python version.  Standard library only.
"""

import argparse
import datetime
import math
import sys

MISSING = -9999.9
LATITUDE = math.radians(50.0)
MASK64 = (1 << 64) - 1


class SplitMix64:
    """64-bit splitmix generator; plain integer arithmetic, fully portable."""

    def __init__(self, seed):
        self.state = seed & MASK64

    def next_u64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def uniform(self, low=0.0, high=1.0):
        return low + (high - low) * ((self.next_u64() >> 11) / 9007199254740992.0)

    def normal(self):
        """Approximately standard normal (sum of 12 uniforms minus 6)."""
        return sum(self.uniform() for _ in range(12)) - 6.0


def esat(t):
    """Saturation vapour pressure (kPa) over temperature t (degC)."""
    return 0.611 * math.exp(17.502 * t / (t + 240.97))


def clamp(x, low, high):
    return low if x < low else high if x > high else x


def sin_elevation(day, hour_of_day):
    """Sine of the solar elevation at local solar time."""
    decl = math.radians(23.44) * math.sin(2.0 * math.pi * (284 + day) / 365.0)
    h = math.radians(15.0 * (hour_of_day - 12.0))
    return (math.sin(LATITUDE) * math.sin(decl)
            + math.cos(LATITUDE) * math.cos(decl) * math.cos(h))


def season(day):
    """-1 in the coldest days (late January) to 1 in the warmest (late July)."""
    return -math.cos(2.0 * math.pi * (day - 22) / 365.0)


class DayWeather:
    """The weather of one day: drawn once, shared by all its records."""

    def __init__(self, rng, day=None):
        if day is None:
            self.t_mean = 20.5 + rng.uniform(-1.5, 1.5)
            self.t_amp = 5.0 + rng.uniform(0.0, 1.5)
        else:
            # seasonal: mean 9 C, from about -2 C in winter to 20 C in summer
            self.t_mean = 9.0 + 11.0 * season(day) + rng.uniform(-3.0, 3.0)
            self.t_amp = 4.0 + 1.5 * season(day) + rng.uniform(0.0, 1.5)
        self.rh_mean = 0.65 if day is None else 0.72 - 0.1 * season(day)
        self.cloud = rng.uniform(0.0, 0.5)          # 0 clear .. 1 overcast
        self.wind = rng.uniform(1.3, 2.2)
        self.pressure = 99.5 + rng.uniform(-1.0, 1.0)
        # At most one rain event per day, 1 to 4 hours long.
        self.rain_start = None
        if rng.uniform() < 0.4:
            self.rain_start = rng.uniform(0.0, 20.0)
            self.rain_hours = rng.uniform(1.0, 4.0)
            self.rain_rate = rng.uniform(0.5, 5.0)

    def rain(self, hour_of_day):
        if self.rain_start is None:
            return 0.0
        if self.rain_start <= hour_of_day < self.rain_start + self.rain_hours:
            return self.rain_rate
        return 0.0


def tower_stamp(start, minutes):
    return (start + datetime.timedelta(minutes=minutes)).strftime("%Y%m%d%H%M")


def generate(first_day, n_days, interval, seed, obs, seasonal=False, tower=None):
    """Return the lines of the forcing file (without line breaks); with
    tower=YEAR the lines of a tower-format CSV file."""
    if not 1 <= first_day <= 365:
        raise ValueError("first day must be 1 to 365")
    if n_days < 1:
        raise ValueError("number of days must be at least 1")
    if not 1 <= interval <= 60:
        raise ValueError("interval must be 1 to 60 minutes")
    rng = SplitMix64(seed)
    names = ("day, hour, minute, ta (degC), vpd (kPa), wind (m/s), "
             "sw_in (W/m2), lw_in (W/m2), precip (mm/h), pa (kPa), co2 (umol/mol)")
    if obs:
        names += ", nep_obs (umol m-2 s-1)"
    lines = [
        "# Synthetic forcing: first day %d, %d days, %d min steps, seed %d"
        % (first_day, n_days, interval, seed),
        "# " + names,
    ]
    if tower is not None:
        obs = True
        start = datetime.datetime(tower, 1, 1) + datetime.timedelta(days=first_day - 1)
        lines = ["TIMESTAMP_START,TIMESTAMP_END,TA_F,VPD_F,WS_F,SW_IN_F,LW_IN_F,P_F,PA_F,"
                 "CO2_F_MDS,NEE_VUT_REF,H_F_MDS,LE_F_MDS"]
    t_low, t_high, lw_low, lw_high = (-30.0, 40.0, 150.0, 500.0) if seasonal else (14.0, 27.0, 300.0, 400.0)
    day = first_day
    weather = DayWeather(rng, day if seasonal else None)
    total = n_days * 1440
    t = 0
    while t < total:
        minute_of_day = t % 1440
        if t > 0 and minute_of_day < interval:
            # crossed midnight: next day, 365 is followed by 1
            day = 1 if day == 365 else day + 1
            weather = DayWeather(rng, day if seasonal else None)
        hour_of_day = minute_of_day / 60.0
        rain = weather.rain(hour_of_day)

        # Temperature: minimum near 05 h, maximum near 15 h.
        phase = 2.0 * math.pi * (hour_of_day - 9.0) / 24.0
        ta = weather.t_mean + weather.t_amp * math.sin(phase) + 0.3 * rng.normal()
        if rain > 0.0:
            ta -= 2.0
        ta = clamp(ta, t_low, t_high)

        # Solar radiation: clear sky times cloud transmission.
        s = sin_elevation(day, hour_of_day)
        cloud = clamp(weather.cloud + 0.1 * rng.normal(), 0.0, 1.0)
        if rain > 0.0:
            cloud = 0.9
        sw = 0.0
        if s > 0.0:
            sw = 900.0 * s * (1.0 - 0.75 * cloud)

        # Humidity: relative humidity high at night, low in the afternoon.
        rh = weather.rh_mean - 0.2 * math.sin(phase) + 0.03 * rng.normal()
        if rain > 0.0:
            rh = 0.97
        vpd = esat(ta) * (1.0 - clamp(rh, 0.3, 0.99))

        wind = weather.wind + (1.2 * s if s > 0.0 else 0.0) + 0.3 * rng.normal()
        wind = clamp(wind, 1.0, 4.0)

        emissivity = 0.72 + 0.2 * cloud
        lw = clamp(emissivity * 5.67e-8 * (ta + 273.15) ** 4 + 5.0 * rng.normal(),
                   lw_low, lw_high)
        pa = clamp(weather.pressure + 0.15 * math.sin(2.0 * math.pi * hour_of_day / 12.0)
                   + 0.02 * rng.normal(), 98.0, 101.0)
        co2 = clamp(400.0 + 7.0 * math.cos(2.0 * math.pi * (hour_of_day - 3.0) / 24.0)
                    + 1.0 * rng.normal(), 390.0, 410.0)

        fields = [
            "%d" % day, "%d" % (minute_of_day // 60), "%d" % (minute_of_day % 60),
            "%.2f" % ta, "%.3f" % vpd, "%.2f" % wind, "%.1f" % sw, "%.1f" % lw,
            "%.2f" % rain, "%.2f" % pa, "%.1f" % co2,
        ]
        if obs:
            # Light response of uptake minus temperature-driven respiration.
            par = 2.0 * sw
            reco = 4.0 * 1.06 ** (ta - 18.0)
            nep = 22.0 * par / (par + 500.0) - reco + 1.2 * rng.normal()
            if rng.uniform() < 0.03:
                nep = MISSING
            fields.append("%.2f" % nep if nep != MISSING else "-9999.9")
        if tower is None:
            lines.append(", ".join(fields))
        else:
            # Available energy shared between latent and sensible heat; the
            # evaporative fraction is higher when it rains.
            available = 0.65 * sw - 35.0
            fraction = 0.9 if rain > 0.0 else 0.55
            le = max(available, 0.0) * fraction + 8.0 + 10.0 * rng.normal()
            h = available - le + 10.0 * rng.normal()
            gap = rng.uniform() < 0.002
            lines.append(",".join([
                tower_stamp(start, t - interval), tower_stamp(start, t),
                "-9999" if gap else fields[3], "%.2f" % (vpd * 10.0), fields[5], fields[6], fields[7],
                "%.3f" % (rain * interval / 60.0), fields[9], fields[10],
                "-9999" if nep == MISSING else "%.2f" % -nep,
                "-9999" if nep == MISSING else "%.1f" % h, "-9999" if nep == MISSING else "%.1f" % le]))
        t += interval
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Write a deterministic synthetic forcing file for kelm.")
    parser.add_argument("first_day", type=int, help="day of year of the first record (1-365)")
    parser.add_argument("n_days", type=int, help="number of days")
    parser.add_argument("interval", type=int, help="minutes between records (1-60)")
    parser.add_argument("seed", type=int, help="random seed")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--obs", dest="obs", action="store_true", default=True,
                       help="write the observed NEP column (default)")
    group.add_argument("--no-obs", dest="obs", action="store_false",
                       help="write only the eleven weather columns")
    parser.add_argument("--seasonal", action="store_true",
                        help="air temperature and humidity follow the seasons")
    parser.add_argument("--tower", type=int, metavar="YEAR",
                        help="write the tower networks' CSV layout, starting in YEAR")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    args = parser.parse_args(argv)
    try:
        lines = generate(args.first_day, args.n_days, args.interval, args.seed, args.obs,
                         args.seasonal, args.tower)
    except ValueError as e:
        parser.error(str(e))
    text = "\n".join(lines) + "\n"
    if args.output:
        with open(args.output, "w", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
