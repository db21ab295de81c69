#!/bin/sh
# Runs a Windows test program under Wine in the test prefix that
# prepare_prefix.sh makes:  run_wine.sh PROGRAM.exe [ARGS...]
# run_wine.sh --print-prefix prints the prefix's path and nothing else.
#
#   OFWU_WINEPREFIX   the prefix; default ${TMPDIR:-/tmp}/ofwu-wineprefix-<uid>
#   WINE              the wine program; default wine
prefix=${OFWU_WINEPREFIX:-${TMPDIR:-/tmp}/ofwu-wineprefix-$(id -u)}
if [ "${1:-}" = --print-prefix ]; then
    printf '%s\n' "$prefix"
    exit 0
fi
WINEPREFIX=$prefix
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES="mscoree,mshtml="
DISPLAY=
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES DISPLAY

# The Wine server may outlive the program, and prints into whatever output
# it started with (a serial device that hangs up makes it dump its state).
# Started here with its output detached, it can neither hold the test
# runner's output pipe open nor print into a test's output. If one is
# already running for this prefix, this one exits at once.
"${WINESERVER:-wineserver}" </dev/null >/dev/null 2>&1

# The first Wine program in the prefix starts Wine's own background
# processes, and they inherit its standard error and keep it open until the
# last Wine program in the prefix has ended. Were that the test runner's
# pipe, a test would not count as finished until every other test running in
# the prefix had. So standard error goes to a file, shown once the program
# has ended; standard input and output stay as they are.
errors=$(mktemp "${TMPDIR:-/tmp}/ofwu-wine-stderr.XXXXXX") || exit 1
show_errors() {
    cat "$errors" >&2
    rm -f "$errors"
}
trap 'show_errors; exit 143' TERM INT HUP
"${WINE:-wine}" "$@" 2>"$errors"
status=$?
show_errors
exit $status
