// serial_port.h served from the fuzzer's input. Only the fuzz build links
// this file, in place of serial_port_posix.cpp and serial_port_win32.cpp.
#include "byte_source_port.h"

#include <cstdio>

#include "serial/serial_port.h"

namespace {

constexpr int POSIX_STYLE_HANDLE = 3;  // any descriptor-like value; never used for I/O

const uint8_t* source;        // the device's bytes for this run
size_t source_size;
size_t next_byte;             // index of the next byte a read gets
size_t waiting_bytes;         // of those, how many are already in the input queue
size_t silence_at;            // the one silence comes before this byte
bool silence_kept;            // the silence has been waited out
uint32_t now_ms;              // what timer_start reports
uint32_t byte_ms;             // what each byte served adds to it
size_t written;               // bytes written since the load
uint8_t write_log[WRITE_LOG_SIZE];
uint32_t baud_failures;       // bit n: the n-th baud change fails
uint32_t baud_changes;

size_t left() {
    return source_size - next_byte;
}

// Bytes that come before the silence (all that are left once it is over).
size_t available() {
    if (silence_kept || silence_at < next_byte) return left();
    const size_t before_silence = silence_at - next_byte;
    return before_silence < left() ? before_silence : left();
}

}  // namespace

void byte_source_load(const uint8_t* data, size_t size, size_t waiting) {
    source = data;
    source_size = size;
    next_byte = 0;
    waiting_bytes = waiting < size ? waiting : size;
    silence_at = size;  // the end of the input is silent anyway
    silence_kept = false;
    written = 0;
    byte_ms = 0;
    baud_failures = 0;
    baud_changes = 0;
    // The clock goes on across runs, as a real one would; the program's
    // limits are differences and must hold across its wrap, too.
}

void byte_source_silence_at(size_t position) {
    silence_at = position;
    silence_kept = false;
}

size_t byte_source_left() {
    return left();
}

size_t byte_source_written_count() {
    return written;
}

uint8_t byte_source_written_back(size_t back) {
    if (back >= written || back >= WRITE_LOG_SIZE) return 0;
    return write_log[(written - 1 - back) % WRITE_LOG_SIZE];
}

void byte_source_fail_baud(uint32_t mask) {
    baud_failures = mask;
}

void byte_source_pass_time(uint32_t ms) {
    now_ms += ms;  // modulo 2^32, as the real tick count
}

void byte_source_pace(uint32_t ms) {
    byte_ms = ms;
}

int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud) {
    (void)name;
    (void)baud;
    port->handle = POSIX_STYLE_HANDLE;
    port->is_open = 1;
    return 1;
}

int32_t port_device_set_baud(SerialPort* port, uint32_t baud) {
    (void)baud;
    if (!port->is_open) return 0;
    const uint32_t change = baud_changes++;
    if (change < 32 && (baud_failures >> change) & 1u) {
        // As on a real port: a failed change leaves the port closed.
        (void)port_device_close(port);
        return 0;
    }
    return 1;
}

int32_t port_device_close(SerialPort* port) {
    port->is_open = 0;
    port->handle = -1;
    return 1;
}

int32_t port_device_write(SerialPort* port, const uint8_t* data, int32_t count) {
    if (!port->is_open || count <= 0) return 0;
    for (int32_t i = 0; i < count; ++i) {
        write_log[written % WRITE_LOG_SIZE] = data[i];
        ++written;
    }
    return count;
}

int32_t port_device_read(SerialPort* port, uint8_t* buffer, int32_t count) {
    if (!port->is_open || count <= 0) return 0;
    const bool silent_now = next_byte == silence_at && !silence_kept;
    if (left() == 0 || silent_now) {
        // A silent device: the read waits its whole bound for the first byte.
        byte_source_pass_time(PORT_WAIT_MS);
        if (silent_now) silence_kept = true;
        return 0;
    }
    // A read that would run into the silence gets only the bytes before it.
    const size_t wanted = static_cast<size_t>(count);
    const size_t served = wanted < available() ? wanted : available();
    for (size_t i = 0; i < served; ++i) buffer[i] = source[next_byte + i];
    next_byte += served;
    byte_source_pass_time(static_cast<uint32_t>(served) * byte_ms);
    waiting_bytes = waiting_bytes > served ? waiting_bytes - served : 0;
    return static_cast<int32_t>(served);
}

int32_t port_device_hung_up(const SerialPort* port) {
    (void)port;
    return 0;
}

int32_t port_device_pending(SerialPort* port) {
    if (!port->is_open) return 0;
    const size_t pending = waiting_bytes < available() ? waiting_bytes : available();
    return static_cast<int32_t>(pending);
}

int32_t port_device_name(uint32_t number, char* name, size_t size) {
    const int written_chars = std::snprintf(name, size, "COM%u", number);
    return (written_chars > 0 && static_cast<size_t>(written_chars) < size) ? 1 : 0;
}

uint64_t timer_now_us() {
    return static_cast<uint64_t>(now_ms) * 1000u;
}

uint32_t timer_start() {
    return now_ms;
}
