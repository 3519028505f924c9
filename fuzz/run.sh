#!/bin/bash
# Builds the fuzz targets of the file readers and runs each for SECONDS seconds
# (default 10). Needs clang++ with libFuzzer; without it the script says so and
# succeeds. A crash or a broken invariant fails the script; the input that caused
# it is left in build-fuzz/artifacts/ and should join fuzz/corpus/<target>/ with
# a unit test.
set -euo pipefail

skip() {
    echo "fuzz: skipped: $1"
    exit 0
}

command -v clang++ >/dev/null 2>&1 || skip "clang++ not found"

seconds=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
targets=(forcing param_plain param_blank param_list param_numbered last_line)

command -v cmake >/dev/null 2>&1 || skip "cmake not found"
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >"$probe/log" 2>&1 || skip "clang++ cannot link libFuzzer (-fsanitize=fuzzer)"

mkdir -p "$build"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$root/fuzz" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE= >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
cmake --build "$build" -j2 >>"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }

mkdir -p "$build/artifacts"
failed=0
for t in "${targets[@]}"; do
    work=$root/fuzz/corpus-run/$t  # inputs found by earlier runs, not committed
    mkdir -p "$work"
    log=$build/$t.log
    if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $t: ok, ${runs:-?} inputs in ${seconds} s"
    else
        echo "fuzz $t: FAILED (log $log)"
        grep -E "ERROR|invariant broken|runtime error|SUMMARY|Test unit written" "$log" | head -20
        failed=1
    fi
done
exit $failed
