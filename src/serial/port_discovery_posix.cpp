// The ports the scan tries on Linux when no port is named. Where
// OFWU_COM_DIR is set, COM1 to COM16 in that folder, as the COM numbers
// read there. Otherwise the ttys that sysfs shows as real ports
// (/sys/class/tty/<name>/device exists), USB adapters and CDC-ACM devices
// first (that is what users plug in), then the others, each group in
// natural order (ttyUSB2 before ttyUSB10), at most SCAN_PORTS_MAX.
// A UART of the serial core (a "type" attribute, the 8250 driver) counts
// only when its UART type is known: most PCs list dozens of legacy ports
// with no hardware behind them, of type 0. A port the kernel writes its own
// console to (servers, boards and virtual machines boot with console=ttyS0)
// is no device's line: the scan leaves it alone and says nothing of it; named
// as the argument it is still used.
//
// Test seam: OFWU_SYSFS_DIR (default /sys) and OFWU_DEV_DIR (default /dev)
// point discovery at a folder tree shaped like sysfs and a folder of
// device nodes or links, so the rules are tested without hardware.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/directory_posix.h"
#include "platform/number_text.h"
#include "serial/serial_port.h"

namespace {

constexpr size_t TTY_NAME_MAX = 32;      // longer names are no serial ports of this world
constexpr uint32_t FOUND_MAX = 128;      // ports looked at before the best SCAN_PORTS_MAX are kept
constexpr size_t ATTRIBUTE_MAX = 32;     // a sysfs number attribute, with room to spare
constexpr int UART_TYPE_UNKNOWN = 0;     // PORT_UNKNOWN: no UART answered at the address
constexpr size_t CONSOLES_TEXT_MAX = 256; // the active consoles' names, one line

struct Found {
    char name[TTY_NAME_MAX];
    int group;      // 0 USB adapter, 1 CDC-ACM, 2 any other
};

const char* folder_or(const char* variable, const char* fallback) {
    const char* folder = std::getenv(variable);
    return folder != nullptr && folder[0] != '\0' ? folder : fallback;
}

bool path_exists(const char* path) {
    struct stat info{};
    return lstat(path, &info) == 0;  // a link counts, whether or not it leads anywhere
}

// The integer a sysfs attribute holds; false when it cannot be read.
bool read_attribute(const char* path, int* value) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[ATTRIBUTE_MAX] = {};
    const ssize_t length = read(fd, text, sizeof text - 1);
    (void)close(fd);  // read-only
    if (length <= 0 || text[0] < '0' || text[0] > '9') return false;
    *value = text_to_i32(text, nullptr);
    return true;
}

// The UART type the serial core reports for /dev/<name>, by TIOCGSERIAL;
// UART_TYPE_UNKNOWN when it cannot tell.
int uart_type_by_ioctl(const char* device) {
#ifdef __linux__
    const int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return UART_TYPE_UNKNOWN;
    serial_struct serial{};
    // TIOCGSERIAL returns 0 on success, -1 on failure.
    const bool known = ioctl(fd, TIOCGSERIAL, &serial) == 0;
    (void)close(fd);  // nothing was changed
    return known ? serial.type : UART_TYPE_UNKNOWN;
#else
    (void)device;
    return UART_TYPE_UNKNOWN;
#endif
}

// Whether /sys/class/tty/<name> is a port the scan should try.
bool is_real_port(const char* sysfs, const char* dev, const char* name) {
    char path[PORT_NAME_SIZE];
    (void)std::snprintf(path, sizeof path, "%s/class/tty/%s/device", sysfs, name);
    if (!path_exists(path)) return false;  // a virtual console, ptmx, the console
    // The serial core records the UART's type beside the port; an 8250 port
    // of a kernel that does not is asked with TIOCGSERIAL.
    (void)std::snprintf(path, sizeof path, "%s/class/tty/%s/type", sysfs, name);
    int type = UART_TYPE_UNKNOWN;
    if (read_attribute(path, &type)) return type != UART_TYPE_UNKNOWN;
    if (path_exists(path)) return false;  // there, but not readable: not counted
    char driver[PORT_NAME_SIZE];
    (void)std::snprintf(path, sizeof path, "%s/class/tty/%s/device/driver", sysfs, name);
    const ssize_t length = readlink(path, driver, sizeof driver - 1);
    if (length <= 0) return true;
    driver[length] = '\0';
    const char* base = std::strrchr(driver, '/');
    if (std::strcmp(base != nullptr ? base + 1 : driver, "serial8250") != 0) return true;
    (void)std::snprintf(path, sizeof path, "%s/%s", dev, name);
    return uart_type_by_ioctl(path) != UART_TYPE_UNKNOWN;
}

// The kernel's active consoles as it lists them ("tty0 ttyS0"), NUL
// terminated in `text`; empty when it cannot tell.
void read_consoles(const char* sysfs, char* text, size_t size) {
    char path[PORT_NAME_SIZE];
    (void)std::snprintf(path, sizeof path, "%s/class/tty/console/active", sysfs);
    text[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t length = read(fd, text, size - 1);
    (void)close(fd);  // read-only
    text[length > 0 ? length : 0] = '\0';
}

// Whether `name` is one of the words of `consoles`.
bool listed_in(const char* consoles, const char* name) {
    const size_t length = std::strlen(name);
    for (const char* word = consoles; *word != '\0';) {
        const size_t word_length = std::strcspn(word, " \t\n");
        if (word_length == length && std::strncmp(word, name, length) == 0) return true;
        word += word_length;
        word += std::strspn(word, " \t\n");
    }
    return false;
}

int group_of(const char* name) {
    if (std::strncmp(name, "ttyUSB", 6) == 0) return 0;
    if (std::strncmp(name, "ttyACM", 6) == 0) return 1;
    return 2;
}

// Natural order: the group, then the name with its trailing number read as
// a number, so ttyUSB2 comes before ttyUSB10.
bool comes_before(const Found& a, const Found& b) {
    if (a.group != b.group) return a.group < b.group;
    const size_t a_stem = std::strcspn(a.name, "0123456789");
    const size_t b_stem = std::strcspn(b.name, "0123456789");
    // Stems of different lengths differ within the longer one's length.
    const int by_stem = std::strncmp(a.name, b.name, a_stem < b_stem ? b_stem : a_stem);
    if (by_stem != 0) return by_stem < 0;
    const uint32_t a_number = text_to_u32(a.name + a_stem, nullptr, 10);
    const uint32_t b_number = text_to_u32(b.name + b_stem, nullptr, 10);
    if (a_number != b_number) return a_number < b_number;
    return std::strcmp(a.name, b.name) < 0;
}

// Every real port under <sysfs>/class/tty, up to FOUND_MAX, in natural order.
uint32_t find_ports(const char* sysfs, const char* dev, Found* found) {
    char folder[PORT_NAME_SIZE];
    (void)std::snprintf(folder, sizeof folder, "%s/class/tty", sysfs);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    char consoles[CONSOLES_TEXT_MAX];
    read_consoles(sysfs, consoles, sizeof consoles);
    uint32_t count = 0;
    (void)directory_any(fd, [&](const char* name) {
        if (name[0] == '.' || std::strlen(name) >= TTY_NAME_MAX || listed_in(consoles, name) ||
            !is_real_port(sysfs, dev, name)) {
            return false;
        }
        Found entry{};
        std::memcpy(entry.name, name, std::strlen(name) + 1);
        entry.group = group_of(name);
        uint32_t place = count++;
        for (; place > 0 && comes_before(entry, found[place - 1]); --place) found[place] = found[place - 1];
        found[place] = entry;
        return count == FOUND_MAX;
    });
    (void)close(fd);  // read-only
    return count;
}

}  // namespace

uint32_t port_scan_list(PortCandidate* list, uint32_t most) {
    uint32_t count = 0;
    const char* com_dir = std::getenv("OFWU_COM_DIR");
    if (com_dir != nullptr && com_dir[0] != '\0') {
        for (uint32_t number = 1; number <= SCAN_PORTS_MAX && count < most; ++number) {
            if (port_candidate_number(number, &list[count])) ++count;
        }
        return count;
    }
    const char* sysfs = folder_or("OFWU_SYSFS_DIR", "/sys");
    const char* dev = folder_or("OFWU_DEV_DIR", "/dev");
    Found found[FOUND_MAX];
    const uint32_t ports = find_ports(sysfs, dev, found);
    for (uint32_t i = 0; i < ports && count < most && count < SCAN_PORTS_MAX; ++i) {
        char path[PORT_NAME_SIZE];
        const int written = std::snprintf(path, sizeof path, "%s/%s", dev, found[i].name);
        if (written > 0 && static_cast<size_t>(written) < sizeof path && port_candidate_path(path, &list[count])) {
            ++count;
        }
    }
    return count;
}
