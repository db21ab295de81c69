// The device's bootloader: checksummed packets at 115200 baud, each answered
// with ACK or NAK; the probe, the start and block commands with their status
// exchange, and the return to the application.
#include <cstdio>

#include "device.h"

namespace {

const std::string ENTRY_STRING = "^BOOTL$";

std::string hex_byte(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

void send_byte(Device* device, uint8_t byte) {
    device_send(device, {byte});
    report_count(&device->report, byte == BOOT_ACK ? "acks_sent" : "naks_sent");
}

// Sends a reply packet; the program answers it with ACK or NAK.
void send_packet(Device* device, const std::vector<uint8_t>& data, bool corrupt) {
    device_send(device, packet_frame(data, corrupt));
    report_count(&device->report, "packets_sent");
    device->awaiting_ack = true;
    device->ack_deadline_us = device->now_us + ACK_WAIT_US;
}

void on_probe(Device* device) {
    device->probes += 1;
    report_count(&device->report, "probes");
    device_log(device, "probe", "&");
    if (device_step(device, "probe", device->probes)) return;
    if (device_babble(device, "zeros", std::string(1, '\0'))) return;
    const int32_t silent = device->scenario.boot_silent_probes;
    if (silent < 0 || device->probes <= static_cast<uint32_t>(silent)) {
        device_log(device, "probe ignored", "the bootloader is silent");
        return;
    }
    const Fault fault = device_fault(device, device->scenario.on_probe, "probe");
    if (fault.kind == FaultKind::nak) {
        send_byte(device, BOOT_NAK);
        device_log(device, "probe refused", "NAK");
        return;
    }
    if (fault.kind == FaultKind::silent) {
        device_log(device, "probe ignored", "told to be silent");
        return;
    }
    if (fault.kind == FaultKind::noise) {
        device_send_noise(device, NOISE_BURST);
        device_log(device, "probe answered", "noise");
        return;
    }
    send_byte(device, BOOT_ACK);
    std::vector<uint8_t> record = info_record(device->scenario.identity);
    // A reply of another length: the record cut short, or followed by filler.
    if (device->scenario.probe_data_length >= 0) {
        record.resize(static_cast<size_t>(device->scenario.probe_data_length), 0xA5);
    }
    send_packet(device, record, device->scenario.probe_bad_checksum);
    report_count(&device->report, "probe_replies");
    device_log(device, "probe reply", std::to_string(record.size()) + " data bytes");
}

// Answers an update command as the scenario says: the fault, if any, for this
// command; otherwise ACK and "@" for the status request that must follow.
void answer_command(Device* device, const Fault& fault, const std::string& what) {
    if (device->awaiting_status) {
        report_protocol_error(&device->report, what + " came while a status request was due");
    }
    device->pending_status = '@';
    device->awaiting_status = false;
    if (fault.kind == FaultKind::nak) {
        send_byte(device, BOOT_NAK);
        transfer_on_refused(&device->transfer, what + ": NAK");
    } else if (fault.kind == FaultKind::silent) {
        device_log(device, "command ignored", what);
        transfer_on_refused(&device->transfer, what + ": no answer");
    } else if (fault.kind == FaultKind::noise) {
        device_send_noise(device, NOISE_BURST);
        device_log(device, "command answered", what + ": noise");
        transfer_on_refused(&device->transfer, what + ": noise");
    } else {
        send_byte(device, BOOT_ACK);
        device->awaiting_status = true;
        if (fault.kind == FaultKind::status) {
            device->pending_status = fault.status;
            transfer_on_refused(&device->transfer, what + ": status " + hex_byte(fault.status));
        }
    }
}

void on_start_packet(Device* device, const std::vector<uint8_t>& data) {
    report_count(&device->report, "start_packets");
    device->report.start_packet_ms = static_cast<double>(device->now_us) / 1000.0;
    device_log(device, "start packet", std::to_string(data.size()) + " data bytes");
    if (device_step(device, "start", 1)) return;
    transfer_on_start(&device->transfer, data);
    answer_command(device, device_fault(device, device->scenario.on_start, "start"), "start packet");
}

void on_block(Device* device, const std::vector<uint8_t>& data) {
    report_count(&device->report, "block_packets");
    transfer_on_block(&device->transfer, data);
    const uint32_t block = device->transfer.blocks;
    device_log(device, "block", std::to_string(block) + ": " + std::to_string(data.size()) + " data bytes");
    if (device_step(device, "block", block)) return;
    const auto fault = device->scenario.on_block.find(block);
    const Fault told = fault == device->scenario.on_block.end() ? Fault{} : fault->second;
    answer_command(device, device_fault(device, told, "block:" + std::to_string(block)),
                   "block " + std::to_string(block));
}

// The fault told for this status request: refused, unanswered, or
// acknowledged without its reply. Either way the command's status is given up.
bool play_status_fault(Device* device) {
    const uint32_t number = device->status_requests;
    const auto told = device->scenario.on_status.find(number);
    if (told == device->scenario.on_status.end()) return false;
    const Fault fault = device_fault(device, told->second, "status:" + std::to_string(number));
    if (fault.kind == FaultKind::none) return false;
    const std::string what = "status request " + std::to_string(number);
    if (fault.kind == FaultKind::nak) send_byte(device, BOOT_NAK);
    if (fault.kind == FaultKind::no_reply) send_byte(device, BOOT_ACK);
    device_log(device, "status withheld", what);
    transfer_on_refused(&device->transfer, what + (fault.kind == FaultKind::nak      ? ": NAK"
                                                   : fault.kind == FaultKind::silent ? ": no answer"
                                                                                     : ": no reply"));
    return true;
}

void on_status_request(Device* device) {
    device->status_requests += 1;
    report_count(&device->report, "status_requests");
    if (device_step(device, "status", device->status_requests)) return;
    if (!device->awaiting_status) report_protocol_error(&device->report, "status request without a command");
    device->awaiting_status = false;
    if (play_status_fault(device)) return;
    send_byte(device, BOOT_ACK);
    send_packet(device, {device->pending_status}, false);
    device_log(device, "status", hex_byte(device->pending_status));
}

void on_return(Device* device) {
    report_count(&device->report, "return_commands");
    device->report.return_ms = static_cast<double>(device->now_us) / 1000.0;
    device_log(device, "return", "%");
    if (device_step(device, "return", 1)) return;
    if (device->awaiting_status) report_protocol_error(&device->report, "return came while a status request was due");
    device->awaiting_status = false;
    transfer_on_return(&device->transfer);
    // No acknowledge: the device simply starts its application.
    device_restart_application(device);
}

void on_packet(Device* device) {
    report_count(&device->report, "packets_received");
    if (!packet_reader_checksum_ok(device->reader)) {
        report_count(&device->report, "checksum_bad");
        device_log(device, "checksum bad", std::to_string(device->reader.data.size()) + " data bytes");
        send_byte(device, BOOT_NAK);
        return;
    }
    report_count(&device->report, "checksum_ok");
    const std::vector<uint8_t> data = device->reader.data;
    const uint8_t command = data.empty() ? 0 : data[0];
    // The status request and the return command are one command byte each.
    if ((command == '#' || command == '%') && data.size() != 1) {
        report_protocol_error(&device->report, std::string(1, static_cast<char>(command)) + " packet with " +
                                                   std::to_string(data.size()) + " data bytes");
    }
    switch (command) {
        case '&': on_probe(device); break;
        case '!': on_start_packet(device, data); break;
        case '$': on_block(device, data); break;
        case '#': on_status_request(device); break;
        case '%': on_return(device); break;
        default:
            device_log(device, "unknown command", std::to_string(data.size()) + " data bytes");
            send_byte(device, BOOT_ACK);
            break;
    }
}

void take_acknowledge(Device* device, uint8_t byte) {
    device->awaiting_ack = false;
    const char* name = byte == BOOT_ACK ? "program_acks" : byte == BOOT_NAK ? "program_naks" : "program_other_answers";
    report_count(&device->report, name);
    device_log(device, "program answer", hex_byte(byte));
}

void feed_packet_byte(Device* device, uint8_t byte) {
    const ReadStep step = packet_reader_feed(&device->reader, byte);
    if (step == ReadStep::idle) report_count(&device->report, "idle_zero_bytes");
    else if (step == ReadStep::complete) on_packet(device);
}

// The entry string also reaches the bootloader (the program repeats it after a
// failed probe). Between frames the bootloader recognises and ignores it; bytes
// that turn out not to be the string are taken as a frame after all.
bool match_entry_string(Device* device, uint8_t byte) {
    if (packet_reader_busy(device->reader)) return false;
    if (device->entry_match.empty() && byte != '^') return false;
    device->entry_match += static_cast<char>(byte);
    if (ENTRY_STRING.compare(0, device->entry_match.size(), device->entry_match) != 0) {
        const std::string taken = device->entry_match;
        device->entry_match.clear();
        for (const char c : taken) feed_packet_byte(device, static_cast<uint8_t>(c));
    } else if (device->entry_match == ENTRY_STRING) {
        device->entry_match.clear();
        report_count(&device->report, "entry_strings");
        device_log(device, "entry ignored", "^BOOTL$ in the bootloader");
    }
    return true;
}

}  // namespace

void bootloader_receive(Device* device, uint8_t byte) {
    report_count(&device->report, "bootloader_bytes_received");
    device->last_boot_byte_us = device->now_us;
    if (device->awaiting_ack && byte != 0) {
        take_acknowledge(device, byte);
        // Anything but ACK or NAK means the program has moved on: the byte
        // begins its next frame.
        if (byte == BOOT_ACK || byte == BOOT_NAK) return;
    }
    if (match_entry_string(device, byte)) return;
    feed_packet_byte(device, byte);
}

void bootloader_advance(Device* device) {
    if (device->awaiting_ack && device->now_us >= device->ack_deadline_us) {
        device->awaiting_ack = false;
        report_count(&device->report, "program_no_answer");
        report_protocol_error(&device->report, "a reply packet was never answered with ACK or NAK");
        device_log(device, "program answer", "none");
    }
    if (packet_reader_busy(device->reader) && device->now_us >= device->last_boot_byte_us + PARTIAL_PACKET_US) {
        device_log(device, "frame given up", std::to_string(device->reader.data.size()) + " of " +
                                                 std::to_string(device->reader.expected) + " data bytes");
        report_count(&device->report, "frames_given_up");
        packet_reader_reset(&device->reader);
    }
}
