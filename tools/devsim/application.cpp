// The device's application firmware: text lines framed by "^" and "$" at
// 19200 baud. It answers the version query, moves to the bootloader on the
// entry string, and plays the scenario's unsolicited lines.
#include "device.h"

namespace {

void send_reply(Device* device) {
    device_send_noise(device, device->scenario.noise_bytes);
    for (const std::string& line : device->scenario.before_reply) device_send_text(device, "^" + line);
    const std::string reply = version_reply(device->scenario.identity);
    device_send_text(device, "^" + reply + "$");
    device_log(device, "reply", reply);
    report_count(&device->report, "version_replies");
}

void on_query(Device* device) {
    device->queries += 1;
    report_count(&device->report, "version_queries");
    device_log(device, "query", "^V$");
    if (device_step(device, "query", device->queries)) return;
    device_entry_over(device);  // a new detection
    if (device->scenario.app_silent) {
        device_log(device, "query ignored", "the application is silent");
        return;
    }
    if (device_babble(device, "carets", "^") || device_babble(device, "empty-lines", "^$")) return;
    send_reply(device);
}

void on_entry(Device* device) {
    report_count(&device->report, "entry_strings");
    device_log(device, "entry", "^BOOTL$");
    // The program sends the string three times; the first starts the switch.
    if (device->bootl_at_us != 0) return;
    if (device_step(device, "bootl", 1)) return;
    // A fault holds for every string of this entry; it is spent when the
    // program detects the device anew.
    const Fault fault = device_fault(device, device->scenario.on_entry, "entry", false);
    if (fault.kind == FaultKind::silent) {
        device->entry_fault_played = true;
        device_log(device, "entry ignored", "the application does not switch");
        return;
    }
    if (fault.kind == FaultKind::noise) {
        device->entry_fault_played = true;
        device_send_noise(device, NOISE_BURST);
        device_log(device, "entry noise", std::to_string(NOISE_BURST) + " bytes");
    }
    device->bootl_at_us = device->now_us + static_cast<uint64_t>(device->scenario.bootl_delay_ms) * 1000u;
}

void on_line(Device* device, const std::string& line) {
    if (line == "V") on_query(device);
    else if (line == "BOOTL") on_entry(device);
    else {
        report_count(&device->report, "unknown_lines");
        device_log(device, "unknown line", line + "$");
    }
}

}  // namespace

void application_receive(Device* device, uint8_t byte) {
    report_count(&device->report, "application_bytes_received");
    // The program sends nothing but framed lines: anything outside "^...$"
    // did not come from its protocol (a message that went to the port, say).
    if (byte != '^' && !device->in_line) {
        report_count(&device->report, "stray_application_bytes");
        device_log(device, "stray byte", "outside a line");
    }
    if (byte == '^') {
        device->app_line.clear();
        device->in_line = true;
    } else if (byte == '$') {
        const std::string line = device->app_line;
        device->app_line.clear();
        device->in_line = false;
        on_line(device, line);
    } else if (device->app_line.size() < APP_LINE_MAX) {
        device->app_line += static_cast<char>(byte);
    }
}

void application_advance(Device* device) {
    if (device->bootl_at_us != 0 && device->now_us >= device->bootl_at_us) {
        device_enter_bootloader(device);
        return;
    }
    while (device->script_next < device->script.size() && device->now_us >= device->script_at_us) {
        const std::string& text = device->script[device->script_next].text;
        device_send_text(device, "^" + text + "$");
        device_log(device, "script line", text);
        report_count(&device->report, "script_lines_sent");
        device->script_next += 1;
        device->script_lines += 1;
        // The line goes out before the device does.
        device_step_later(device, "line", device->script_lines, 50000);
        if (device->script_next < device->script.size()) {
            device->script_at_us += device->script[device->script_next].delay_ms * 1000ull;
        }
    }
}
