// The world of a virtual-time run: one clock, and devsim's device model at the
// far end of each port, all inside the process that runs the program.
// virtual_platform.cpp implements the program's port, key, sleep and clock
// calls on it, in place of the system's; virtual_run.cpp forks a child per
// run, sets the world up there and runs program_main in it.
//
// A wait jumps the clock to the next thing that can end it: a byte reaching
// either end of a line, a device's own timer, a key typed, or the wait's own
// end. Nothing here reads the real clock, so a run's texts, bytes and times
// are the same on every machine, however busy.
#ifndef OFWU_TESTS_VIRTUAL_WORLD_H
#define OFWU_TESTS_VIRTUAL_WORLD_H

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_harness.h"

// Sets the world up at time 0 for `plan`: a device for each of its devices,
// its key steps, and its time limit. `results` is the folder the child
// leaves its results in. False with a reason when a device cannot start.
bool world_start(const RunPlan& plan, const std::string& results, std::string* error);
// Writes the results (standard output with the time of each write, each
// device's report, the time) to the results folder: at the program's exit,
// or when the run passes its time limit (`timed_out`).
void world_finish(bool timed_out);
// Standard output written by the program, at the present virtual time.
void world_output(const char* text, size_t size);

// The results a child leaves, read back by the runner.
extern const char WORLD_OUTPUT_FILE[];      // standard output as written
extern const char WORLD_TIMES_FILE[];       // "T_US OFFSET" for each write
extern const char WORLD_META_FILE[];        // "END_US KEYS_SENT TIMED_OUT"
// Per device N (from 0): its report, its unmet expectations, its exit status.
std::string world_device_file(size_t index, const char* what);

// The exit status of a child whose run passed its time limit.
constexpr int WORLD_TIMED_OUT_STATUS = 124;

#endif
