// The program's update decision and firmware transfer, end to end against a
// simulated device, natively and under Wine: the verdicts and their
// questions, whole transfers of both images from the application and from
// the bootloader, the bootloader's faults, and the passes that follow them.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "program_e2e.h"

namespace {

const char CANCELLED[] = "\nUpdate cancelled.\n\n";
const char NO_RESPONSE[] = "\nError: No response from the bootloader, check cables and power.\n";

// A device on COM3 and the program told to use it; the first question is
// answered with `answer`.
RunPlan com3(std::vector<std::string> device, const std::string& question, const std::string& answer) {
    RunPlan plan;
    plan.args = {"3"};
    plan.devices = {{3, std::move(device)}};
    plan.keys = {{question, answer}, {KEY_PROMPT, "x"}};
    plan.timeout_ms = 25000;
    return plan;
}

// Up to the main loop's first question: the scan found the device on COM3.
std::string found_on_com3() {
    return text_head() + text_port(3, PORT_FOUND) + "\n";
}

std::string lost(int stage, int code) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "\nError: Lost(%d-%02X) communications with the bootloader, check cables and power.\n", stage, code);
    return text;
}

// The first nine bytes of the start packet for an image: "!", then the
// image's flash start and flash length, big-endian.
std::vector<uint8_t> start_packet_head(const char* file) {
    std::ifstream in(firmware_path(file), std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < 84) return {};
    const auto u32 = [&](size_t at) {
        return uint32_t{image[at]} | uint32_t{image[at + 1]} << 8 | uint32_t{image[at + 2]} << 16 |
               uint32_t{image[at + 3]} << 24;
    };
    std::vector<uint8_t> head = {'!'};
    for (const uint32_t value : {u32(32), u32(28)}) {
        for (int shift = 24; shift >= 0; shift -= 8) head.push_back(static_cast<uint8_t>(value >> shift));
    }
    return head;
}

std::vector<ProgramCase> transfer_cases() {
    std::vector<ProgramCase> cases;
    // Slot 0 from the application. The user declines first: the next pass
    // asks again, and keys other than Y and N leave the question standing.
    // The bootloader ignores the first probe, so the entry string goes out
    // twice before the start packet. The device then reports its
    // processors' update and that it is ready.
    cases.push_back(
        {"Slot0FromTheApplication",
         [](bool) {
             RunPlan plan = com3(concat(snd44(1), {"--boot-silent-probes", "1", "--expect", "update", "--expect",
                                                   "clean", "--line", "200:!100,1,0", "--line", "50:!100,1,1",
                                                   "--line", "50:!100,1,2", "--line", "50:!100,1,3", "--line",
                                                   "50:!100,1,4", "--line", "50:!100,1,5", "--line", "50:=P"}),
                                 NEWER_QUESTION, "n");
             plan.keys.insert(plan.keys.begin() + 1, KeyStep{NEWER_QUESTION, "q7y"});
             return plan;
         },
         [](const RunResult& run, bool) {
             expect_ended(run);  // within the run's 25 s: "=P" ended the watch at once
             expect_transcript(run.output, found_on_com3() + text_newer("2.58") + "N\n" + CANCELLED +
                                               text_newer("2.58") + "Y\n" +
                                               text_progress(IMAGE_BLOCKS, IMAGE_BLOCKS) +
                                               "\n\rUpdating DSPs: Bank = 1, Complete =  16%"
                                               "\rUpdating DSPs: Bank = 1, Complete =  33%"
                                               "\rUpdating DSPs: Bank = 1, Complete =  50%"
                                               "\rUpdating DSPs: Bank = 1, Complete =  66%"
                                               "\rUpdating DSPs: Bank = 1, Complete =  83%"
                                               "\rUpdating DSPs: Bank = 1, Complete = 100%" +
                                               text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.exit_status, 0) << d.log;
             expect_image_complete(d, 1);
             EXPECT_EQ(start_packet_head("snd44_rev1.img"),
                       (std::vector<uint8_t>{0x21, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0xEE, 0x48}))
                 << "devsim checked the start packet against these bytes";
             EXPECT_EQ(count_of(d, "version_queries"), 3) << "the scan and two passes";
             EXPECT_EQ(count_of(d, "probes"), 2);
             EXPECT_EQ(count_of(d, "probe_replies"), 1);
             EXPECT_EQ(count_of(d, "script_lines_sent"), 7);
             EXPECT_EQ(line_rates(d), (std::vector<std::string>{"38400", "19200", "115200", "19200"}));
             // The entry string three times at 19200 baud, a second's pause,
             // 115200 baud; after the ignored probe the string again, three
             // times, in the bootloader; then the probe that is answered and
             // the start packet.
             const size_t entry = find_event(d, "entry");
             const size_t fast = find_at_rate(d, 115200, entry);
             const size_t ignored = find_event(d, "probe ignored", fast);
             const size_t again = find_event(d, "entry ignored", ignored);
             const size_t reply = find_event(d, "probe reply", again);
             ASSERT_LT(reply, events_of(d).size());
             EXPECT_EQ(events_of(d)[entry]["repeat"].number, 3);
             EXPECT_EQ(events_of(d)[again]["repeat"].number, 3);
             EXPECT_EQ(count_of(d, "entry_strings"), 6);
             EXPECT_GE(event_unix_ms(d, fast) - event_unix_ms(d, entry), 990) << "the pause before 115200 baud";
             EXPECT_EQ(find_event(d, "start packet", reply), find_event(d, "start packet"));
             EXPECT_EQ(count_of(d, "bytes_dropped_wrong_rate"), 0);
         }});
    // Slot 1 from the bootloader, where the scan finds the device: the port
    // stays at 115200 baud, each pass tries the application at 19200 first,
    // and the transfer starts with the start packet: no entry string, no
    // rate change. The device holds the update's version already.
    cases.push_back(
        {"Slot1FromTheBootloader",
         [](bool) {
             return com3(concat(snd44(2), {"--start", "bootloader", "--version", "2.59", "--expect", "update",
                                           "--expect", "clean", "--line", "100:=P"}),
                         "(Y,N) ", "Y");
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() + "\nThe firmware in the SND44 matches this update.\n"
                                                             "\n Current Version: 2.59, Model: SND44"
                                                             "\n Update Version:  2.59, Model: SND44"
                                                             "\n\nUpdate anyway? (Y,N) Y\n" +
                                               text_progress(IMAGE_BLOCKS, IMAGE_BLOCKS) + text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.exit_status, 0) << d.log;
             expect_image_complete(d, 1);
             EXPECT_EQ(count_of(d, "entry_strings"), 0);
             EXPECT_EQ(count_of(d, "probes"), 2) << "the scan and one pass";
             EXPECT_EQ(count_of(d, "probe_replies"), 2);
             EXPECT_EQ(line_rates(d),
                       (std::vector<std::string>{"38400", "19200", "115200", "19200", "115200", "19200"}));
             const size_t last_reply = find_event(d, "probe reply", find_event(d, "probe reply") + 1);
             const size_t start = find_event(d, "start packet", last_reply);
             const size_t back = find_event(d, "return", start);
             ASSERT_LT(back, events_of(d).size());
             EXPECT_TRUE(all_at_rate(d, 115200, last_reply, back + 1)) << "no rate change until the return command";
             EXPECT_EQ(events_between(d, "noise", last_reply, back), 0);
         }});
    // The bootloader ignores three probes: the entry fails and the port goes
    // back to 19200 baud. The next pass finds the device in its bootloader,
    // and the second attempt carries the whole image.
    cases.push_back(
        {"SilentBootloaderThenASecondAttempt",
         [](bool) {
             RunPlan plan = com3(concat(snd44(1), {"--boot-silent-probes", "3", "--expect", "update",
                                                   "--line", "100:=P"}),
                                 NEWER_QUESTION, "y");
             plan.keys.insert(plan.keys.begin() + 1, KeyStep{NEWER_QUESTION, "y"});
             plan.timeout_ms = 40000;
             return plan;
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() + text_newer("2.58") + "Y\n" + NO_RESPONSE +
                                               text_newer("2.58") + "Y\n" +
                                               text_progress(IMAGE_BLOCKS, IMAGE_BLOCKS) + text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.exit_status, 0) << d.log;
             expect_image_complete(d, 1);
             EXPECT_EQ(count_of(d, "probes"), 4) << "three in the entry, one in the next pass";
             EXPECT_EQ(count_of(d, "probe_replies"), 1);
             const size_t third = find_event(d, "probe", find_event(d, "probe", find_event(d, "probe") + 1) + 1);
             const size_t fourth = find_event(d, "probe", third + 1);
             ASSERT_LT(fourth, events_of(d).size());
             // The entry string: once at 19200 baud, then after each of the
             // three probes at 115200 baud. The last one goes out just before
             // the rate change, and may reach the device after it: then its
             // 21 bytes arrive as noise, beside the next pass's "^V$".
             EXPECT_EQ(events_between(d, "entry", 0, third), 3);
             EXPECT_EQ(events_between(d, "entry ignored", 0, third), 6);
             EXPECT_EQ(7 * events_between(d, "entry ignored", third, fourth) +
                           events_between(d, "noise", third, fourth),
                       21 + 3);
             EXPECT_LT(find_at_rate(d, 19200, third), fourth) << "the port went back to 19200 baud";
             EXPECT_EQ(line_rates(d),
                       (std::vector<std::string>{"38400", "19200", "115200", "19200", "115200", "19200"}));
         }});
    // The fifth block is answered with status 0x41. Keys typed while the
    // transfer runs: the first is taken by the next pass, the second answers
    // the next question. Natively the first is a two-code key (0, then "y").
    cases.push_back(
        {"FifthBlockRefusedKeysTypedMeanwhile",
         [](bool wine) {
             RunPlan plan = com3(concat(snd44(1), {"--on-block", "5:status:41", "--unplug-at", "query:4"}),
                                 NEWER_QUESTION, "y");
             plan.keys.insert(plan.keys.begin() + 1,
                              KeyStep{"Y\n", wine ? std::string("yn") : std::string("\0yn", 3)});
             return plan;
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() + text_newer("2.58") + "Y\n" +
                                               text_progress(IMAGE_BLOCKS, 4) + lost(2, 5) + text_newer("2.58") +
                                               "N\n" + CANCELLED + "\nNo Ostrel device found on COM3.\n" +
                                               text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             const JsonValue& image = d.report["image"];
             EXPECT_EQ(image["verdict"].text, "incomplete");
             EXPECT_EQ(image["start_packets"].number, 1) << "the key typed during the transfer started none";
             EXPECT_EQ(image["blocks_received"].number, 5);
             EXPECT_EQ(image["refused"].text, "block 5: status 0x41");
             EXPECT_EQ(image["mismatch"].text, "");
             EXPECT_EQ(count_of(d, "block_packets"), 5);
             EXPECT_EQ(count_of(d, "return_commands"), 1);
             const size_t refused = find_event(d, "status", 0, "0x41");
             const size_t back = find_event(d, "return", refused);
             ASSERT_LT(back, events_of(d).size()) << d.report_text.substr(0, 4000);
             EXPECT_LT(find_event(d, "line rate", back, "19200"), events_of(d).size());
             EXPECT_EQ(count_of(d, "bytes_sent_wrong_rate"), 0)
                 << "the restarted application's version line came at 19200 baud";
             EXPECT_EQ(d.report["unplugged_at"].text, "query:4");
         }});
    // Start packet faults. Each leaves the device in its bootloader, where
    // the next pass finds it as what its bootloader says it is, not as the
    // SND44 that its application claimed to be and the scan matched.
    const std::string reply = "=V \"SND44\" 2.58,59,1,0";
    // Here the application claims a beta newer than the update: the verdict
    // is "older", and the version lines keep their "Model" column.
    cases.push_back(
        {"StartPacketNakThenAnotherRevision",
         [](bool) {
             return com3({"--reply", "=V \"SND44\" 2.59.01b,59,1,0", "--revision", "2", "--image",
                          firmware_path("snd44_rev1.img"), "--on-start", "nak"},
                         "(Y,N) ", "y");
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() +
                                               "\n\nThis update is OLDER than the firmware inside the SND44!\n"
                                               "\n Current Version: 2.59.01b(Beta), Model: SND44"
                                               "\n Update Version:  2.59,           Model: SND44"
                                               "\n\nAre you sure you want to update with an OLDER version of "
                                               "firmware? (Y,N) Y\n" +
                                               lost(1, 1) +
                                               "\nUnsupported PCB Revision: Rev 2.\n"
                                               "This firmware won't work on this version of the SND44,\n"
                                               "device not updated.\n" +
                                               text_advice() + text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.report["image"]["refused"].text, "start packet: NAK");
             EXPECT_EQ(d.report["image"]["mismatch"].text, "");
             EXPECT_EQ(count_of(d, "start_packets"), 1);
             EXPECT_EQ(count_of(d, "block_packets"), 0);
             EXPECT_EQ(count_of(d, "return_commands"), 0) << "no return command after a refused start packet";
             EXPECT_EQ(d.report["final_mode"].text, "bootloader");
             const size_t start = find_event(d, "start packet");
             EXPECT_LT(find_at_rate(d, 19200, start), find_event(d, "probe", start))
                 << "back at 19200 baud before the next pass probes";
         }});
    cases.push_back(
        {"StartPacketStatusDThenAnotherProduct",
         [reply](bool) {
             return com3({"--reply", reply, "--product", "67", "--revision", "4", "--name", "", "--image",
                          firmware_path("snd44_rev1.img"), "--on-start", "D"},
                         NEWER_QUESTION, "y");
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() + text_newer("2.58") + "Y\n" +
                                               "\nError: FLASH firmware did not match update firmware.\n"
                                               "\nAttempting to update device: \"LUX22\"."
                                               "\nNew firmware is for device:  \"SND44\".\n"
                                               "\nIncompatible firmware, device not updated.\n" +
                                               text_advice() + text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.report["image"]["refused"].text, "start packet: status 0x44");
             EXPECT_EQ(count_of(d, "start_packets"), 1);
             EXPECT_EQ(count_of(d, "status_requests"), 1);
             EXPECT_EQ(count_of(d, "block_packets"), 0) << "no block after status D";
             EXPECT_EQ(count_of(d, "return_commands"), 0) << "no return command after status D";
             EXPECT_EQ(d.report["final_mode"].text, "bootloader");
         }});
    cases.push_back(
        {"StartPacketOtherStatusThenAnUnknownProduct",
         [reply](bool) {
             return com3({"--reply", reply, "--product", "57", "--revision", "1", "--name", "XYZ9", "--image",
                          firmware_path("snd44_rev1.img"), "--on-start", "status:41"},
                         NEWER_QUESTION, "y");
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             expect_transcript(run.output, found_on_com3() + text_newer("2.58") + "Y\n" + lost(1, 5) +
                                               "\nThe device on COM3 not compatible with this update.\n"
                                               "Product name: \"XYZ9\"\n" +
                                               text_exit());
             const DeviceOutcome& d = run.devices.at(0);
             EXPECT_EQ(d.report["image"]["refused"].text, "start packet: status 0x41");
             EXPECT_EQ(count_of(d, "block_packets"), 0);
             EXPECT_EQ(count_of(d, "return_commands"), 0);
         }});
    return cases;
}

class ProgramUpdate : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramUpdate, Native) {
    run_program_case(GetParam(), false);
}

TEST_P(ProgramUpdate, Wine) {
    run_program_case(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramUpdate, testing::ValuesIn(transfer_cases()), program_case_name);

}  // namespace
