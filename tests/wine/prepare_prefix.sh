#!/bin/sh
# Creates, once, the Wine prefix that the Windows test programs run in, and
# prints nothing when it succeeds. Safe to run again and from several
# processes at once: a finished prefix is left alone.
#
#   OFWU_WINEPREFIX   the prefix to use; default ${TMPDIR:-/tmp}/ofwu-wineprefix-<uid>
#   WINE              the wine program; default wine
#
# In the prefix, COMn (n from 1 to 99) is whatever $prefix/ofwu-com/COMn
# leads to: a test links its pseudo-terminal there.
set -u

prefix=${OFWU_WINEPREFIX:-${TMPDIR:-/tmp}/ofwu-wineprefix-$(id -u)}
wine=${WINE:-wine}
# Named after what the prefix holds, so an older prefix is brought up to date.
done_mark="$prefix/.ofwu-prefix-ready-3"

[ -f "$done_mark" ] && exit 0

mkdir -p "$prefix" || exit 1
log="$prefix/.ofwu-prefix.log"

# No Mono or Gecko installer prompts, no debug chatter, no display needed.
in_prefix() {
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= "$@" \
        </dev/null >>"$log" 2>&1
}

# At every start Wine links dosdevices/comN to the machine's own serial
# devices (com1 to /dev/ttyS0, ...), replacing whatever link the tests put
# there. So every number a caller may use, 1 to 99, is declared a port of
# its own that leads to $prefix/ofwu-com/COMn: Wine keeps those links as they
# are, the machine's devices move to COM100 and up, and a test puts its
# pseudo-terminal at ofwu-com/COMn, as natively in OFWU_COM_DIR.
reserve_ports() {
    reg="$prefix/.ofwu-ports.reg"
    mkdir -p "$prefix/ofwu-com" && {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        n=1
        while [ "$n" -le 99 ]; do
            printf '"COM%d"="%s/ofwu-com/COM%d"\r\n' "$n" "$prefix" "$n"
            n=$((n + 1))
        done
    } >"$reg" &&
        in_prefix "$wine" regedit /S "$reg" &&
        in_prefix wineserver -w &&
        # One more start makes the links.
        in_prefix "$wine" cmd /c exit &&
        in_prefix wineserver -w &&
        [ "$(readlink "$prefix/dosdevices/com7")" = "$prefix/ofwu-com/COM7" ]
}

# Only one creator at a time; the others wait for it and then find it done.
(
    if command -v flock >/dev/null 2>&1; then
        flock 9 || exit 1
    fi
    [ -f "$done_mark" ] && exit 0
    : >"$log"
    if in_prefix "$wine" wineboot -i && in_prefix wineserver -w &&
        [ -d "$prefix/dosdevices" ] && reserve_ports; then
        : >"$done_mark"
        exit 0
    fi
    echo "prepare_prefix.sh: could not create the Wine prefix $prefix (see $log)" >&2
    exit 1
) 9>"$prefix/.ofwu-prefix.lock"
