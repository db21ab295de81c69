// The unattended program (--batch) and the other options, end to end: one
// row per exit status against a simulated device, one row per rule an
// image file may break, --list, --help and --version. Natively; under Wine
// a success, a failure and a bad image file.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

#include "e2e_process.h"
#include "image_damage.h"
#include "identity.h"
#include "image_format.h"
#include "program_e2e.h"

namespace {

namespace fs = std::filesystem;

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
    // The device's own progress is whole lines in a log too.
    cases.push_back(batch_case("UpdatedToTheNewerVersion",
                               batch_on_com3(concat(snd44(1), {"--line", "100:!100,1,0", "--line", "100:=P"})), 0,
                               newer + progress_lines() + "Updating DSPs: Bank = 1, Complete =  16%\n",
                               snd44_on_com3(older + " -> " + same, RUNS_THE_UPDATE), updated));
    cases.push_back(batch_case("AlreadyRunsTheVersion", batch_on_com3(concat(snd44(1), {"--version", same})), 0,
                               found + verdict("same", same, "the device runs this version already; nothing to do."),
                               snd44_on_com3(same, RUNS_THE_UPDATE), untouched_image));
    cases.push_back(batch_case(
        "InItsBootloaderAlwaysUpdated",
        batch_on_com3(concat(snd44(1), {"--start", "bootloader", "--version", same, "--line", "100:=P"})), 0,
        found + verdict("same", same, "the device is in its bootloader; updating.") + progress_lines(),
        snd44_on_com3(same + " -> " + same, RUNS_THE_UPDATE), updated));
    cases.push_back(batch_case("DoubleDashEndsTheOptions",
                               batch_on_com3(concat(snd44(1), {"--version", same}), {"--"}), 0,
                               found + verdict("same", same, "the device runs this version already; nothing to do."),
                               snd44_on_com3(same, RUNS_THE_UPDATE), untouched_image));
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
                               newer + progress_lines(), snd44_on_com3(older + " -> no version announced", NOT_ANNOUNCED),
                               updated));
    // Ready before any announcement: the ready message is not taken for one
    // and lost, which left the run to wait out the whole watch.
    cases.push_back(batch_case("ReadyBeforeAnyAnnouncement",
                               batch_on_com3(concat(snd44(1), {"--on-restart", "silent", "--line", "100:=P"})), 7,
                               newer + progress_lines(), snd44_on_com3(older + " -> no version announced", NOT_ANNOUNCED),
                               updated));
    // The closing line names the device no image fits, and a device's name
    // cannot send an escape sequence to the user's terminal.
    cases.push_back(batch_case("NoImageFits", batch_on_com3({"--revision", "3", "--name", "SND\x1b[2J44"}), 4,
                               text_port(3, PORT_MISMATCH) + NOTHING_FOUND,
                               "SND?[2J44 on COM3, " + older + ": no image fits the device", anything));
    cases.push_back(batch_case("NoDevice", batch_on_com3({}, {}, "5"), 3, text_port(5, PORT_NOT_OPENED) + NOTHING_FOUND,
                               "no device found", anything));
    // A usage error beside options names its reason, then the options'
    // usage (checked in full natively, below), and ends with status 2:
    // text that is no port number is refused, not a scan; --ports opens no
    // port, so a port argument or --batch beside it is refused too, and it
    // ends as an unattended run does, with or without --batch.
    for (const auto& [name, args, error] :
         {std::tuple{"PortArgumentIsNoNumber", std::vector<std::string>{"--batch", "COM2"},
                     "not a port number from 0 to 99 or a device path: COM2"},
          std::tuple{"PortsWithAPort", std::vector<std::string>{"--ports", "3"}, "this option takes no port argument: --ports"},
          std::tuple{"PortsWithBatch", std::vector<std::string>{"--ports", "--batch"},
                     "this option cannot be used with --batch: --ports"}}) {
        RunPlan plan = batch_on_com3(snd44(1));
        plan.args = args;
        const std::string said = std::string("\n") + error + " (ofwu --help lists the options)\n\nUse: ofwu [options] [x]\n";
        cases.push_back({name, [plan](bool) { return plan; }, [said](const RunResult& run, bool) {
                             EXPECT_EQ(run.exit_status, 2);
                             EXPECT_NE(run.output.find(said), std::string::npos) << run.output;
                             EXPECT_NE(run.output.find(result_line("usage error", 2)), std::string::npos) << run.output;
                             expect_untouched(run.devices.at(0));
                         }});
    }
    cases.push_back(batch_case("ImageFileMissing", batch_on_com3({}, {"--image", "/nonexistent/snd44.img"}), 8,
                               "\n/nonexistent/snd44.img: no such file\n", CANNOT_BE_READ, expect_untouched));
    return cases;
}

// Over real pseudo-terminals and under Wine: a success, a failure and a bad
// image file, the last device's line before any announcement, and a port
// argument that names no port.
PROGRAM_TABLE_REAL(ProgramBatch, batch_cases, "UpdatedToTheNewerVersion", "TransferFails", "ImageFileMissing",
              "ReadyBeforeAnyAnnouncement", "PortArgumentIsNoNumber");

#ifdef OFWU_VIRTUAL_TIME
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
    cases.push_back({folder.path + "/unreadable.img", "cannot be read: permission denied"});
    fs::create_symlink("loop.img", folder.path + "/loop.img");
    cases.push_back({folder.path + "/loop.img", "cannot be read: too many symbolic links"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RunPlan plan = batch_on_com3({}, {"--image", c.path});
        // Root reads any file: the unreadable one is read by nobody.
        if (c.path.find("unreadable") != std::string::npos && geteuid() == 0) {
            plan.as_nobody = true;
        }
        const RunResult run = e2e_run(plan);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.exit_status, 8);
        expect_transcript(run.output, text_head() + "\n" + c.path + ": " + c.reason + "\n" + result_line(CANNOT_BE_READ, 8));
        expect_untouched(run.devices.at(0));
    }
}

#endif

#ifndef OFWU_VIRTUAL_TIME
// Devices on COM1 to COM4, and the program run with `args` by the shell
// command `shell` (the program and its arguments are "$@").
RunPlan four_devices(std::vector<std::string> args, const std::string& shell) {
    RunPlan plan;
    plan.args = std::move(args);
    plan.launcher = {"/bin/sh", "-c", shell, "sh"};
    for (uint32_t com = 1; com <= 4; ++com) plan.devices.push_back({com, concat(snd44(1), {"--line", "100:=P"})});
    plan.timeout_ms = 60000;
    return plan;
}

// The usual shell loop over a list of ports: no run reads the list, so each
// device is updated once.
TEST(ProgramBatchLoop, ALoopReadingPortsFromItsInputUpdatesEveryDevice) {
    TempFolder folder;
    const std::string ports = folder.path + "/ports.txt";
    std::ofstream(ports) << "1\n2\n3\n4\n";
    const RunResult run = e2e_run(
        four_devices({"--batch"}, "while read port; do \"$@\" \"$port\"; done < '" + ports + "'"));
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 0) << run.output;
    for (const DeviceOutcome& d : run.devices) {
        SCOPED_TRACE(d.com);
        expect_image_complete(d, 1);
        EXPECT_NE(run.output.find("SND44 on COM" + std::to_string(d.com) + ", " + update_version(-1) + " -> " +
                                  update_version()),
                  std::string::npos);
    }
}

// A log closed early never stops an update, and a run ended by a signal
// still sums itself up, and writes out its wire trace and the signal.
TEST(ProgramBatchLoop, AClosedLogOrASignalStillEndsWithItsStatus) {
    TempFolder folder;
    const std::string rc = folder.path + "/rc";
    const std::string trace = folder.path + "/run.trace";
    struct Case { const char* name; std::string shell; std::vector<std::string> device; std::string said; int status; bool whole; };
    const Case cases[] = {
        {"a log closed after three lines", "{ \"$@\"; echo $? > '" + rc + "'; } | head -n 3 > /dev/null",
         concat(snd44(1), {"--line", "100:=P"}), "", 0, true},
        {"SIGTERM during the transfer", "\"$@\" & sleep 1.5; kill -TERM $!; wait $!; echo $? > '" + rc + "'",
         concat(snd44(1), {"--pace"}), "\nResult: SND44 on COM3, " + update_version(-1) + ": interrupted by signal 15 (exit status 143).\n", 143,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunPlan plan = batch_on_com3(c.device, {"--trace", trace});
        // The tests ignore SIGPIPE, and an ignored signal stays so in a child.
        plan.launcher = {"/usr/bin/env", "--default-signal=PIPE", "/bin/sh", "-c", c.shell, "sh"};
        const RunResult run = e2e_run(plan);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(std::atoi(file_text(rc).c_str()), c.status) << run.output;
        const size_t tail = std::min(run.output.size(), c.said.size());
        EXPECT_EQ(run.output.substr(run.output.size() - tail), c.said);
        // The trace holds the exchanges before, and its last line is the one
        // the signal's handler wrote, or the run's end.
        const std::string traced = file_text(trace);
        const std::string last = c.whole ? " - end the device runs the update's version (outcome 0)\n"
                                         : "\n# ended by signal 15\n";
        EXPECT_NE(traced.find(" COM3 step query\n"), std::string::npos) << traced.substr(0, 400);
        EXPECT_EQ(traced.substr(traced.size() - std::min(traced.size(), last.size())), last);
        if (c.whole) {
            expect_image_complete(run.devices.at(0), 1);
        }
    }
}

#endif

#ifdef OFWU_VIRTUAL_TIME
// With options the port argument is a number from 0 to 99 or a path, and
// anything else is a usage error naming it, followed by the options'
// usage: text that is no number would have scanned and updated whatever
// device answered first.
TEST(ProgramBatchUsage, PortArgumentsThatNameNoPortAreRefused) {
    RunPlan help;
    help.args = {"--help"};
    const std::string help_text = e2e_run(help).output;
    ASSERT_NE(help_text.find("--report FILE"), std::string::npos) << help_text;
    struct Case { std::vector<std::string> args; std::string error; };
    const std::string not_a_port = "not a port number from 0 to 99 or a device path: ";
    const std::vector<Case> cases = {
        {{"0x2"}, not_a_port + "0x2"},  // COM2: a row of the batch table, also under Wine
        {{"ttyS1"}, not_a_port + "ttyS1"},       {{""}, not_a_port},
        {{"-x"}, not_a_port + "-x"},             {{"\xc3\xa9"}, not_a_port + "\xc3\xa9"},
        {{"-allow-older"}, not_a_port + "-allow-older"}, {{"100"}, not_a_port + "100"},
        {{"3", "4"}, "more than one port argument: 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        RunPlan plan = batch_on_com3(snd44(1), {}, c.args[0]);
        plan.args.insert(plan.args.end(), c.args.begin() + 1, c.args.end());
        const RunResult run = e2e_run(plan);
        EXPECT_EQ(run.exit_status, 2);
        expect_transcript(run.output, text_head() + "\n" + c.error + " (ofwu --help lists the options)\n\n" + help_text +
                                          result_line("usage error", 2));
        expect_untouched(run.devices.at(0));
    }
}

#endif

#ifndef OFWU_VIRTUAL_TIME
// --report appends one JSON line a run, with or without --batch; parallel
// runs share one file; a file that cannot be appended to is refused before
// any port is opened; the one port named, in use, is status 9.
TEST(ProgramBatchReport, OneJsonLineARunAlsoFromRunsAtOnce) {
    TempFolder folder;
    const std::string report = folder.path + "/runs.jsonl";
    const auto lines = [&report]() {
        std::vector<nlohmann::json> rows;
        std::ifstream in(report);
        for (std::string line; std::getline(in, line);) rows.push_back(nlohmann::json::parse(line));
        return rows;
    };
    // Four devices at once, as the README shows a station doing it.
    const RunResult run = e2e_run(four_devices({"--batch", "--report", report},
                                               "printf '1\\n2\\n3\\n4\\n' | xargs -P 4 -I PORT \"$@\" PORT"));
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 0) << run.output;
    std::vector<nlohmann::json> rows = lines();
    ASSERT_EQ(rows.size(), 4u);
    std::set<std::string> ports;
    const nlohmann::json expected = {{"outcome", "updated"}, {"exit_status", 0}, {"product_code", 59},
                                     {"product_name", "SND44"}, {"hardware_revision", 1},
                                     {"version_before", update_version(-1)}, {"image_version", update_version()},
                                     {"version_announced", update_version()}, {"image_source", "built-in"},
                                     {"attempts", 1}, {"last_error", ""}, {"program_version", "2.08"}};
    for (const nlohmann::json& row : rows) {
        ports.insert(row.at("port").get<std::string>());
        for (const auto& [name, value] : expected.items()) EXPECT_EQ(row.at(name), value) << name;
        EXPECT_EQ(row.at("time").get<std::string>().size(), 20u);
        EXPECT_GT(row.at("duration_ms").get<int>(), 0);
    }
    EXPECT_EQ(ports, (std::set<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    for (const DeviceOutcome& d : run.devices) expect_image_complete(d, 1);

    // Without --batch, an update that failed once and then completed:
    // exit status 1 as always, two attempts, the error kept.
    RunPlan again = batch_on_com3(concat(snd44(1), {"--on-block", "5:nak", "--faults-once", "--line", "100:=P"}));
    again.args = {"--report", report, "3"};
    again.keys = {{"(Y,N) ", "y"}, {"(Y,N) ", "y"}, {KEY_PROMPT, "x"}};
    (void)e2e_run(again);
    rows = lines();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[4].at("outcome"), "updated");
    EXPECT_EQ(rows[4].at("exit_status"), 1);
    EXPECT_EQ(rows[4].at("attempts"), 2);
    EXPECT_EQ(rows[4].at("last_error"), "Lost(2-01) communications with the bootloader, check cables and power.");

    // The one port named, held by another program: status 9, and its line.
    RunPlan held = batch_on_com3(snd44(1), {"--report", report});
    held.launcher = {"/bin/sh", "-c", "exec 3<>\"$OFWU_COM_DIR/COM3\"; flock -n 3 && \"$@\"", "sh"};
    const RunResult in_use = e2e_run(held);
    EXPECT_EQ(in_use.exit_status, 9) << in_use.output;
    EXPECT_NE(in_use.output.find(result_line("the port is in use by another program", 9)), std::string::npos);
    expect_untouched(in_use.devices.at(0));
    rows = lines();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[5].at("outcome"), "port_in_use");

    // A report that cannot be appended to: refused before any port.
    const RunResult refused = e2e_run(batch_on_com3(snd44(1), {"--report", folder.path + "/no/such/folder.jsonl"}));
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.output.find("no/such/folder.jsonl: cannot be opened to append the run's report\n"), std::string::npos)
        << refused.output;
    expect_untouched(refused.devices.at(0));
}

// An image from a pipe or a FIFO whose writer comes late is read whole.
TEST(ProgramImageFile, PipesAndFifosAreReadWhole) {
    TempFolder folder;
    const std::string image = firmware_path("snd44_rev2.img");
    const std::string fifo = folder.path + "/image.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case { std::string source; std::string feed; };
    const Case cases[] = {
        {"/dev/stdin", "(sleep 0.3; cat '" + image + "') | \"$@\""},
        {fifo, "(sleep 0.3; cat '" + image + "' > '" + fifo + "') & exec \"$@\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        RunPlan plan;
        plan.args = {"--image", c.source, "--list"};
        plan.launcher = {"/bin/sh", "-c", c.feed, "sh"};
        const RunResult run = e2e_run(plan);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output.rfind(c.source + ": SND44, product 59, revision 2", 0), 0u) << run.output;
    }
}

#endif

#ifdef OFWU_VIRTUAL_TIME
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
        {{"--image", file, "--list"}, file + slot1.substr(6) + file + ": not signed: there is no signature file " + file + ".sig\n"},
        {{"--version"}, "ofwu 2.08\nImage key: 3fc84277b2c44dfe (the development key: this build is for tests, not for release)\n"},
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
    for (const char* line : {"  --batch ", "  --image FILE ", "  --ports ", "  5  update refused", "  8  the image file"}) {
        EXPECT_NE(help.output.find(line), std::string::npos) << line;
    }
}

#endif

}  // namespace
