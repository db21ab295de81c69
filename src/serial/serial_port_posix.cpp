// The serial port on POSIX systems: termios for the line settings, poll() for
// the bounded waits, an exclusive open by device name that honours the locks
// other serial programs take (serial/port_sharing_posix.cpp).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/tty_posix.h"
#include "serial/port_sharing_posix.h"
#include "serial/serial_port.h"

namespace {

// The termios speed constant for a rate, or B0 when the rate has none.
speed_t speed_for(uint32_t baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return B0;
    }
}

bool port_usable(const SerialPort* port) {
    return port->is_open != 0 && port->handle >= 0;
}

// Gives the line up: left as found, closed (which also drops the advisory
// lock), and the lock files removed.
void release(SerialPort* port) {
    if (port->handle >= 0) {
        tty_put_back(port->handle, &port->found);
        (void)close(port->handle);  // nothing useful can be done if close fails
    }
    port->found = PortFound{};
    port->handle = -1;
    port->is_open = 0;
    port->hung_up = 0;
    port_lock_release(port);
}

// Gives up an open that failed for `failure`, leaving nothing open or locked.
int32_t open_failed(SerialPort* port, PortFailure failure) {
    port->failure = failure;
    release(port);
    return 0;
}

// A read, a poll or a query that says the device is gone (a USB adapter
// pulled out hangs its tty up): the port is not waited on again.
void note_gone(SerialPort* port) {
    port->hung_up = 1;
}

// What an open that the system refused means to the user.
PortFailure failure_of(int error) {
    if (error == EACCES || error == EPERM) return PORT_FAILURE_PERMISSION;
    if (error == EBUSY) return PORT_FAILURE_IN_USE;  // held exclusively by another program
    return PORT_FAILURE_OTHER;
}

// Sets rate and 8 data bits on `settings`; false when the rate is unknown.
bool apply_rate(termios* settings, uint32_t baud) {
    const speed_t speed = speed_for(baud);
    if (speed == B0) return false;
    settings->c_cflag = (settings->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
    // cfset*speed return 0 on success, -1 on failure.
    return cfsetispeed(settings, speed) == 0 && cfsetospeed(settings, speed) == 0;
}

// Puts `settings` in force and reads them back: tcsetattr succeeds when any
// part of the request was applied, so a rate the driver quietly refused
// shows only in what it now reports. true when the rate and the data bits
// took.
bool settings_take(int fd, const termios& settings) {
    termios now{};
    // tcsetattr and tcgetattr return 0 on success, -1 on failure.
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || tcgetattr(fd, &now) != 0) return false;
    return cfgetospeed(&now) == cfgetospeed(&settings) && cfgetispeed(&now) == cfgetispeed(&settings) &&
           (now.c_cflag & CSIZE) == CS8;
}

// Raw line: no echo, no line editing, no CR/LF translation, no signals from
// the line, no XON/XOFF, no RTS/CTS. Parity and stop bits stay as found.
void make_raw(termios* settings) {
    settings->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                                ICRNL | IXON | IXOFF | IXANY);
    settings->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    settings->c_cflag |= CLOCAL | CREAD;
    // Reads never block in the driver: poll() does all the waiting.
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
}

// Asks the driver to hand over each received byte at once. USB adapters
// otherwise hold received bytes for up to 16 ms, and every block of an update
// waits for three answers. A pseudo-terminal has no such setting and refuses:
// the port works either way, so a refusal is ignored.
// The flag is put back as found when the port is given up.
void request_low_latency(SerialPort* port) {
#ifdef __linux__
    serial_struct serial{};
    // TIOCGSERIAL and TIOCSSERIAL return 0 on success, -1 on failure.
    if (ioctl(port->handle, TIOCGSERIAL, &serial) != 0) return;
    if ((static_cast<unsigned>(serial.flags) & ASYNC_LOW_LATENCY) != 0) return;  // set already
    serial.flags = static_cast<int>(static_cast<unsigned>(serial.flags) | ASYNC_LOW_LATENCY);
    if (ioctl(port->handle, TIOCSSERIAL, &serial) == 0) port->found.low_latency_set = 1;
#else
    (void)port;
#endif
}

// Whether another program made the tty exclusive already: then it is left so.
bool exclusive_already(int fd) {
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;  // a kernel that cannot tell: the flag is cleared as ours
#endif
}

// Milliseconds left of `wait` since `start`, 0 when none are left.
int remaining_ms(uint32_t start, uint32_t wait) {
    const uint32_t spent = timer_start() - start;
    return spent >= wait ? 0 : static_cast<int>(wait - spent);
}

// Waits for `events` on the port for at most `wait` ms. 1 when ready, 0 on
// time-out, -1 when the device reports an error or a hang-up.
int wait_for(SerialPort* port, short events, uint32_t wait) {
    const uint32_t start = timer_start();
    for (;;) {
        pollfd entry = {port->handle, events, 0};
        // poll returns the number of ready descriptors, 0 on time-out, -1 on error.
        const int ready = poll(&entry, 1, remaining_ms(start, wait));
        if (ready > 0) {
            // A hung-up tty reports POLLIN with POLLHUP, and every read then
            // ends at once: the port is marked, and the read takes what is left.
            if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) note_gone(port);
            if (entry.revents & events) return 1;
            return -1;  // POLLERR, POLLHUP or POLLNVAL without data
        }
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

int32_t port_argument_is_path(const char* argument) {
    return std::strchr(argument, '/') != nullptr ? 1 : 0;
}

namespace {

// The name of user or group `id`, or its number when it has none.
void id_name(bool is_group, unsigned id, char* text, size_t size) {
    char names[1024];
    const char* name = nullptr;
    // getpwuid_r and getgrgid_r return 0 on success, with a null result when
    // there is no such entry.
    if (is_group) {
        group entry{};
        group* found = nullptr;
        if (getgrgid_r(id, &entry, names, sizeof names, &found) == 0 && found != nullptr) name = found->gr_name;
        if (name != nullptr) (void)std::snprintf(text, size, "%s", name);
    } else {
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(id, &entry, names, sizeof names, &found) == 0 && found != nullptr) name = found->pw_name;
        if (name != nullptr) (void)std::snprintf(text, size, "%s", name);
    }
    if (name == nullptr) (void)std::snprintf(text, size, "%u", id);
}

// "crw-rw----", as ls shows a device's type and mode.
void mode_text(mode_t mode, char* text) {
    text[0] = S_ISCHR(mode) ? 'c' : S_ISBLK(mode) ? 'b' : S_ISDIR(mode) ? 'd' : S_ISREG(mode) ? '-' : '?';
    const char letters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text[1 + i] = (mode & (1u << (8 - i))) != 0 ? letters[i] : '-';
    text[10] = '\0';
}

// The advice for a device the user may not open: the group to join where
// joining one helps (its members may read and write, and it is no group
// like root that nobody should join), else who may use it and how.
int permission_hint(const char* device, char* text, size_t size) {
    struct stat info{};
    if (stat(device, &info) != 0) return 0;  // stat returns 0 on success
    char group_name[256];
    id_name(true, static_cast<unsigned>(info.st_gid), group_name, sizeof group_name);
    const bool group_may = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && info.st_gid != 0;
    if (group_may) {
        return std::snprintf(text, size,
                             "You may not use %s: it belongs to the group \"%s\". Join that group with "
                             "\"sudo usermod -aG %s $USER\", then log out and in again.",
                             device, group_name, group_name);
    }
    char owner_name[256];
    char mode[11];
    id_name(false, static_cast<unsigned>(info.st_uid), owner_name, sizeof owner_name);
    mode_text(info.st_mode, mode);
    return std::snprintf(text, size, "You may not use %s (owner %s, group %s, mode %s).", device, owner_name,
                         group_name, mode);
}

}  // namespace

int32_t port_failure_hint(const SerialPort* port, const char* device, char* text, size_t size) {
    int written = 0;
    if (port->failure == PORT_FAILURE_PERMISSION) {
        written = permission_hint(device, text, size);
    } else if (port->failure == PORT_FAILURE_IN_USE) {
        char program[64];
        if (port->failure_pid == 0) {
            written = std::snprintf(text, size, "%s is in use by another program.", device);
        } else if (process_name(port->failure_pid, program, sizeof program)) {
            written = std::snprintf(text, size, "%s is in use by %s (process %d).", device, program,
                                    static_cast<int>(port->failure_pid));
        } else {
            written = std::snprintf(text, size, "%s is in use by another program (process %d).", device,
                                    static_cast<int>(port->failure_pid));
        }
    }
    return written > 0 ? 1 : 0;
}

int32_t port_open_note(const SerialPort* port, const char* device, char* text, size_t size) {
    if (!port->is_open || !port->unlocked) return 0;
    const int written = std::snprintf(text, size,
                                      "%s is not locked against other programs: no lock file could be made in the lock "
                                      "folder.",
                                      device);
    return written > 0 ? 1 : 0;
}

int32_t port_device_name(uint32_t number, char* name, size_t size) {
    const char* folder = std::getenv("OFWU_COM_DIR");
    int written = 0;
    if (folder != nullptr && folder[0] != '\0') {
        written = std::snprintf(name, size, "%s/COM%u", folder, number);
    } else {
        // The kernel's own convention: COM1 is ttyS0.
        written = std::snprintf(name, size, "/dev/ttyS%u", number - 1);
    }
    return (written > 0 && static_cast<size_t>(written) < size) ? 1 : 0;
}

int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud) {
    port->handle = -1;
    port->is_open = 0;
    port->hung_up = 0;
    port->found = PortFound{};
    // A live program's lock file keeps us off the port before it is opened.
    if (!port_lock_take(port, name)) return open_failed(port, PORT_FAILURE_IN_USE);
    // O_NONBLOCK: neither the open (waiting for carrier) nor any read or write
    // may block without a bound; poll() provides the waits.
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const PortFailure failure = failure_of(errno);
        if (failure == PORT_FAILURE_IN_USE) port->failure_pid = port_other_opener(name);
        return open_failed(port, failure);
    }
    port->handle = fd;
    // Only a terminal can be a serial port: nothing is configured on, or
    // written to, a file, a pipe or /dev/null.
    if (!isatty(fd)) return open_failed(port, PORT_FAILURE_OTHER);

    // Another program that opened the port without a lock file shows in
    // /proc, and one of ours (or any cooperating opener, root included)
    // holds the advisory lock. Both are asked before anything is changed,
    // so that a port refused here is left exactly as it was.
    port->failure_pid = port_other_opener(name);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || port->failure_pid != 0) return open_failed(port, PORT_FAILURE_IN_USE);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return open_failed(port, PORT_FAILURE_OTHER);
    port->found.settings = settings;
    // Exclusive use: TIOCEXCL refuses further opens of the tty (root passes it).
    if (!exclusive_already(fd) && ioctl(fd, TIOCEXCL) == 0) port->found.exclusive_set = 1;
    make_raw(&settings);
    port->found.settings_changed = 1;
    if (!apply_rate(&settings, baud) || !settings_take(fd, settings)) return open_failed(port, PORT_FAILURE_OTHER);
    // Raise DTR and keep it raised. A pseudo-terminal has no modem lines and
    // refuses this; that is no reason to give up the port.
    int dtr = TIOCM_DTR;
    (void)ioctl(fd, TIOCMBIS, &dtr);
    request_low_latency(port);
    port->is_open = 1;
    return 1;
}

int32_t port_device_set_baud(SerialPort* port, uint32_t baud) {
    if (!port_usable(port)) return 0;
    termios settings{};
    if (tcgetattr(port->handle, &settings) != 0 || !apply_rate(&settings, baud) ||
        !settings_take(port->handle, settings)) {
        release(port);
        return 0;
    }
    return 1;
}

int32_t port_device_close(SerialPort* port) {
    if (!port_usable(port)) port->handle = -1;  // a closed record's handle is no descriptor of ours
    release(port);
    return 1;
}

int32_t port_device_write(SerialPort* port, const uint8_t* data, int32_t count) {
    if (!port_usable(port) || count <= 0) return 0;
    const uint32_t start = timer_start();
    int32_t sent = 0;
    while (sent < count) {
        const ssize_t n = write(port->handle, data + sent, static_cast<size_t>(count - sent));
        if (n > 0) {
            sent += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 0;
        // The output queue is full: wait for room, within the one bound of the write.
        const int left = remaining_ms(start, PORT_WAIT_MS);
        if (left == 0 || wait_for(port, POLLOUT, static_cast<uint32_t>(left)) != 1) return 0;
    }
    // Return only once the bytes have left the port. Without flow control the
    // line drains at its own rate, so this wait is bounded by the byte count.
    // Its result is not examined, as the Windows port does not examine
    // FlushFileBuffers': the count is what the write itself reported, and a
    // line that went away shows in the next exchange.
    (void)tcdrain(port->handle);
    return sent;
}

int32_t port_device_read(SerialPort* port, uint8_t* buffer, int32_t count) {
    if (!port_usable(port) || count <= 0) return 0;
    // As on Windows, PORT_WAIT_MS bounds the whole read, not only its first
    // byte: a device that trickles bytes closer together than the gap would
    // otherwise keep one read going for as long as it likes.
    const uint32_t start = timer_start();
    int32_t got = 0;
    while (got < count) {
        const int left = remaining_ms(start, PORT_WAIT_MS);
        // The first byte may take what is left of the whole wait; once bytes
        // have come, the read ends after a gap of PORT_INTERBYTE_MS.
        const int wait = got == 0 ? left : std::min(left, static_cast<int>(PORT_INTERBYTE_MS));
        const int state = left == 0 ? 0 : wait_for(port, POLLIN, static_cast<uint32_t>(wait));
        if (state == 1) {
            const ssize_t n = read(port->handle, buffer + got, static_cast<size_t>(count - got));
            if (n > 0) {
                got += static_cast<int32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            note_gone(port);
            break;  // end of file or an error: the device is gone
        }
        // The whole wait ran out with the read still going: given up, as the
        // Windows port gives up and cancels its transfer, with 0. The bytes
        // it had taken are lost with it on both systems.
        if (state == 0 && wait == left) return 0;
        break;  // the gap after the last byte, or a device that reports an error
    }
    return got;
}

int32_t port_device_hung_up(const SerialPort* port) {
    return port->hung_up;
}

int32_t port_device_pending(SerialPort* port) {
    if (!port_usable(port)) return 0;
    int waiting = 0;
    if (ioctl(port->handle, FIONREAD, &waiting) != 0) {
        if (errno == EIO || errno == ENXIO || errno == ENODEV) note_gone(port);  // a hung-up tty
        return 0;
    }
    return waiting < 0 ? 0 : waiting;
}
