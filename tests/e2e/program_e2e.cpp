#include "program_e2e.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>

#include "identity.h"
#include "pty_line.h"

const char KEY_PROMPT[] = "\nPress any key to exit...";
const char PORT_NOT_OPENED[] = "Could not open port.";
const char PORT_MISMATCH[] = "A Ostrel device was found, but it does not match this firmware.";
const char PORT_FOUND[] = "A Ostrel device compatible with this firmwware was found.";
const char NOTHING_FOUND[] = "\n\nNo updatable Ostrel devices found.\n";
const char NEWER_QUESTION[] = "\n\nContinue with update to newer version? (Y,N) ";
const char CANCELLED[] = "\nUpdate cancelled.\n\n";
const char NO_RESPONSE[] = "\nError: No response from the bootloader, check cables and power.\n";
const char FLASH_MISMATCH[] = "\nError: FLASH firmware did not match update firmware.\n";
const char GONE_FROM_COM3[] = "\nNo Ostrel device found on COM3.\n";

namespace {

// The maker's notice and web address are this build's wording.
const char NOTICE[] = "\nCopyright (C) Ostrel. For Ostrel devices only; keep the device powered during an update.\n";
const char SUPPORT_ADDRESS[] = "https://www.ostrel.example/support";

const std::string PROGRESS = "\rUpdating firmware: ";  // then "NNN% complete."
const std::string PROGRESS_END = "% complete.";
const size_t PROGRESS_LINE = PROGRESS.size() + 3 + PROGRESS_END.size();

// Shows control bytes, so that "\r" and "\n" can be told apart in a message.
std::string visible(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (u < 0x20 || u >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

bool progress_line_at(const std::string& output, size_t at) {
    return output.compare(at, PROGRESS.size(), PROGRESS) == 0 && at + PROGRESS_LINE <= output.size() &&
           output.compare(at + PROGRESS.size() + 3, PROGRESS_END.size(), PROGRESS_END) == 0;
}

}  // namespace

std::string text_progress(uint32_t lines, bool done) {
    return "\n<progress " + std::to_string(lines) + (done ? " done>" : ">");
}

std::string collapse_progress(const std::string& output) {
    std::string out;
    size_t at = 0;
    for (size_t start = output.find(PROGRESS); start != std::string::npos; start = output.find(PROGRESS, at)) {
        out += output.substr(at, start - at);
        std::vector<uint32_t> percents;
        bool done = false;
        at = start;
        while (!done && progress_line_at(output, at)) {
            const std::string percent = output.substr(at + PROGRESS.size(), 3);
            at += PROGRESS_LINE;
            if (percent == "100" && output.compare(at, 1, "\n") == 0) {
                done = true;
                at += 1;
                break;
            }
            percents.push_back(static_cast<uint32_t>(std::atoi(percent.c_str())));
        }
        const uint32_t lines = static_cast<uint32_t>(percents.size());
        const uint32_t blocks = done ? lines : snd44_image().block_count;
        for (uint32_t n = 1; n <= lines; ++n) {
            EXPECT_EQ(percents[n - 1], (n - 1) * 100 / blocks) << "progress line " << n << " of " << blocks;
        }
        if (at == start) {  // not a whole line: left as it stands
            out += PROGRESS;
            at += PROGRESS.size();
            continue;
        }
        out += text_progress(lines, done).substr(1);  // the "\n" before the run is the output's own
    }
    return out + output.substr(at);
}

void run_program_case(const ProgramCase& c, bool wine) {
    RunPlan plan = c.plan(wine);
    plan.wine = wine;
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    c.check(run, wine);
    for (const DeviceOutcome& d : run.devices) expect_protocol_kept(d);
    if (testing::Test::HasFailure()) {
        for (const DeviceOutcome& d : run.devices) ADD_FAILURE() << "devsim on COM" << d.com << ":\n" << event_list(d);
    }
}

bool e2e_under_ci() {
    return std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true";
}

std::vector<ProgramCase> virtual_rows(const std::vector<ProgramCase>& rows) {
    std::vector<ProgramCase> kept;
    for (const ProgramCase& row : rows) {
        if (row.plan(false).launcher.empty()) kept.push_back(row);
    }
    return kept;
}

std::string program_case_name(const testing::TestParamInfo<ProgramCase>& info) {
    return info.param.name;
}

std::string text_head() {
    return std::string("\nOstrel firmware update utility. Version 2.08") + NOTICE;
}

std::string text_exit() {
    return std::string(KEY_PROMPT) + "\n";
}

std::string text_port(uint32_t com, const std::string& verdict) {
    return text_port("COM" + std::to_string(com), verdict);
}

std::string text_port(const std::string& label, const std::string& verdict) {
    return "\n" + label + ": " + verdict;
}

std::string text_gone_from(const std::string& label) {
    return "\nNo Ostrel device found on " + label + ".\n";
}

std::string found_on_com3() {
    return text_head() + text_port(3, PORT_FOUND) + "\n";
}

std::string text_advice() {
    return std::string("\nPlease check the Ostrel website for the proper firmware for your product,\n"
                       "or for a more recent version of this program: ") +
           SUPPORT_ADDRESS + "\n\n";
}

std::string text_newer() {
    return "\n\nThis update is newer than the firmware inside the SND44.\n"
           "\n Current Version: " + update_version(-1) + ", Model: SND44"
           "\n Update Version:  " + update_version() + ", Model: SND44" + NEWER_QUESTION;
}

std::string lost(int stage, int code) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "\nError: Lost(%d-%02X) communications with the bootloader, check cables and power.\n", stage, code);
    return text;
}

std::string firmware_path(const char* file) {
    return std::string(OFWU_FIRMWARE_DIR) + "/" + file;
}

std::vector<std::string> snd44(uint32_t revision) {
    const char* image = revision == 2 ? "snd44_rev2.img" : "snd44_rev1.img";
    return {"--revision", std::to_string(revision), "--image", firmware_path(image), "--version", update_version(-1)};
}

const FirmwareImage& snd44_image(uint32_t revision) {
    return *find_image(59, static_cast<uint16_t>(revision));
}

std::string update_version(int32_t step, uint32_t revision) {
    return version_unpack(snd44_image(revision).version + static_cast<uint32_t>(step) * 0x10000u);
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void expect_ended(const RunResult& run) {
    EXPECT_FALSE(run.timed_out) << visible(run.output);
    EXPECT_EQ(run.exit_status, 1);
}

void expect_transcript(const std::string& actual_output, const std::string& expected) {
    const std::string actual = collapse_progress(actual_output);
    if (actual == expected) return;
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const size_t from = at > 120 ? at - 120 : 0;
    ADD_FAILURE() << "standard output differs from byte " << at << " (" << actual.size() << " bytes, expected "
                  << expected.size() << ")\n  actual:   ..." << visible(actual.substr(from, 360))
                  << "\n  expected: ..." << visible(expected.substr(from, 360));
}

void expect_protocol_kept(const DeviceOutcome& d) {
    EXPECT_EQ(protocol_errors(d), std::vector<std::string>()) << "devsim on COM" << d.com;
    EXPECT_EQ(count_of(d, "stray_application_bytes"), 0) << "devsim on COM" << d.com << ": bytes outside a line";
}

void expect_untouched(const DeviceOutcome& d) {
    EXPECT_EQ(line_rates(d).size(), 1u) << "the program set a rate: it opened the port\n" << d.report_text;
    EXPECT_EQ(count_of(d, "application_bytes_received") + count_of(d, "bootloader_bytes_received") +
                  count_of(d, "bytes_dropped_wrong_rate"),
              0);
    EXPECT_FALSE(d.link_left);
}

void expect_image_complete(const DeviceOutcome& d, double start_packets) {
    EXPECT_EQ(report_text(d, "/image/verdict"), "complete")
        << report_text(d, "/image/mismatch") << report_text(d, "/image/refused");
    EXPECT_EQ(report_text(d, "/image/mismatch"), "");
    EXPECT_EQ(report_number(d, "/image/blocks_received"), report_number(d, "/image/blocks_expected"));
    EXPECT_EQ(report_number(d, "/image/start_packets"), start_packets);
    EXPECT_TRUE(report_flag(d, "/image/returned"));
    EXPECT_EQ(count_of(d, "bytes_sent_wrong_rate"), 0) << "the restarted application's version line came at 19200 baud";
}

double transfer_ms(const DeviceOutcome& d) {
    const size_t start = find_event(d, "start packet");
    const size_t back = find_event(d, "return", start);
    if (back >= event_count(d)) return -1;
    return event_unix_ms(d, back) - event_unix_ms(d, start);
}

double transfer_wire_ms(const DeviceOutcome& d, bool program_only) {
    const size_t start = find_event(d, "start packet");
    const size_t back = find_event(d, "return", start);
    double bytes = (program_only ? 4 : 9) + 3;
    for (size_t i = find_event(d, "block", start); i < back; i = find_event(d, "block", i + 1)) {
        const std::string detail = report_text(d, "/events/" + std::to_string(i) + "/detail");
        bytes += std::stod(detail.substr(detail.find(':') + 1)) + (program_only ? 6 : 11);  // "K: N data bytes"
    }
    return bytes * static_cast<double>(byte_time_us(115200)) / 1000;
}
