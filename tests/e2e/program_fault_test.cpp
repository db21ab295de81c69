// Runs the fault matrix (program_fault.h) end to end against a simulated
// device, every row on the virtual clock and two over real pseudo-terminals
// (natively and under Wine): each row's message, line rates and times, and
// the attempt after the fault completing the update.
#include <algorithm>
#include <cstdio>

#include "program_fault.h"

namespace {

struct TimedRun {
    RunResult run;
    RunResult replugged;     // gone rows only
};

// A row's run, and for a gone row its run once the device is back.
TimedRun timed_fault_run(const FaultRow& row, bool wine) {
    TimedRun t;
    RunPlan plan = fault_plan(row);
    plan.wine = wine;
    t.run = e2e_run(plan);
    if (row.outcome == Outcome::gone) {
        RunPlan again = replug_plan(row);
        again.wine = wine;
        t.replugged = e2e_run(again);
    }
    return t;
}

// The first attempt of a retried block row: it starts with block 1, stops
// at the faulty block, tells the device to return and is back at 19200 baud
// before the next pass queries; the second starts over with block 1.
void expect_block_attempts(const DeviceOutcome& d, uint32_t block) {
    const size_t n = event_count(d);
    const size_t start = find_event(d, "start packet");
    const size_t faulty = find_event(d, "block", start, std::to_string(block) + ":");
    const size_t back = find_event(d, "return", faulty);
    const size_t query = find_event(d, "query", back);
    const size_t second = find_event(d, "start packet", query);
    ASSERT_LT(second, n);
    EXPECT_EQ(find_event(d, "block", start), find_event(d, "block", start, "1:"));
    EXPECT_EQ(find_event(d, "block", faulty + 1), find_event(d, "block", second)) << "no block after the faulty one";
    EXPECT_TRUE(all_at_rate(d, 115200, start, back + 1));
    EXPECT_LT(find_at_rate(d, 19200, back), query) << "back at 19200 baud before the next pass queries";
    EXPECT_EQ(find_event(d, "block", second), find_event(d, "block", second, "1:"))
        << "the next attempt starts over with block 1";
    EXPECT_EQ(count_of(d, "block_packets"), block + snd44_image().block_count);
    EXPECT_EQ(count_of(d, "return_commands"), 2) << "one after the failed block, one at the end";
}

void check_fault_row(const FaultRow& row, const TimedRun& timed) {
    const RunResult& run = timed.run;
    ASSERT_EQ(run.error, "");
    ASSERT_EQ(run.devices.size(), 1u);
    const DeviceOutcome& d = run.devices[0];
    expect_ended(run);
    expect_protocol_kept(d);
    EXPECT_EQ(run.keys_sent, row.outcome == Outcome::retried ? 3u : 2u);
    EXPECT_GE(run.elapsed_ms, row.min_ms);
#ifdef OFWU_VIRTUAL_TIME
    // Over real processes a busy machine stretches the whole run (the
    // transfer under Wine above all); the protocol's own bounds, the gap and
    // the watch below, are what such a row judges.
    EXPECT_LT(run.elapsed_ms, row.max_ms);
#endif

    const std::string asked = found_on_com3() + text_newer() + "Y\n";
    const std::string progress = row.failed_block == 0 ? "" : text_progress(row.failed_block, false);
    const std::string whole = text_progress(snd44_image().block_count, true) + row.after_progress;
    switch (row.outcome) {
    case Outcome::retried:
        expect_transcript(run.output, asked + progress + row.message + text_newer() + "Y\n" + whole +
                                          text_exit());
        break;
    case Outcome::absorbed:
    case Outcome::watched:
        expect_transcript(run.output, asked + whole + text_exit());
        break;
    case Outcome::gone:
        expect_transcript(run.output, asked + progress + row.message + GONE_FROM_COM3 + text_exit());
        break;
    }
    if (!row.rates.empty()) {
        EXPECT_EQ(line_rates(d), row.rates);
    }

    if (row.outcome == Outcome::gone) {
        EXPECT_EQ(report_text(d, "/stop_reason"), "unplugged");
        EXPECT_FALSE(d.link_left);
        EXPECT_EQ(count_of(d, "block_packets"), row.failed_block);
        const size_t probe = find_event(d, "probe");
        if (probe < event_count(d)) {
            EXPECT_EQ(event_line_baud(d, probe), 115200) << "the probe came at 115200 baud";
        }
        // From the unplug to the exit: a lost answer, the version read after
        // a return command and the next detection, each at most one port
        // wait, and the probes' flushes.
        const size_t gone = find_event(d, "unplugged");
        ASSERT_LT(gone, event_count(d));
        EXPECT_LT(run.end_unix_ms - event_unix_ms(d, gone), 25000);
        // Plugged in again, the device is updated by a new run.
        const RunResult& again = timed.replugged;
        ASSERT_EQ(again.error, "");
        ASSERT_EQ(again.devices.size(), 1u);
        expect_ended(again);
        expect_transcript(again.output, asked + text_progress(snd44_image().block_count, true) + text_exit());
        expect_image_complete(again.devices[0], 1);
        EXPECT_EQ(count_of(again.devices[0], "entry_strings"), row.replug_in_bootloader ? 0 : 3);
    } else if (!row.returned) {
        // Every block was accepted; the device went before the return
        // command reached it.
        EXPECT_EQ(report_number(d, "/image/blocks_received"), snd44_image().block_count);
        EXPECT_EQ(report_text(d, "/image/mismatch"), "");
        EXPECT_EQ(report_number(d, "/image/start_packets"), 1);
        EXPECT_EQ(report_text(d, "/unplugged_at"), "return");
    } else {
        expect_image_complete(d, row.start_packets);
        if (row.outcome == Outcome::retried && row.failed_block != 0) expect_block_attempts(d, row.failed_block);
    }
    if (row.outcome == Outcome::watched) {
        // The watch lasts 30 s from the transfer's end or the last progress
        // message, whichever came later.
        const size_t last = row.after_progress.empty() ? find_event(d, "return") : find_event(d, "script line");
        ASSERT_LT(last, event_count(d));
        const double after = run.end_unix_ms - event_unix_ms(d, last);
        EXPECT_GE(after, 30000) << "the watch lasts 30 s";
        EXPECT_LT(after, 40000);
    }
    if (!row.gap.from_kind.empty()) {
        const size_t from = find_event(d, row.gap.from_kind, 0, row.gap.from_detail);
        const size_t to = find_event(d, row.gap.to_kind, from + 1);
        ASSERT_LT(to, event_count(d));
        const double gap = event_unix_ms(d, to) - event_unix_ms(d, from);
        EXPECT_GE(gap, row.gap.min_ms - 100) << row.gap.from_kind << " to " << row.gap.to_kind;
        EXPECT_LT(gap, row.gap.max_ms) << row.gap.from_kind << " to " << row.gap.to_kind;
    }
}

// Runs a row and checks it; the device's events beside a failure.
void run_fault_row(const FaultRow& row, bool wine) {
    const TimedRun timed = timed_fault_run(row, wine);
    check_fault_row(row, timed);
    const RunResult& run = timed.run;
    if (testing::Test::HasFailure() && !run.devices.empty()) {
        const DeviceOutcome& d = run.devices[0];
        ADD_FAILURE() << row.name << ": " << run.elapsed_ms << " ms\ndevsim:\n" << event_list(d) << d.log;
    }
}

std::string fault_row_name(const testing::TestParamInfo<FaultRow>& param) {
    return param.param.name;
}

class ProgramFault : public testing::TestWithParam<FaultRow> {};

#ifdef OFWU_VIRTUAL_TIME
TEST_P(ProgramFault, Virtual) {
    run_fault_row(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramFault, testing::ValuesIn(fault_rows()), fault_row_name);
#else
// Over real pseudo-terminals, natively and with the Windows program under
// Wine: an abandoned wait for an answer in the middle of a transfer (4 s,
// then the transfer is cancelled), and a restarted device that says nothing
// more, which the 30 s watch follows to its end.
TEST_P(ProgramFault, Native) {
    run_fault_row(GetParam(), false);
}

TEST_P(ProgramFault, Wine) {
    E2E_REQUIRE(e2e_wine_missing());
    run_fault_row(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramFault, testing::ValuesIn(rows_named(fault_rows(), {"MiddleBlockSilent", "WatchSilent"})),
                         fault_row_name);
#endif

}  // namespace
