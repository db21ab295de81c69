// End-to-end runs of the program against simulated devices (Linux only).
//
// Two runners implement e2e_run, one for each test program: over real
// pseudo-terminals (e2e_harness.cpp, for e2e_tests) and on the virtual clock
// (tools/virtual, for virtual_tests). The real runner starts one devsim per requested COM number in a fresh temporary
// folder, runs the program with its arguments, types keys when the output
// shows what they answer, and collects the output, the exit status and every
// device's report. It always stops what it started and removes what it made,
// within a hard time limit.
//
// Natively the program finds COMn at $OFWU_COM_DIR/COMn. Under Wine
// (RunPlan::wine) COMn is the link dosdevices/comn of the test prefix, or,
// in a prefix that declares its ports (tests/wine/prepare_prefix.sh), the
// link ofwu-com/COMn it leads to; the program runs in a detached tmux
// session with its output in a file.
#ifndef OFWU_TESTS_E2E_HARNESS_H
#define OFWU_TESTS_E2E_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// One simulated device: the COM number it stands on and devsim's options
// other than --link and --report (see tools/devsim/README.md). With `link`
// set it stands there instead (a path under a fake /dev, say).
struct DevicePlan {
    DevicePlan(uint32_t com_number = 1, std::vector<std::string> options = {}, std::string at = "")
        : com(com_number), args(std::move(options)), link(std::move(at)) {}
    uint32_t com;
    std::vector<std::string> args;
    std::string link;
};

// Keys typed once `after` has appeared in the output (and `delay_ms` more
// have passed), searched from where the previous step's text was found: the
// program takes one key per loop pass, so each answer waits for its question.
struct KeyStep {
    std::string after;
    std::string keys;
    uint32_t delay_ms = 0;
};

struct RunPlan {
    std::vector<std::string> args;          // the program's command line
    std::vector<DevicePlan> devices;
    std::vector<KeyStep> keys;
    uint32_t timeout_ms = 30000;            // hard limit for the whole run
    bool wine = false;                      // build-windows/ofwu.exe under Wine
    // Natively: the program's environment beyond OFWU_COM_DIR (the run's COM
    // folder) and OFWU_LOCK_DIR (a lock folder of the run's); an empty value
    // removes a name.
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> launcher;      // natively: runs the program (setpriv, say)
    bool as_nobody = false;                 // natively: the program runs as the user nobody (65534)
    // Under Wine: `wine reg` commands (each its arguments) run in the prefix
    // before the program and after it. Before them the run empties the
    // list of COM ports the system keeps (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
    // where Wine lists every port the test prefix declares, COM1 to COM99):
    // the program sees a machine that lists only what the plan adds.
    std::vector<std::vector<std::string>> wine_reg_before;
    std::vector<std::vector<std::string>> wine_reg_after;
};

struct DeviceOutcome {
    uint32_t com = 0;
    int exit_status = -1;                   // devsim's: 0 when its expectations were met
    std::string report_text;                // its JSON report, as written
    std::shared_ptr<const nlohmann::json> report;  // the same, parsed (null when none came)
    std::string log;                        // what it wrote on standard error
    bool link_left = false;                 // its COM link still existed after it stopped
};

// One write of the program's standard output: when it came (the virtual
// runner's; the real one leaves none) and where it starts in the output.
struct OutputWrite {
    double t_ms;
    size_t offset;
};

struct RunResult {
    std::string output;                     // standard output; "\r\n" made "\n" under Wine
    int exit_status = -1;                   // the program's; -1 when it was killed
    bool timed_out = false;
    size_t keys_sent = 0;                   // key steps whose text appeared
    double elapsed_ms = 0;
    double end_unix_ms = 0;                 // wall clock when the program was seen to end
    std::vector<OutputWrite> writes;        // virtual runs: each write of the output, in order
    std::vector<DeviceOutcome> devices;     // in the order of RunPlan::devices
    std::string error;                      // the harness could not do its part
};

RunResult e2e_run(const RunPlan& plan);

// Paths of the programs the runs use. The native ones are those of this
// build; the Windows program is build-windows/ofwu.exe beside the sources,
// or $OFWU_WINDOWS_EXE.
std::string e2e_program_path();
std::string e2e_devsim_path();
std::string e2e_windows_program_path();
// What a run lacks, named ("/usr/bin/tmux is not installed"); empty when
// nothing is: the program at `path`, or what Wine runs need (the Windows
// program, wine and tmux).
std::string e2e_missing_program(const char* path);
std::string e2e_wine_missing();

// The pieces e2e_run is made of, for tests that drive a port themselves.

// A temporary folder removed with everything in it when this goes away.
struct TempFolder {
    std::string path;
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

struct DevsimProcess {
    pid_t pid = -1;
    uint32_t com = 0;
    std::string link;
    std::string report_path;
    std::string log_path;
};

// Starts devsim with its link at `link` and waits until devsim says that it
// stands there (false, with devsim's own words, when it cannot: a bad
// option, or another device on that COM number).
bool devsim_start(const std::string& link, const std::string& folder, uint32_t com,
                  const std::vector<std::string>& args, DevsimProcess* process, std::string* error);
// Asks devsim to stop (SIGTERM; SIGKILL after 3 s) and collects what it left.
DeviceOutcome devsim_stop(DevsimProcess* process);
// Waits up to `limit_ms` for devsim to end by itself; then collects as devsim_stop.
DeviceOutcome devsim_wait(DevsimProcess* process, uint32_t limit_ms);

// ---- devsim's report ----
// The report leaves out what never happened (a counter that never moved):
// such a value reads as 0, "" or false.

// The value at a JSON pointer ("/image/verdict").
double report_number(const DeviceOutcome& d, const std::string& pointer);
std::string report_text(const DeviceOutcome& d, const std::string& pointer);
bool report_flag(const DeviceOutcome& d, const std::string& pointer);
// A counter.
double count_of(const DeviceOutcome& d, const std::string& name);
// The protocol errors devsim found, in order.
std::vector<std::string> protocol_errors(const DeviceOutcome& d);
// The events of the report, in order: "/events/N/" then t_ms, line_baud,
// device_baud, kind, detail or repeat reads a field of one.
size_t event_count(const DeviceOutcome& d);
double event_line_baud(const DeviceOutcome& d, size_t index);
double event_repeat(const DeviceOutcome& d, size_t index);
// The device's events, one a line, to show beside a failure.
std::string event_list(const DeviceOutcome& d);
// Index of the first event of `kind` at or after `from` whose detail starts
// with `detail`; the number of events when there is none.
size_t find_event(const DeviceOutcome& d, const std::string& kind, size_t from = 0, const std::string& detail = "");
// The details of every "line rate" event: each rate the program set, in order
// (the first is the pty's own before any program opened it).
std::vector<std::string> line_rates(const DeviceOutcome& d);
// Number of events of `kind` in [from, to), repeats counted.
double events_between(const DeviceOutcome& d, const std::string& kind, size_t from, size_t to);
// Index of the first event at or after `from` that came while the program's
// line ran at `baud`; the number of events when there is none. devsim notes a
// rate change when it next looks, so the rate each event carries says more
// than where the "line rate" event stands.
size_t find_at_rate(const DeviceOutcome& d, double baud, size_t from = 0);
// True when every event in [from, to) came while the line ran at `baud`.
bool all_at_rate(const DeviceOutcome& d, double baud, size_t from, size_t to);
// Milliseconds on the wall clock at an event (start_unix_ms + t_ms).
double event_unix_ms(const DeviceOutcome& d, size_t index);
// The time of the write in which `text` first appears in the output; -1
// when it does not, or the run kept no times.
double output_time_ms(const RunResult& run, const std::string& text);

#endif
