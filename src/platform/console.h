// Key input, sleep and console output: the second platform seam.
// console_win32.cpp and console_posix.cpp implement the key and sleep calls;
// console_output.cpp is shared.
#ifndef OFWU_PLATFORM_CONSOLE_H
#define OFWU_PLATFORM_CONSOLE_H

#include <cstdint>

#include "state/serial_port_record.h"

// What key_read returns when no key can ever come: standard input has ended,
// or there is no console that could deliver one.
constexpr int32_t KEY_END_OF_INPUT = -1;

// Called first in main(), before anything is opened. POSIX: a standard
// stream the program was started without gets /dev/null, so that no port
// can become it, and the signals that end the program clean up. Windows:
// nothing to do.
void console_start();
// The run reads keys. POSIX: a terminal on standard input is set to single
// keys without echo, and left as it was found on every way out. A run that
// reads no key never calls it: its standard input and terminal are never
// read, flushed or configured (the shell's loop that feeds it port names,
// the command typed ahead at a terminal stay whole). Windows: nothing to do.
void keys_start();

// Non-zero when key_read would return at once (a key, or the end of input).
int32_t key_waiting();
// One key code without echo, 0 to 255; a two-code key delivers 0 (or 0xE0 on
// Windows) and then its second code. On a POSIX terminal an arrow or
// function key's escape sequence comes as one code, 0x1B. KEY_END_OF_INPUT
// at end of input.
int32_t key_read();
// One whole key, and its first code: Windows reads the second code after a
// 0 as it always has; POSIX takes a second code only when one is already
// waiting (Ctrl-Space is a whole key of code 0), and a UTF-8 character whole.
int32_t key_take();
// Drops the keys typed before now, where they come from a terminal (a
// console on Windows), so that a question is answered only by a key pressed
// after it was shown. Piped or redirected input is left as it is.
void keys_discard();
// Sleeps at least `ms` milliseconds.
void sleep_ms(uint32_t ms);
// The main loop's wait between passes. POSIX: until a byte is waiting on the
// port, a key comes, or `longest_ms` have passed, whichever is first, so an
// idle program does not wake a thousand times a second. Windows: a sleep of
// 1 ms, as the loop has always made. A port that hung up is marked so and
// never waited on again.
void idle_wait(SerialPort* port, uint32_t longest_ms);

// Prints to standard output and flushes at once, so prompts and "\r" progress
// lines show on a pipe as on a console.
void print_message(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Prints `text` as it stands (never as a format) and flushes.
void print_text(const char* text);

// What a signal that ends the program adds on its way out, after the
// terminal and the port are put back (POSIX: SIGINT, SIGTERM, SIGHUP,
// SIGQUIT): `note` runs inside the signal handler, so it may only call
// async-signal-safe functions, print_now among them. Windows: not called.
void console_on_ending_signal(void (*note)(int32_t signal_number));
// Writes `text` to standard output at once, without stdio: safe in a
// signal handler. A failed write is not reported.
void print_now(const char* text);

#endif
