// After a successful update the program follows the device's own lines:
// processor-update progress, lines shown as they came, lines it ignores, and
// the ready message that ends it; or the silence after which it gives up.

#include "program_e2e.h"

namespace {

// A long line's characters: letters, so that a cut shows where it fell.
std::string letters(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

// An SND44 on COM3 that takes the update and then plays `lines`
// ("MS:TEXT", each MS after the one before).
RunPlan update_then(const std::vector<std::string>& lines, uint32_t timeout_ms) {
    std::vector<std::string> device = concat(snd44(1), {"--expect", "update"});
    for (const std::string& line : lines) device = concat(device, {"--line", line});
    RunPlan plan;
    plan.args = {"3"};
    plan.devices = {{3, device}};
    plan.keys = {{NEWER_QUESTION, "y"}, {KEY_PROMPT, "x"}};
    plan.timeout_ms = timeout_ms;
    return plan;
}

std::string updated_on_com3() {
    return found_on_com3() + text_newer() + "Y\n" + text_progress(snd44_image().block_count, true);
}

std::vector<ProgramCase> monitor_cases() {
    std::vector<ProgramCase> cases;
    // Every line below but the last leaves the program running: "=PX" is no
    // ready message, so the lines after it are still shown. The last line's
    // "^" throws "abc" away, and what remains, "=P", ends the program long
    // before the 30 s watch would.
    cases.push_back(
        {"LinesAfterTheUpdate",
         [](bool) {
             return update_then({"100:!100,1,0", "30:!100,1,-1", "30:!100,2,5", "30:!7,whatever", "30:=PX",
                                 "30:!abc", "30:=SZ1,2", "30:=V", "30:", "30:!8,a\\x00\\x01\\x0D\\x0A\\x1Fb\\x80\\xC3\\xFFc\\x7F",
                                 "30:!9," + letters(297), "30:abc^=P"},
                                25000);
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, updated_on_com3() +
                                               "\n\rUpdating DSPs: Bank = 1, Complete =  16%"
                                               "\rUpdating DSPs: Bank = 1, Complete =   0%"
                                               "\rUpdating DSPs: Bank = 2, Complete = 100%"
                                               "!7,whatever$"
                                               "!8,abc\x7F$"
                                               "!9," + letters(251) + "$" +
                                               text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.exit_status, 0) << d.log;
             expect_image_complete(d, 1);
             EXPECT_EQ(count_of(d, "script_lines_sent"), 12);
         }});
    return cases;
}

PROGRAM_TABLE(ProgramMonitor, monitor_cases);

// Each progress message restarts the watch: with one every 10 s for 35 s
// the program stays, and ends 30 s after the last. Natively only, once (or
// again when the machine held it up): it takes a minute.
TEST(ProgramMonitorWatch, ProgressMessagesRestartTheWatch) {
    const RunResult run = e2e_run(update_then({"10000:!100,1,0", "10000:!100,1,1", "10000:!100,1,2"}, 80000));
    ASSERT_EQ(run.error, "");
    expect_ended(run);
    expect_transcript(run.output, updated_on_com3() +
                                      "\n\rUpdating DSPs: Bank = 1, Complete =  16%"
                                      "\rUpdating DSPs: Bank = 1, Complete =  33%"
                                      "\rUpdating DSPs: Bank = 1, Complete =  50%" +
                                      text_exit());
    const DeviceOutcome& d = run.devices.at(0);
    expect_image_complete(d, 1);
    expect_protocol_kept(d);
    const size_t last = find_event(d, "script line", 0, "!100,1,2");
    ASSERT_LT(last, event_count(d));
    const double watched = run.end_unix_ms - event_unix_ms(d, last);
    EXPECT_GT(watched, 30000);
    EXPECT_LT(watched, 32000);
}

}  // namespace
