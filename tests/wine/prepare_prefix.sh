#!/bin/sh
# Creates, once, the Wine prefix that the Windows test programs run in, and
# prints nothing when it succeeds. Safe to run again and from several
# processes at once: a finished prefix is left alone.
#
#   OFWU_WINEPREFIX   the prefix to use; default ${TMPDIR:-/tmp}/ofwu-wineprefix-<uid>
#   WINE              the wine program; default wine
set -u

prefix=${OFWU_WINEPREFIX:-${TMPDIR:-/tmp}/ofwu-wineprefix-$(id -u)}
wine=${WINE:-wine}
done_mark="$prefix/.ofwu-prefix-ready"

[ -f "$done_mark" ] && exit 0

mkdir -p "$prefix" || exit 1
log="$prefix/.ofwu-prefix.log"

# Only one creator at a time; the others wait for it and then find it done.
(
    if command -v flock >/dev/null 2>&1; then
        flock 9 || exit 1
    fi
    [ -f "$done_mark" ] && exit 0
    # No Mono or Gecko installer prompts, no debug chatter, no display needed.
    if WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
        "$wine" wineboot -i >"$log" 2>&1 &&
        WINEPREFIX="$prefix" wineserver -w >>"$log" 2>&1 &&
        [ -d "$prefix/dosdevices" ]; then
        : >"$done_mark"
        exit 0
    fi
    echo "prepare_prefix.sh: could not create the Wine prefix $prefix (see $log)" >&2
    exit 1
) 9>"$prefix/.ofwu-prefix.lock"
