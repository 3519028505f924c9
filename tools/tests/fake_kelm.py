#!/usr/bin/python3
"""Stand-in for kelm in the tool tests: same command line, console text, exit
status and output-file layout, with made-up fluxes.  GPP scales with _vmax of
tree.leaf.par; _vmax 0 or below fails the initialisation like the model."""
import math
import os
import sys

DAY = ["Day of year", "Hour", "Minute"]
HEADERS = {
    "site": ["#Day of the year", "#Hour", "#Minute", "#Gross primary production (umol m-2 s-1)",
             "#Total resperiation (umol m-2 s-1)", "#Sensible heat flux (W m-2)",
             "#Letent heat flux (W m-2)"],
    "plant": DAY + ["Air temperature at z12 (K)", "Specific humidity at z12 (kg kg-1)",
                    "Sensible heat flux between z12 and reference height (W m-2)",
                    "Transmitted down VIS (W m-2)", "Transmitted up VIS (W m-2)",
                    "Transmitted down IR (W m-2)", "Transmitted up IR (W m-2)"],
    "foliage": DAY + ["Temperature (C)", "Carbon (kgC m-2)", "Leaf litter (kgC m-2)",
                      "Leaf litter decomposition (umol m-2 -s)", "Water evaporation (kg m-2 s-1)",
                      "Water transpiration (kg m-2 s-1)", "Net absorbed radiation (W m-2)",
                      "Sensible heat flux (W m-2)", "Latent heat flux (W m-2)"],
    "leaf": DAY + ["Gross production (umol m-2 s-1)", "Dark respiration (umol m-2 -s)",
                   "Carboxylation rate of sunlit leaf Vm (umol m-2 s-1)",
                   "Electron transport rate of sunlit leaf Jm (umol m-2 s-1)",
                   "Cv of Av=Vm*(Ci-Gamma)/(Ci+Cv) (umol mol-1)", "Cs of sunlit leaf (umol mol-1)",
                   "Ci of sunlit leaf (umol mol-1)", "Gamma of sunlit lesf (umol mol-1)",
                   "Stomato conductance (mol m-2 s-1)", "Leaf surface conductance (mol m-2 s-1)",
                   "Ratio of absorbed VIS to GSR"],
    "stem": DAY + ["Temperature (C)", "Carbon (kgC m-2)", "Litter (kgC m-2)",
                   "Stem respiration (umol m-2 -s)", "Stem litter decomposition (umol m-2 -s)",
                   "Water evaporation (kg m-2 s-1)", "Net absorbed radiation (W m-2)",
                   "Sensible heat flux (W m-2)", "latent heat flux (W m-2)"],
    "soil": DAY + ["Net surface energy flux (W m-2)", "8 columns of temperature (C)",
                   "8 columns of water content (m3 m-3)"],
    "root": DAY + ["Life root carbon (kgC m-2)", "Dead root carbon (kgC m-2)",
                   "Respiration (umol m-2 s-2)", "Decomposition (umol m-2 s-2)"],
}
SITE_PAR = ("Parameters (name, value, remark):\n"
            "_type      0    ->site type (0: no shrub; 1: has shrub)\n"
            "_restart   0    ->restart (1) from previous run or new start (0)\n"
            "_dt        10    ->time step (s) to run model\n"
            "_zref      30    ->reference height of measurements above canopy (m)\n")
LEAF_PAR = ("Parameters (name, value, remark):\n"
            "_vmax      50\t->maximum carboxylation rate at 25 C (umol m-2 s-1)\n"
            "_jmax      100\t->maximum electron transport rate at 25 C (umol m-2 s-1)\n")


def parameter(path, default_text, key):
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.write(default_text)
    value = None
    with open(path) as f:
        for line in f:
            words = line.replace(",", " ").split()
            if len(words) >= 2 and words[0] == key:
                value = float(words[1])
    return value


def finish(text, status):
    sys.stdout.write(text)
    sys.stdout.flush()
    sys.stdin.read(1)
    sys.exit(status)


def main():
    sys.stdout.write("\nKelmora version 1.02\n\nTest stand-in\nUsage:\n"
                     "  kelm.exe [input_file_name output_path_name]\n\n")
    forcing = sys.argv[1] if len(sys.argv) > 1 else "io/input.txt"
    out = sys.argv[2] if len(sys.argv) > 2 else "io"
    out = out if out.endswith("/") else out + "/"
    try:
        lines = open(forcing).read().splitlines()
    except OSError:
        sys.stdout.write("Failed to open " + forcing)
        sys.exit(1)
    records = [[float(w) for w in l.replace(",", " ").split()[:12]] for l in lines
               if not l.startswith("#") and len(l.replace(",", " ").split()) >= 11]
    shrub = parameter(out + "site.par", SITE_PAR, "_type") == 1
    vmax = parameter(out + "tree.leaf.par", LEAF_PAR, "_vmax")
    if vmax <= 0:
        finish(out + "tree.leaf.par: Bad leaf _vmax value.", 2)
    files = {"site": ["site"], "plant": ["tree", "shrub"], "foliage": ["tree.foliage", "shrub.foliage"],
             "leaf": ["tree.leaf", "shrub.leaf"], "stem": ["tree.stem", "shrub.stem"],
             "soil": ["soil"], "root": ["root.fine", "root.coarse"]}
    streams = {}
    for kind, names in files.items():
        for name in names:
            streams[name] = (kind, open(out + name + ".csv", "w"))
            streams[name][1].write("".join(h if kind == "site" else "# " + h
                                           for h in [x + "\n" for x in HEADERS[kind]]))
    sums = [0.0] * 6
    day = -1
    for i, r in enumerate(records[1:], 1):
        if records[i - 1][0] != day:
            day = records[i - 1][0]
            sys.stdout.write("day %d\n" % day)
        ta, sw = r[3], r[6]
        gpp = vmax / 50.0 * 15.0 * sw / (sw + 250.0) * (1 + 0.05 * math.sin(i))
        resp = 2.0 + 0.1 * ta
        stamp = "%d, %d, %d" % tuple(r[:3])
        for name, (kind, f) in streams.items():
            if name.startswith("shrub") and not shrub:
                continue
            if kind == "site":
                values = [gpp, resp, 0.4 * sw - 20, 0.3 * sw + 5]
            elif kind == "soil":
                values = [0.05 * sw] + [ta - 0.5 * k for k in range(8)] + [0.3 + 0.01 * k for k in range(8)]
            else:
                values = [ta + 0.001 * k * i for k in range(len(HEADERS[kind]) - 3)]
            f.write(stamp + "".join(", %g" % v for v in values) + "\n")
            f.flush()
        if len(r) > 11 and abs(r[11]) < 999.9:
            o, s = r[11], gpp - resp
            sums = [a + b for a, b in zip(sums, [1, o, s, o * o, s * s, o * s])]
    n, so, ss, soo, sss, sos = sums
    if n >= 1:
        mo, ms = so / n, ss / n
        r = (sos / n - ms * mo) / (math.sqrt(sss / n - ms * ms) * math.sqrt(soo / n - mo * mo))
        sys.stdout.write("Correlation: %g\n" % (r * r))
    finish("\nFinished. Press any key to end.\n", 0)


if __name__ == "__main__":
    main()
