#!/bin/sh
# Records the regression traces of this folder again, as a technician's run
# records one: `ofwu --batch --trace FILE --image small.img --allow-unsigned 3`
# against devsim over a pseudo-terminal, one fault a trace. The virtual-time
# suite replays each (devsim --replay) and expects the program to send the
# same bytes and to end as the recorded run ended.
#   tests/traces/record.sh [build folder]     (default build)
set -u
cd "$(dirname "$0")/../.."
build=${1:-build}
work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-traces.XXXXXX")
trap 'rm -rf "$work"' EXIT

# record NAME DEVSIM-OPTIONS...: tests/traces/NAME.trace
record() {
    name=$1
    shift
    rm -f "$work/COM3" "$work/up"
    "$build/devsim" --link "$work/COM3" --revision 1 --version 2.58 --image tests/traces/small.img \
        --idle-timeout 45000 "$@" >"$work/up" 2>"$work/devsim.log" &
    device=$!
    for _ in $(seq 50); do [ -s "$work/up" ] && break; sleep 0.1; done
    [ -s "$work/up" ] || { echo "$name: devsim did not start:" >&2; cat "$work/devsim.log" >&2; exit 1; }
    OFWU_COM_DIR=$work OFWU_LOCK_DIR=$work "$build/ofwu" --batch --trace "tests/traces/$name.trace" \
        --image tests/traces/small.img --allow-unsigned 3 >"$work/out" </dev/null
    echo "$name: ofwu ended with $? ($(tail -n 1 "$work/out"))"
    kill "$device" 2>/dev/null
    wait "$device" 2>/dev/null
}

# The second block refused.
record nak-block-2 --on-block 2:nak
# Block 2 acknowledged, then no reply to its status request (the start
# packet's is the first).
record status-lost-after-block-2 --on-status 3:no-reply
# Unplugged in the watch, after the restarted device's first message.
record unplug-in-watch --line "100:!100,1,0" --line "100:!100,1,1" --unplug-at line:1
