#include "report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

void report_event(Report* report, double t_ms, uint32_t line_baud, uint32_t device_baud,
                  const std::string& kind, const std::string& detail) {
    if (report->echo) {
        std::fprintf(stderr, "devsim %10.3f ms  line %6u  device %6u  %s %s\n", t_ms, line_baud,
                     device_baud, kind.c_str(), detail.c_str());
    }
    if (!report->events.empty()) {
        Event& last = report->events.back();
        if (last.kind == kind && last.detail == detail && last.line_baud == line_baud &&
            last.device_baud == device_baud) {
            last.repeat += 1;
            return;
        }
    }
    report->events.push_back({t_ms, line_baud, device_baud, kind, detail, 1});
}

void report_count(Report* report, const std::string& name, uint64_t add) {
    report->counts[name] += add;
}

void report_wire(Report* report, bool to_program, uint32_t baud, const uint8_t* bytes, size_t count) {
    if (!report->record_wire || count == 0) return;
    if (report->wire.empty() || report->wire.back().to_program != to_program || report->wire.back().baud != baud) {
        report->wire.push_back({to_program, baud, ""});
    }
    report->wire.back().bytes.append(reinterpret_cast<const char*>(bytes), count);
}

std::string report_hex(const uint8_t* bytes, size_t count) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += DIGITS[bytes[i] >> 4];
        hex += DIGITS[bytes[i] & 15];
    }
    return hex;
}

void report_protocol_error(Report* report, const std::string& what) {
    report->protocol_errors.push_back(what);
}

void report_write_members(nlohmann::ordered_json* object, const Report& report) {
    nlohmann::ordered_json& o = *object;
    o["counts"] = nlohmann::ordered_json::object();
    for (const auto& [name, value] : report.counts) o["counts"][name] = value;
    o["protocol_errors"] = report.protocol_errors;
    o["timing"] = {{"start_packet_ms", report.start_packet_ms}, {"return_ms", report.return_ms}};
    if (report.record_wire) {
        o["wire"] = nlohmann::ordered_json::array();
        for (const WireRun& run : report.wire) {
            const std::string hex = report_hex(reinterpret_cast<const uint8_t*>(run.bytes.data()), run.bytes.size());
            o["wire"].push_back({{"to", run.to_program ? "program" : "device"}, {"baud", run.baud}, {"hex", hex}});
        }
    }
    o["events"] = nlohmann::ordered_json::array();
    for (const Event& e : report.events) {
        o["events"].push_back({{"t_ms", e.t_ms},
                               {"line_baud", e.line_baud},
                               {"device_baud", e.device_baud},
                               {"kind", e.kind},
                               {"detail", e.detail},
                               {"repeat", e.repeat}});
    }
}
