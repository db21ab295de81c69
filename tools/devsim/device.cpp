#include "device.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "image_format.h"

namespace {

bool step_matches(const std::string& unplug_at, const std::string& name, uint32_t number) {
    const size_t colon = unplug_at.find(':');
    if (unplug_at.substr(0, colon) != name) return false;
    const uint32_t wanted =
        colon == std::string::npos ? 1u : static_cast<uint32_t>(std::stoul(unplug_at.substr(colon + 1)));
    return wanted == number;
}

uint64_t unplug_time_us(const Device& device) {
    if (device.scenario.unplug_at.rfind("time:", 0) != 0) return device.unplug_due_us;
    return std::stoull(device.scenario.unplug_at.substr(5)) * 1000u;
}

bool load_image(Device* device, std::string* error) {
    if (device->scenario.image_path.empty()) return true;
    std::vector<uint8_t> image;
    if (!image_load(device->scenario.image_path, &image)) {
        *error = "cannot read image " + device->scenario.image_path;
        return false;
    }
    std::string problem;
    if (!transfer_expect(&device->transfer, image, &problem)) {
        *error = device->scenario.image_path + " is not a valid image: " + problem;
        return false;
    }
    return true;
}

const char* mode_name(Mode mode) {
    return mode == Mode::application ? "application" : "bootloader";
}

nlohmann::ordered_json transfer_json(const TransferCheck& t) {
    return {{"verdict", transfer_verdict(t)},
            {"blocks_expected", t.records.size()},
            {"blocks_received", t.blocks},
            {"start_packets", t.attempts},
            {"returned", t.returned},
            {"mismatch", t.mismatch},
            {"refused", t.refused}};
}

}  // namespace

bool device_start(Device* device, const Scenario& scenario, std::string* error) {
    device->scenario = scenario;
    device->report.echo = scenario.verbose;
    device->mode = scenario.start_in_bootloader ? Mode::bootloader : Mode::application;
    if (!load_image(device, error)) return false;
    device_log(device, "start", std::string("in the ") + mode_name(device->mode));
    if (device->mode == Mode::application) device_play_script(device, scenario.start_script, 0);
    return true;
}

size_t rate_change_split(const uint8_t* bytes, size_t count, uint32_t old_baud, uint32_t new_baud) {
    const auto printable = [](uint8_t b) { return b >= 0x20 && b <= 0x7E; };
    if (new_baud == APP_BAUD) {
        // From the first '^' of a printable tail on, the new rate's lines.
        size_t split = count;
        for (size_t i = count; i > 0 && printable(bytes[i - 1]); --i) {
            if (bytes[i - 1] == '^') split = i - 1;
        }
        return split;
    }
    if (old_baud == APP_BAUD) {
        // Up to the last '$' of a printable head, the old rate's lines.
        size_t split = 0;
        for (size_t i = 0; i < count && printable(bytes[i]); ++i) {
            if (bytes[i] == '$') split = i + 1;
        }
        return split;
    }
    return 0;
}

uint32_t device_baud(const Device& device) {
    return device.mode == Mode::application ? APP_BAUD : BOOT_BAUD;
}

void device_receive(Device* device, uint8_t byte, uint64_t now_us) {
    device->now_us = now_us;
    if (device->unplugged) return;
    if (device->mode == Mode::application) application_receive(device, byte);
    else bootloader_receive(device, byte);
}

void device_noise(Device* device, uint8_t byte, uint64_t now_us) {
    device->now_us = now_us;
    (void)byte;  // a byte at the wrong rate is garbage to the device: only its count matters
    device_log(device, "noise", "received at a wrong rate, dropped");
    report_count(&device->report, "bytes_dropped_wrong_rate");
    // The program's answer to a reply, sent just before it changed its rate:
    // the device sees the rate only when it reads, so it cannot tell, and a
    // garbled answer is an answer all the same.
    if (device->awaiting_ack) {
        device->awaiting_ack = false;
        report_count(&device->report, "program_answers_at_a_wrong_rate");
    }
}

void device_advance(Device* device, uint64_t now_us) {
    device->now_us = now_us;
    if (device->unplugged) return;
    if (now_us >= unplug_time_us(*device)) {
        device->unplugged = true;
        device->unplug_step = device->scenario.unplug_at;
        device_log(device, "unplugged", device->unplug_step);
        return;
    }
    if (device->mode == Mode::application) application_advance(device);
    else bootloader_advance(device);
    while (!device->babble.empty() && device->outbox.size() < BABBLE_QUEUE) device_send_text(device, device->babble);
}

uint64_t device_next_timer(const Device& device) {
    uint64_t next = unplug_time_us(device);
    if (device.bootl_at_us != 0) next = std::min(next, device.bootl_at_us);
    if (device.script_next < device.script.size()) next = std::min(next, device.script_at_us);
    if (packet_reader_busy(device.reader)) next = std::min(next, device.last_boot_byte_us + PARTIAL_PACKET_US);
    if (device.awaiting_ack) next = std::min(next, device.ack_deadline_us);
    return next;
}

void device_log(Device* device, const std::string& kind, const std::string& detail) {
    report_event(&device->report, static_cast<double>(device->now_us) / 1000.0, device->line_baud,
                 device_baud(*device), kind, detail);
}

void device_send(Device* device, const std::vector<uint8_t>& bytes, uint64_t delay_us) {
    const uint64_t due = device->now_us + delay_us;
    // Keep the outbox in order of due time; equal times keep their order.
    auto at = device->outbox.end();
    while (at != device->outbox.begin() && std::prev(at)->due_us > due) --at;
    for (const uint8_t byte : bytes) at = std::next(device->outbox.insert(at, {due, byte}));
}

void device_send_text(Device* device, const std::string& text, uint64_t delay_us) {
    device_send(device, std::vector<uint8_t>(text.begin(), text.end()), delay_us);
}

void device_send_noise(Device* device, uint32_t count, uint64_t delay_us) {
    static const uint8_t NOISE[] = {0x00, 0xFF, 0x0D, 0x0A, 'x', 0x80, 0x7F, 0x11, 'Q', 0xC3};
    std::vector<uint8_t> noise;
    for (uint32_t i = 0; i < count; ++i) noise.push_back(NOISE[i % sizeof NOISE]);
    device_send(device, noise, delay_us);
}

Fault device_fault(Device* device, const Fault& fault, const std::string& key, bool spend) {
    if (fault.kind == FaultKind::none) return fault;
    if (device->scenario.faults_once) {
        if (device->faults_spent.count(key) != 0) return Fault{};
        if (spend) device->faults_spent.insert(key);
    }
    return fault;
}

bool device_step(Device* device, const std::string& name, uint32_t number) {
    if (!device->scenario.unplug_at.empty() && step_matches(device->scenario.unplug_at, name, number)) {
        device->unplugged = true;
        device->unplug_step = device->scenario.unplug_at;
        device_log(device, "unplugged", device->unplug_step);
    }
    return device->unplugged;
}

void device_step_later(Device* device, const std::string& name, uint32_t number, uint64_t delay_us) {
    if (!device->scenario.unplug_at.empty() && step_matches(device->scenario.unplug_at, name, number)) {
        device->unplug_due_us = device->now_us + delay_us;
    }
}

void device_entry_over(Device* device) {
    if (device->entry_fault_played) device_fault(device, device->scenario.on_entry, "entry");
    device->entry_fault_played = false;
}

void device_enter_bootloader(Device* device) {
    device_entry_over(device);
    device->mode = Mode::bootloader;
    device->bootl_at_us = 0;
    device->script.clear();
    device->script_next = 0;
    packet_reader_reset(&device->reader);
    device->entry_match.clear();
    device->awaiting_ack = false;
    device->awaiting_status = false;
    device_log(device, "mode", "bootloader");
}

void device_restart_application(Device* device) {
    // After a whole update the application is the update's: it says so in
    // its version (or in the version it was told to announce).
    if (transfer_verdict(device->transfer) == "complete") {
        const std::string& told = device->scenario.restart_version;
        device->scenario.identity.version_text =
            told.empty() ? version_unpack(image_read_u32(device->transfer.image, IMAGE_VERSION_AT)) : told;
    }
    device->mode = Mode::application;
    device->app_line.clear();
    device->in_line = false;
    device_log(device, "mode", "application restarting");
    const uint64_t delay = static_cast<uint64_t>(device->scenario.restart_delay_ms) * 1000u;
    // The restarted application announces itself, then plays its script.
    const Fault fault = device_fault(device, device->scenario.on_restart, "restart");
    if (fault.kind == FaultKind::noise) device_send_noise(device, NOISE_BURST, delay);
    if (fault.kind == FaultKind::silent) {
        device_log(device, "restart", "no version line");
    } else {
        device_send_text(device, "^" + version_reply(device->scenario.identity) + "$", delay);
    }
    device_play_script(device, device->scenario.restart_script, delay);
}

void device_play_script(Device* device, const std::vector<ScriptLine>& script, uint64_t delay_us) {
    device->script = script;
    device->script_next = 0;
    if (!script.empty()) device->script_at_us = device->now_us + delay_us + script[0].delay_ms * 1000ull;
}

bool device_babble(Device* device, const std::string& kind, const std::string& unit) {
    if (device->scenario.babble != kind) return false;
    if (device->babble.empty()) device_log(device, "babble", kind);
    device->babble = unit;
    return true;
}

std::vector<std::string> device_unmet(const Device& device) {
    std::vector<std::string> unmet;
    const std::string verdict = transfer_verdict(device.transfer);
    for (const std::string& e : device.scenario.expectations) {
        const auto counted = [&](const char* name) {
            const auto it = device.report.counts.find(name);
            return it != device.report.counts.end() && it->second > 0;
        };
        bool met = true;
        if (e == "update") met = verdict == "complete";
        else if (e == "no-update") met = verdict == "none";
        else if (e == "query") met = counted("version_replies");
        else if (e == "probe") met = counted("probe_replies");
        else if (e == "unplugged") met = device.unplugged;
        else if (e == "clean") met = device.report.protocol_errors.empty();
        if (!met) unmet.push_back(e + (e == "update" ? " (image " + verdict + ")" : ""));
    }
    return unmet;
}

std::string device_report_json(const Device& device, const std::string& stop_reason,
                               const std::string& pty_name, double start_unix_ms) {
    const std::vector<std::string> unmet = device_unmet(device);
    nlohmann::ordered_json report = {{"link", device.scenario.link},
                                     {"pty", pty_name},
                                     {"start_unix_ms", start_unix_ms},
                                     {"stop_reason", stop_reason},
                                     {"final_mode", mode_name(device.mode)},
                                     {"unplugged_at", device.unplug_step},
                                     {"expectations_met", unmet.empty()},
                                     {"unmet", unmet},
                                     {"image", transfer_json(device.transfer)}};
    report_write_members(&report, device.report);
    // Device bytes in a detail need not be UTF-8: they are replaced, not refused.
    return report.dump(1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
