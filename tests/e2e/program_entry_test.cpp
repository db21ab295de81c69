// The program from its command line through the port scan to the exit path,
// against simulated devices on chosen COM numbers, natively and under Wine.
#include "program_e2e.h"

namespace {

std::string scan_all_sixteen(uint32_t found_at, const std::string& verdict) {
    std::string text;
    for (uint32_t com = 1; com <= 16; ++com) text += text_port(com, com == found_at ? verdict : PORT_NOT_OPENED);
    return text;
}

RunPlan plan_of(std::vector<std::string> args, std::vector<DevicePlan> devices) {
    RunPlan plan;
    plan.args = std::move(args);
    plan.devices = std::move(devices);
    plan.keys = {{KEY_PROMPT, "x"}};
    plan.timeout_ms = 20000;
    return plan;
}

// Runs that end before any port is opened: the devices standing by see nothing.
ProgramCase refused(const std::string& name, std::vector<std::string> args, const std::string& message) {
    return {name,
            [args](bool) { return plan_of(args, {{1, {}}, {3, {}}}); },
            [message](const RunResult& run, bool) {
                expect_ended(run);
                expect_transcript(run.output, text_head() + message + text_exit());
                ASSERT_EQ(run.devices.size(), 2u);
                for (const DeviceOutcome& d : run.devices) expect_untouched(d);
            }};
}

const char USAGE[] =
    "\nUse: OFWU [x]\n"
    "\nWhere:"
    "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
    "\n          otherwise searches COM1 - COM16.";

std::vector<ProgramCase> entry_cases() {
    std::vector<ProgramCase> cases;
    cases.push_back(refused("TwoArgumentsPrintTheUsage", {"1", "3"}, USAGE));
    cases.push_back(refused("TwoArgumentsEvenIfBothAreZero", {"0", "0"}, USAGE));
    cases.push_back(refused("Port100IsInvalid", {"100"},
                            "\nCOM100 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n"));
    cases.push_back(refused("MinusOneReadsAsTheLargestNumber", {"-1"},
                            "\nCOM4294967295 is an invalid COM port number.\n"
                            "Choose a COM port number between 1 and 99\n"));

    cases.push_back({"NoArgumentAndNoPortScansAllSixteen",
                     [](bool) { return plan_of({}, {}); },
                     [](const RunResult& run, bool) {
                         expect_ended(run);
                         expect_transcript(run.output, text_head() + scan_all_sixteen(0, "") + NOTHING_FOUND +
                                                           text_exit());
                     }});
    cases.push_back({"ZeroScansAllSixteen",
                     [](bool) { return plan_of({"0"}, {}); },
                     [](const RunResult& run, bool) {
                         expect_ended(run);
                         expect_transcript(run.output, text_head() + scan_all_sixteen(0, "") + NOTHING_FOUND +
                                                           text_exit());
                     }});
    // Text that is no number reads as 0: the whole scan, which reaches COM16
    // (an SND44 of a revision no image fits) and stops there, short of COM17.
    cases.push_back({"TextScansUpToCom16",
                     [](bool) { return plan_of({"abc"}, {{16, {"--revision", "3"}}, {17, {}}}); },
                     [](const RunResult& run, bool) {
                         expect_ended(run);
                         expect_transcript(run.output, text_head() + scan_all_sixteen(16, PORT_MISMATCH) +
                                                           NOTHING_FOUND + text_exit());
                         ASSERT_EQ(run.devices.size(), 2u);
                         EXPECT_EQ(count_of(run.devices[0], "version_queries"), 1);
                         EXPECT_EQ(count_of(run.devices[0], "version_replies"), 1);
                         EXPECT_EQ(count_of(run.devices[0], "probes"), 0) << "the application answered";
                         expect_untouched(run.devices[1]);
                     }});
    // A device that babbles (idle fill after the probe, "^" or "^$" after the
    // query) is given up as a silent one is once it has babbled 10 s: the
    // scan moves on.
    const std::pair<const char*, std::vector<std::string>> babbles[] = {
        {"Zeros", {"--start", "bootloader", "--babble", "zeros"}},
        {"Carets", {"--babble", "carets"}},
        {"EmptyLines", {"--babble", "empty-lines"}},
    };
    for (const auto& [name, args] : babbles) {
        cases.push_back({std::string("BabbleIsGivenUp") + name,
                         [args = args](bool) {
                             RunPlan plan = plan_of({"3"}, {{3, args}});
                             plan.timeout_ms = 30000;
                             return plan;
                         },
                         [](const RunResult& run, bool) {
                             expect_ended(run);
                             expect_transcript(run.output, text_head() + text_port(3, "No Ostrel devices detected.") +
                                                               NOTHING_FOUND + text_exit());
                             EXPECT_GE(run.elapsed_ms, 10000);
                             EXPECT_LT(run.elapsed_ms, 18000) << "10 s of babble, 4 s of silence at the other rate";
                         }});
    }
    // COM2 holds a revision no image fits, COM3 the right device, COM4 another
    // right one that the scan never reaches. The device on COM3 is gone when
    // the main loop asks it again.
    cases.push_back({"ScanStopsAtTheFirstMatch",
                     [](bool) {
                         return plan_of({}, {{2, {"--revision", "3"}},
                                             {3, concat(snd44(1), {"--unplug-at", "query:2"})},
                                             {4, snd44(1)}});
                     },
                     [](const RunResult& run, bool) {
                         expect_ended(run);
                         expect_transcript(run.output, text_head() + text_port(1, PORT_NOT_OPENED) +
                                                           text_port(2, PORT_MISMATCH) + text_port(3, PORT_FOUND) +
                                                           "\n" + GONE_FROM_COM3 + text_exit());
                         ASSERT_EQ(run.devices.size(), 3u);
                         const DeviceOutcome& com2 = run.devices[0];
                         const DeviceOutcome& com3 = run.devices[1];
                         EXPECT_EQ(count_of(com2, "version_queries"), 1);
                         EXPECT_EQ(line_rates(com2), (std::vector<std::string>{"38400", "19200"}))
                             << "the application answered at 19200 baud: no bootloader probe";
                         EXPECT_EQ(count_of(com3, "version_queries"), 2);
                         EXPECT_EQ(report_text(com3, "/unplugged_at"), "query:2");
                         EXPECT_EQ(report_text(com3, "/image/verdict"), "none");
                         expect_untouched(run.devices[2]);
                     }});
    return cases;
}

PROGRAM_TABLE(ProgramEntry, entry_cases);

#ifndef OFWU_VIRTUAL_TIME
// On Linux a key of code 0 (Ctrl-Space) is a whole key, and a second code
// is taken only when one is already waiting: a lone 0 ends the exit wait,
// and a 0 typed in the watch does not stop the loop until another key
// comes, so the ready message still ends the program. Natively only: a
// console under Wine cannot be typed a lone 0.
TEST(ProgramEntryKeys, ACodeZeroKeyIsAWholeKey) {
    for (const std::string& keys : {std::string(1, '\0'), std::string("\0;", 2)}) {
        RunPlan plan = plan_of({"5"}, {});
        plan.keys = {{KEY_PROMPT, keys}};
        const RunResult run = e2e_run(plan);
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        expect_transcript(run.output, text_head() + text_port(5, PORT_NOT_OPENED) + NOTHING_FOUND + text_exit());
    }
    RunPlan plan = plan_of({"3"}, {{3, concat(snd44(1), {"--line", "3000:=P"})}});
    plan.keys = {{NEWER_QUESTION, "y"}, {"100% complete.\n", std::string(1, '\0')}, {KEY_PROMPT, "x"}};
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    expect_ended(run);
    expect_transcript(run.output, found_on_com3() + text_newer() + "Y\n" +
                                      text_progress(snd44_image().block_count, true) + text_exit());
}

// Started without standard output or standard input, the program must not
// make the port of them: the device sees nothing but the protocol, and the
// question, with no key to come, ends the program.
TEST(ProgramEntryStreams, ClosedStandardStreamsNeverBecomeThePort) {
    struct Case { const char* shell; bool output_seen; };
    const Case cases[] = {{"exec \"$@\" >&- </dev/null", false}, {"exec \"$@\" <&-", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shell);
        RunPlan plan = plan_of({"3"}, {{3, snd44(1)}});
        plan.launcher = {"/bin/sh", "-c", c.shell, "sh"};
        plan.keys = {};
        const RunResult run = e2e_run(plan);
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        if (c.output_seen) expect_transcript(run.output, found_on_com3() + text_newer() + text_exit());
        const DeviceOutcome& d = run.devices.at(0);
        EXPECT_EQ(count_of(d, "stray_application_bytes"), 0) << "the program's messages went to the port";
        EXPECT_EQ(count_of(d, "version_queries"), 2) << "the scan and the one pass that asks";
        EXPECT_EQ(count_of(d, "bytes_dropped_wrong_rate"), 0);
    }
}

#endif

}  // namespace
