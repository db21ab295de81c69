// Program control: the entry with its port scan, the main loop, and the exit
// path through which every run of the program ends.
#ifndef OFWU_CONTROL_PROGRAM_H
#define OFWU_CONTROL_PROGRAM_H

#include <cstdint>

constexpr int32_t EXIT_STATUS = 1;        // every run ends with this status, a successful update too
constexpr uint32_t PORT_NUMBER_MAX = 99;  // highest COM number the argument may name

// The program: banner, argument, port scan, then the main loop. Never returns.
[[noreturn]] void program_main(int argc, char** argv);

// Closes the port, waits for a key so the console stays readable, and ends
// the process with `status`. At the end of key input it does not wait.
[[noreturn]] void exit_path(int32_t status);

// Identifies, asks and updates on every pass; after a successful update it
// watches the device's messages until it is ready or silent. Never returns.
[[noreturn]] void run_main_loop();

#endif
