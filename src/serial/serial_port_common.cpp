// The parts of the serial port that are the same on every platform: port
// names, the already-open rule, the timed read built on port_read, and the
// wire trace of every call that reaches the line.
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

namespace {

// The limit of the timed read under way, for the trace of its reads.
uint32_t timed_limit_ms = 0;

// The hang-up of the open port has been traced.
int32_t hang_up_traced = 0;

// A hang-up the system reported (the main loop's wait sees it first) is
// traced once, as it is seen.
void trace_hang_up_seen(const SerialPort* port) {
    if (hang_up_traced || !trace_active() || !port_device_hung_up(port)) return;
    hang_up_traced = 1;
    trace_port_hang_up();
}

// Room for what still waits when a traced port closes.
constexpr int32_t CLOSE_SHOWN_BYTES = 4096;

}  // namespace

int32_t port_candidate_number(uint32_t number, PortCandidate* candidate) {
    candidate->number = number;
    (void)std::snprintf(candidate->label, sizeof candidate->label, "COM%u", number);  // always fits
    return port_device_name(number, candidate->device, sizeof candidate->device);
}

int32_t port_candidate_path(const char* path, PortCandidate* candidate) {
    const size_t length = std::strlen(path);
    // A path cut short could name another device: it is refused instead.
    if (length >= sizeof candidate->device) return 0;
    candidate->number = 0;
    std::memcpy(candidate->device, path, length + 1);
    std::memcpy(candidate->label, path, length + 1);
    return 1;
}

int32_t port_open_candidate(SerialPort* port, const PortCandidate* candidate, uint32_t baud) {
    if (port->is_open) {
        // Nothing else happens: in particular the requested rate is not applied.
        if (candidate->number != 0) {
            print_message("Com%d already open!\n", static_cast<int>(candidate->number));
        } else {
            print_message("%s already open!\n", candidate->label);
        }
        return 1;
    }
    port->failure = PORT_FAILURE_NONE;
    port->failure_pid = 0;
    const int32_t opened = port_open_device(port, candidate->device, baud);
    trace_port_open(candidate->label, baud, opened, port->failure);
    hang_up_traced = 0;
    return opened;
}

int32_t port_set_baud(SerialPort* port, uint32_t baud) {
    const int32_t changed = port_device_set_baud(port, baud);
    trace_port_rate(baud, changed);
    return changed;
}

int32_t port_close(SerialPort* port) {
    if (trace_active() && port->is_open) {
        // What still waits is lost with the close; the trace keeps it, read
        // from the queue it is already in.
        static uint8_t waiting[CLOSE_SHOWN_BYTES];
        const int32_t pending = port_device_pending(port);
        const int32_t shown = pending < CLOSE_SHOWN_BYTES ? pending : CLOSE_SHOWN_BYTES;
        // A read of no bytes returns 0 at once.
        trace_port_close(waiting, port_device_read(port, waiting, shown));
    }
    return port_device_close(port);
}

int32_t port_write(SerialPort* port, const uint8_t* data, int32_t count) {
    const int32_t written = port_device_write(port, data, count);
    trace_port_write(data, count, written);
    return written;
}

int32_t port_read(SerialPort* port, uint8_t* buffer, int32_t count) {
    if (!trace_active()) return port_device_read(port, buffer, count);
    const uint64_t start = timer_now_us();
    const int32_t got = port_device_read(port, buffer, count);
    trace_port_read(buffer, count, got, timer_now_us() - start, port->is_open, timed_limit_ms);
    trace_hang_up_seen(port);
    return got;
}

int32_t port_pending(SerialPort* port) {
    const int32_t waiting = port_device_pending(port);
    trace_hang_up_seen(port);
    return waiting;
}

int32_t port_open(SerialPort* port, uint32_t number, uint32_t baud) {
    PortCandidate candidate;
    if (!port_candidate_number(number, &candidate) && !port->is_open) {
        port->failure = PORT_FAILURE_OTHER;
        return 0;
    }
    return port_open_candidate(port, &candidate, baud);
}

int32_t port_read_timed(SerialPort* port, uint8_t* buffer, int32_t count, uint32_t limit) {
    const uint32_t start = timer_start();
    int32_t remaining = count;
    timed_limit_ms = limit;
    while (remaining > 0 && !timer_expired(start, limit)) {
        const int32_t got = port_read(port, buffer + (count - remaining), remaining);
        remaining -= got;
        // A read that fails at once (port closed, device unplugged) would
        // otherwise spin a whole core until the limit passes.
        if (got == 0 && remaining > 0 && !timer_expired(start, limit)) trace_sleep(1);
    }
    timed_limit_ms = 0;
    return count - remaining;
}
