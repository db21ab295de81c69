// Shared pieces of the program's end-to-end suites: the texts the program
// prints, a case table that runs natively and under Wine alike, and checks
// over a run and devsim's report.
#ifndef OFWU_TESTS_E2E_PROGRAM_E2E_H
#define OFWU_TESTS_E2E_PROGRAM_E2E_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
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

// The rows of `rows` whose names are in `names`, in the table's order: the
// few a platform runs again.
template <typename Row>
std::vector<Row> rows_named(const std::vector<Row>& rows, const std::set<std::string>& names) {
    std::vector<Row> chosen;
    for (const Row& row : rows) {
        if (names.count(row.name) != 0) chosen.push_back(row);
    }
    return chosen;
}

// A case whose prerequisite is missing (`missing` names it, empty when none
// is) is skipped; under CI=true, where scripts/install-deps.sh installs every
// one, it fails instead, naming it. (The loop's body runs at most once: it
// returns.) Cases that may skip have ctest entries of their own.
#define E2E_REQUIRE(missing)                                                           \
    for (const std::string e2e_missing_ = (missing); !e2e_missing_.empty();) {         \
        if (e2e_under_ci()) FAIL() << "missing prerequisite under CI: " << e2e_missing_; \
        GTEST_SKIP() << e2e_missing_;                                                  \
    }
bool e2e_under_ci();

// Runs one case: on the virtual clock or natively (`wine` false), or under
// Wine. Every device of the run must have seen the protocol kept.
void run_program_case(const ProgramCase& c, bool wine);
// gtest's name for a case of a table.
std::string program_case_name(const testing::TestParamInfo<ProgramCase>& info);

// The rows of a table that the virtual clock, and Wine, can run: all but
// those whose program runs inside a shell of their own (RunPlan::launcher:
// a pipe on its input, say), which the native harness alone gives it.
std::vector<ProgramCase> virtual_rows(const std::vector<ProgramCase>& rows);

// A table of cases, `suite`, made by the function `table`: every row on
// the virtual clock (virtual_tests) but those virtual_rows leaves to real
// processes. PROGRAM_TABLE_REAL also runs the rows named after it over real
// pseudo-terminals (e2e_tests), natively and (but those) under Wine, and
// must name every row that needs real processes; PROGRAM_TABLE's rows run on the
// virtual clock only.
#ifdef OFWU_VIRTUAL_TIME
#define PROGRAM_TABLE(suite, table)                                      \
    class suite : public testing::TestWithParam<ProgramCase> {};         \
    TEST_P(suite, Virtual) { run_program_case(GetParam(), false); }      \
    INSTANTIATE_TEST_SUITE_P(Cases, suite, testing::ValuesIn(virtual_rows(table())), program_case_name)
#define PROGRAM_TABLE_REAL(suite, table, ...) PROGRAM_TABLE(suite, table)
#else
#define PROGRAM_TABLE(suite, table) [[maybe_unused]] auto* const suite##_virtual_only = &table
#define PROGRAM_TABLE_REAL(suite, table, ...)                                                        \
    class suite : public testing::TestWithParam<ProgramCase> {};                                     \
    TEST_P(suite, Native) { run_program_case(GetParam(), false); }                                   \
    INSTANTIATE_TEST_SUITE_P(Cases, suite, testing::ValuesIn(rows_named(table(), {__VA_ARGS__})),    \
                             program_case_name);                                                     \
    class suite##Wine : public testing::TestWithParam<ProgramCase> {};                               \
    TEST_P(suite##Wine, Wine) {                                                                      \
        E2E_REQUIRE(e2e_wine_missing());                                                             \
        run_program_case(GetParam(), true);                                                          \
    }                                                                                                \
    INSTANTIATE_TEST_SUITE_P(Cases, suite##Wine,                                                     \
                             testing::ValuesIn(virtual_rows(rows_named(table(), {__VA_ARGS__}))),   \
                             program_case_name)
#endif

// ---- What the program prints ----

// The banner with the maker's notice, after the opening newline.
std::string text_head();
// The exit path's prompt and the newline after the key.
std::string text_exit();
// The exit path's prompt alone: the program still waits for its key.
extern const char KEY_PROMPT[];
// "\nCOM%u: " (or the port's path) followed by the scan's verdict on that port.
std::string text_port(uint32_t com, const std::string& verdict);
std::string text_port(const std::string& label, const std::string& verdict);
// The main loop's end when the device it had is gone from the port.
std::string text_gone_from(const std::string& label);
extern const char PORT_NOT_OPENED[];
extern const char PORT_MISMATCH[];
extern const char PORT_FOUND[];
// After a scan that found nothing.
extern const char NOTHING_FOUND[];
// Up to the main loop's first question: the scan found the device on COM3.
std::string found_on_com3();
// The closing advice of every incompatibility report.
std::string text_advice();
// The verdict "newer" for an SND44 at update_version(-1) against the update,
// with both version lines and the question.
std::string text_newer();
extern const char NEWER_QUESTION[];
extern const char CANCELLED[];
extern const char NO_RESPONSE[];
extern const char FLASH_MISMATCH[];
extern const char GONE_FROM_COM3[];
// The transfer's lost-communication message for a stage (1 start, 2 block).
std::string lost(int stage, int code);

// The transfer's progress is "\n", then one line "\rUpdating firmware:
// NNN% complete." before each block it sends, and once every block is
// accepted "\rUpdating firmware: 100% complete.\n". collapse_progress turns
// each such run in a transcript into the mark that text_progress writes, for
// `lines` lines and, when `done`, the closing line. It checks that line n
// of a transfer of the slot 0 image (N blocks) reads (n - 1) * 100 / N,
// rounded down.
std::string text_progress(uint32_t lines, bool done);
std::string collapse_progress(const std::string& output);

// ---- The built-in images ----

// Block counts and versions come from the images the build took in (the
// program's own catalogue), so that the maker's files in firmware/ keep every
// expectation true. A version as a device writes it and the program shows it
// ("2.59"; a release's has no sub-version, which would show as a beta): the
// update's (the image's for `revision`) with its minor number moved by `step`.
const FirmwareImage& snd44_image(uint32_t revision = 1);
std::string update_version(int32_t step = 0, uint32_t revision = 1);

// ---- Devices ----

std::string firmware_path(const char* file);
// devsim's options for an SND44 of hardware revision `revision` at
// update_version(-1), whose received image is checked against the matching
// built-in image.
std::vector<std::string> snd44(uint32_t revision);
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

// ---- Checks ----

// The run happened and ended by itself with exit status 1.
void expect_ended(const RunResult& run);
// Exact standard output, progress runs collapsed; on a difference, shows
// where it starts.
void expect_transcript(const std::string& actual, const std::string& expected);
// The device saw nothing that was not the protocol: no protocol error, no
// byte outside a line of the application's.
void expect_protocol_kept(const DeviceOutcome& d);
// The device saw no port opened: only the pty's own rate, no byte.
void expect_untouched(const DeviceOutcome& d);
// A transfer's time on the line as devsim paces it: from the start packet's
// arrival to the return command's, every byte of every exchange one after
// the other at 115200 baud, in whole microseconds a byte (byte_time_us). A
// command is its packet (length, checksum, data), the ACK, the status
// request "#" (3 bytes), its ACK, the status reply (3 bytes) and the
// program's ACK: data + 11 bytes; after the start packet its 9 bytes of
// answers remain, and the return command is 3. Of those bytes the program
// sends data + 6 a command, 4 after the start packet and the 3 of the
// return. The time the device saw between the two, and the wire time of
// every byte between them, or of the program's own (`program_only`).
double transfer_ms(const DeviceOutcome& d);
double transfer_wire_ms(const DeviceOutcome& d, bool program_only = false);
// devsim's verdict on the image: every block arrived intact and the device
// was told to return to its application.
void expect_image_complete(const DeviceOutcome& d, double start_packets);

#endif
