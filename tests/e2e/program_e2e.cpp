#include "program_e2e.h"

#include <cstdio>

const char KEY_PROMPT[] = "\nPress any key to exit...";
const char PORT_NOT_OPENED[] = "Could not open port.";
const char PORT_MISMATCH[] = "A Ostrel device was found, but it does not match this firmware.";
const char PORT_FOUND[] = "A Ostrel device compatible with this firmwware was found.";
const char NOTHING_FOUND[] = "\n\nNo updatable Ostrel devices found.\n";
const char NEWER_QUESTION[] = "\n\nContinue with update to newer version? (Y,N) ";

namespace {

// The maker's notice and web address are this build's wording.
const char NOTICE[] = "\nCopyright (C) Ostrel. For Ostrel devices only; keep the device powered during an update.\n";
const char SUPPORT_ADDRESS[] = "https://www.ostrel.example/support";

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

}  // namespace

// The device's events, one a line, to show beside a failure: the first 120
// and the last 60 of a long list.
std::string event_list(const DeviceOutcome& d) {
    const std::vector<JsonValue>& events = events_of(d);
    std::string text;
    char line[256];
    for (size_t i = 0; i < events.size(); ++i) {
        if (i == 120 && events.size() > 200) {
            text += "...\n";
            i = events.size() - 60;
        }
        const JsonValue& e = events[i];
        std::snprintf(line, sizeof line, "%10.1f ms  %6.0f  %-14s %s (x%.0f)\n", e["t_ms"].number,
                      e["line_baud"].number, e["kind"].text.c_str(), e["detail"].text.c_str(), e["repeat"].number);
        text += line;
    }
    return text;
}

void run_program_case(const ProgramCase& c, bool wine) {
    if (wine) {
        std::string why;
        if (!e2e_wine_available(&why)) GTEST_SKIP() << why;
    }
    RunPlan plan = c.plan(wine);
    plan.wine = wine;
    const RunResult run = e2e_run(plan);
    ASSERT_EQ(run.error, "");
    c.check(run, wine);
    if (testing::Test::HasFailure()) {
        for (const DeviceOutcome& d : run.devices) ADD_FAILURE() << "devsim on COM" << d.com << ":\n" << event_list(d);
    }
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
    return "\nCOM" + std::to_string(com) + ": " + verdict;
}

std::string text_advice() {
    return std::string("\nPlease check the Ostrel website for the proper firmware for your product,\n"
                       "or for a more recent version of this program: ") +
           SUPPORT_ADDRESS + "\n\n";
}

std::string text_newer(const std::string& current) {
    return "\n\nThis update is newer than the firmware inside the SND44.\n"
           "\n Current Version: " + current + ", Model: SND44"
           "\n Update Version:  2.59, Model: SND44" + NEWER_QUESTION;
}

std::string text_progress(uint32_t blocks, uint32_t accepted) {
    std::string text = "\n";
    char line[64];
    for (uint32_t done = 0; done <= accepted && done < blocks; ++done) {
        std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", done * 100u / blocks);
        text += line;
    }
    if (accepted == blocks) text += "\rUpdating firmware: 100% complete.\n";
    return text;
}

std::string firmware_path(const char* file) {
    return std::string(OFWU_FIRMWARE_DIR) + "/" + file;
}

std::vector<std::string> snd44(uint32_t revision) {
    const char* image = revision == 2 ? "snd44_rev2.img" : "snd44_rev1.img";
    return {"--revision", std::to_string(revision), "--image", firmware_path(image)};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

double count_of(const DeviceOutcome& d, const char* name) {
    return d.report["counts"][name].number;
}

const std::vector<JsonValue>& events_of(const DeviceOutcome& d) {
    return d.report["events"].items;
}

size_t find_event(const DeviceOutcome& d, const std::string& kind, size_t from, const std::string& detail) {
    const std::vector<JsonValue>& events = events_of(d);
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i]["kind"].text == kind && events[i]["detail"].text.rfind(detail, 0) == 0) return i;
    }
    return events.size();
}

std::vector<std::string> line_rates(const DeviceOutcome& d) {
    std::vector<std::string> rates;
    for (const JsonValue& e : events_of(d)) {
        if (e["kind"].text == "line rate") rates.push_back(e["detail"].text);
    }
    return rates;
}

double events_between(const DeviceOutcome& d, const std::string& kind, size_t from, size_t to) {
    const std::vector<JsonValue>& events = events_of(d);
    double n = 0;
    for (size_t i = from; i < to && i < events.size(); ++i) {
        if (events[i]["kind"].text == kind) n += events[i]["repeat"].number;
    }
    return n;
}

size_t find_at_rate(const DeviceOutcome& d, double baud, size_t from) {
    const std::vector<JsonValue>& events = events_of(d);
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i]["line_baud"].number == baud) return i;
    }
    return events.size();
}

bool all_at_rate(const DeviceOutcome& d, double baud, size_t from, size_t to) {
    const std::vector<JsonValue>& events = events_of(d);
    for (size_t i = from; i < to && i < events.size(); ++i) {
        if (events[i]["line_baud"].number != baud) return false;
    }
    return true;
}

double event_unix_ms(const DeviceOutcome& d, size_t index) {
    return d.report["start_unix_ms"].number + d.report["events"][index]["t_ms"].number;
}

void expect_ended(const RunResult& run) {
    EXPECT_FALSE(run.timed_out) << visible(run.output);
    EXPECT_EQ(run.exit_status, 1);
}

void expect_transcript(const std::string& actual, const std::string& expected) {
    if (actual == expected) return;
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const size_t from = at > 120 ? at - 120 : 0;
    ADD_FAILURE() << "standard output differs from byte " << at << " (" << actual.size() << " bytes, expected "
                  << expected.size() << ")\n  actual:   ..." << visible(actual.substr(from, 360))
                  << "\n  expected: ..." << visible(expected.substr(from, 360));
}

void expect_untouched(const DeviceOutcome& d) {
    EXPECT_EQ(line_rates(d).size(), 1u) << "the program set a rate: it opened the port\n" << d.report_text;
    EXPECT_EQ(count_of(d, "application_bytes_received") + count_of(d, "bootloader_bytes_received") +
                  count_of(d, "bytes_dropped_wrong_rate"),
              0);
    EXPECT_FALSE(d.link_left);
}

void expect_image_complete(const DeviceOutcome& d, double start_packets) {
    const JsonValue& image = d.report["image"];
    EXPECT_EQ(image["verdict"].text, "complete") << image["mismatch"].text << image["refused"].text;
    EXPECT_EQ(image["mismatch"].text, "");
    EXPECT_EQ(image["blocks_expected"].number, IMAGE_BLOCKS);
    EXPECT_EQ(image["blocks_received"].number, IMAGE_BLOCKS);
    EXPECT_EQ(image["start_packets"].number, start_packets);
    EXPECT_TRUE(image["returned"].boolean);
    EXPECT_EQ(count_of(d, "bytes_sent_wrong_rate"), 0) << "the restarted application's version line came at 19200 baud";
    EXPECT_EQ(d.report["protocol_errors"].items.size(), 0u) << d.report_text.substr(0, 2000);
}
