// The end-to-end harness itself: it runs a program with devices on COM
// numbers, types keys when their question is on the screen, collects output,
// exit status and reports, and always cleans up. Also under Wine.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "e2e_process.h"

namespace {

const char BANNER[] = "Ostrel firmware update utility. Version 2.08";
const char KEY_PROMPT[] = "Press any key to exit...";

TEST(JsonLite, ReadsWhatDevsimWrites) {
    JsonValue v;
    ASSERT_TRUE(json_parse("{\"a\": 1, \"b\": [true, false, null, \"x\\u0041\\\"\"], \"c\": {\"d\": -2.5}}", &v));
    EXPECT_EQ(v["a"].number, 1);
    EXPECT_TRUE(v["b"][0].boolean);
    EXPECT_FALSE(v["b"][1].boolean);
    EXPECT_TRUE(v["b"][2].is_null());
    EXPECT_EQ(v["b"][3].text, "xA\"");
    EXPECT_EQ(v["c"]["d"].number, -2.5);
    EXPECT_TRUE(v["missing"]["deeper"][3].is_null());
    const char* broken[] = {"", "{", "{\"a\" 1}", "[1,]", "{\"a\": 1} x", "tru"};
    for (const char* text : broken) EXPECT_FALSE(json_parse(text, &v)) << text;
}

TEST(Harness, RunsTheProgramAndAnswersItsKeyWait) {
    RunPlan plan;
    plan.keys = {{KEY_PROMPT, "x"}};
    plan.timeout_ms = 30000;
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    EXPECT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.keys_sent, 1u);
    EXPECT_NE(run.output.find(BANNER), std::string::npos) << run.output;
    EXPECT_LT(run.output.find(BANNER), run.output.find(KEY_PROMPT));
}

TEST(Harness, TypesEachKeyOnlyAfterItsText) {
    // The stand-in program prints what the device said, then waits for a key
    // and prints it: the key must come after the device's answer.
    RunPlan plan;
    plan.program = OFWU_PORT_QUERY_TOOL;
    plan.args = {"4"};
    plan.devices = {{3, {"--revision", "1"}}, {4, {"--revision", "2", "--expect", "query"}}};
    plan.keys = {{"result 0", ""}, {KEY_PROMPT, "y"}};
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.output.find("COM4: result 0, product 59, revision 2, version 023A0000, name \"SND44\""),
              std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\nkey 121\n"), std::string::npos) << run.output;
    ASSERT_EQ(run.devices.size(), 2u);
    EXPECT_EQ(run.devices[0].com, 3u);
    EXPECT_EQ(run.devices[0].report["counts"]["version_queries"].number, 0);
    EXPECT_EQ(run.devices[1].report["counts"]["version_queries"].number, 1);
    EXPECT_EQ(run.devices[1].exit_status, 0) << run.devices[1].log;
    for (const DeviceOutcome& d : run.devices) EXPECT_FALSE(d.link_left);
}

TEST(Harness, StopsEverythingAtItsTimeLimit) {
    RunPlan plan;
    plan.program = OFWU_PORT_QUERY_TOOL;
    plan.args = {"3"};
    plan.devices = {{3, {}}};
    plan.keys = {{"text that never comes", "y"}};
    plan.timeout_ms = 1500;
    const RunResult run = e2e_run(plan);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.exit_status, -1);
    EXPECT_EQ(run.keys_sent, 0u);
    EXPECT_LT(run.elapsed_ms, 8000);
    ASSERT_EQ(run.devices.size(), 1u);
    EXPECT_EQ(run.devices[0].report["stop_reason"].text, "SIGTERM");
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

TEST(Harness, RunsTheProgramWithADeviceStanding) {
    // Two arguments make the program print its usage and end; the device on
    // COM3 is there all the same, and is stopped and cleaned up afterwards.
    RunPlan plan;
    plan.args = {"1", "2"};
    plan.devices = {{3, {}}};
    plan.keys = {{KEY_PROMPT, "\n"}};
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 1) << run.output;
    EXPECT_NE(run.output.find(BANNER), std::string::npos);
    ASSERT_EQ(run.devices.size(), 1u);
    EXPECT_EQ(run.devices[0].report["stop_reason"].text, "SIGTERM");
    EXPECT_FALSE(run.devices[0].link_left);
}

// The program's scan finds the device on COM3. The device leaves after the
// scan's query, so a run that goes on asking it again ends all the same.
RunPlan scan_of_com3(bool wine) {
    RunPlan plan;
    plan.wine = wine;
    plan.args = {"3"};
    plan.devices = {{3, {"--unplug-at", "query:2", "--image", std::string(OFWU_FIRMWARE_DIR) + "/snd44_rev1.img"}}};
    plan.keys = {{KEY_PROMPT, "x"}};
    plan.timeout_ms = 60000;
    return plan;
}

void expect_found_on_com3(const RunResult& run) {
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 1) << run.output;
    EXPECT_NE(run.output.find("\nCOM3: A Ostrel device compatible with this firmwware was found."), std::string::npos)
        << run.output;
    ASSERT_EQ(run.devices.size(), 1u);
    EXPECT_GE(run.devices[0].report["counts"]["version_replies"].number, 1) << run.devices[0].report_text;
    EXPECT_EQ(run.devices[0].report["counts"]["bytes_dropped_wrong_rate"].number, 0);
    EXPECT_FALSE(run.devices[0].link_left);
}

TEST(Harness, TheProgramFindsTheDevice) {
    expect_found_on_com3(e2e_run(scan_of_com3(false)));
}

TEST(HarnessWine, TheWindowsProgramFindsTheDevice) {
    std::string why;
    if (!e2e_wine_available(&why)) GTEST_SKIP() << why;
    expect_found_on_com3(e2e_run(scan_of_com3(true)));
}

TEST(HarnessWine, RunsTheWindowsProgram) {
    std::string why;
    if (!e2e_wine_available(&why)) GTEST_SKIP() << why;
    RunPlan plan;
    plan.wine = true;
    plan.args = {"1", "2"};
    plan.devices = {{3, {}}};
    plan.keys = {{KEY_PROMPT, "x"}};
    plan.timeout_ms = 60000;
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    EXPECT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.output.find(BANNER), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find('\r'), std::string::npos) << "text-mode newlines are normalised";
    ASSERT_EQ(run.devices.size(), 1u);
    EXPECT_FALSE(run.devices[0].link_left);
}

}  // namespace
