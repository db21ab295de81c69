#!/bin/sh
# Installs what is missing, builds the native and the Windows program, and
# runs every test: natively, and the Windows build under Wine.
set -u
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja >/dev/null && cmake --build build -j "$jobs" || exit 1
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null &&
    cmake --build build-windows -j "$jobs" || exit 1

status=0
echo "== Native tests"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== Windows tests under Wine"
ctest --test-dir build-windows --output-on-failure || status=1

# The native tree again, built by clang with AddressSanitizer and
# UndefinedBehaviorSanitizer. A finding aborts the process, so it fails its
# test even where the program's normal exit status is expected. The
# program's own end-to-end suites (e2e_program_tests, three minutes of
# waiting on devices) are left out to keep CI short; every other test runs.
echo "== Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DOFWU_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build build-asan -j "$jobs" &&
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=abort_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^e2e_program_tests$' || status=1
echo "== Fuzzing"
scripts/fuzz.sh || status=1
echo "== Static analysis"
scripts/static-analysis.sh || status=1
exit $status
