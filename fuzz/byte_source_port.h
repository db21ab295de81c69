// The fuzz build's serial port: the device's bytes come from the fuzzer's
// input instead of a line, and time is a counter that only the port's own
// waits and the sleeps move forward (and the bytes, when a target asks for
// it), so a time-out costs no real time.
//
// A read serves the next bytes of the input; at the end of the input it
// returns 0 at once and counts one whole port wait as passed, as a silent
// device would cost. Writes are counted, and the last ones kept for checks.
#ifndef OFWU_FUZZ_BYTE_SOURCE_PORT_H
#define OFWU_FUZZ_BYTE_SOURCE_PORT_H

#include <cstddef>
#include <cstdint>

constexpr size_t WRITE_LOG_SIZE = 64;  // the most recent bytes the program wrote

// Starts a run on `size` device bytes. The first `waiting` of them are
// already in the input queue (port_pending reports them, so a drain or a
// flush throws them away); the rest arrive only when a read asks for them.
void byte_source_load(const uint8_t* data, size_t size, size_t waiting);

// The device falls silent once, for longer than any limit, before the byte
// at `position` (no silence when the position lies past the input): the read
// that reaches it gets nothing, as a read at the end of the input does.
void byte_source_silence_at(size_t position);

// Device bytes not yet read.
size_t byte_source_left();

// Bytes the program wrote since byte_source_load.
size_t byte_source_written_count();
// The written byte `back` places before the last one (0: the last byte).
// Only the last WRITE_LOG_SIZE bytes are kept.
uint8_t byte_source_written_back(size_t back);

// The next port_set_baud calls fail when bit n of `mask` is set for the n-th
// call (0-based) after the load; later calls succeed.
void byte_source_fail_baud(uint32_t mask);

// Advances the counter behind timer_start.
void byte_source_pass_time(uint32_t ms);

// Each byte a read serves from now on moves the counter on by `ms`: a
// device whose bytes take time, so that a bound on time is reached within a
// finite input. 0 (bytes take no time) after every load.
void byte_source_pace(uint32_t ms);

#endif
