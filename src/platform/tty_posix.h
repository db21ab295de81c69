// A terminal line left as the program found it. Used by the serial port as
// it gives a line up, and by the handlers of the signals that end the
// program, so async-signal-safe calls only.
#ifndef OFWU_PLATFORM_TTY_POSIX_H
#define OFWU_PLATFORM_TTY_POSIX_H

#include "state/serial_port_record.h"

// Puts back on the terminal `fd` what `found` says the program changed:
// the line settings, the driver's low-latency flag, the exclusive flag.
// Each part is best effort (a device that is gone refuses them all).
void tty_put_back(int fd, const PortFound* found);

#endif
