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

void report_protocol_error(Report* report, const std::string& what) {
    report->protocol_errors.push_back(what);
}

void report_write_members(nlohmann::ordered_json* object, const Report& report) {
    nlohmann::ordered_json& o = *object;
    o["counts"] = nlohmann::ordered_json::object();
    for (const auto& [name, value] : report.counts) o["counts"][name] = value;
    o["protocol_errors"] = report.protocol_errors;
    o["timing"] = {{"start_packet_ms", report.start_packet_ms}, {"return_ms", report.return_ms}};
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
