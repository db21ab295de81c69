// The one clock behind every time limit of the program: milliseconds of
// real elapsed time, modulo 2^32. console_posix.cpp and console_win32.cpp
// read the system's clock; the arithmetic is clock.cpp's.
#ifndef OFWU_PLATFORM_CLOCK_H
#define OFWU_PLATFORM_CLOCK_H

#include <cstdint>

// Current tick count in milliseconds of real elapsed time, modulo 2^32.
uint32_t timer_start();
// Microseconds of the same clock, for the wire trace's time stamps only;
// no time limit is taken from it.
uint64_t timer_now_us();
// 1 when more than `limit` ticks have passed since `start`, else 0.
int32_t timer_expired(uint32_t start, uint32_t limit);
// The arithmetic of timer_expired for a given `now`: the unsigned 32-bit
// difference, strictly greater than the limit.
int32_t ticks_exceed(uint32_t now, uint32_t start, uint32_t limit);

#endif
