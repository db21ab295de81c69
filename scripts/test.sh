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
exit $status
