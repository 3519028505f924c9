#!/usr/bin/python3
"""Stand-in for kelm in the tool tests: same command line, console text, exit
status and output files (with the header lines of the model's reference
outputs), with made-up fluxes.  GPP scales with _vmax of tree.leaf.par;
_vmax 0 or below fails the initialisation like the model."""
import math
import os
import re
import sys

HEADERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "reference", "with-shrubs")
NAMES = ["site", "tree", "tree.foliage", "tree.leaf", "tree.stem", "shrub", "shrub.foliage", "shrub.leaf",
         "shrub.stem", "soil", "root.fine", "root.coarse"]
DEFAULTS = {"site.par": "_type      0    ->site type (0: no shrub; 1: has shrub)\n_dt        10    ->time step\n",
            "tree.leaf.par": "_vmax      50\t->maximum carboxylation rate at 25 C (umol m-2 s-1)\n"
                             "_jmax      100\t->maximum electron transport rate at 25 C (umol m-2 s-1)\n"}


def parameter(path, key):
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.write("Parameters (name, value, remark):\n" + DEFAULTS[os.path.basename(path)])
    return [float(w[1]) for w in (l.replace(",", " ").split() for l in open(path)) if w[:1] == [key]][-1]


def finish(text, status):
    sys.stdout.write(text)
    sys.stdout.flush()
    sys.stdin.read(1)
    sys.exit(status)


def main():
    sys.stdout.write("\nKelmora version 1.02\n\nUsage:\n  kelm.exe [input_file_name output_path_name]\n\n")
    forcing, out = sys.argv[1], sys.argv[2].rstrip("/") + "/"
    words = [l.replace(",", " ").split() for l in open(forcing) if not l.startswith("#")]
    records = [[float(w) for w in r[:12]] for r in words if len(r) >= 11]
    vmax = parameter(out + "tree.leaf.par", "_vmax")
    if vmax <= 0:
        finish(out + "tree.leaf.par: Bad leaf _vmax value.", 2)
    files = {}
    for name in [n for n in NAMES if parameter(out + "site.par", "_type") == 1 or not n.startswith("shrub")]:
        head = [l for l in open(os.path.join(HEADERS, name + ".csv")) if l.startswith("#")]
        files[name] = (open(out + name + ".csv", "w"), sum(int(re.findall(r"^# (\d+) columns", h)[0])
                                                           if " columns " in h else 1 for h in head[3:]))
        files[name][0].write("".join(head))
    sums = [0.0] * 6
    for i, r in enumerate(records[1:], 1):
        gpp = vmax / 50.0 * 15.0 * r[6] / (r[6] + 250.0) * (1 + 0.05 * math.sin(i))
        resp, o = 2.0 + 0.1 * r[3], r[11] if len(r) > 11 else -9999.9
        for name, (f, width) in files.items():
            values = [gpp, resp, 0.4 * r[6] - 20, 0.3 * r[6] + 5] if name == "site" else range(width)
            f.write("%d, %d, %d" % tuple(r[:3]) + "".join(", %g" % v for v in values) + "\n")
        if abs(o) < 999.9:
            sums = [a + b for a, b in zip(sums, [1, o, gpp - resp, o * o, (gpp - resp) ** 2, o * (gpp - resp)])]
    n, so, ss, soo, sss, sos = sums
    if n >= 1:
        r = (sos / n - ss * so / n / n) / math.sqrt((sss / n - (ss / n) ** 2) * (soo / n - (so / n) ** 2))
        sys.stdout.write("Correlation: %g\n" % (r * r))
    finish("\nFinished. Press any key to end.\n", 0)


if __name__ == "__main__":
    main()
