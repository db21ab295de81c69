#!/bin/sh
# The program's main job on a machine without hardware: installs what the
# demo needs (cmake, a compiler, ninja, OpenSSL's libcrypto, and the JSON
# header devsim's report uses), builds, puts a simulated device (devsim) at
# version 2.58 on COM3 of a temporary folder, its line paced at the real
# rate, and runs ofwu against it in this terminal. Answer the question with Y; the progress line moves
# as it would with a device, and after the transfer the device updates its
# signal processors and reports that it is ready. Everything is cleaned up
# after.
set -u
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake g++ ninja-build libssl-dev nlohmann-json3-dev || exit 1
echo "Building..."
scripts/configure.sh . build >/dev/null && cmake --build build --target ofwu devsim >/dev/null || exit 1

work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-demo.XXXXXX")
devsim_pid=
cleanup() {
    [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The device: product 59 (SND44), revision 1, firmware 2.58, no name of its
# own. After its restart it updates two banks of signal processors, showing
# each step, and then says it is ready.
set --
for bank in 1 2; do
    for step in 0 1 2 3 4 5; do set -- "$@" --line "400:!100,$bank,$step"; done
done
build/devsim --link "$work/COM3" --product 59 --revision 1 --version 2.58 --name "" --pace \
    --image firmware/snd44_rev1.img --report "$work/report.json" \
    "$@" --line "300:=P" --idle-timeout 600000 >"$work/devsim.out" 2>"$work/devsim.log" &
devsim_pid=$!
# devsim writes one line on standard output once its link stands.
for _ in $(seq 50); do [ -s "$work/devsim.out" ] && break; sleep 0.1; done
if [ ! -s "$work/devsim.out" ]; then
    echo "The simulated device did not come up. Its log:"
    cat "$work/devsim.log"
    exit 1
fi

OFWU_COM_DIR=$work build/ofwu
status=$?
echo "(ofwu ended with exit status $status; it always ends with 1)"
