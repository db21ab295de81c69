#!/bin/bash
# The program beside the serial tools people already run on Linux (picocom,
# minicom, cu), each in a real terminal (tmux), on a simulated device behind
# a pseudo-terminal, with the machine's own lock folder (the one the tools
# were built with). Each row: who holds the port, by which name, and what
# the other side must say.
#
#   tests/interop/run.sh OFWU DEVSIM
#
# Prints one line per row and "N passed, N failed"; exit status 0 when all
# passed, 77 when a tool or tmux is missing (1 under CI=true: a missing tool
# is a failure there, never a pass).
set -u
ofwu=$1
devsim=$2
lock_dir=/run/lock

missing=
for tool in tmux picocom minicom cu stty; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
[ -d "$lock_dir" ] || missing="$missing $lock_dir"
if [ -n "$missing" ]; then
    echo "missing:$missing"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ofwu-interop.XXXXXX") || exit 1
socket="$work/tmux"
device_pid=
cleanup() {
    tmux -S "$socket" kill-server 2>/dev/null
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null
    wait 2>/dev/null
    # The tools' and the program's locks for this run's names only.
    rm -f "$lock_dir/LCK..COM3" "$lock_dir/LCK.."*"$(basename "$work")"* 2>/dev/null
    [ -n "${pts:-}" ] && rm -f "$lock_dir/LCK..$(basename "$pts")" "$lock_dir/LCK..pts_$(basename "$pts")"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }

# devsim at 2.58 behind $work/COM3, a link to its pseudo-terminal.
link="$work/COM3"
"$devsim" --link "$link" --idle-timeout 120000 >"$work/devsim.log" 2>&1 &
device_pid=$!
for _ in $(seq 50); do [ -L "$link" ] && break; sleep 0.1; done
pts=$(readlink -f "$link")
[ -c "$pts" ] || { echo "devsim did not start"; cat "$work/devsim.log"; exit 1; }
# cu gives its privileges up to the uucp user before it opens the line.
chmod 666 "$pts"

tmux -S "$socket" new-session -d -x 200 -y 50 /bin/sh || { echo "tmux did not start"; exit 1; }
screen() { tmux -S "$socket" capture-pane -p -J -S - -t 0; }
clear_screen() { tmux -S "$socket" send-keys -t 0 "clear" Enter; tmux -S "$socket" clear-history -t 0; sleep 0.3; }
# Waits up to $2 tenths of a second for text $1 on the screen.
shows() {
    for _ in $(seq "$2"); do screen | grep -qF -- "$1" && return 0; sleep 0.1; done
    return 1
}
# Ends whichever tool runs in the terminal, each by its own keys.
end_tool() {
    tmux -S "$socket" send-keys -t 0 C-a C-x        # picocom
    sleep 0.3
    tmux -S "$socket" send-keys -t 0 C-a x Enter    # minicom, and its question
    sleep 0.3
    tmux -S "$socket" send-keys -t 0 Enter "~."     # cu
    sleep 0.5
    tmux -S "$socket" send-keys -t 0 C-c
    sleep 0.3
}
# The program's output for the port named $1, answering nothing.
ofwu_run() { OFWU_COM_DIR= OFWU_LOCK_DIR= timeout 30 "$ofwu" "$1" </dev/null 2>&1; }

# Rows: the tool, how it is started, and the name it holds the port by.
while IFS='|' read -r name command by; do
    [ -z "$name" ] && continue
    clear_screen
    tmux -S "$socket" send-keys -t 0 "$command" Enter
    # Each tool says in its own words that the line is open.
    if ! shows "$(case $name in picocom) echo "Terminal ready" ;; minicom) echo "Welcome to minicom" ;; *) echo "Connected" ;; esac)" 50; then
        fail "$name holds $by" "the tool did not open the line: $(screen | tail -n 3)"
        end_tool
        continue
    fi
    out=$(ofwu_run "$link")
    if echo "$out" | grep -qF "$link is in use by $name (process "; then
        pass "$name holding the port by $by: the program refuses and names it"
    else
        fail "$name holding the port by $by" "$(echo "$out" | grep -A1 "Could not open\|COM3\|$link" | head -n 3)"
    fi
    end_tool
done <<EOF
picocom|picocom -b 19200 $link|the link
minicom|minicom -D $link -b 19200|the link
cu|cu -l $pts -s 19200|the device
minicom|minicom -D $pts -b 19200|the device
EOF

# The program holding the port (waiting at its question): each tool refuses.
clear_screen
before=$(stty -F "$pts" -g)
tmux -S "$socket" send-keys -t 0 "OFWU_COM_DIR= OFWU_LOCK_DIR= $ofwu $link" Enter
if shows "(Y,N) " 150; then
    while IFS='|' read -r name command says; do
        [ -z "$name" ] && continue
        # A window of its own for each tool, so that no earlier tool's words
        # are read for this one's.
        tmux -S "$socket" new-window -d -n "$name" /bin/sh
        tmux -S "$socket" send-keys -t "$name" "$command; echo DONE-$name" Enter
        for _ in $(seq 80); do
            tmux -S "$socket" capture-pane -p -J -t "$name" | grep -q "^DONE-$name" && break
            sleep 0.1
        done
        tmux -S "$socket" send-keys -t "$name" C-a C-x C-c
        if tmux -S "$socket" capture-pane -p -J -t "$name" | grep -qi -- "$says"; then
            pass "the program holding the port: $name refuses"
        else
            fail "the program holding the port: $name" "$(tmux -S "$socket" capture-pane -p -J -t "$name" | grep -v '^$' | head -n 3)"
        fi
        tmux -S "$socket" kill-window -t "$name"
    done <<EOF
picocom|timeout 5 picocom -b 19200 $link|cannot lock
minicom|timeout 5 minicom -D $link -b 19200|locked
cu|timeout 5 cu -l $link -s 19200|in use
EOF
    tmux -S "$socket" send-keys -t 0 n
    sleep 0.5
    tmux -S "$socket" send-keys -t 0 C-c
    sleep 1
else
    fail "the program holding the port" "no question: $(screen | tail -n 3)"
fi
if [ "$(stty -F "$pts" -g)" = "$before" ]; then
    pass "the port is left as found (stty -g)"
else
    fail "the port is left as found" "$before became $(stty -F "$pts" -g)"
fi

# A stale lock (a minicom killed without a chance to clean up) is taken over.
clear_screen
tmux -S "$socket" send-keys -t 0 "minicom -D $link -b 19200" Enter
if shows "Welcome to minicom" 50; then
    pkill -KILL -x minicom
    sleep 0.5
    stale=$(ls "$lock_dir" | grep -c "^LCK..")
    out=$(ofwu_run "$link")
    if [ "$stale" -gt 0 ] && echo "$out" | grep -qF "compatible with this firmwware was found"; then
        pass "a stale lock is taken over"
    else
        fail "a stale lock" "$stale lock files; $(echo "$out" | grep -A1 "$link" | head -n 2)"
    fi
else
    fail "a stale lock" "minicom did not start"
fi
tmux -S "$socket" send-keys -t 0 C-c reset Enter

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
