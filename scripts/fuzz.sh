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
targets="version_reply message_monitor probe command image_check signature_format"

scripts/configure.sh fuzz "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build "$build" >/dev/null || { echo "fuzz: the targets did not build" >&2; exit 1; }

# One target's bounded run; its verdict goes to $build/$t.verdict.
run_target() {
    t=$1
    work=$build/new-inputs/$t
    found=$build/artifacts/$t
    mkdir -p "$work" "$found"
    log=$build/$t.log
    # New inputs go to the first folder only; the committed corpus is read.
    if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -max_len=2048 -use_value_profile=1 \
        -artifact_prefix="$found/" -print_final_stats=1 "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $t: ${runs:-?} runs in ${seconds} s, no fault" >"$build/$t.verdict"
    else
        { echo "fuzz $t: FAULT (log $log)"
          grep -E 'ERROR|property does not hold|runtime error|Test unit written' "$log" | head -5
        } >"$build/$t.verdict"
        return 1
    fi
}

# As many targets at a time as there are processors: each is one process.
jobs=$(nproc 2>/dev/null || echo 1)
rm -f "$build"/*.verdict
status=0
running=0
pids=""
for t in $targets; do
    run_target "$t" &
    pids="$pids $!"
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        for p in $pids; do wait "$p" || status=1; done
        pids=""
        running=0
    fi
done
for p in $pids; do wait "$p" || status=1; done
for t in $targets; do cat "$build/$t.verdict" 2>/dev/null || { echo "fuzz $t: no verdict"; status=1; }; done
exit $status
