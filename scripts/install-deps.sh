#!/bin/sh
# Installs Debian packages, only when something is missing (a second run
# does nothing): the ones named, or else all that the project builds and
# tests with.
#   scripts/install-deps.sh [package...]
set -eu

# nlohmann-json is the test tools' JSON (devsim's report and its readers);
# clang and its runtimes build the fuzz targets and the sanitizer tree;
# clang-tidy and cppcheck are scripts/static-analysis.sh's; git, lintian,
# icoutils (wrestool) and unzip are scripts/release.sh's; python3 runs the
# release checks, the benchmark and the soak run; picocom, minicom and cu are
# the serial tools the program is tested beside (tests/interop); QEMU,
# busybox, cpio and xz make the virtual machine on the kernel's own serial
# drivers (tests/vm); ansible-core runs the station playbook (tests/fleet);
# libssl-dev is the libcrypto the program checks image signatures with, and
# openssl signs image files in the tests and SHA256SUMS in a release; ccache
# keeps compiled objects for the next run's trees (scripts/configure.sh).
packages="cmake g++ ninja-build libssl-dev openssl nlohmann-json3-dev googletest libgtest-dev g++-mingw-w64-x86-64-posix wine wine64
    tmux clang libclang-rt-14-dev clang-tidy cppcheck dpkg-dev lintian icoutils unzip groff-base
    ccache git python3 picocom minicom cu qemu-system-x86 busybox-static cpio xz-utils ansible-core"
[ $# -gt 0 ] && packages="$*"

missing=
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq $missing >/dev/null
