#!/usr/bin/python3
"""Stand-in for kelm in the tool tests: same command line, console text, exit
status and output files (with the header lines of the model's reference
outputs), with made-up fluxes.  GPP scales with _vmax of tree.leaf.par;
_vmax 0 or below fails the initialisation like the model."""
import math
import os
import re
import sys

HEADERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "reference",
                       "with-shrubs")
NAMES = ["site", "tree", "tree.foliage", "tree.leaf", "tree.stem", "shrub", "shrub.foliage", "shrub.leaf",
         "shrub.stem", "soil", "root.fine", "root.coarse"]
DEFAULTS = {"site.par": "_type      0    ->site type (0: no shrub; 1: has shrub)\n_dt        10    ->time step\n",
            "tree.leaf.par": "_vmax      50\t->maximum carboxylation rate at 25 C (umol m-2 s-1)\n"}


def parameter(out, name, key):
    if not os.path.exists(out + name):
        with open(out + name, "w") as f:
            f.write("Parameters (name, value, remark):\n" + DEFAULTS[name])
    words = [l.replace(",", " ").split() for l in open(out + name)]
    return [float(w[1]) for w in words if len(w) >= 2 and w[0] == key][-1]


def finish(text, status):
    sys.stdout.write(text)
    sys.stdout.flush()
    sys.stdin.read(1)
    sys.exit(status)


def main():
    sys.stdout.write("\nKelmora version 1.02\n\nTest stand-in\nUsage:\n  kelm.exe [input_file_name output_path_name]\n\n")
    forcing, out = sys.argv[1], sys.argv[2].rstrip("/") + "/"
    try:
        lines = open(forcing).read().splitlines()
    except OSError:
        finish("Failed to open " + forcing, 1)
    records = [[float(w) for w in l.replace(",", " ").split()[:12]] for l in lines
               if not l.startswith("#") and len(l.replace(",", " ").split()) >= 11]
    shrub = parameter(out, "site.par", "_type") == 1
    vmax = parameter(out, "tree.leaf.par", "_vmax")
    if vmax <= 0:
        finish(out + "tree.leaf.par: Bad leaf _vmax value.", 2)
    files = {}
    for name in NAMES if shrub else [n for n in NAMES if not n.startswith("shrub")]:
        head = [l for l in open(os.path.join(HEADERS, name + ".csv")) if l.startswith("#")]
        width = sum(int(m.group(1)) if m else 1 for m in (re.search(r"(\d+) columns", h) for h in head[3:]))
        files[name] = (open(out + name + ".csv", "w"), width)
        files[name][0].write("".join(head))
    sums, day = [0.0] * 6, -1
    for i, r in enumerate(records[1:], 1):
        if records[i - 1][0] != day:
            day = records[i - 1][0]
            sys.stdout.write("day %d\n" % day)
        ta, sw = r[3], r[6]
        gpp = vmax / 50.0 * 15.0 * sw / (sw + 250.0) * (1 + 0.05 * math.sin(i))
        resp = 2.0 + 0.1 * ta
        for name, (f, width) in files.items():
            values = [gpp, resp, 0.4 * sw - 20, 0.3 * sw + 5] if name == "site" else \
                [ta - 0.5 * k for k in range(width)]
            f.write("%d, %d, %d" % tuple(r[:3]) + "".join(", %g" % v for v in values) + "\n")
        if len(r) > 11 and abs(r[11]) < 999.9:
            o, s = r[11], gpp - resp
            sums = [a + b for a, b in zip(sums, [1, o, s, o * o, s * s, o * s])]
    n, so, ss, soo, sss, sos = sums
    if n >= 1:
        r = (sos / n - ss * so / n / n) / math.sqrt((sss / n - (ss / n) ** 2) * (soo / n - (so / n) ** 2))
        sys.stdout.write("Correlation: %g\n" % (r * r))
    finish("\nFinished. Press any key to end.\n", 0)


if __name__ == "__main__":
    main()
