#include "pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The rates the program can set, as termios constants. Columns: constant, baud.
struct RateRow {
    speed_t speed;
    uint32_t baud;
};
const RateRow RATES[] = {
    {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

std::string os_error(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The slave must pass bytes unchanged: no echo, no line editing, no CR/LF
// translation, no flow control, so the program sees exactly what the device sends.
bool make_raw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;  // 0 on success, -1 on failure
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

// True when `link` leads to a pseudo-terminal that exists: another
// simulated device stands there.
bool link_in_use(const std::string& link) {
    char target[256] = {};
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    struct stat info{};
    return n > 0 && std::string(target).rfind("/dev/pts/", 0) == 0 && stat(target, &info) == 0;
}

// A link left by a device that died, or one to a real serial device (as
// Wine makes for its COM ports), is replaced; a file, or a link to a live
// pseudo-terminal, is not ours to take.
bool place_link(const std::string& target, const std::string& link, std::string* error) {
    struct stat info{};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode) || link_in_use(link)) {
            *error = link + " is taken";
            return false;
        }
        (void)unlink(link.c_str());  // a failure shows in symlink() below
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        *error = os_error("cannot create the link " + link);
        return false;
    }
    return true;
}

bool open_pair(PtyLine* line, std::string* error) {
    // posix_openpt, grantpt, unlockpt: each 0 / a descriptor on success, -1 on failure.
    line->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->master < 0 || grantpt(line->master) != 0 || unlockpt(line->master) != 0) {
        *error = os_error("cannot open a pseudo-terminal");
        return false;
    }
    const char* name = ptsname(line->master);
    if (name == nullptr) {
        *error = os_error("ptsname");
        return false;
    }
    line->slave_name = name;
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool raw = slave >= 0 && make_raw(slave);
    if (slave >= 0) (void)close(slave);  // set up once; the program alone holds it from now on
    if (!raw) {
        *error = os_error("cannot set up " + line->slave_name);
        return false;
    }
    // The master never blocks: the device's loop waits in poll().
    const int flags = fcntl(line->master, F_GETFL);
    return flags >= 0 && fcntl(line->master, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

bool pty_line_open(PtyLine* line, const std::string& link, std::string* error) {
    if (!open_pair(line, error)) {
        if (error->empty()) *error = os_error("fcntl");
        pty_line_close(line);
        return false;
    }
    line->first_baud = pty_line_baud(*line);
    if (!place_link(line->slave_name, link, error)) {
        pty_line_close(line);
        return false;
    }
    line->link = link;
    return true;
}

uint32_t pty_line_baud(const PtyLine& line) {
    termios settings{};
    if (line.master < 0 || tcgetattr(line.master, &settings) != 0) return 0;
    const speed_t speed = cfgetospeed(&settings);
    for (const RateRow& row : RATES) {
        if (row.speed == speed) return row.baud;
    }
    return 0;
}

void pty_line_close(PtyLine* line) {
    if (!line->link.empty()) {
        char target[256] = {};
        const ssize_t n = readlink(line->link.c_str(), target, sizeof target - 1);
        // Another device may have taken the name meanwhile: remove only our own link.
        if (n > 0 && line->slave_name == std::string(target, static_cast<size_t>(n))) {
            (void)unlink(line->link.c_str());  // nothing more to do if it is already gone
        }
        line->link.clear();
    }
    if (line->master >= 0) (void)close(line->master);  // closing cannot usefully fail here
    line->master = -1;
}

uint64_t byte_time_us(uint32_t baud) {
    return baud == 0 ? 0 : 10000000ull / baud;
}
