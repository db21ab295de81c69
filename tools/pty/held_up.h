// How long a loaded machine kept a process from running while it was ready
// to run: the kernel's run-queue wait (the second field of
// /proc/PID/schedstat, in nanoseconds), looked at again and again. The
// longest growth between two looks is the longest hold-up a simulated
// device or the program under test met, which tells a test whose timing
// failed whether the machine, not the program, is to blame.
#ifndef OFWU_TOOLS_HELD_UP_H
#define OFWU_TOOLS_HELD_UP_H

#include <sys/types.h>

#include <cstdint>

struct HeldUpWatch {
    int fd = -1;              // -1: the system keeps no such count; every look finds 0
    uint64_t last_ns = 0;
    uint64_t longest_ns = 0;
};

// Starts watching process `pid` (0: this one).
void held_up_watch_open(HeldUpWatch* watch, pid_t pid);
// Looks again; a process that has ended leaves the longest as it was.
void held_up_watch_look(HeldUpWatch* watch);
double held_up_watch_longest_ms(const HeldUpWatch& watch);
void held_up_watch_close(HeldUpWatch* watch);

// The line canary: a byte sent through a pseudo-terminal of its own every
// 20 ms by a thread of this process, timed until it comes out at the other
// end. A loaded machine can hold the kernel's delivery of a pty's bytes up
// for seconds while no process waits to run (the canary has seen 4 s), which
// the run-queue wait above does not show; the canary does.
// Starts it (once per process; later calls do nothing).
void line_canary_start();
// Milliseconds on the clock the canary keeps (steady, since an arbitrary start).
double line_canary_now_ms();
// The longest a canary byte was on its way, of those on their way at some
// time in [from_ms, to_ms]; 0 when the canary has not started.
double line_canary_longest_ms(double from_ms, double to_ms);

#endif
