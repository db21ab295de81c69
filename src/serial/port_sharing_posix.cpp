// Sharing a serial port the way Linux serial tools do. Terminal programs
// take a UUCP lock file, /run/lock/LCK..<name>, holding their process id
// as ten digits and a newline; a program that finds a lock whose owner is
// alive leaves the port alone. Each tool derives <name> its own way from
// the name it was given: the device it leads to, the name's last part, or
// the name below /dev with "_" for "/". For a port named by a symbolic link
// (/dev/serial/by-id/...) these differ, so every one of them is looked at,
// and taken. A program that opened the port without any lock shows in
// /proc, where every process's open files are listed.
#include "serial/port_sharing_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/directory_posix.h"
#include "platform/number_text.h"

namespace {

constexpr char DEFAULT_LOCK_DIR[] = "/run/lock";
constexpr int32_t NO_LOCK = -1;          // no lock file stands there
constexpr int32_t GARBAGE_LOCK = 0;      // a lock file that names no process
constexpr int32_t PID_MAX = 4194304;     // the largest process id Linux hands out
constexpr size_t LOCK_TEXT_MAX = 64;     // more than any lock file's content

// The folder lock files go in. OFWU_LOCK_DIR is a test seam: the tests keep
// their locks out of the machine's own folder.
const char* lock_dir() {
    const char* dir = std::getenv("OFWU_LOCK_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : DEFAULT_LOCK_DIR;
}

// LCK..ttyUSB0 for /dev/ttyUSB0; a device in a folder below /dev keeps its
// folder with "_" for "/" (LCK..pts_3, LCK..serial_by-id_usb-...). With
// `last_part`, only what follows the last "/" (LCK..3, LCK..usb-...). false
// when it does not fit.
bool lock_file_name(const char* device, bool last_part, char* path, size_t size) {
    const char* name = std::strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
    const char* last = std::strrchr(device, '/');
    if (last_part && last != nullptr) name = last + 1;
    while (*name == '/') ++name;
    if (*name == '\0') return false;
    const int written = std::snprintf(path, size, "%s/LCK..%s", lock_dir(), name);
    if (written <= 0 || static_cast<size_t>(written) >= size) return false;
    for (char* c = path + std::strlen(lock_dir()) + 6; *c != '\0'; ++c) {
        if (*c == '/') *c = '_';
    }
    return true;
}

// The lock file names serial programs derive for `device` as given and for
// the device it leads to, each once, into `names`; how many.
uint32_t lock_file_names(const char* device, const char* real, char (*names)[PORT_LOCK_PATH_SIZE]) {
    uint32_t count = 0;
    for (const char* from : {real, device}) {
        for (const bool last_part : {false, true}) {
            char* name = names[count];
            if (!lock_file_name(from, last_part, name, PORT_LOCK_PATH_SIZE)) continue;
            bool known = false;
            for (uint32_t i = 0; i < count; ++i) known = known || std::strcmp(names[i], name) == 0;
            if (!known) ++count;
        }
    }
    return count;
}

// The process id in a lock file's bytes: HDB's text ("%10d\n"), or the
// 4-byte binary number of old UUCP. GARBAGE_LOCK when it is neither.
int32_t lock_pid_of(const char* text, ssize_t length) {
    if (length == 4 && (text[0] < ' ' || text[3] < ' ')) {
        int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 && binary <= PID_MAX ? binary : GARBAGE_LOCK;
    }
    char copy[LOCK_TEXT_MAX + 1];
    std::memcpy(copy, text, static_cast<size_t>(length));
    copy[length] = '\0';
    const char* at = copy;
    while (*at == ' ') ++at;
    if (*at < '0' || *at > '9') return GARBAGE_LOCK;  // no sign, no other white space
    const char* end = at;
    const int32_t pid = text_to_i32(at, &end);  // past PID_MAX it saturates, and is garbage
    while (*end == '\n' || *end == ' ' || *end == '\r') ++end;
    if (end != copy + length || pid <= 0 || pid > PID_MAX) return GARBAGE_LOCK;
    return pid;
}

// Who the lock file at `path` names: NO_LOCK, GARBAGE_LOCK (empty, not a
// number, not a plain file, a symbolic link: never followed) or a pid.
int32_t lock_holder(const char* path) {
    struct stat info{};
    // lstat returns 0 on success, -1 on failure.
    if (lstat(path, &info) != 0) return errno == ENOENT ? NO_LOCK : GARBAGE_LOCK;
    if (!S_ISREG(info.st_mode)) return GARBAGE_LOCK;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? NO_LOCK : GARBAGE_LOCK;
    char text[LOCK_TEXT_MAX];
    const ssize_t length = read(fd, text, sizeof text);
    (void)close(fd);  // read-only: nothing is lost if close fails
    return length > 0 ? lock_pid_of(text, length) : GARBAGE_LOCK;
}

bool process_alive(int32_t pid) {
    // kill with signal 0 only asks: 0 when the process exists, -1 with EPERM
    // when it exists but belongs to another user.
    return kill(pid, 0) == 0 || errno == EPERM;
}

enum class Created { ours, taken, no_folder };

// Writes our lock file aside and links it into place, so nobody ever reads
// it half written and two programs cannot both take it.
Created lock_create(const char* path) {
    char temporary[PORT_LOCK_PATH_SIZE];
    const int written = std::snprintf(temporary, sizeof temporary, "%s/LTMP.%d", lock_dir(), static_cast<int>(getpid()));
    if (written <= 0 || static_cast<size_t>(written) >= sizeof temporary) return Created::no_folder;
    (void)unlink(temporary);  // one of our own, left by a run that was killed
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return Created::no_folder;  // no folder, or not ours to write in
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const bool whole = write(fd, text, static_cast<size_t>(length)) == length;
    const bool closed = close(fd) == 0;
    // link returns 0 on success, -1 with EEXIST when a lock stands there already.
    const int linked = whole && closed ? link(temporary, path) : -1;
    const int link_error = errno;
    (void)unlink(temporary);  // the lock, if made, is the other name of the same file
    if (linked == 0) return Created::ours;
    return whole && closed && link_error == EEXIST ? Created::taken : Created::no_folder;
}

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// True when process `pid` has a descriptor open on the character device `device`.
bool process_holds(const char* pid, dev_t device) {
    char folder[64];
    (void)std::snprintf(folder, sizeof folder, "/proc/%s/fd", pid);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;  // gone, or another user's: not ours to see
    const bool holds = directory_any(fd, [&](const char* name) {
        if (!all_digits(name)) return false;
        char link[96];
        (void)std::snprintf(link, sizeof link, "%s/%s", folder, name);
        struct stat info{};
        return stat(link, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
    });
    (void)close(fd);  // read-only
    return holds;
}

// Takes the lock file `path` for us. 1 when it is ours, 0 when a live
// program holds it (its pid in `holder_pid`), -1 when the lock folder
// cannot be used.
int32_t lock_take_one(const char* path, int32_t* holder_pid) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int32_t holder = lock_holder(path);
        if (holder > 0 && holder != getpid() && process_alive(holder)) {
            *holder_pid = holder;
            return 0;
        }
        // Stale (its owner is gone), garbage, or our own: removed, never followed.
        if (holder != NO_LOCK) (void)unlink(path);
        switch (lock_create(path)) {
            case Created::ours: return 1;
            case Created::no_folder: return -1;
            case Created::taken: break;  // another program was quicker: look again
        }
    }
    const int32_t holder = lock_holder(path);
    *holder_pid = holder > 0 ? holder : 0;
    return 0;
}

}  // namespace

int32_t port_lock_take(SerialPort* port, const char* device) {
    for (char* path : port->lock_paths) path[0] = '\0';
    port->unlocked = 1;
    char real[PATH_MAX];
    // realpath with a buffer of our own allocates nothing. A device that is
    // not there fails its own open.
    if (realpath(device, real) == nullptr) return 1;
    char names[PORT_LOCKS_MAX][PORT_LOCK_PATH_SIZE];
    const uint32_t count = lock_file_names(device, real, names);
    // Every name is looked at before any is taken: a live holder of any one
    // of them refuses the port.
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t holder = lock_holder(names[i]);
        if (holder > 0 && holder != getpid() && process_alive(holder)) {
            port->failure_pid = holder;
            return 0;
        }
    }
    uint32_t taken = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t result = lock_take_one(names[i], &port->failure_pid);
        if (result == 0) {
            port_lock_release(port);
            return 0;
        }
        if (result == 1) std::memcpy(port->lock_paths[taken++], names[i], PORT_LOCK_PATH_SIZE);
    }
    // A name too long for a lock file, or a folder not ours to write in:
    // the port goes on without one (the other locks still hold), and the
    // user is told.
    port->unlocked = taken == 0 ? 1 : 0;
    return 1;
}

void port_lock_release(SerialPort* port) {
    for (char* path : port->lock_paths) {
        if (path[0] == '\0') continue;
        (void)unlink(path);  // already gone is as good
        path[0] = '\0';
    }
}

bool process_name(int32_t pid, char* name, size_t size) {
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t length = read(fd, name, size - 1);
    (void)close(fd);  // read-only
    if (length <= 0) return false;
    name[length] = '\0';
    name[std::strcspn(name, "\n")] = '\0';
    // A process may name itself anything: nothing but printable ASCII reaches
    // the user's terminal.
    for (char* c = name; *c != '\0'; ++c) {
        if (*c < ' ' || *c > '~') *c = '?';
    }
    return name[0] != '\0';
}

int32_t port_other_opener(const char* device) {
    struct stat own{};
    if (stat(device, &own) != 0 || !S_ISCHR(own.st_mode)) return 0;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return 0;  // no /proc: nothing can be seen
    char self[16];
    (void)std::snprintf(self, sizeof self, "%d", static_cast<int>(getpid()));
    int32_t found = 0;
    (void)directory_any(proc, [&](const char* name) {
        if (!all_digits(name) || std::strcmp(name, self) == 0 || !process_holds(name, own.st_rdev)) return false;
        found = text_to_i32(name, nullptr);
        return true;
    });
    (void)close(proc);  // read-only
    return found;
}
