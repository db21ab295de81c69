#include "serial/link_rate.h"

#include "serial/serial_port.h"

int32_t link_rate_change(uint32_t baud, LinkState state) {
    const int32_t took = port_set_baud(&port, baud);
    current_baud = took ? baud : 0;
    link_state = state;
    return took;
}

void link_rate_opened(uint32_t baud) {
    current_baud = baud;
    link_state = LINK_NONE;
}
