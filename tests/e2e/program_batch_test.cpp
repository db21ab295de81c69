// The unattended program (--batch) and the other options, end to end: one
// row per exit status against a simulated device, one row per rule an
// image file may break, --list, --help and --version. Natively; under Wine
// a success, a failure and a bad image file.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "e2e_process.h"
#include "image_damage.h"
#include "identity.h"
#include "image_format.h"
#include "program_e2e.h"

namespace {

const char CANNOT_BE_READ[] = "the image file is missing, unreadable or invalid";
const char RUNS_THE_UPDATE[] = "the device runs the update's version";
const char NOT_ANNOUNCED[] = "updated, but the device did not announce the update's version";

// The closing line of an unattended run: what it says, and its exit status.
std::string result_line(const std::string& text, int status) {
    return "\nResult: " + text + " (exit status " + std::to_string(status) + ").\n";
}

std::string snd44_on_com3(const std::string& versions, const std::string& text) {
    return "SND44 on COM3, " + versions + ": " + text;
}

// The verdict and the versions of an SND44 at `current` against the update,
// then the unattended answer in place of a question.
std::string verdict(const char* kind, const std::string& current, const std::string& answer) {
    std::string head = std::string(kind) == "newer" ? "\n\nThis update is newer than the firmware inside the SND44.\n"
                       : std::string(kind) == "same" ? "\nThe firmware in the SND44 matches this update.\n"
                                                      : "\n\nThis update is OLDER than the firmware inside the SND44!\n";
    return head + "\n Current Version: " + current + ", Model: SND44\n Update Version:  " + update_version() +
           ", Model: SND44\n\nUnattended: " + answer + "\n";
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

// ofwu --batch [options] port, with a device on COM3.
RunPlan batch_on_com3(std::vector<std::string> device, std::vector<std::string> options = {},
                      const std::string& port = "3") {
    RunPlan plan;
    plan.args = concat({"--batch"}, options);
    plan.args.push_back(port);
    plan.devices = {{3, std::move(device)}};
    plan.timeout_ms = 25000;
    return plan;
}

// A row: the run's output up to its closing line, what that line says, the
// exit status (also named in the line) and a check of the device.
ProgramCase batch_case(const std::string& name, RunPlan plan, int status, const std::string& before_result,
                       const std::string& result, std::function<void(const DeviceOutcome&)> device_check) {
    const std::string transcript = before_result + result_line(result, status);
    return {name, [plan](bool) { return plan; },
            [status, transcript, device_check](const RunResult& run, bool) {
                EXPECT_FALSE(run.timed_out) << run.output;
                EXPECT_EQ(run.exit_status, status);
                expect_transcript(run.output, text_head() + transcript);
                device_check(run.devices.at(0));
            }};
}

std::vector<ProgramCase> batch_cases() {
    const std::string found = text_port(3, PORT_FOUND) + "\n";
    const std::string older = update_version(-1), same = update_version(), newer_one = update_version(1);
    const std::string newer = found + verdict("newer", older, "updating to the newer version.");
    const auto updated = [](const DeviceOutcome& d) { expect_image_complete(d, 1); };
    const auto untouched_image = [](const DeviceOutcome& d) { EXPECT_EQ(count_of(d, "start_packets"), 0); };
    const auto anything = [](const DeviceOutcome&) {};
    std::vector<ProgramCase> cases;
    cases.push_back(batch_case("UpdatedToTheNewerVersion", batch_on_com3(concat(snd44(1), {"--line", "100:=P"})), 0,
                               newer + progress_lines(), snd44_on_com3(older + " -> " + same, RUNS_THE_UPDATE),
                               updated));
    cases.push_back(batch_case("AlreadyRunsTheVersion", batch_on_com3(concat(snd44(1), {"--version", same})), 0,
                               found + verdict("same", same, "the device runs this version already; nothing to do."),
                               snd44_on_com3(same, RUNS_THE_UPDATE), untouched_image));
    cases.push_back(batch_case(
        "InItsBootloaderAlwaysUpdated",
        batch_on_com3(concat(snd44(1), {"--start", "bootloader", "--version", same, "--line", "100:=P"})), 0,
        found + verdict("same", same, "the device is in its bootloader; updating.") + progress_lines(),
        snd44_on_com3(same + " -> " + same, RUNS_THE_UPDATE), updated));
    cases.push_back(batch_case("OlderRefused", batch_on_com3(concat(snd44(1), {"--version", newer_one})), 5,
                               found + verdict("older", newer_one, "not updating to an older version without --allow-older."),
                               snd44_on_com3(newer_one, "not updated: the image is older (--allow-older flashes it)"),
                               untouched_image));
    cases.push_back(batch_case("OlderAllowed",
                               batch_on_com3(concat(snd44(1), {"--version", newer_one, "--line", "100:=P"}), {"--allow-older"}),
                               0,
                               found + verdict("older", newer_one, "updating to the older version (--allow-older).") +
                                   progress_lines(),
                               snd44_on_com3(newer_one + " -> " + same, RUNS_THE_UPDATE), updated));
    cases.push_back(batch_case("TransferFails", batch_on_com3(concat(snd44(1), {"--on-block", "5:nak"})), 6,
                               newer + "\nUpdating firmware:   0% complete.\n" + lost(2, 1),
                               snd44_on_com3(older, "the update failed; a new run completes it"), anything));
    cases.push_back(batch_case("AnotherVersionAnnounced",
                               batch_on_com3(concat(snd44(1), {"--restart-version", older, "--line", "100:=P"})), 7,
                               newer + progress_lines(), snd44_on_com3(older + " -> " + older, NOT_ANNOUNCED), updated));
    cases.push_back(batch_case("NoVersionAnnounced",
                               batch_on_com3(concat(snd44(1), {"--on-restart", "silent", "--line", "5000:=P"})), 7,
                               newer + progress_lines(), snd44_on_com3(older + " -> None", NOT_ANNOUNCED), updated));
    cases.push_back(batch_case("NoImageFits", batch_on_com3({"--revision", "3"}), 4,
                               text_port(3, PORT_MISMATCH) + NOTHING_FOUND, "no image fits the device", anything));
    cases.push_back(batch_case("NoDevice", batch_on_com3({}, {}, "5"), 3, text_port(5, PORT_NOT_OPENED) + NOTHING_FOUND,
                               "no device found", anything));
    cases.push_back(batch_case("UsageError", batch_on_com3({}, {"3"}, "4"), 2,
                               "\nmore than one port argument: 4 (ofwu --help lists the options)\n"
                               "\nUse: OFWU [x]\n\nWhere:"
                               "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
                               "\n          otherwise searches COM1 - COM16.",
                               "usage error", expect_untouched));
    cases.push_back(batch_case("ImageFileMissing", batch_on_com3({}, {"--image", "/nonexistent/snd44.img"}), 8,
                               "\n/nonexistent/snd44.img: no such file\n", CANNOT_BE_READ, expect_untouched));
    return cases;
}

class ProgramBatch : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramBatch, Native) {
    run_program_case(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramBatch, testing::ValuesIn(batch_cases()), program_case_name);

// Under Wine: a success, a failure and a bad image file.
std::vector<ProgramCase> wine_batch_cases() {
    return rows_named(batch_cases(), {"UpdatedToTheNewerVersion", "TransferFails", "ImageFileMissing"});
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
    ImageBytes original;
    ASSERT_TRUE(image_load(firmware_path("snd44_rev1.img"), &original));
    struct Case { std::string path; std::string reason; };
    std::vector<Case> cases;
    for (const ImageDamage& c : IMAGE_DAMAGE) {
        ImageBytes damaged = original;
        c.damage(damaged);
        const std::string path = folder.path + "/" + c.label;
        ASSERT_TRUE(image_save(path, damaged));
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
        const RunResult run = e2e_run(batch_on_com3({}, {"--image", c.path}));
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.exit_status, 8);
        expect_transcript(run.output, text_head() + "\n" + c.path + ": " + c.reason + "\n" + result_line(CANNOT_BE_READ, 8));
        expect_untouched(run.devices.at(0));
    }
}

// What --list says of an image after its label: the figures of its header and trailer.
std::string list_line(const FirmwareImage& image) {
    char line[160];
    std::snprintf(line, sizeof line, "%s, product %u, revision %u, version %s, %u blocks, %u bytes, CRC-32 0x%08X\n",
                  image.name, image.product_code, image.hardware_revision, version_unpack(image.version).c_str(),
                  image.block_count, image.image_length, image_u32(image.bytes, image.image_length - 4));
    return line;
}

// --list, --help and --version answer and end with status 0, whatever else.
TEST(ProgramOptions, ListHelpAndVersion) {
    const std::string slot0 = "slot 0: " + list_line(snd44_image(1));
    const std::string slot1 = "slot 1: " + list_line(snd44_image(2));
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
