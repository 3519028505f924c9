#!/bin/bash
# Times whole runs of kelm on generated forcing and prints, for each case, the
# CPU time (user + system, the minimum of REPEATS runs), sub-steps per CPU
# second, the peak resident memory, and the run's fair floor measured in the
# same session (kelm_floor: the floor per sub-step, day and night as in the
# forcing, times the sub-steps at _dt 10; CPU time, minimum of REPEATS) with
# the ratio of the run to it. Then how the cost grows with the length of the
# series (a day, a month, a year) and with the soil layers (8 and 32); a soak
# run (a year, shrubs, every carbon pool dynamic) whose output must stay
# finite; a year at _dt 60, as it is and with the long-step physics
# (_physics 1) with the part of it that is the output's system writes
# (kelm_writes); the _physics 1 year at the longer steps up to the record
# interval (_dt 300, 900, 1800) with the two cost targets (_physics 1 at _dt
# 1800 at most 0.06 of the floor, _physics 0 at _dt 10 at most 1.35); and, when
# the micro-benchmarks are built, the ratio of a sub-step to its floor. CPU time, not wall time: the machine may be shared,
# and the minimum of several runs is the least disturbed one.
#
#   bench/run_year.sh [REPEATS]      (default 3; run from anywhere)
#
# Uses build/kelm (cmake -S . -B build -G Ninja && cmake --build build -j2),
# build-bench/bench/kelm_floor and, when present, build-bench/bench/kelm_bench
# (cmake -S . -B build-bench -G Ninja -DKELM_BENCH=ON -DKELM_TESTS=OFF &&
# cmake --build build-bench -j2), tools/make_forcing.py, /usr/bin/python3 and
# /usr/bin/time (Debian package "time").
set -euo pipefail

repeats=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
kelm=$root/build/kelm
floor_bin=$root/build-bench/bench/kelm_floor
micro=$root/build-bench/bench/kelm_bench
writes_bin=$root/build-bench/bench/kelm_writes
generator=$root/tools/make_forcing.py
python=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/kelm-year.XXXXXX")
trap 'rm -rf "$work"' EXIT

[ -x "$kelm" ] || { echo "run_year: $kelm not built" >&2; exit 1; }
[ -x "$floor_bin" ] || { echo "run_year: $floor_bin not built (-DKELM_BENCH=ON in build-bench)" >&2; exit 1; }
[ -f "$generator" ] || { echo "run_year: $generator missing" >&2; exit 1; }
if [ ! -x /usr/bin/time ]; then
    echo "run_year: installing /usr/bin/time (Debian package time)" >&2
    apt-get install -y -qq time >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq time; }
fi

interval_min=30
dt=10

# forcing NAME FIRST_DAY N_DAYS: a half-hourly series with observations.
forcing() {
    "$python" "$generator" "$2" "$3" "$interval_min" 8 --obs -o "$work/$1.txt"
}

# run_dir NAME TYPE [LAYERS [DT [EXTRA_LINE]]]: a directory with site.par (and
# soil.par for other than 8 layers), parameter files created by a first short run.
run_dir() {
    local dir=$work/run-$1
    mkdir -p "$dir"
    {
        printf '_type      %s\n_restart   0\n_dt        %s\n_zref      30\n' "$2" "${4:-$dt}"
        [ -z "${5:-}" ] || echo "$5"
    } >"$dir/site.par"
    if [ "${3:-8}" != 8 ]; then
        {
            echo "Parameters:"
            # The default column of 12.75 m, each default layer cut in LAYERS/8.
            local parts=$(($3 / 8)) m=1
            for dz in 0.05 0.1 0.2 0.4 0.8 1.6 3.2 6.4; do
                for _ in $(seq "$parts"); do
                    awk -v m="$m" -v v="$dz" -v p="$parts" 'BEGIN { printf "_dz%d        %g\n", m, v / p }'
                    m=$((m + 1))
                done
            done
        } >"$dir/soil.par"
    fi
    "$kelm" "$work/day.txt" "$dir" </dev/null >/dev/null
    echo "$dir"
}

records() { grep -cv '^\s*\(#\|$\)' "$1"; }

# cpu_run OUT COMMAND...: runs COMMAND with its output in OUT; prints its CPU
# seconds (user + system, the kernel's accounting of the child, to the
# microsecond), its peak resident kB and its exit status. The peak comes from
# /usr/bin/time, a small process: a child forked from Python would carry
# Python's peak past its exec.
cpu_run() {
    local out=$1
    shift
    "$python" -c '
import os, subprocess, sys
with open(sys.argv[1], "w") as out:
    p = subprocess.Popen(sys.argv[3:], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    _, status, ru = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
with open(sys.argv[2]) as f:
    kb = int(f.read().split()[-1])
print("%.4f %d %d" % (ru.ru_utime + ru.ru_stime, kb, p.returncode))' \
        "$out" "$work/rss.txt" /usr/bin/time -f %M -o "$work/rss.txt" "$@"
}

# least OLD NEW: the smaller of two times; OLD may be empty.
least() { awk -v a="$2" -v b="$1" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

# measure FORCING DIR TYPE LAYERS: sets run_secs (the least CPU seconds of REPEATS
# runs of kelm), run_kb (their peak resident kB) and floor_secs (the least of
# REPEATS runs of kelm_floor on the same forcing at _dt 10). The runs of kelm
# and of the floor alternate, so that both meet the same load of a shared
# machine. Results are kept for the session.
declare -A runs floors
measure() {
    local run_key="$1 $2" floor_key="$1 $3 $4" best="" fbest="" rss=0 secs kb status
    for _ in $(seq "$repeats"); do
        if [ -z "${runs[$run_key]:-}" ]; then
            read -r secs kb status < <(cpu_run "$work/out.txt" "$kelm" "$1" "$2")
            [ "$status" = 0 ] && grep -q "Finished" "$work/out.txt" || { cat "$work/out.txt" >&2; exit 1; }
            best=$(least "$best" "$secs")
            [ "$kb" -gt "$rss" ] && rss=$kb
        fi
        if [ -z "${floors[$floor_key]:-}" ]; then
            "$floor_bin" "$1" "$3" "$4" "$dt" >"$work/floor.txt" 2>/dev/null ||
                { echo "run_year: kelm_floor failed" >&2; exit 1; }
            fbest=$(least "$fbest" "$(awk '/^floor of the run:/ { print $5 }' "$work/floor.txt")")
        fi
    done
    [ -n "${runs[$run_key]:-}" ] || runs[$run_key]="$best $rss"
    [ -n "${floors[$floor_key]:-}" ] || floors[$floor_key]=$fbest
    read -r run_secs run_kb <<<"${runs[$run_key]}"
    floor_secs=${floors[$floor_key]}
}

# report LABEL FORCING DIR TYPE [LAYERS]: one line of the table; the run's
# sub-steps at its own _dt, the floor at _dt 10.
report() {
    local n steps run_dt
    n=$(records "$2")
    run_dt=$(awk '$1 == "_dt" { print $2 }' "$3/site.par")
    steps=$(((n - 1) * interval_min * 60 / run_dt))
    measure "$2" "$3" "$4" "${5:-8}"
    awk -v l="$1" -v n="$n" -v s="$steps" -v t="$run_secs" -v kb="$run_kb" -v f="$floor_secs" 'BEGIN {
        printf "%-30s %8d %9d %8.3f %12.0f %8.1f %8.3f %6.2f\n", l, n, s, t, (t > 0 ? s / t : 0),
               kb / 1024, f, (f > 0 ? t / f : 0) }'
}

header() {
    printf '%-30s %8s %9s %8s %12s %8s %8s %6s\n' case records substeps cpu_s substeps/s \
        peak_MB floor_s ratio
}

forcing day 185 1
forcing month 182 30
forcing year 1 365

type0=$(run_dir type0 0)
type1=$(run_dir type1 1)
deep=$(run_dir type1-32 1 32)

echo "kelm whole runs: ${interval_min}-minute forcing, _dt $dt s unless stated; CPU seconds"
echo "(user + system), minimum of $repeats runs; floor: kelm_floor on the same forcing at _dt $dt,"
echo "minimum of $repeats, alternating with the runs of kelm; ratio = run / floor"
header
report "year, trees" "$work/year.txt" "$type0" 0
report "year, trees and shrubs" "$work/year.txt" "$type1" 1
echo "-- growth with the series (trees and shrubs, 8 layers)"
report "day" "$work/day.txt" "$type1" 1
report "month" "$work/month.txt" "$type1" 1
report "year" "$work/year.txt" "$type1" 1
echo "-- growth with the soil layers (trees and shrubs, a month)"
report "8 layers" "$work/month.txt" "$type1" 1
report "32 layers" "$work/month.txt" "$deep" 1 32
columns=$(awk '!/^#/' "$deep/soil.csv" 2>/dev/null | head -1 | tr -cd ',' | wc -c || true)
[ "$columns" -gt 64 ] || echo "   (warning: soil.csv does not show 32 layers: $columns columns)"

echo "-- long steps: a year, trees and shrubs, _dt 60, against the floor of _dt $dt"
report "year, _dt 60" "$work/year.txt" "$(run_dir type1-dt60 1 8 60)" 1
long=$(run_dir type1-physics1-dt60 1 8 60 "_physics  1")
report "year, _physics 1, _dt 60" "$work/year.txt" "$long" 1
# The part of it that is the output's system writes, one per file and day,
# replayed from the run's own files.
if [ -x "$writes_bin" ]; then
    wbest=""
    for _ in $(seq "$repeats"); do
        wbest=$(least "$wbest" "$("$writes_bin" "$long" | awk '/^writes:/ { print $2 }')")
    done
    writes=$("$writes_bin" "$long" | head -1)
    awk -v w="$wbest" -v t="$run_secs" -v f="$floor_secs" -v n="$writes" 'BEGIN {
        printf "   of which its output writes (%s): %.3f s, %.2f of the floor; the rest %.2f\n",
               n, w, w / f, (t - w) / f }'
fi

echo "-- the record interval: a year, trees and shrubs, _physics 1, against the floor of _dt $dt"
declare -A ratio
for long_dt in 300 900 1800; do
    report "year, _physics 1, _dt $long_dt" "$work/year.txt" \
        "$(run_dir "type1-physics1-dt$long_dt" 1 8 "$long_dt" "_physics  1")" 1
    ratio[$long_dt]=$(awk -v t="$run_secs" -v f="$floor_secs" 'BEGIN { printf "%.3f", t / f }')
done
measure "$work/year.txt" "$type1" 1 8
ratio[10]=$(awk -v t="$run_secs" -v f="$floor_secs" 'BEGIN { printf "%.3f", t / f }')
echo "   targets: _physics 1 at _dt 1800 ${ratio[1800]} of the floor (at most 0.06);" \
    "_physics 0 at _dt 10 ${ratio[10]} (at most 1.35)"
awk -v a="${ratio[1800]}" -v b="${ratio[10]}" 'BEGIN {
    printf "   %s\n", (a <= 0.06 && b <= 1.35) ? "both met" : "NOT MET" }'

echo "-- soak: a year, trees and shrubs, every carbon pool dynamic"
soak=$(run_dir soak 1)
sed -i 's/^\(_dynamic *\)0/\11/' "$soak"/*.par
dynamic=$(grep -l '^_dynamic *1' "$soak"/*.par | xargs -r -n1 basename | tr '\n' ' ' || true)
report "soak year" "$work/year.txt" "$soak" 1
bad=$(grep -lE '(^|, )-?(nan|inf)(,|$)' "$soak"/*.csv | xargs -r -n1 basename | tr '\n' ' ' || true)
echo "   dynamic pools: ${dynamic:-none}"
if [ -n "$bad" ]; then
    echo "   soak FAILED: values not finite in $bad"
    exit 1
fi
echo "   every output value finite in $(ls "$soak"/*.csv | wc -l) files"

echo "-- the floor of the year (trees and shrubs, 8 layers, _dt $dt)"
"$floor_bin" "$work/year.txt" 1 8 "$dt" 2>/dev/null | sed 's/^/   /'

if [ -x "$micro" ]; then
    echo "-- one sub-step against its floor (kelm_bench, trees and shrubs, 8 layers, CPU ns)"
    # Two runs: the CSV writer wants the same counters in every row.
    { "$micro" --benchmark_filter='BM_Substep/type:1' --benchmark_format=csv 2>/dev/null
      "$micro" --benchmark_filter='BM_Floor/type:1/day:[01]/layers:8/side:0' \
          --benchmark_format=csv 2>/dev/null; } | awk -F, '
        /^"BM_Substep\/type:1\/day:0"/ { s[0] = $4 } /^"BM_Substep\/type:1\/day:1"/ { s[1] = $4 }
        /^"BM_Floor\/type:1\/day:0/ { f[0] = $4 } /^"BM_Floor\/type:1\/day:1/ { f[1] = $4 }
        END { split("night day", name, " ");
              for (d = 0; d <= 1; d++)
                  printf "%-8s sub-step %9.1f ns   floor %7.1f ns   ratio %5.2f\n",
                         name[d + 1], s[d], f[d], (f[d] > 0 ? s[d] / f[d] : 0) }'
else
    echo "-- micro-benchmarks not built ($micro): no sub-step/floor ratio"
fi
