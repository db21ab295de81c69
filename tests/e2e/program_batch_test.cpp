// The unattended program (--batch) and the other options, end to end: one
// row per exit status against a simulated device, one row per rule an
// image file may break, --list, --help and --version. Natively; under Wine
// a success, a failure and a bad image file.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "e2e_process.h"
#include "image_damage.h"
#include "program_e2e.h"

namespace {

const char CANNOT_BE_READ[] = "the image file is missing, unreadable or invalid (exit status 8).";

// "\nResult: " and what follows it, the closing line of an unattended run.
std::string result_line(const std::string& text) {
    return "\nResult: " + text + "\n";
}

std::string snd44_on_com3(const std::string& versions, const std::string& text, int status) {
    return result_line("SND44 on COM3, " + versions + ": " + text + " (exit status " + std::to_string(status) + ").");
}

// The verdict and the versions of an SND44 against the 2.59 images, then the
// unattended answer in place of a question.
std::string verdict(const char* kind, const std::string& current, const std::string& answer) {
    std::string head = std::string(kind) == "newer" ? "\n\nThis update is newer than the firmware inside the SND44.\n"
                       : std::string(kind) == "same" ? "\nThe firmware in the SND44 matches this update.\n"
                                                      : "\n\nThis update is OLDER than the firmware inside the SND44!\n";
    return head + "\n Current Version: " + current + ", Model: SND44\n Update Version:  2.59, Model: SND44\n\n" +
           "Unattended: " + answer + "\n";
}

// The progress of a transfer in a log: a whole line at each tenth.
std::string progress_lines() {
    std::string text = "\n";
    for (int percent = 0; percent <= 100; percent += 10) {
        char line[48];
        std::snprintf(line, sizeof line, "Updating firmware: %3d%% complete.\n", percent);
        text += line;
    }
    return text;
}

RunPlan batch_on_com3(std::vector<std::string> device, std::vector<std::string> options = {}) {
    RunPlan plan;
    plan.args = concat({"--batch"}, options);
    plan.args.push_back("3");
    plan.devices = {{3, std::move(device)}};
    plan.timeout_ms = 25000;
    return plan;
}

ProgramCase batch_case(const std::string& name, RunPlan plan, int status, std::string transcript,
                       std::function<void(const DeviceOutcome&)> device_check = nullptr) {
    return {name, [plan](bool) { return plan; },
            [status, transcript, device_check](const RunResult& run, bool) {
                EXPECT_FALSE(run.timed_out) << run.output;
                EXPECT_EQ(run.exit_status, status);
                expect_transcript(run.output, text_head() + transcript);
                if (device_check != nullptr && !run.devices.empty()) device_check(run.devices[0]);
            }};
}

std::vector<ProgramCase> batch_cases() {
    const std::string found = text_port(3, PORT_FOUND) + "\n";
    const auto updated = [](const DeviceOutcome& d) { expect_image_complete(d, 1); };
    const auto untouched_image = [](const DeviceOutcome& d) { EXPECT_EQ(count_of(d, "start_packets"), 0); };
    std::vector<ProgramCase> cases;
    cases.push_back(batch_case("UpdatedToTheNewerVersion", batch_on_com3(concat(snd44(1), {"--line", "100:=P"})), 0,
                               found + verdict("newer", "2.58", "updating to the newer version.") + progress_lines() +
                                   snd44_on_com3("2.58 -> 2.59", "the device runs the update's version", 0),
                               updated));
    cases.push_back(batch_case("AlreadyRunsTheVersion", batch_on_com3(concat(snd44(1), {"--version", "2.59"})), 0,
                               found + verdict("same", "2.59", "the device runs this version already; nothing to do.") +
                                   snd44_on_com3("2.59", "the device runs the update's version", 0),
                               untouched_image));
    cases.push_back(batch_case(
        "InItsBootloaderAlwaysUpdated",
        batch_on_com3(concat(snd44(1), {"--start", "bootloader", "--version", "2.59", "--line", "100:=P"})), 0,
        found + verdict("same", "2.59", "the device is in its bootloader; updating.") + progress_lines() +
            snd44_on_com3("2.59 -> 2.59", "the device runs the update's version", 0),
        updated));
    cases.push_back(batch_case("OlderRefused", batch_on_com3(concat(snd44(1), {"--version", "2.60"})), 5,
                               found + verdict("older", "2.60", "not updating to an older version without --allow-older.") +
                                   snd44_on_com3("2.60", "not updated: the image is older (--allow-older flashes it)", 5),
                               untouched_image));
    cases.push_back(batch_case("OlderAllowed",
                               batch_on_com3(concat(snd44(1), {"--version", "2.60", "--line", "100:=P"}), {"--allow-older"}),
                               0,
                               found + verdict("older", "2.60", "updating to the older version (--allow-older).") +
                                   progress_lines() +
                                   snd44_on_com3("2.60 -> 2.59", "the device runs the update's version", 0),
                               updated));
    cases.push_back(batch_case("TransferFails", batch_on_com3(concat(snd44(1), {"--on-block", "5:nak"})), 6,
                               found + verdict("newer", "2.58", "updating to the newer version.") +
                                   "\nUpdating firmware:   0% complete.\n" + lost(2, 1) +
                                   snd44_on_com3("2.58", "the update failed; a new run completes it", 6)));
    cases.push_back(batch_case("AnotherVersionAnnounced",
                               batch_on_com3(concat(snd44(1), {"--restart-version", "2.58", "--line", "100:=P"})), 7,
                               found + verdict("newer", "2.58", "updating to the newer version.") + progress_lines() +
                                   snd44_on_com3("2.58 -> 2.58",
                                                 "updated, but the device did not announce the update's version", 7),
                               updated));
    cases.push_back(batch_case("NoVersionAnnounced",
                               batch_on_com3(concat(snd44(1), {"--on-restart", "silent", "--line", "5000:=P"})), 7,
                               found + verdict("newer", "2.58", "updating to the newer version.") + progress_lines() +
                                   snd44_on_com3("2.58 -> None",
                                                 "updated, but the device did not announce the update's version", 7),
                               updated));
    cases.push_back(batch_case("NoImageFits", batch_on_com3({"--revision", "3"}), 4,
                               text_port(3, PORT_MISMATCH) + NOTHING_FOUND +
                                   result_line("no image fits the device (exit status 4).")));
    RunPlan nothing = batch_on_com3({});
    nothing.args = {"--batch", "5"};
    cases.push_back(batch_case("NoDevice", nothing, 3,
                               text_port(5, PORT_NOT_OPENED) + NOTHING_FOUND + result_line("no device found (exit status 3).")));
    RunPlan usage = batch_on_com3({});
    usage.args = {"--batch", "3", "4"};
    cases.push_back(batch_case("UsageError", usage, 2,
                               "\nmore than one port argument: 4 (ofwu --help lists the options)\n"
                               "\nUse: OFWU [x]\n\nWhere:"
                               "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
                               "\n          otherwise searches COM1 - COM16." +
                                   result_line("usage error (exit status 2)."),
                               [](const DeviceOutcome& d) { expect_untouched(d); }));
    RunPlan missing = batch_on_com3({});
    missing.args = {"--batch", "--image", "/nonexistent/snd44.img", "3"};
    cases.push_back(batch_case("ImageFileMissing", missing, 8,
                               "\n/nonexistent/snd44.img: no such file\n" + result_line(CANNOT_BE_READ),
                               [](const DeviceOutcome& d) { expect_untouched(d); }));
    return cases;
}

class ProgramBatch : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramBatch, Native) {
    run_program_case(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramBatch, testing::ValuesIn(batch_cases()), program_case_name);

// Under Wine: a success, a failure and a bad image file.
std::vector<ProgramCase> wine_batch_cases() {
    const std::set<std::string> chosen = {"UpdatedToTheNewerVersion", "TransferFails", "ImageFileMissing"};
    std::vector<ProgramCase> cases;
    for (const ProgramCase& c : batch_cases()) {
        if (chosen.count(c.name) != 0) cases.push_back(c);
    }
    return cases;
}

class ProgramBatchWine : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramBatchWine, Wine) {
    run_program_case(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramBatchWine, testing::ValuesIn(wine_batch_cases()), program_case_name);

// Every rule an image file can break, and every way it can fail to be read,
// is one line naming the file and the rule; no port is opened.
TEST(ProgramImageFile, EachBrokenRuleIsNamedAndNoPortOpened) {
    TempFolder folder;
    std::ifstream in(firmware_path("snd44_rev1.img"), std::ios::binary);
    const ImageBytes original((std::istreambuf_iterator<char>(in)), {});
    struct Case { std::string path; std::string reason; };
    std::vector<Case> cases;
    for (const ImageDamage& c : IMAGE_DAMAGE) {
        ImageBytes damaged = original;
        c.damage(damaged);
        const std::string path = folder.path + "/" + c.label;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(damaged.data()),
                                                    static_cast<std::streamsize>(damaged.size()));
        cases.push_back({path, image_rule_text(c.rule)});
    }
    std::ofstream(folder.path + "/empty.img").close();
    std::ofstream(folder.path + "/one.img") << "x";
    std::ofstream(folder.path + "/unreadable.img") << "x";
    chmod((folder.path + "/unreadable.img").c_str(), 0);
    cases.push_back({folder.path + "/empty.img", "shorter than a header and a trailer"});
    cases.push_back({folder.path + "/one.img", "shorter than a header and a trailer"});
    cases.push_back({folder.path, "is a folder, not an image file"});
    cases.push_back({"/dev/zero", "is larger than the largest image the program takes (16 MiB)"});
    if (geteuid() != 0) cases.push_back({folder.path + "/unreadable.img", "cannot be read"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RunPlan plan = batch_on_com3({});
        plan.args = {"--batch", "--image", c.path, "3"};
        const RunResult run = e2e_run(plan);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.exit_status, 8);
        expect_transcript(run.output, text_head() + "\n" + c.path + ": " + c.reason + "\n" + result_line(CANNOT_BE_READ));
        expect_untouched(run.devices.at(0));
    }
}

// --list, --help and --version answer and end with status 0, whatever else.
TEST(ProgramOptions, ListHelpAndVersion) {
    const std::string slot0 =
        "slot 0: SND44, product 59, revision 1, version 2.59, 858 blocks, 202456 bytes, CRC-32 0x61179E29\n";
    const std::string slot1 =
        "slot 1: SND44, product 59, revision 2, version 2.59, 858 blocks, 202448 bytes, CRC-32 0xE065DD1C\n";
    const std::string file = firmware_path("snd44_rev2.img");
    struct Case { std::vector<std::string> args; std::string output; };
    const Case cases[] = {
        {{"--list"}, slot0 + slot1 + "slot 2: empty\nslot 3: empty\nslot 4: empty\nslot 5: empty\nslot 6: empty\n"
                                     "slot 7: empty\n"},
        {{"--image", file, "--list"}, file + slot1.substr(6)},
        {{"--version"}, "ofwu 2.08\n"},
    };
    for (const Case& c : cases) {
        RunPlan plan;
        plan.args = c.args;
        const RunResult run = e2e_run(plan);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, c.output);
    }
    RunPlan plan;
    plan.args = {"--help"};
    const RunResult help = e2e_run(plan);
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.output.rfind("Use: ofwu [options] [x]\n", 0), 0u) << help.output;
    for (const char* line : {"  --batch ", "  --image FILE ", "  5  update refused", "  8  the image file"}) {
        EXPECT_NE(help.output.find(line), std::string::npos) << line;
    }
}

}  // namespace
