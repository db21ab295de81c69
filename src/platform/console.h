// Key input, sleep and console output: the second platform seam.
// console_win32.cpp and console_posix.cpp implement the key and sleep calls;
// console_output.cpp is shared.
#ifndef OFWU_PLATFORM_CONSOLE_H
#define OFWU_PLATFORM_CONSOLE_H

#include <cstdint>

// What key_read returns when no key can ever come: standard input has ended,
// or there is no console that could deliver one.
constexpr int32_t KEY_END_OF_INPUT = -1;

// Non-zero when key_read would return at once (a key, or the end of input).
int32_t key_waiting();
// One key code without echo, 0 to 255; a two-code key delivers 0 (or 0xE0 on
// Windows) and then its second code. KEY_END_OF_INPUT at end of input.
int32_t key_read();
// Sleeps at least `ms` milliseconds.
void sleep_ms(uint32_t ms);

// Prints to standard output and flushes at once, so prompts and "\r" progress
// lines show on a pipe as on a console.
void print_message(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Prints `text` as it stands (never as a format) and flushes.
void print_text(const char* text);

#endif
