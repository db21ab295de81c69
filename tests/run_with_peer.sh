#!/bin/sh
# Runs a test program next to a scripted pty peer.
#   run_with_peer.sh native|wine PEER_BIN TEST_BIN [args...]
# native: COM ports are links in a temporary OFWU_COM_DIR.
# wine:   COM ports are COMn links in the ofwu-com folder of the test prefix
#         (tests/wine/prepare_prefix.sh), which Wine's COMn leads to, and
#         the test program, a Windows program, runs under wine in that prefix.
set -u
mode=$1 peer=$2 test=$3
shift 3

if [ ! -x "$peer" ]; then
    echo "run_with_peer: no peer program at $peer (build the native tree first)" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-peer.XXXXXX")
mkdir -p "$work/requests" "$work/com"
peer_pid=
cleanup() {
    [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

case $mode in
native)
    "$peer" --serve "$work/requests" --link-pattern "$work/com/COM%u" &
    peer_pid=$!
    OFWU_COM_DIR=$work/com OFWU_LOCK_DIR=$work OFWU_PEER_DIR=$work/requests "$test" "$@"
    status=$?
    ;;
wine)
    # The prefix that the wine_prefix test fixture prepared; run_wine.sh
    # runs the program in it.
    run_wine=$(dirname "$0")/wine/run_wine.sh
    prefix=$(sh "$run_wine" --print-prefix)
    if [ ! -d "$prefix/ofwu-com" ]; then
        echo "run_with_peer: no test Wine prefix at $prefix (run tests/wine/prepare_prefix.sh)" >&2
        exit 1
    fi
    "$peer" --serve "$work/requests" --link-pattern "$prefix/ofwu-com/COM%u" &
    peer_pid=$!
    # Wine's Z: drive is the Unix root.
    windows_dir="Z:$(printf '%s' "$work/requests" | tr / '\\')"
    OFWU_PEER_DIR=$windows_dir sh "$run_wine" "$test" "$@"
    status=$?
    ;;
*)
    echo "run_with_peer: mode must be native or wine" >&2
    exit 2
    ;;
esac
exit $status
