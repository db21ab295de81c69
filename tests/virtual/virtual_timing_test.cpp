// The program's own times, judged exactly on the virtual clock: the port
// wait, the pause before the bootloader's rate, the babble bound and the
// watch, each between two things the device saw (or the program's end).
#include "program_e2e.h"

namespace {

struct TimingRow {
    std::string name;
    std::vector<std::string> device;       // devsim's options for the device on COM3
    std::vector<std::string> args;         // the program's; the keys answer Y and end the exit wait
    std::string from_kind, from_detail;    // the event the time is measured from
    std::string to_kind;                   // the next such event after it; empty: the program's end
    double ms;
    double byte_ms = 0;                    // a babble's: the time is exact to the byte on the line
    bool asks = true;                      // the program finds the device and asks
};

void PrintTo(const TimingRow& row, std::ostream* os) {
    *os << row.name;
}

class ProgramTiming : public testing::TestWithParam<TimingRow> {};

TEST_P(ProgramTiming, Virtual) {
    const TimingRow& row = GetParam();
    RunPlan plan;
    plan.args = row.args;
    plan.devices = {{3, row.device}};
    plan.keys = {{"(Y,N) ", "y"}, {KEY_PROMPT, "x"}};
    if (!row.asks) plan.keys.erase(plan.keys.begin());
    plan.timeout_ms = 200000;
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    EXPECT_FALSE(run.timed_out);
    const DeviceOutcome& d = run.devices.at(0);
    const size_t from = find_event(d, row.from_kind, 0, row.from_detail);
    ASSERT_LT(from, event_count(d)) << event_list(d);
    double to_ms = run.end_unix_ms;
    if (!row.to_kind.empty()) {
        const size_t to = find_event(d, row.to_kind, from + 1);
        ASSERT_LT(to, event_count(d)) << event_list(d);
        to_ms = event_unix_ms(d, to);
    }
    const double took = to_ms - event_unix_ms(d, from);
    if (row.byte_ms == 0) {
        EXPECT_DOUBLE_EQ(took, row.ms) << event_list(d) << run.output;
    } else {
        EXPECT_GE(took, row.ms) << event_list(d);
        EXPECT_LT(took, row.ms + row.byte_ms) << event_list(d);
    }
}

// A limit of N ms has passed once more than N have: the first tick past
// it. A babble's wait ends as a byte of it arrives, within the two byte
// times at the line's rate that the program's last read takes.
std::vector<TimingRow> timing_rows() {
    const std::vector<std::string> silent = {"--app-silent", "--boot-silent"};
    const double at_19200 = 2 * 10000.0 / 19200, at_115200 = 2 * 10000.0 / 115200;
    return {
        // The version query's one read waits PORT_WAIT_MS, then the port goes to 115200 baud.
        {"SilentPortGivesUpAfterOnePortWait", silent, {"3"}, "query", "", "line rate", 4000, 0, false},
        // The entry string, then a second for the bootloader to start, then the probe.
        {"ProbeFollowsTheEntryStringAfterASecond", snd44(1), {"3"}, "entry", "", "probe", 1000},
        // A babbling device is served for BABBLE_LIMIT_MS, then given up as a silent one.
        {"ZerosForEverEndTheProbe", concat(snd44(1), {"--babble", "zeros"}), {"3"}, "probe", "", "probe", 10001, at_115200},
        {"CaretsForEverEndTheQuery", concat(snd44(1), {"--babble", "carets"}), {"3"}, "query", "", "line rate",
         10001, at_19200, false},
        {"EmptyLinesForEverEndTheQuery", concat(snd44(1), {"--babble", "empty-lines"}), {"3"}, "query", "",
         "line rate", 10001, at_19200, false},
        // The watch ends 30 s after the last progress message; with none,
        // 30 s after the restarted application's version line, which comes
        // 100 ms after the return command.
        {"WatchEndsAfterTheLastProgress", concat(snd44(1), {"--line", "100:!100,1,0", "--line", "5000:!100,1,1"}),
         {"3"}, "script line", "!100,1,1", "", 30001},
        {"WatchEndsAfterTheTransfer", snd44(1), {"3"}, "return", "", "", 100 + 30001},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramTiming, testing::ValuesIn(timing_rows()),
                         [](const testing::TestParamInfo<TimingRow>& row) { return row.param.name; });

}  // namespace
