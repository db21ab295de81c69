#!/bin/sh
# Builds the program and runs it in this terminal. COM ports are looked up
# in a temporary, empty folder, so no real port is touched.
set -u
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1
cmake -S . -B build -G Ninja >/dev/null && cmake --build build >/dev/null || exit 1

com_dir=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-demo.XXXXXX")
trap 'rm -rf "$com_dir"' EXIT INT TERM
OFWU_COM_DIR=$com_dir build/ofwu "$@"
