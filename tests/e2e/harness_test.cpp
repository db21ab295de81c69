// The end-to-end harness itself, where the program's own suites would not
// show its faults: a run that never ends is stopped with everything it
// started, and a device that cannot start is reported in devsim's words.
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace {

TEST(Harness, StopsEverythingAtItsTimeLimit) {
    // No port 5: the program waits at its exit prompt for a key that never comes.
    RunPlan plan;
    plan.args = {"5"};
    plan.devices = {{3, {}}};
    plan.keys = {{"text that never comes", "y"}};
    plan.timeout_ms = 1500;
    const RunResult run = e2e_run(plan);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.exit_status, -1);
    EXPECT_EQ(run.keys_sent, 0u);
    EXPECT_LT(run.elapsed_ms, 8000);
    ASSERT_EQ(run.devices.size(), 1u);
    EXPECT_EQ(report_text(run.devices[0], "/stop_reason"), "SIGTERM");
    EXPECT_FALSE(run.devices[0].link_left);
}

TEST(Harness, ReportsADeviceThatCannotStart) {
    RunPlan plan;
    plan.devices = {{3, {"--on-start", "maybe"}}};
    const RunResult run = e2e_run(plan);
    EXPECT_NE(run.error.find("devsim did not stand at"), std::string::npos) << run.error;
    EXPECT_NE(run.error.find("unknown fault \"maybe\""), std::string::npos) << "devsim's own words";
    EXPECT_EQ(run.exit_status, -1) << "the program is not started without its devices";
}

}  // namespace
