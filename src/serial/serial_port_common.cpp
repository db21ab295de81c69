// The parts of the serial port that are the same on every platform: port
// names, the already-open rule, and the timed read built on port_read.
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "serial/serial_port.h"

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
    return port_open_device(port, candidate->device, baud);
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
    while (remaining > 0 && !timer_expired(start, limit)) {
        const int32_t got = port_read(port, buffer + (count - remaining), remaining);
        remaining -= got;
        // A read that fails at once (port closed, device unplugged) would
        // otherwise spin a whole core until the limit passes.
        if (got == 0 && remaining > 0 && !timer_expired(start, limit)) sleep_ms(1);
    }
    return count - remaining;
}
