// The rate the program runs the port at, and what it knows to be on the
// other end of the line, recorded in one place as the rate changes: the
// detection, the entry into the bootloader and the way back all change the
// rate through here.
#ifndef OFWU_SERIAL_LINK_RATE_H
#define OFWU_SERIAL_LINK_RATE_H

#include <cstdint>

#include "state/program_state.h"

// Sets the program's port to `baud`, then records the rate in current_baud
// (0 when the port refused it, and is then closed) and `state` in
// link_state. 1 when the rate took.
int32_t link_rate_change(uint32_t baud, LinkState state);
// Records a port just opened at `baud` (0: it did not open), with nothing
// known yet of what is on the line.
void link_rate_opened(uint32_t baud);

#endif
