#!/bin/bash
# Times whole runs of kelm on generated forcing at _dt 10 and prints, for each
# case, the median wall time of several runs, sub-steps per second and the peak
# resident memory; then how the cost grows with the length of the series (a day,
# a month, a year) and with the soil layers (8 and 32); then a soak run (a year,
# shrubs, every carbon pool dynamic) whose output must stay finite; and, when
# the micro-benchmarks are built, the ratio of a sub-step to its floor.
#
#   bench/run_year.sh [REPEATS]      (default 5; run from anywhere)
#
# Uses build/kelm (cmake -S . -B build -G Ninja && cmake --build build -j2),
# tools/make_forcing.py and /usr/bin/time (Debian package "time"). The
# micro-benchmarks come from build-bench/bench/kelm_bench when present
# (cmake -S . -B build-bench -G Ninja -DKELM_BENCH=ON -DKELM_TESTS=OFF).
set -euo pipefail

repeats=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
kelm=$root/build/kelm
generator=$root/tools/make_forcing.py
micro=$root/build-bench/bench/kelm_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/kelm-year.XXXXXX")
trap 'rm -rf "$work"' EXIT

[ -x "$kelm" ] || { echo "run_year: $kelm not built" >&2; exit 1; }
[ -f "$generator" ] || { echo "run_year: $generator missing" >&2; exit 1; }
if [ ! -x /usr/bin/time ]; then
    echo "run_year: installing /usr/bin/time (Debian package time)" >&2
    apt-get install -y -qq time >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq time; }
fi

interval_min=30
dt=10

# forcing NAME FIRST_DAY N_DAYS: a half-hourly series with observations.
forcing() {
    /usr/bin/python3 "$generator" "$2" "$3" "$interval_min" 8 --obs -o "$work/$1.txt"
}

# run_dir NAME TYPE [LAYERS]: a directory with site.par (and soil.par for other
# than 8 layers), parameter files created by a first short run.
run_dir() {
    local dir=$work/run-$1
    mkdir -p "$dir"
    printf '_type      %s\n_restart   0\n_dt        %s\n_zref      30\n' "$2" "$dt" >"$dir/site.par"
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

# timed FORCING DIR: runs kelm REPEATS times; prints "median_seconds peak_kb".
timed() {
    local times=() rss=0
    for _ in $(seq "$repeats"); do
        # Wall time in nanoseconds around the run (time -v rounds to 10 ms).
        local start end
        start=$(date +%s%N)
        /usr/bin/time -v -o "$work/time.txt" "$kelm" "$1" "$2" </dev/null >"$work/out.txt" 2>&1 ||
            { cat "$work/out.txt" >&2; exit 1; }
        end=$(date +%s%N)
        grep -q "Finished" "$work/out.txt" || { cat "$work/out.txt" >&2; exit 1; }
        times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')")
        local kb
        kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
        [ "$kb" -gt "$rss" ] && rss=$kb
    done
    printf '%s\n' "${times[@]}" | sort -g | awk -v rss="$rss" \
        '{ t[NR] = $1 } END { m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2;
           print m, rss }'
}

report() {  # report LABEL FORCING DIR
    local n steps
    n=$(records "$2")
    steps=$(((n - 1) * interval_min * 60 / dt))
    read -r secs kb < <(timed "$2" "$3")
    awk -v l="$1" -v n="$n" -v s="$steps" -v t="$secs" -v kb="$kb" 'BEGIN {
        printf "%-28s %8d %10d %10.4f %14.0f %10.1f\n", l, n, s, t, (t > 0 ? s / t : 0), kb / 1024 }'
}

forcing day 185 1
forcing month 182 30
forcing year 1 365

type0=$(run_dir type0 0)
type1=$(run_dir type1 1)
deep=$(run_dir type1-32 1 32)

echo "kelm whole runs: _dt $dt s, ${interval_min}-minute forcing, median of $repeats runs"
printf '%-28s %8s %10s %10s %14s %10s\n' case records substeps wall_s substeps/s peak_MB
report "year, trees" "$work/year.txt" "$type0"
report "year, trees and shrubs" "$work/year.txt" "$type1"
echo "-- growth with the series (trees and shrubs, 8 layers)"
report "day" "$work/day.txt" "$type1"
report "month" "$work/month.txt" "$type1"
report "year" "$work/year.txt" "$type1"
echo "-- growth with the soil layers (trees and shrubs, a month)"
report "8 layers" "$work/month.txt" "$type1"
report "32 layers" "$work/month.txt" "$deep"
columns=$(awk '!/^#/' "$deep/soil.csv" 2>/dev/null | head -1 | tr -cd ',' | wc -c || true)
[ "$columns" -gt 64 ] || echo "   (warning: soil.csv does not show 32 layers: $columns columns)"

echo "-- soak: a year, trees and shrubs, every carbon pool dynamic"
soak=$(run_dir soak 1)
sed -i 's/^\(_dynamic *\)0/\11/' "$soak"/*.par
dynamic=$(grep -l '^_dynamic *1' "$soak"/*.par | xargs -r -n1 basename | tr '\n' ' ' || true)
report "soak year" "$work/year.txt" "$soak"
bad=$(grep -lE '(^|, )-?(nan|inf)(,|$)' "$soak"/*.csv | xargs -r -n1 basename | tr '\n' ' ' || true)
echo "   dynamic pools: ${dynamic:-none}"
if [ -n "$bad" ]; then
    echo "   soak FAILED: values not finite in $bad"
    exit 1
fi
echo "   every output value finite in $(ls "$soak"/*.csv | wc -l) files"

if [ -x "$micro" ]; then
    echo "-- one sub-step against its floor (kelm_bench, trees and shrubs, 8 layers)"
    # Two runs: the CSV writer wants the same counters in every row.
    { "$micro" --benchmark_filter='BM_Substep/type:1' --benchmark_format=csv 2>/dev/null
      "$micro" --benchmark_filter='BM_Floor/type:1/day:[01]/layers:8' \
          --benchmark_format=csv 2>/dev/null; } | awk -F, '
        /^"BM_Substep\/type:1\/day:0"/ { s[0] = $4 } /^"BM_Substep\/type:1\/day:1"/ { s[1] = $4 }
        /^"BM_Floor\/type:1\/day:0/ { f[0] = $4 } /^"BM_Floor\/type:1\/day:1/ { f[1] = $4 }
        END { split("night midday", name, " ");
              for (d = 0; d <= 1; d++)
                  printf "%-8s sub-step %9.1f ns   floor %7.1f ns   ratio %5.2f\n",
                         name[d + 1], s[d], f[d], (f[d] > 0 ? s[d] / f[d] : 0) }'
else
    echo "-- micro-benchmarks not built ($micro): no sub-step/floor ratio"
fi
