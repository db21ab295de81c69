// A terminal line left as found: a terminal program started after ours, or
// the user's stty, meets the line as it was before the program opened it,
// not 19200 baud raw, exclusive and in low-latency mode.
#include "platform/tty_posix.h"

#include <sys/ioctl.h>
#include <termios.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

void tty_put_back(int fd, const PortFound* found) {
    // tcsetattr and ioctl are async-signal-safe; their failures leave the
    // line as it is, and nothing better can be done on the way out.
    if (found->settings_changed) (void)tcsetattr(fd, TCSANOW, &found->settings);
#ifdef __linux__
    if (found->low_latency_set) {
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = static_cast<int>(static_cast<unsigned>(serial.flags) & ~static_cast<unsigned>(ASYNC_LOW_LATENCY));
            (void)ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
#endif
    if (found->exclusive_set) (void)ioctl(fd, TIOCNXCL);
}
