// The device's application firmware: text lines framed by "^" and "$" at
// 19200 baud. It answers the version query, moves to the bootloader on the
// entry string, and plays the scenario's unsolicited lines.
#include "device.h"

namespace {

// Noise bytes a line may carry before a reply: control bytes, bytes above
// 0x7F and letters, but never "^" or "$", which would frame a line.
const uint8_t NOISE[] = {0x00, 0xFF, 0x0D, 0x0A, 'x', 0x80, 0x7F, 0x11, 'Q', 0xC3};

void send_reply(Device* device) {
    std::vector<uint8_t> noise;
    for (uint32_t i = 0; i < device->scenario.noise_bytes; ++i) noise.push_back(NOISE[i % sizeof NOISE]);
    device_send(device, noise);
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
    if (device->scenario.app_silent) {
        device_log(device, "query ignored", "the application is silent");
        return;
    }
    send_reply(device);
}

void on_entry(Device* device) {
    report_count(&device->report, "entry_strings");
    device_log(device, "entry", "^BOOTL$");
    // The program sends the string three times; the first starts the switch.
    if (device->bootl_at_us != 0) return;
    if (device_step(device, "bootl", 1)) return;
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
    if (byte == '^') {
        device->app_line.clear();
    } else if (byte == '$') {
        const std::string line = device->app_line;
        device->app_line.clear();
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
        if (device->script_next < device->script.size()) {
            device->script_at_us += device->script[device->script_next].delay_ms * 1000ull;
        }
    }
}
