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

// The replayed trace's items up to its next write: each sent at its time
// after the write before it, a hang-up made an unplug at its time.
void replay_schedule(Device* device) {
    Replay* r = &device->replay;
    while (r->next < r->items.size()) {
        const ReplayItem& item = r->items[r->next];
        const uint64_t due = std::max(device->now_us, r->anchor_now_us + (item.at_us - std::min(item.at_us, r->anchor_trace_us)));
        if (item.kind == ReplayKind::expect && !item.bytes.empty()) return;
        if (item.kind == ReplayKind::send) {
            device_send(device, item.bytes, due - device->now_us);
            r->bytes_sent += item.bytes.size();
        } else if (item.kind == ReplayKind::hangup) {
            device->unplug_due_us = due;
            device->scenario.unplug_at = "trace line " + std::to_string(item.line);
        }
        ++r->next;
    }
}

void replay_start(Device* device) {
    Replay* r = &device->replay;
    r->started = true;
    r->anchor_now_us = device->now_us;
    r->anchor_trace_us = r->items.empty() ? 0 : r->items.front().at_us;
    device_log(device, "replay", "the program opened the line");
    replay_schedule(device);
}

void replay_differs(Device* device, const std::string& what) {
    device->replay.difference = what;
    device_log(device, "replay", what);
    report_protocol_error(&device->report, "replay: " + what);
}

std::string hex(uint8_t byte) {
    return report_hex(&byte, 1);
}

// One byte of the program, against the trace's next write.
void replay_receive(Device* device, uint8_t byte) {
    Replay* r = &device->replay;
    if (!r->difference.empty()) return;  // the replay stopped at the first difference
    if (!r->started) replay_start(device);
    if (r->next >= r->items.size()) {
        return replay_differs(device, "the program sent " + hex(byte) + " after the trace's last write");
    }
    const ReplayItem& item = r->items[r->next];
    const std::string where = "trace line " + std::to_string(item.line) + ", byte " + std::to_string(r->matched + 1) +
                              " of " + std::to_string(item.bytes.size());
    if (device->line_baud != item.baud) {
        return replay_differs(device, where + ": the program sent at " + std::to_string(device->line_baud) +
                                          " baud where the trace has " + std::to_string(item.baud));
    }
    if (byte != item.bytes[r->matched]) {
        return replay_differs(device, where + ": the program sent " + hex(byte) + " where the trace has " +
                                          hex(item.bytes[r->matched]));
    }
    ++r->bytes_matched;
    if (++r->matched < item.bytes.size()) return;
    r->matched = 0;
    r->anchor_trace_us = item.at_us;
    r->anchor_now_us = device->now_us;
    ++r->next;
    replay_schedule(device);
}

nlohmann::ordered_json replay_json(const Replay& r) {
    return {{"trace", r.path},
            {"port", r.port},
            {"items", r.items.size()},
            {"items_played", r.next},
            {"bytes_matched", r.bytes_matched},
            {"bytes_sent", r.bytes_sent},
            {"complete", replay_complete(r)},
            {"difference", r.difference}};
}

}  // namespace

bool device_start(Device* device, const Scenario& scenario, std::string* error) {
    device->scenario = scenario;
    device->report.echo = scenario.verbose;
    device->report.record_wire = scenario.record_wire;
    if (!scenario.replay_path.empty()) {
        device->replaying = true;
        if (!replay_load(scenario.replay_path, scenario.replay_port, &device->replay, error)) return false;
        device_log(device, "start", "replaying " + scenario.replay_path + " on " + device->replay.port);
        return true;
    }
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
    // A replay sends what the program read, at whatever rate it then had.
    if (device.replaying) return device.line_baud;
    return device.mode == Mode::application ? APP_BAUD : BOOT_BAUD;
}

void device_receive(Device* device, uint8_t byte, uint64_t now_us) {
    device->now_us = now_us;
    report_wire(&device->report, false, device->line_baud, &byte, 1);
    if (device->unplugged) return;
    if (device->replaying) return replay_receive(device, byte);
    if (device->mode == Mode::application) application_receive(device, byte);
    else bootloader_receive(device, byte);
}

void device_noise(Device* device, uint8_t byte, uint64_t now_us) {
    device->now_us = now_us;
    // A byte at the wrong rate is garbage to the device: only its count
    // matters, and what the program sent, for the wire's record.
    report_wire(&device->report, false, device->line_baud, &byte, 1);
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

void device_arrive(Device* device, uint8_t byte, uint32_t sent_baud, uint64_t now_us) {
    device->line_baud = sent_baud;
    if (sent_baud == device_baud(*device)) device_receive(device, byte, now_us);
    else device_noise(device, byte, now_us);
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
    if (device->replaying) {
        // The program opened the line when its rate is the trace's first.
        const Replay& r = device->replay;
        if (!r.started && !r.items.empty() && device->line_baud == r.items.front().baud) replay_start(device);
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
        else if (e == "replayed") met = device.replaying && replay_complete(device.replay);
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
    if (device.replaying) report["replay"] = replay_json(device.replay);
    report_write_members(&report, device.report);
    // Device bytes in a detail need not be UTF-8: they are replaced, not refused.
    return report.dump(1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
