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
// --ports lists the same ports in the same order, each with what sysfs
// tells of it (its /dev/serial/by-id name, driver, USB ids and serial
// number) and whether another program has it open, and beside them the
// ports the scan skips, with the reason: a kernel console, a UART of
// unknown type, a tty named like a serial port with no device behind it,
// or one past the first SCAN_PORTS_MAX.
//
// Test seam: OFWU_SYSFS_DIR (default /sys) and OFWU_DEV_DIR (default /dev)
// point discovery at a folder tree shaped like sysfs and a folder of
// device nodes or links, so the rules are tested without hardware.
#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/console.h"
#include "platform/directory_posix.h"
#include "platform/number_text.h"
#include "serial/port_sharing_posix.h"
#include "serial/serial_port.h"

namespace {

constexpr size_t TTY_NAME_SIZE = 32;     // longer names are no serial ports of this world
constexpr uint32_t FOUND_MAX = 128;      // ports looked at before the best SCAN_PORTS_MAX are kept
constexpr size_t ATTRIBUTE_MAX = 32;     // a sysfs number attribute, with room to spare
constexpr int UART_TYPE_UNKNOWN = 0;     // PORT_UNKNOWN: no UART answered at the address
constexpr size_t CONSOLES_TEXT_MAX = 256; // the active consoles' names, one line
constexpr size_t FIELD_MAX = 256;        // one field of a --ports line: a name, a driver, a serial number
constexpr size_t LINE_SIZE = 2048;       // one --ports line
constexpr int USB_LEVELS_MAX = 8;        // folders above a tty's device searched for its USB device

// Why the scan does not try a tty.
enum PortSkip : int32_t {
    SKIP_NONE = 0,       // it is tried
    SKIP_CONSOLE = 1,    // the kernel writes its console there
    SKIP_NO_UART = 2,    // a UART of unknown type: no hardware at the address
    SKIP_NO_DEVICE = 3,  // no device behind it: a virtual console, ptmx, ...
};

struct Found {
    char name[TTY_NAME_SIZE];
    int group;      // 0 USB adapter, 1 CDC-ACM, 2 any other
    PortSkip skip;
};

const char* folder_or(const char* variable, const char* fallback) {
    const char* folder = std::getenv(variable);
    return folder != nullptr && folder[0] != '\0' ? folder : fallback;
}

bool path_exists(const char* path) {
    struct stat info{};
    return lstat(path, &info) == 0;  // a link counts, whether or not it leads anywhere
}

// The first line of a sysfs attribute, without its line end; false when it
// cannot be read or is empty.
bool read_text(const char* path, char* text, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t length = read(fd, text, size - 1);
    (void)close(fd);  // read-only
    text[length > 0 ? length : 0] = '\0';
    text[std::strcspn(text, "\r\n")] = '\0';
    return text[0] != '\0';
}

// The integer a sysfs attribute holds; false when it cannot be read.
bool read_attribute(const char* path, int* value) {
    char text[ATTRIBUTE_MAX];
    if (!read_text(path, text, sizeof text) || text[0] < '0' || text[0] > '9') return false;
    *value = text_to_i32(text, nullptr);
    return true;
}

// The last part of the path a symbolic link holds ("ftdi_sio" of
// ../../bus/usb-serial/drivers/ftdi_sio); false when `path` is no link.
bool link_name(const char* path, char* name, size_t size) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    const char* base = std::strrchr(target, '/');
    const int written = std::snprintf(name, size, "%s", base != nullptr ? base + 1 : target);
    return written > 0 && static_cast<size_t>(written) < size;
}

// "<sysfs>/class/tty/<name>/<what>" into `path`; false when it does not fit.
bool tty_path(char* path, size_t size, const char* sysfs, const char* name, const char* what) {
    const int written = std::snprintf(path, size, "%s/class/tty/%s/%s", sysfs, name, what);
    return written > 0 && static_cast<size_t>(written) < size;
}

// "<dev>/<name>" into `path`; false when it does not fit.
bool device_path(const char* dev, const char* name, char* path, size_t size) {
    const int written = std::snprintf(path, size, "%s/%s", dev, name);
    return written > 0 && static_cast<size_t>(written) < size;
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

// Whether the scan tries /sys/class/tty/<name>, and if not, why. A console
// is told before its UART is asked, which would open it.
PortSkip port_skip(const char* sysfs, const char* dev, const char* consoles, const char* name) {
    char path[PORT_NAME_SIZE];
    // a virtual console, ptmx, the console
    if (!tty_path(path, sizeof path, sysfs, name, "device") || !path_exists(path)) return SKIP_NO_DEVICE;
    if (listed_in(consoles, name)) return SKIP_CONSOLE;
    // The serial core records the UART's type beside the port; an 8250 port
    // of a kernel that does not is asked with TIOCGSERIAL.
    int type = UART_TYPE_UNKNOWN;
    if (!tty_path(path, sizeof path, sysfs, name, "type")) return SKIP_NO_UART;
    if (read_attribute(path, &type)) return type != UART_TYPE_UNKNOWN ? SKIP_NONE : SKIP_NO_UART;
    if (path_exists(path)) return SKIP_NO_UART;  // there, but not readable: not counted
    char driver[FIELD_MAX];
    if (!tty_path(path, sizeof path, sysfs, name, "device/driver") || !link_name(path, driver, sizeof driver) ||
        std::strcmp(driver, "serial8250") != 0) {
        return SKIP_NONE;
    }
    if (!device_path(dev, name, path, sizeof path)) return SKIP_NO_UART;
    return uart_type_by_ioctl(path) != UART_TYPE_UNKNOWN ? SKIP_NONE : SKIP_NO_UART;
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

// Named as serial drivers name their ports (ttyS0, ttyUSB0, ttyAMA0), not as
// virtual consoles (tty1) or the old pseudo-terminals (ttyp0) are.
bool named_like_serial(const char* name) {
    return std::strncmp(name, "tty", 3) == 0 && name[3] >= 'A' && name[3] <= 'Z';
}

// Every port under <sysfs>/class/tty that the scan tries, up to FOUND_MAX,
// in natural order; with `skipped`, also those it skips that look like ports.
uint32_t find_ports(const char* sysfs, const char* dev, Found* found, bool skipped) {
    char folder[PORT_NAME_SIZE];
    (void)std::snprintf(folder, sizeof folder, "%s/class/tty", sysfs);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    char consoles[CONSOLES_TEXT_MAX];
    read_consoles(sysfs, consoles, sizeof consoles);
    uint32_t count = 0;
    (void)directory_any(fd, [&](const char* name) {
        if (name[0] == '.' || std::strlen(name) >= TTY_NAME_SIZE) return false;
        const PortSkip skip = port_skip(sysfs, dev, consoles, name);
        const bool shown = skip == SKIP_NONE || (skipped && (skip != SKIP_NO_DEVICE || named_like_serial(name)));
        if (!shown) return false;
        Found entry{};
        std::memcpy(entry.name, name, std::strlen(name) + 1);
        entry.group = group_of(name);
        entry.skip = skip;
        uint32_t place = count++;
        for (; place > 0 && comes_before(entry, found[place - 1]); --place) found[place] = found[place - 1];
        found[place] = entry;
        return count == FOUND_MAX;
    });
    (void)close(fd);  // read-only
    return count;
}

bool com_dir_set() {
    const char* com_dir = std::getenv("OFWU_COM_DIR");
    return com_dir != nullptr && com_dir[0] != '\0';
}

// Adds "  <field>" to the line of `size` bytes at `line`, cut short when
// the line is full.
void line_add(char* line, size_t size, const char* field) {
    const size_t used = std::strlen(line);
    if (field[0] != '\0' && used < size) (void)std::snprintf(line + used, size - used, "  %s", field);
}

// The name under <dev>/serial/by-id that leads to the tty `name`, as a path.
bool by_id_of(const char* dev, const char* name, char* path, size_t size) {
    char folder[PORT_NAME_SIZE];
    (void)std::snprintf(folder, sizeof folder, "%s/serial/by-id", dev);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool found = directory_any(fd, [&](const char* entry) {
        char link[PORT_NAME_SIZE];
        char target[FIELD_MAX];
        const int written = std::snprintf(link, sizeof link, "%s/%s", folder, entry);
        if (entry[0] == '.' || written <= 0 || static_cast<size_t>(written) >= sizeof link) return false;
        if (!link_name(link, target, sizeof target) || std::strcmp(target, name) != 0) return false;
        (void)std::snprintf(path, size, "%s", link);
        return true;
    });
    (void)close(fd);  // read-only
    return found;
}

// "USB 0403:6001 A50285BI": the USB device the tty's device sits on, the
// nearest folder above it in sysfs with a vendor id; false when none.
bool usb_of(const char* sysfs, const char* name, char* text, size_t size) {
    char folder[PATH_MAX];
    char path[PATH_MAX + 16];
    // realpath with a buffer of our own allocates nothing.
    if (!tty_path(path, sizeof path, sysfs, name, "device") || realpath(path, folder) == nullptr) return false;
    char vendor[FIELD_MAX];
    for (int level = 0; level < USB_LEVELS_MAX; ++level) {
        (void)std::snprintf(path, sizeof path, "%s/idVendor", folder);  // always fits: 16 bytes to spare
        if (read_text(path, vendor, sizeof vendor)) {
            char product[FIELD_MAX] = "";
            char serial[FIELD_MAX] = "";
            (void)std::snprintf(path, sizeof path, "%s/idProduct", folder);
            (void)read_text(path, product, sizeof product);  // left empty when missing
            (void)std::snprintf(path, sizeof path, "%s/serial", folder);
            (void)read_text(path, serial, sizeof serial);  // many adapters have none
            (void)std::snprintf(text, size, "USB %s:%s%s%s", vendor, product, serial[0] != '\0' ? " " : "", serial);
            return true;
        }
        char* parent = std::strrchr(folder, '/');
        if (parent == nullptr || parent == folder) return false;
        *parent = '\0';
    }
    return false;
}

// Why the scan skips a port, as --ports says it.
const char* skip_text(PortSkip skip) {
    switch (skip) {
        case SKIP_CONSOLE: return "the kernel's console: the scan leaves it alone";
        case SKIP_NO_UART: return "no UART answers there: the scan skips it";
        case SKIP_NO_DEVICE: return "no device behind it: the scan skips it";
        case SKIP_NONE: break;
    }
    return "";
}

// The mark of a port another program has open, or an empty one.
void in_use_text(const char* device, char* text, size_t size) {
    const int32_t pid = port_other_opener(device);
    text[0] = '\0';
    if (pid != 0) (void)std::snprintf(text, size, "in use by another program (process %d)", static_cast<int>(pid));
}

// The --ports line of a port the scan found in sysfs (or skips); `place`
// counts the ports the scan tries, this one included.
void print_sysfs_port(const char* sysfs, const char* dev, const Found& port, uint32_t place) {
    char line[LINE_SIZE];
    char field[PORT_NAME_SIZE];
    if (!device_path(dev, port.name, line, sizeof line)) return;
    if (by_id_of(dev, port.name, field, sizeof field)) line_add(line, sizeof line, field);
    char path[PORT_NAME_SIZE];
    if (tty_path(path, sizeof path, sysfs, port.name, "device/driver") && link_name(path, field, sizeof field)) {
        line_add(line, sizeof line, field);
    }
    if (usb_of(sysfs, port.name, field, sizeof field)) line_add(line, sizeof line, field);
    line_add(line, sizeof line, skip_text(port.skip));
    if (port.skip == SKIP_NONE && place > SCAN_PORTS_MAX) {
        line_add(line, sizeof line, "past the first 16: the scan skips it; name it to use it");
    }
    if (port.skip == SKIP_NONE || port.skip == SKIP_CONSOLE) {
        char device[PORT_NAME_SIZE];
        if (device_path(dev, port.name, device, sizeof device)) {
            in_use_text(device, field, sizeof field);
            line_add(line, sizeof line, field);
        }
    }
    print_message("%s\n", line);
}

}  // namespace

uint32_t port_list_print() {
    if (com_dir_set()) {
        uint32_t count = 0;
        for (uint32_t number = 1; number <= SCAN_PORTS_MAX; ++number) {
            PortCandidate candidate;
            char field[FIELD_MAX];
            if (!port_candidate_number(number, &candidate) || !path_exists(candidate.device)) continue;
            in_use_text(candidate.device, field, sizeof field);
            print_message("%s  %s%s%s\n", candidate.label, candidate.device, field[0] != '\0' ? "  " : "", field);
            ++count;
        }
        return count;
    }
    const char* sysfs = folder_or("OFWU_SYSFS_DIR", "/sys");
    const char* dev = folder_or("OFWU_DEV_DIR", "/dev");
    Found found[FOUND_MAX];
    const uint32_t ports = find_ports(sysfs, dev, found, true);
    uint32_t tried = 0;
    for (uint32_t i = 0; i < ports; ++i) {
        if (found[i].skip == SKIP_NONE) ++tried;
        print_sysfs_port(sysfs, dev, found[i], tried);
    }
    return ports;
}

uint32_t port_scan_list(PortCandidate* list, uint32_t most) {
    uint32_t count = 0;
    if (com_dir_set()) {
        for (uint32_t number = 1; number <= SCAN_PORTS_MAX && count < most; ++number) {
            if (port_candidate_number(number, &list[count])) ++count;
        }
        return count;
    }
    const char* sysfs = folder_or("OFWU_SYSFS_DIR", "/sys");
    const char* dev = folder_or("OFWU_DEV_DIR", "/dev");
    Found found[FOUND_MAX];
    const uint32_t ports = find_ports(sysfs, dev, found, false);
    for (uint32_t i = 0; i < ports && count < most && count < SCAN_PORTS_MAX; ++i) {
        char path[PORT_NAME_SIZE];
        if (device_path(dev, found[i].name, path, sizeof path) && port_candidate_path(path, &list[count])) ++count;
    }
    return count;
}
