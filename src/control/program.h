// Program control: the command line, the entry with its port scan, the main
// loop, and the ways a run ends.
#ifndef OFWU_CONTROL_PROGRAM_H
#define OFWU_CONTROL_PROGRAM_H

#include <cstdint>

constexpr int32_t EXIT_STATUS = 1;        // every run without --batch ends with this status, a successful update too
constexpr uint32_t PORT_NUMBER_MAX = 99;  // highest COM number the argument may name

// How an unattended run (--batch) ends: its exit status.
enum RunOutcome : int32_t {
    OUTCOME_UPDATED = 0,       // the device runs the update's version: updated and announced it, or already did
    OUTCOME_USAGE = 2,         // the command line cannot be used
    OUTCOME_NO_DEVICE = 3,     // nothing answered on the port or ports scanned
    OUTCOME_NO_IMAGE = 4,      // a device answered, but no image fits it
    OUTCOME_OLDER = 5,         // the image is older and --allow-older was not given
    OUTCOME_FAILED = 6,        // the update failed; the device stays recoverable
    OUTCOME_NOT_VERIFIED = 7,  // the restarted device did not announce the update's version
    OUTCOME_BAD_IMAGE = 8,     // the image file is missing, unreadable or invalid
    OUTCOME_IN_USE = 9,        // the one port named is in use by another program
    OUTCOME_NOT_SIGNED = 10,   // the image file is not signed by the maker
};

// The program: command line, banner, the port scan, then the main loop.
// Never returns.
[[noreturn]] void program_main(int argc, char** argv);

// Closes the port, waits for a key so the console stays readable, and ends
// the process with `status`. At the end of key input it does not wait.
[[noreturn]] void exit_path(int32_t status);

// Every end of a run: with --batch the port closed, one closing line that
// sums the run up, and `outcome` as the exit status, without waiting;
// without it the exit path with EXIT_STATUS, as always.
[[noreturn]] void program_end(RunOutcome outcome);

// An unattended run ended by SIGINT, SIGTERM or SIGHUP still writes its
// closing line ("interrupted by signal 15"): set up once at start, and the
// line's head brought up to date whenever the device is identified anew.
void batch_closing_on_signal();
// What the closing line and the report name: the device as it was last
// identified, before any transfer, whatever it says afterwards.
void batch_note_device();

// --report FILE: opens FILE for appending at start (false when it cannot
// be: the run is refused before any port is opened), and appends the run's
// one JSON line as it ends, with or without --batch. `image_path` is the
// --image file, nullptr for the built-in images; what vouches for it is
// image_trust of the program-wide state.
bool run_report_open(const char* path, const char* image_path);
void run_report_write(RunOutcome outcome, int32_t exit_status);

// Identifies, asks and updates on every pass; after a successful update it
// watches the device's messages until it is ready or silent. Never returns.
[[noreturn]] void run_main_loop();

#endif
