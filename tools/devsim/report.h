// The device's log of a session: timed events and counters, written as JSON
// when the device stops.
#ifndef OFWU_DEVSIM_REPORT_H
#define OFWU_DEVSIM_REPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

struct Event {
    double t_ms;             // since the device started
    uint32_t line_baud;      // the rate the program had set
    uint32_t device_baud;    // the rate of the device's mode
    std::string kind;
    std::string detail;
    uint32_t repeat;         // identical events in a row are one entry
};

// Bytes that crossed the line one way at one rate, in order (--record-wire).
struct WireRun {
    bool to_program;         // sent by the device; else received from the program
    uint32_t baud;           // the program's rate then
    std::string bytes;
};

struct Report {
    std::vector<Event> events;
    std::map<std::string, uint64_t> counts;
    std::vector<std::string> protocol_errors;   // the program broke the exchange
    double start_packet_ms = -1;                // the last start packet, -1: none
    double return_ms = -1;                      // the last return command, -1: none
    bool echo = false;                          // copy every event to standard error
    bool record_wire = false;                   // keep every byte in `wire`
    std::vector<WireRun> wire;
};

void report_event(Report* report, double t_ms, uint32_t line_baud, uint32_t device_baud,
                  const std::string& kind, const std::string& detail);
void report_count(Report* report, const std::string& name, uint64_t add = 1);
void report_wire(Report* report, bool to_program, uint32_t baud, const uint8_t* bytes, size_t count);
void report_protocol_error(Report* report, const std::string& what);
// Bytes as hex digits, two a byte, nothing between them ("5E5624").
std::string report_hex(const uint8_t* bytes, size_t count);

// The events, counters, errors and times as members of `object`.
void report_write_members(nlohmann::ordered_json* object, const Report& report);

#endif
