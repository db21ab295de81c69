#include "report.h"

#include <cstdio>

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

std::string json_quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Device bytes are not necessarily text: keep the JSON pure ASCII.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

namespace {

void json_key(JsonWriter* w, const std::string& key) {
    if (w->need_comma) w->text += w->one_line ? ", " : ",";
    if (!w->one_line) w->text += "\n";
    if (!key.empty()) w->text += json_quote(key) + ": ";
    w->need_comma = true;
}

void write_event(JsonWriter* w, const Event& e) {
    json_open(w, "", '{');
    w->one_line = true;
    json_number(w, "t_ms", e.t_ms);
    json_number(w, "line_baud", e.line_baud);
    json_number(w, "device_baud", e.device_baud);
    json_text(w, "kind", e.kind);
    json_text(w, "detail", e.detail);
    json_number(w, "repeat", e.repeat);
    w->text += "}";
    w->need_comma = true;
    w->one_line = false;
}

}  // namespace

void json_open(JsonWriter* w, const std::string& key, char bracket) {
    json_key(w, key);
    w->text += bracket;
    w->need_comma = false;
}

void json_close(JsonWriter* w, char bracket) {
    w->text += "\n";
    w->text += bracket;
    w->need_comma = true;
}

void json_field(JsonWriter* w, const std::string& key, const std::string& raw_value) {
    json_key(w, key);
    w->text += raw_value;
}

void json_text(JsonWriter* w, const std::string& key, const std::string& value) {
    json_field(w, key, json_quote(value));
}

void json_number(JsonWriter* w, const std::string& key, double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    // Whole numbers without a fraction, so counts read as counts.
    if (value == static_cast<double>(static_cast<long long>(value))) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    }
    json_field(w, key, text);
}

void report_write_members(JsonWriter* w, const Report& report) {
    json_open(w, "counts", '{');
    for (const auto& [name, value] : report.counts) json_number(w, name, static_cast<double>(value));
    json_close(w, '}');
    json_open(w, "protocol_errors", '[');
    for (const std::string& error : report.protocol_errors) json_text(w, "", error);
    json_close(w, ']');
    json_open(w, "timing", '{');
    json_number(w, "start_packet_ms", report.start_packet_ms);
    json_number(w, "return_ms", report.return_ms);
    json_close(w, '}');
    json_open(w, "events", '[');
    for (const Event& e : report.events) write_event(w, e);
    json_close(w, ']');
}
