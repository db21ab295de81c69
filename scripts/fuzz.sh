#!/bin/sh
# Builds the libFuzzer targets (fuzz/) with clang and runs each one for a
# bounded time, starting from its committed corpus, the regression cases
# included. Fails when a target crashes, hangs, breaks one of its checked
# properties, or does not build.
#   scripts/fuzz.sh [seconds-per-target]     (default 15)
# OFWU_FUZZ_BUILD names the build folder (default build-fuzz). New inputs the
# fuzzer finds stay in that folder; the committed corpus is only read.
set -u
cd "$(dirname "$0")/.."

seconds=${1:-15}
build=${OFWU_FUZZ_BUILD:-build-fuzz}
targets="version_reply message_monitor probe command"

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build "$build" >/dev/null || { echo "fuzz: the targets did not build" >&2; exit 1; }

status=0
for t in $targets; do
    work=$build/new-inputs/$t
    found=$build/artifacts/$t
    mkdir -p "$work" "$found"
    log=$build/$t.log
    # New inputs go to the first folder only; the committed corpus is read.
    if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -max_len=2048 -use_value_profile=1 \
        -artifact_prefix="$found/" -print_final_stats=1 "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $t: ${runs:-?} runs in ${seconds} s, no fault"
    else
        status=1
        echo "fuzz $t: FAULT (log $log)"
        grep -E 'ERROR|property does not hold|runtime error|Test unit written' "$log" | head -5
    fi
done
exit $status
