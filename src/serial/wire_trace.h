// The wire trace (--trace FILE): one text line for every event on the
// serial line, from each port's opening to its close, and for the
// program's own steps, so that support can read an exchange and play the
// device's side of it again.
//
// A line: the time in ms since the run started (0.1 ms), the port, the
// event, and for bytes ": " and their hex. The format is described in the
// README; TRACE_FORMAT changes whenever a line's meaning does.
//
// Recording must not change what it records: lines go into a fixed buffer,
// which reaches the file in large writes at the program's steps and at the
// close, never inside a timed exchange. Identical lines in a row (a device's
// idle fill, one byte a read) are one line and an "again" count. A buffer
// that fills between steps drops lines and says how many; a file that
// reaches TRACE_FILE_MAX, or a disk that fills, ends the trace with a line
// that says so, and the run goes on.
#ifndef OFWU_SERIAL_WIRE_TRACE_H
#define OFWU_SERIAL_WIRE_TRACE_H

#include <cstdint>

constexpr uint32_t TRACE_FORMAT = 1;
constexpr uint32_t TRACE_BUFFER_SIZE = 1u << 20;       // lines waiting for the file
constexpr uint32_t TRACE_FLUSH_AT = 64u * 1024u;       // written out at a step once this much waits
constexpr uint64_t TRACE_FILE_MAX = 256ull << 20;      // bound on one run's trace
constexpr uint32_t TRACE_STOP_TEXT_SIZE = 128;

// Creates `path` and writes the trace's head. false when it cannot be
// created: the run is then refused before any port opens.
bool trace_open(const char* path);
// Non-zero while a trace is being written.
int32_t trace_active();

// The serial port's events (serial/serial_port_common.cpp). `spent_us` is
// how long the read took; `limit_ms` the timed read's own limit, 0 for none.
void trace_port_open(const char* label, uint32_t baud, int32_t opened, int32_t failure);
void trace_port_rate(uint32_t baud, int32_t changed);
void trace_port_write(const uint8_t* data, int32_t count, int32_t written);
void trace_port_read(const uint8_t* data, int32_t count, int32_t got, uint64_t spent_us, int32_t still_open,
                     uint32_t limit_ms);
// The system says the device hung up.
void trace_port_hang_up();
// The bytes still waiting when the port closes, which the close discards.
void trace_port_close(const uint8_t* waiting, int32_t count);

// A drain or a flush: the port's events between these two are summed up
// in one line, with the bytes it threw away. `kind` is "drain" or "flush".
void trace_discard_begin(const char* kind);
void trace_discard_end();

// Readings of what the program framed.
void trace_packet_sent(const uint8_t* data, uint8_t length, uint8_t checksum);
void trace_packet_received(uint8_t length_byte, uint8_t checksum, const uint8_t* data, uint8_t announced,
                           int32_t checksum_good);
// The byte that answered a packet (ACK, NAK or another), -1 for none.
void trace_answer(int32_t byte);
// A message line, shown as text with control characters escaped.
void trace_text(const char* line);
// Sleeps `ms` (sleep_ms), traced: the one way the program's own waits are
// recorded.
void trace_sleep(uint32_t ms);
// One of the program's steps: "query", "probe", "block 3 of 120", ...
void trace_step(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A step inside an exchange ("status request"): never a write to the file.
void trace_mark(const char* step);
// Everything that waits, to the file now; or once the buffer holds
// TRACE_FLUSH_AT, for the main loop's passes, where the watch may run for
// minutes without a step.
void trace_write_out();
void trace_write_out_when_full();
// The run's outcome, then everything to the file, which is closed.
void trace_end(const char* outcome);
// From a signal's handler: what waits goes to the file, with the signal.
void trace_on_signal(int32_t number);

// Why the trace stopped before the run's end, empty when it did not.
const char* trace_stop_reason();
// The file named by --trace, nullptr without one.
const char* trace_path();

#endif
