// The pieces both end-to-end runners share: a temporary folder, and the
// readers of a device's report and of a run's output.
#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "e2e_harness.h"

namespace {

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : fallback;
}

}  // namespace

TempFolder::TempFolder() {
    std::string pattern = env_or("TMPDIR", "/tmp") + "/ofwu-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;  // a folder that cannot be removed is left for the system's cleaning
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

namespace {

const nlohmann::json& value_at(const DeviceOutcome& d, const std::string& pointer) {
    static const nlohmann::json absent;
    const nlohmann::json::json_pointer at(pointer);
    return d.report != nullptr && d.report->contains(at) ? (*d.report)[at] : absent;
}

const nlohmann::json& events_of(const DeviceOutcome& d) {
    static const nlohmann::json none = nlohmann::json::array();
    const nlohmann::json& v = value_at(d, "/events");
    return v.is_array() ? v : none;
}

}  // namespace

double report_number(const DeviceOutcome& d, const std::string& pointer) {
    const nlohmann::json& v = value_at(d, pointer);
    return v.is_number() ? v.get<double>() : 0;
}

std::string report_text(const DeviceOutcome& d, const std::string& pointer) {
    const nlohmann::json& v = value_at(d, pointer);
    return v.is_string() ? v.get<std::string>() : "";
}

bool report_flag(const DeviceOutcome& d, const std::string& pointer) {
    const nlohmann::json& v = value_at(d, pointer);
    return v.is_boolean() && v.get<bool>();
}

double count_of(const DeviceOutcome& d, const std::string& name) {
    return report_number(d, "/counts/" + name);
}

std::vector<std::string> protocol_errors(const DeviceOutcome& d) {
    const nlohmann::json& v = value_at(d, "/protocol_errors");
    return v.is_array() ? v.get<std::vector<std::string>>() : std::vector<std::string>();
}

size_t event_count(const DeviceOutcome& d) {
    return events_of(d).size();
}

double event_line_baud(const DeviceOutcome& d, size_t index) {
    return events_of(d).at(index).at("line_baud").get<double>();
}

double event_repeat(const DeviceOutcome& d, size_t index) {
    return events_of(d).at(index).at("repeat").get<double>();
}

// The first 120 and the last 60 of a long list.
std::string event_list(const DeviceOutcome& d) {
    const nlohmann::json& events = events_of(d);
    std::string text;
    char line[256];
    for (size_t i = 0; i < events.size(); ++i) {
        if (i == 120 && events.size() > 200) {
            text += "...\n";
            i = events.size() - 60;
        }
        const nlohmann::json& e = events[i];
        std::snprintf(line, sizeof line, "%10.1f ms  %6.0f  %-14s %s (x%.0f)\n", e.at("t_ms").get<double>(),
                      e.at("line_baud").get<double>(), e.at("kind").get<std::string>().c_str(),
                      e.at("detail").get<std::string>().c_str(), e.at("repeat").get<double>());
        text += line;
    }
    return text;
}

size_t find_event(const DeviceOutcome& d, const std::string& kind, size_t from, const std::string& detail) {
    const nlohmann::json& events = events_of(d);
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].at("kind") == kind && events[i].at("detail").get<std::string>().rfind(detail, 0) == 0) return i;
    }
    return events.size();
}

std::vector<std::string> line_rates(const DeviceOutcome& d) {
    std::vector<std::string> rates;
    for (const nlohmann::json& e : events_of(d)) {
        if (e.at("kind") == "line rate") rates.push_back(e.at("detail").get<std::string>());
    }
    // The program gives the line up as it found it: the line's first rate
    // again at the end, seen or not before devsim stopped, is no rate the
    // program used.
    while (rates.size() > 1 && rates.back() == rates.front()) rates.pop_back();
    return rates;
}

double events_between(const DeviceOutcome& d, const std::string& kind, size_t from, size_t to) {
    const nlohmann::json& events = events_of(d);
    double n = 0;
    for (size_t i = from; i < to && i < events.size(); ++i) {
        if (events[i].at("kind") == kind) n += events[i].at("repeat").get<double>();
    }
    return n;
}

size_t find_at_rate(const DeviceOutcome& d, double baud, size_t from) {
    const nlohmann::json& events = events_of(d);
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].at("line_baud").get<double>() == baud) return i;
    }
    return events.size();
}

bool all_at_rate(const DeviceOutcome& d, double baud, size_t from, size_t to) {
    const nlohmann::json& events = events_of(d);
    for (size_t i = from; i < to && i < events.size(); ++i) {
        if (events[i].at("line_baud").get<double>() != baud) return false;
    }
    return true;
}

double event_unix_ms(const DeviceOutcome& d, size_t index) {
    return report_number(d, "/start_unix_ms") + events_of(d).at(index).at("t_ms").get<double>();
}

double output_time_ms(const RunResult& run, const std::string& text) {
    const size_t at = run.output.find(text);
    double t = -1;
    for (const OutputWrite& w : run.writes) {
        if (w.offset > at) break;
        t = w.t_ms;
    }
    return at == std::string::npos ? -1 : t;
}
