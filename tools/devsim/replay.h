// The device's side of a wire trace (ofwu --trace), played again: the
// bytes the program read are sent after the delays the trace recorded, and
// the bytes the program writes are compared with the ones it wrote then.
// The first difference is reported, and the replay stops there, so that a
// failure traced in the field becomes a case on the bench.
//
// From the trace's lines of one port:
//   write N/M: bytes          the program's bytes, expected again in order
//   flush zeros N/M ...       N idle bytes expected; what it discarded is sent first
//   read N/M: bytes           sent, so that they arrive when the recorded read
//                             had them (its end, less the gap that ended it and
//                             the bytes' own line time)
//   drain ..., close, K waiting: bytes   sent, as bytes that were waiting
//   hang-up, read ... hang-up the device hangs up (is unplugged) then
//   again N                   the line before, N more times (reads spread
//                             evenly up to this line's time)
// Each byte sent is due at its recorded time after the write before it,
// counted from the moment that write had fully arrived in the replay.
// Every other line (steps, readings, sleeps) is for people.
#ifndef OFWU_DEVSIM_REPLAY_H
#define OFWU_DEVSIM_REPLAY_H

#include <cstdint>
#include <string>
#include <vector>

enum class ReplayKind { expect, send, hangup };

struct ReplayItem {
    ReplayKind kind;
    std::vector<uint8_t> bytes;
    uint32_t baud;        // the program's rate at that point of the trace
    uint64_t at_us;       // when, since the trace's start
    uint32_t line;        // the trace line it came from, 1 for the first
};

struct Replay {
    std::string path;
    std::string port;             // the port the replay plays, as the trace names it
    std::vector<ReplayItem> items;
    size_t next = 0;              // the item being played
    size_t matched = 0;           // bytes of an expect item already seen
    uint64_t anchor_trace_us = 0; // the end of the last write that arrived whole, in the trace
    uint64_t anchor_now_us = 0;   // ... and in this replay
    bool started = false;         // the program has opened the line
    uint64_t bytes_matched = 0;
    uint64_t bytes_sent = 0;
    std::string difference;       // the first difference, empty while none
};

// Reads the trace at `path`, for the port `port` (empty: the port of its
// first write). False with a reason when it is no trace or holds no write.
bool replay_load(const std::string& path, const std::string& port, Replay* replay, std::string* error);
// Every item played and no difference found.
bool replay_complete(const Replay& replay);

#endif
