#!/bin/sh
# The program on the Linux kernel's own serial drivers: a QEMU guest runs
# build/ofwu on a 16550 UART (ttyS1) and on FTDI USB adapters (ttyUSB*,
# the real ftdi_sio driver), with simulated devices (build/devsim) on host
# pseudo-terminals behind them; QEMU's monitor pulls and plugs the adapters.
# One boot; one line per case, then "N passed, N failed".
#
#   tests/vm/run.sh
#
# OFWU_VM_WORK      work folder (default: a new one under ${TMPDIR:-/tmp},
#                   removed at the end when every case passed)
# OFWU_VM_CACHE     where the kernel is kept between runs
#                   (default /var/cache/ofwu-vm, else ~/.cache/ofwu-vm)
# OFWU_VM_PROGRAM   the program to test (default build/ofwu)
# OFWU_BUILD_DIR    the native build tree (default build)
# OFWU_VM_SMP       the guest's processors (default 1)
#
# Without QEMU or a kernel it says why and exits 77 (skipped); under
# CI=true it exits 1 instead.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${OFWU_BUILD_DIR:-$root/build}
program=${OFWU_VM_PROGRAM:-$build/ofwu}
firmware=$root/firmware/snd44_rev1.img
boot_limit=240 # seconds the guest may take, from start to power-off (about 45 on an idle machine)

skip() {
    echo "SKIP vm: $*"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

for tool in qemu-system-x86_64 busybox cpio gzip gcc dpkg; do
    command -v "$tool" >/dev/null || skip "$tool is missing (Debian: qemu-system-x86 busybox-static cpio gcc)"
done
busybox=$(command -v busybox)
# A dynamic busybox would need its libraries in the guest.
ldd "$busybox" 2>&1 | grep -q 'not a dynamic' || skip "$busybox is not static (Debian: busybox-static)"
if [ ! -x "$program" ] || [ ! -x "$build/devsim" ]; then
    echo "FAIL vm: no $program or $build/devsim (cmake --build build)"
    exit 1
fi

work=${OFWU_VM_WORK:-}
[ -n "$work" ] || work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-vm.XXXXXX") || exit 1
mkdir -p "$work" || exit 1
rm -rf "$work/guest" "$work"/*.log "$work"/*.json "$work"/fired.* "$work"/monitor.*

pids=
cleanup() {
    for pid in $pids $(cat "$work"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null; done
}
trap cleanup EXIT
trap 'cleanup; exit 1' INT TERM HUP

# The kernel and the modules of the package linux-image-amd64 depends on,
# fetched once (not installed) and kept in the cache.
cache=${OFWU_VM_CACHE:-/var/cache/ofwu-vm}
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=${XDG_CACHE_HOME:-$HOME/.cache}/ofwu-vm
mkdir -p "$cache" || skip "cannot make $cache"
modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio" # in the order they load
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'; }
package=$(kernel_package)
if [ -z "$package" ] && [ ! -d "$cache/kernel" ]; then
    apt-get update -qq >"$work/apt.log" 2>&1
    package=$(kernel_package)
fi
if [ -n "$package" ] && [ "$(cat "$cache/kernel/package" 2>/dev/null)" != "$package" ]; then
    echo "Fetching $package (once; kept in $cache)"
    rm -rf "$cache/kernel" "$cache/unpacked" "$cache"/*.deb
    (cd "$cache" && { apt-get download "$package" || { apt-get update -qq && apt-get download "$package"; }; }) \
        >>"$work/apt.log" 2>&1 || skip "apt-get download $package failed (see $work/apt.log)"
    dpkg -x "$cache/${package}"_*.deb "$cache/unpacked" || skip "dpkg -x failed"
    mkdir -p "$cache/kernel.new"
    cp "$cache"/unpacked/boot/vmlinuz-* "$cache/kernel.new/vmlinuz" || skip "no kernel in $package"
    for m in $modules; do
        ko=$(find "$cache/unpacked/lib/modules" -name "$m.ko*" | head -n 1)
        [ -n "$ko" ] || skip "no module $m in $package"
        # busybox insmod may not read compressed modules.
        case $ko in
            *.xz) xz -dc "$ko" ;;
            *) cat "$ko" ;;
        esac >"$cache/kernel.new/$m.ko" || skip "cannot unpack $ko"
    done
    echo "$package" >"$cache/kernel.new/package"
    rm -rf "$cache/unpacked" "$cache"/*.deb
    mv "$cache/kernel.new" "$cache/kernel"
fi
[ -f "$cache/kernel/vmlinuz" ] || skip "no kernel: linux-image-amd64 cannot be resolved (apt-get update?)"

# The guest: busybox, the program with its C library and loader, the modules,
# the flag probe, and tests/vm/init.
g=$work/guest
mkdir -p "$g/bin" "$g/modules" "$g/proc" "$g/sys" "$g/dev" "$g/run" "$g/tmp"
cp "$busybox" "$g/bin/busybox"
cp "$program" "$g/bin/ofwu"
built=$(date -r "$program" '+%Y-%m-%d %H:%M')
for lib in $(ldd "$program" | awk '/=> \// { print $3 } /^[[:space:]]*\// { print $1 }'); do
    mkdir -p "$g$(dirname "$lib")" && cp -L "$lib" "$g$lib"
done
nice gcc -static -O2 -Wall -Wextra -Werror -o "$g/bin/portflags" "$here/portflags.c" || exit 1
cp "$cache"/kernel/*.ko "$g/modules/"
cp "$here/init" "$g/init"
chmod +x "$g/init"
(cd "$g" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz") || exit 1

# The simulated devices, one per port: a name, its options. The device whose
# adapter is pulled mid-transfer takes real byte times (an 18 s transfer), so
# that the pull at block 200 lands long before the last block.
devices="scan|--line 200:=P
uart|--line 200:=P
cut|--line 200:=P --pace
watch|--on-restart silent"
echo "$devices" | while IFS='|' read -r name options; do
    # shellcheck disable=SC2086
    "$build/devsim" --link "$work/$name.pty" --image "$firmware" $options --expect update \
        --report "$work/$name.json" --idle-timeout 300000 --verbose >"$work/$name.out" 2>"$work/$name.log" &
    echo $! >"$work/$name.pid"
done
for name in scan uart cut watch; do
    n=0
    until [ -L "$work/$name.pty" ] || [ $n -ge 50 ]; do sleep 0.1; n=$((n + 1)); done
    [ -L "$work/$name.pty" ] || { echo "FAIL vm: devsim for $name did not start (see $work/$name.log)"; exit 1; }
done

mkfifo "$work/monitor.in" "$work/monitor.out"
usb() { echo "-chardev serial,id=f$1,path=$work/$2.pty -device usb-serial,chardev=f$1,id=ftdi$1,bus=xhci.0,port=$(($1 + 1))"; }
# TCG: KVM is not usable on every machine this runs on, and a boot takes
# seconds either way.
# shellcheck disable=SC2046
qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot -accel tcg -cpu max -smp "${OFWU_VM_SMP:-1}" -m 256 \
    -kernel "$cache/kernel/vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 loglevel=1 panic=-1" \
    -serial "file:$work/console.log" -monitor "pipe:$work/monitor" \
    -chardev "serial,id=u,path=$work/uart.pty" -device isa-serial,chardev=u,index=1 \
    -chardev null,id=n -device isa-serial,chardev=n,index=2 \
    -device qemu-xhci,id=xhci $(usb 0 scan) $(usb 1 cut) $(usb 2 watch) >"$work/qemu.log" 2>&1 &
qemu=$!
pids="$pids $qemu"
cat "$work/monitor.out" >"$work/monitor.log" &
monitor=$!
pids="$pids $monitor"

# When the monitor pulls or plugs an adapter: a name, the file and pattern
# that set it off, seconds to wait then, the monitor commands. The transfer
# is cut at block 200 of 858; the watch's adapter goes 3 s after the return
# command (the program listens 2 s for the version line first).
triggers="cut|cut.log|block 200:|0|device_del ftdi1
plug|console.log|@@ plug ftdi1|0|device_add usb-serial,chardev=f1,id=ftdi1,bus=xhci.0,port=2
watch|watch.log| return %|3|device_del ftdi2
pull|console.log|@@ pull ftdi0 ftdi1|0|device_del ftdi0;device_del ftdi1"
started=$(date +%s)
while kill -0 "$qemu" 2>/dev/null; do
    if [ $(($(date +%s) - started)) -ge $boot_limit ]; then
        echo "(the guest did not end within $boot_limit s: stopped)" >>"$work/console.log"
        kill "$qemu"
        break
    fi
    while IFS='|' read -r name file pattern delay commands; do
        [ -e "$work/fired.$name" ] && continue
        grep -q "$pattern" "$work/$file" 2>/dev/null || continue
        touch "$work/fired.$name"
        # A delay holds up no other trigger. The monitor reads its FIFO while
        # QEMU runs; a QEMU gone leaves no reader.
        (
            sleep "$delay"
            echo "$commands" | tr ';' '\n' | timeout 5 sh -c "cat >'$work/monitor.in'"
        ) &
        pids="$pids $!"
    done <<EOF
$triggers
EOF
    sleep 0.2
done
wait "$qemu" 2>/dev/null
kill "$monitor" 2>/dev/null
wait "$monitor" 2>/dev/null
pids=
# The devsims write their reports as they stop.
devsims=$(cat "$work"/*.pid)
# shellcheck disable=SC2086 # one word per process
kill $devsims 2>/dev/null
alive() { for pid in $devsims; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }
n=0
while alive && [ $n -lt 50 ]; do
    sleep 0.1
    n=$((n + 1))
done
rm -f "$work"/*.pid

# What the guest said: its lines for a key, a run's status, a run's output.
# (Bytes a program wrote to the console may stand before a line's "@@".)
said() { tr -d '\r' <"$work/console.log" | sed -n "s/^.*@@ $1//p"; }
status() { said "$1 status=" | head -n 1; }
output() { said "$1 | "; }
# A run's status must be $2; the reason otherwise.
expect_status() {
    s=$(status "$1")
    [ "$s" = "$2" ] && return 0
    echo "$1 run: exit status ${s:-none}, not $2 ($(output "$1" | grep -E 'Error|Result|in use' | head -n 2 | tr '\n' ' '))"
    return 1
}
# The device saw the whole image, every block verified.
device_updated() {
    grep -q '"verdict": "complete"' "$work/$1.json" 2>/dev/null && return 0
    echo "device on $1 not updated: $(grep -E '"verdict"|"mismatch"' "$work/$1.json" 2>/dev/null | tr -d ' \n')"
    return 1
}
# The settings, low-latency and exclusive flags before and after a run.
port_kept() {
    line=$(said "$1 ")
    before=${line#before=\[}
    before=${before%%\] after=*}
    after=${line#*after=\[}
    after=${after%\]}
    [ -n "$line" ] && [ "$before" = "$after" ] && return 0
    why=
    # shellcheck disable=SC2086
    set -- $after
    for was in $before; do
        now=${1:-none}
        [ $# -gt 0 ] && shift
        [ "$was" = "$now" ] && continue
        case $was in
            *=*) why="${why:+$why, }${was%%=*} ${was#*=} -> ${now#*=}" ;;
            *) why="${why:+$why, }termios $(echo "$was" | cut -d: -f1-4) -> $(echo "$now" | cut -d: -f1-4) (stty -g: iflag:oflag:cflag:lflag)" ;;
        esac
    done
    echo "port not left as found: ${why:-no settings read}"
    return 1
}

case_scan() {
    expect_status scan 0 && device_updated scan || return 1
    output scan | grep -q 'on /dev/ttyUSB0' || { echo "the scan did not come to ttyUSB0 first: $(output scan | grep Result)"; return 1; }
}
case_uart() { expect_status uart 0 && device_updated uart; }
case_unplug_transfer() {
    expect_status cut 6 || return 1
    output cut | grep -q 'Lost(' || { echo "no Lost(...) line after the adapter was pulled"; return 1; }
    expect_status resume 0 && device_updated cut
}
case_unplug_watch() {
    [ -e "$work/fired.watch" ] || { echo "the adapter was never pulled (no return command)"; return 1; }
    expect_status watch 7 || return 1
    ticks=$(said "watch cpu_ticks=")
    case $ticks in
        '' | *[!0-9]*) echo "no CPU time measured: the run was over before the adapter was pulled"; return 1 ;;
    esac
    [ "$ticks" -lt 100 ] && return 0
    echo "$((ticks * 10)) ms of CPU in the watch after the adapter was pulled (limit 1 s)"
    return 1
}
case_console() {
    # "^V$" is the version query: it must never reach the kernel console.
    ! grep -q '\^V\$' "$work/console.log" || { echo "the scan wrote to the kernel console ttyS0"; return 1; }
    expect_status console 0 || return 1
    output console | grep -q 'on /dev/ttyS1' || { echo "the scan did not find the device on ttyS1"; return 1; }
}
case_refused() {
    output refused | grep -q 'in use' || { echo "the held port was not refused: $(output refused | tail -n 1)"; return 1; }
    port_kept kept-refused
}

cases="scan-finds-usb-first|case_scan
uart-16550|case_uart
unplug-during-transfer|case_unplug_transfer
unplug-during-watch|case_unplug_watch
scan-skips-console|case_console
settings-kept-usb|port_kept kept-usb
settings-kept-uart|port_kept kept-uart
settings-kept-refused|case_refused"
echo "Program: $program (built $built)"
passed=0
failed=0
if ! grep -q '@@ done' "$work/console.log" 2>/dev/null; then
    echo "FAIL vm-guest: the guest did not finish (see $work/console.log, $work/qemu.log)"
    failed=1
fi
results=$(echo "$cases" | while IFS='|' read -r name check; do
    if why=$($check); then echo "PASS $name"; else echo "FAIL $name: $why"; fi
done)
echo "$results"
passed=$(echo "$results" | grep -c '^PASS')
failed=$((failed + $(echo "$results" | grep -c '^FAIL')))
echo "$passed passed, $failed failed"
if [ "$failed" -eq 0 ]; then
    [ -z "${OFWU_VM_WORK:-}" ] && rm -rf "$work"
    exit 0
fi
echo "(logs in $work)"
exit 1
