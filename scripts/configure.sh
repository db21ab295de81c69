#!/bin/sh
# Configures a CMake build tree for the scripts:
#   scripts/configure.sh SOURCE BUILD [cmake options...]
# A tree that exists is taken as it is, whatever generator made it (the
# README's "Building by hand" uses CMake's default): CMake refuses a second
# generator for a tree. Only a new tree is made with Ninja, and compiles
# through ccache where it is installed: the full test run builds six trees,
# and a clone that CI makes anew compiles the same sources as the last one.
# The objects are alike in every clone (-ffile-prefix-map makes the tree's
# own path "."), so the cache is told to ignore that path: CCACHE_BASEDIR
# and the prefix map's option, and the folder a compile runs in.
set -u
source=$1
build=$2
shift 2
if [ -f "$build/CMakeCache.txt" ]; then
    exec cmake -S "$source" -B "$build" "$@"
fi
launcher=
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
exec cmake -S "$source" -B "$build" -G Ninja $launcher "$@"
