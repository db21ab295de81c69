#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck over the program's own code
# in src/. The POSIX side is read through a native build's
# compile_commands.json; the Win32 seam files through the cross build's.
# Fails on any finding.
#   OFWU_ANALYSIS_BUILD          native build folder (default build-analysis)
#   OFWU_ANALYSIS_WINDOWS_BUILD  cross build folder, configured only
#                                (default build-analysis-windows)
set -u
cd "$(dirname "$0")/.."

native=${OFWU_ANALYSIS_BUILD:-build-analysis}
windows=${OFWU_ANALYSIS_WINDOWS_BUILD:-build-analysis-windows}
jobs=$(nproc 2>/dev/null || echo 2)

# The core library is built so that the catalogue sources the build
# generates exist: cppcheck reads every file the database names. Without
# the tests: their own build of the core (tools/virtual) would give each
# file a second entry, with the flags of another target.
scripts/configure.sh . "$native" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DOFWU_BUILD_TESTS=OFF >/dev/null &&
    cmake --build "$native" --target ofwu_core >/dev/null || exit 1
scripts/configure.sh . "$windows" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1

native_files=$(ls src/*/*.cpp | grep -v '_win32\.cpp$')
windows_files=$(ls src/*/*_win32.cpp)

# The cross compiler's C++ and MinGW headers for clang-tidy; GCC's own
# intrinsics folders are left out, clang brings its own.
mingw_includes=
for dir in $(x86_64-w64-mingw32-g++-posix -std=c++17 -E -x c++ -v /dev/null 2>&1 |
        sed -n '/#include <...> search starts here/,/End of search list/p' |
        grep '^ /' | grep -vE '/include$|/include-fixed$'); do
    mingw_includes="$mingw_includes --extra-arg-before=-isystem$dir"
done
mingw_includes="$mingw_includes --extra-arg-before=-isystem/usr/x86_64-w64-mingw32/include"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0

# One file per clang-tidy process: one process given several files has been
# seen to carry analyzer state from one file into the next and report a
# fault that is not there.
if ! echo "$native_files" | xargs -P "$jobs" -n 1 clang-tidy -p "$native" --quiet >"$log" 2>&1 ||
   ! echo "$windows_files" | xargs -P "$jobs" -n 1 clang-tidy -p "$windows" --quiet \
        --extra-arg=-nostdinc++ $mingw_includes >>"$log" 2>&1; then
    status=1
    echo "== clang-tidy findings"
    grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' "$log"
else
    echo "clang-tidy: src/ clean ($(echo "$native_files" "$windows_files" | wc -w) files)"
fi

cppcheck_options="--enable=warning,style,performance,portability --std=c++17 --quiet --error-exitcode=1 --template=gcc"
# shellcheck disable=SC2086
if ! cppcheck --project="$native/compile_commands.json" --file-filter='src/*' -j "$jobs" $cppcheck_options ||
   ! cppcheck -I src --platform=win64 --library=windows -D_WIN32 $cppcheck_options $windows_files; then
    status=1
    echo "== cppcheck found the above"
else
    echo "cppcheck: src/ clean"
fi
exit $status
