#!/bin/sh
# Installs what is missing, builds the native and the Windows program, and
# runs every test side by side: natively (under sanitizers), the Windows
# build under Wine, and the native program in a virtual machine on the
# kernel's own serial drivers; with fuzzing, static analysis and the
# packages beside them.
#
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the edit-build-test loop: no installation, the
#                             native build, the unit, devsim and image tests,
#                             the include layers and the whole virtual-time
#                             suite (seconds on a built tree)
set -u
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
# For ccache (scripts/configure.sh): objects from another clone's trees serve this one.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_IGNOREOPTIONS="-ffile-prefix-map=*"
if [ "${1:-}" = "--quick" ]; then
    scripts/configure.sh . build >/dev/null && cmake --build build -j "$jobs" || exit 1
    sh scripts/layers.sh || exit 1
    # The tests mostly wait on ports and devices: more at a time than processors.
    exec ctest --test-dir build --output-on-failure -j $((jobs * 2)) -L quick
fi

scripts/install-deps.sh || exit 1

# The native tests run once, in a tree built by clang with AddressSanitizer
# and UndefinedBehaviorSanitizer: a finding aborts the process, so it fails
# its test even where the program's normal exit status is expected. The GCC
# tree (build/) is built for the program and for the native peer the Windows
# tests drive, and with devsim for the virtual machine's suite; the quick loop tests it, and the package step builds the
# program with GCC once more, as released.
scripts/configure.sh . build >/dev/null && cmake --build build -j "$jobs" --target ofwu ptypeer devsim || exit 1
scripts/configure.sh . build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null &&
    cmake --build build-windows -j "$jobs" || exit 1
# The Wine prefix is made (once) while the sanitizer tree builds: making it
# is some 20 s of processor and disk work that the tests must not meet.
sh tests/wine/prepare_prefix.sh &
prefix=$!
scripts/configure.sh . build-asan -DOFWU_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build build-asan -j "$jobs" || exit 1
wait "$prefix" || exit 1

status=0
logs=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-test-logs.XXXXXX")
trap 'rm -rf "$logs"' EXIT
# Runs ctest, its output kept for the summary at the end.
run_ctest() {
    name=$1
    shift
    ctest "$@" >"$logs/$name.log" 2>&1
}

# Every suite mostly waits: on ports, simulated devices, Wine's programs and
# the guest's serial lines. So the native tests, the Windows tests under Wine
# and the virtual machine run side by side, and fuzzing, static analysis and
# the packages meanwhile at a lower priority, so that the tests' programs and
# simulated devices are kept waiting for a processor as little as may be.
# (A simulated device that reads the program's bytes late sees them at the
# rate the program has set since: its line is a pseudo-terminal, which does
# not hold a rate change back until the bytes before it are read.) Not the
# lowest priority: on a machine kept busy by other work at the normal one,
# nice 19 gets a share of one in seventy, and the steps took over half an
# hour; at 5 they get about a quarter of a processor there. The Windows
# tests' ports (COM7) are none of the native Wine rows' (COM1 to COM23 but
# 7), so the two may share the prefix.
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=abort_on_error=1:print_stacktrace=1 \
    run_ctest native --test-dir build-asan --output-on-failure -j $((jobs * 2)) -LE quick-only &
native=$!
run_ctest wine --test-dir build-windows --output-on-failure &
wine=$!
# The program on the kernel's own serial drivers, in a QEMU guest.
tests/vm/run.sh >"$logs/vm.out" 2>&1 &
vm_pid=$!
# Fuzzing is bounded in time, not work: it runs beside the other two steps.
nice -n 5 scripts/fuzz.sh >"$logs/fuzz.out" 2>&1 &
fuzz=$!
echo "== Static analysis"
scripts/layers.sh || status=1
nice -n 5 scripts/static-analysis.sh || status=1
echo "== Packages"
nice -n 5 scripts/release.sh --once || status=1
wait "$fuzz" || status=1
echo "== Fuzzing"
cat "$logs/fuzz.out"
wait "$native" || status=1
echo "== Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cat "$logs/native.log"
wait "$wine" || status=1
echo "== Windows tests under Wine"
cat "$logs/wine.log"
wait "$vm_pid"
vm=$?
echo "== Linux serial drivers in a virtual machine (tests/vm)"
cat "$logs/vm.out"
[ "$vm" -eq 0 ] || [ "$vm" -eq 77 ] || status=1  # 77: skipped, and under CI=true it is 1

# One closing summary over every ctest run above.
echo "== Summary"
passed=0
failed=0
skipped=0
for log in "$logs"/*.log; do
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    echo "$(basename "$log" .log): ${line:-no ctest summary}"
    [ -z "$line" ] && { status=1; continue; }
    total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
    bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
    # ctest counts a skipped test among the passed ones; here it is neither.
    skips=$(grep -c '(Skipped)$' "$log")
    passed=$((passed + total - bad - skips))
    failed=$((failed + bad))
    skipped=$((skipped + skips))
done
line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$logs/vm.out" | tail -n 1)
echo "vm: ${line:-no summary (skipped or did not run)}"
if [ -n "$line" ]; then
    passed=$((passed + ${line%% *}))
    bad=${line#*, }
    failed=$((failed + ${bad%% *}))
fi
[ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && echo "(a build, fuzzing, static-analysis or package step failed)"
echo "$passed passed, $skipped skipped, $failed failed"
exit $status
