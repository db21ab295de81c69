// Shared pieces of the program's end-to-end suites: the texts the program
// prints, a case table that runs natively and under Wine alike, and readers
// for devsim's report.
#ifndef OFWU_TESTS_E2E_PROGRAM_E2E_H
#define OFWU_TESTS_E2E_PROGRAM_E2E_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_harness.h"

// One end-to-end case: the same plan and the same checks on both platforms.
// `plan` is told whether it runs under Wine, for the few keys that only one
// platform can type.
struct ProgramCase {
    std::string name;
    std::function<RunPlan(bool wine)> plan;
    std::function<void(const RunResult& run, bool wine)> check;
};

// gtest shows a case by its name.
inline void PrintTo(const ProgramCase& c, std::ostream* os) {
    *os << c.name;
}

// Runs one case: natively, or under Wine (skipped when Wine runs cannot be made).
void run_program_case(const ProgramCase& c, bool wine);
// gtest's name for a case of a table.
std::string program_case_name(const testing::TestParamInfo<ProgramCase>& info);

// ---- What the program prints ----

// The banner with the maker's notice, after the opening newline.
std::string text_head();
// The exit path's prompt and the newline after the key.
std::string text_exit();
// The exit path's prompt alone: the program still waits for its key.
extern const char KEY_PROMPT[];
// "\nCOM%u: " followed by the scan's verdict on that port.
std::string text_port(uint32_t com, const std::string& verdict);
extern const char PORT_NOT_OPENED[];
extern const char PORT_MISMATCH[];
extern const char PORT_FOUND[];
// After a scan that found nothing.
extern const char NOTHING_FOUND[];
// The closing advice of every incompatibility report.
std::string text_advice();
// The verdict "newer" for an SND44 device at `current` against the 2.59 images,
// with both version lines and the question.
std::string text_newer(const std::string& current);
extern const char NEWER_QUESTION[];
// "\n" and the firmware transfer's progress line, rewritten before each of
// the first `accepted` + 1 blocks of a `blocks`-block image; with `accepted`
// equal to `blocks` the closing 100% line as well.
std::string text_progress(uint32_t blocks, uint32_t accepted);
constexpr uint32_t IMAGE_BLOCKS = 858;  // records in each built-in image

// ---- Devices ----

std::string firmware_path(const char* file);
// devsim's options for an SND44 of hardware revision `revision` whose
// received image is checked against the matching built-in image.
std::vector<std::string> snd44(uint32_t revision);
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

// ---- devsim's report ----

// A counter; 0 when it never moved (devsim leaves such counters out).
double count_of(const DeviceOutcome& d, const char* name);
// The events of the report, in order.
const std::vector<JsonValue>& events_of(const DeviceOutcome& d);
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

// ---- Checks ----

// The run happened and ended by itself with exit status 1.
void expect_ended(const RunResult& run);
// Exact standard output; on a difference, shows where it starts.
void expect_transcript(const std::string& actual, const std::string& expected);
// The device saw no port opened: only the pty's own rate, no byte.
void expect_untouched(const DeviceOutcome& d);
// devsim's verdict on the image: every block arrived intact and the device
// was told to return to its application.
void expect_image_complete(const DeviceOutcome& d, double start_packets);

#endif
