// The fault matrix: every step of an update (the entry string, the probe,
// the start packet, the first, a middle and the last block with their status
// exchanges, the return command, the restarted application's version line,
// the watch) meets each fault that can happen there. The table of rows is in
// program_fault_rows.cpp; program_fault_test.cpp runs them and checks each.
#ifndef OFWU_TESTS_E2E_PROGRAM_FAULT_H
#define OFWU_TESTS_E2E_PROGRAM_FAULT_H

#include <ostream>
#include <string>
#include <vector>

#include "program_e2e.h"

// Each step of an update meets each fault that can happen there: the device
// refuses (NAK), stays silent, answers with a wrong status, answers with
// noise, or is unplugged. A fault the program cannot get over within one
// attempt ends that attempt with its message, and the device is played so
// that the next attempt goes right: that attempt must complete with devsim
// holding the whole image. An unplugged device ends the run; the device
// plugged in again (in its bootloader when its flash was being written) is
// then updated by a new run. Steps without packets (the entry string, the
// restarted application's version line, the watch) cannot refuse or give a
// wrong status, and the probe has no status exchange.

enum class Outcome {
    retried,   // the attempt fails with its message; the next pass asks again and completes
    absorbed,  // the program gets over the fault within the attempt
    gone,      // unplugged: the message, then no device on the next pass; a new run completes
    watched,   // the transfer completed; the watch that follows runs its 30 s
};

// An unanswered step: the program gives it up after one port wait of 4 s.
struct Gap {
    std::string from_kind, from_detail, to_kind;
    double min_ms = 0, max_ms = 0;
};

struct FaultRow {
    std::string name;
    std::vector<std::string> fault;      // devsim's options for the fault
    Outcome outcome = Outcome::absorbed;
    uint32_t failed_block = 0;           // the block the attempt stopped at; 0: before the blocks
    std::string message;                 // the transfer's message
    std::vector<std::string> script = {"--line", "100:=P"};
    std::string after_progress;          // the device's messages shown after the progress line
    double start_packets = 1;            // in the run that completes the update
    std::vector<std::string> rates;      // every rate the program set, in order
    bool replug_in_bootloader = false;   // gone: where the device comes back
    bool returned = true;                // false: gone before the return command reached it
    Gap gap;                             // checked when from_kind is set
    double max_ms = 40000;               // the whole run
    double min_ms = 0;
};

inline void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.name;
}

std::vector<FaultRow> fault_rows();
// The run of a row: the program told to use COM3, a device with the row's fault.
RunPlan fault_plan(const FaultRow& row);
// The device plugged in again after an unplug, and a new run.
RunPlan replug_plan(const FaultRow& row);

#endif
