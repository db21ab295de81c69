// What the simulated device is told to be and to do: its identity, its
// faults and its script. Filled from the command line and from scenario files.
#ifndef OFWU_DEVSIM_SCENARIO_H
#define OFWU_DEVSIM_SCENARIO_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "identity.h"

// How the device answers at one step. For a command packet: the answer
// instead of ACK (and "@" to the status request that follows). For the entry
// string and the restart: silent leaves the step out (the application stays,
// or announces no version line); noise sends noise bytes first.
enum class FaultKind {
    none,     // ACK, and "@" to the status request
    nak,      // NAK although the checksum matched
    silent,   // no answer at all
    status,   // ACK, then the given status byte ("D" or any other)
    noise,    // noise bytes (neither ACK nor NAK, never "^" or "$") instead of the answer
    no_reply, // a status request: ACK, then no status reply
};

struct Fault {
    FaultKind kind = FaultKind::none;
    uint8_t status = '@';
};

// One unsolicited application line, sent `delay_ms` after the line before it
// (or after the script began), framed by "^" and "$".
struct ScriptLine {
    uint32_t delay_ms;
    std::string text;
};

struct Scenario {
    std::string link;                     // symlink that publishes the pty's slave
    std::string report_path;
    std::string image_path;
    Identity identity;
    bool start_in_bootloader = false;
    bool app_silent = false;              // the application ignores "^V$"
    int32_t boot_silent_probes = 0;       // probes ignored before the first answer; -1: all
    std::vector<std::string> before_reply;  // lines (without "^") sent before each reply
    uint32_t noise_bytes = 0;             // noise before each reply
    int32_t probe_data_length = -1;       // data bytes of the probe reply; -1: the record's own
    bool probe_bad_checksum = false;
    Fault on_probe;                       // nak, silent or noise
    Fault on_start;
    std::map<uint32_t, Fault> on_block;   // by block number, 1 for the first
    std::map<uint32_t, Fault> on_status;  // by status request number, 1 for the first
    Fault on_entry;                       // silent or noise, when the entry string comes
    Fault on_restart;                     // silent or noise, when the application restarts
    bool faults_once = false;             // each fault is played once, then the step goes right
    // "zeros": the bootloader answers a probe with idle fill and nothing else;
    // "carets", "empty-lines": the application answers "^V$" with "^" or "^$"
    // for ever. Empty: no babble.
    std::string babble;
    std::string unplug_at;                // a step name, see scenario_step_valid
    std::vector<ScriptLine> start_script;     // played from the device's start
    std::vector<ScriptLine> restart_script;   // played after each restart
    uint32_t bootl_delay_ms = 100;        // from "^BOOTL$" to the bootloader
    uint32_t restart_delay_ms = 100;      // from "%" to the version line
    // What the application announces after a restart that followed a whole
    // update: empty, the update's own version, as a device does.
    std::string restart_version;
    uint32_t idle_timeout_ms = 60000;     // end when nothing came for this long
    bool pace = false;                    // each byte takes 10 bit-times on the line
    std::string replay_path;              // a wire trace whose device side is played (replay.h)
    std::string replay_port;              // its port; empty: the port of its first write
    bool verbose = false;                 // every event on standard error too
    bool record_wire = false;             // the report keeps every byte both ways
    std::vector<std::string> expectations;
};

// Applies the command line (options and scenario files). False, with a
// message in `error`, for anything it does not understand.
bool scenario_parse_args(int argc, char** argv, Scenario* scenario, std::string* error);
// Applies one scenario file: one option a line, "name value" or "name",
// without the leading "--"; "#" starts a comment.
bool scenario_load_file(const std::string& path, Scenario* scenario, std::string* error);
// The option summary printed on a usage error.
const char* scenario_usage();

// Unplug steps: query[:N], bootl, probe[:N], start, block:K, status[:N],
// return, line:N (after the Nth script line), time:MS.
bool scenario_step_valid(const std::string& step);

// Text with \xHH, \r, \n and \\ escapes turned into bytes.
std::string scenario_unescape(const std::string& text);

#endif
