#!/bin/sh
# Configures a CMake build tree for the scripts:
#   scripts/configure.sh SOURCE BUILD [cmake options...]
# A tree that exists is taken as it is, whatever generator made it (the
# README's "Building by hand" uses CMake's default): CMake refuses a second
# generator for a tree. Only a new tree is made with Ninja.
set -u
source=$1
build=$2
shift 2
if [ -f "$build/CMakeCache.txt" ]; then
    exec cmake -S "$source" -B "$build" "$@"
fi
exec cmake -S "$source" -B "$build" -G Ninja "$@"
