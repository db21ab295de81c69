// Files and standard output on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/file.h"

namespace {

FileRead failure_of(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: return FILE_READ_MISSING;
        case EACCES:
        case EPERM: return FILE_READ_PERMISSION;
        case ELOOP: return FILE_READ_LINK_LOOP;
        case EISDIR: return FILE_READ_DIRECTORY;
        default: return FILE_READ_UNREADABLE;
    }
}

// Waits for a pipe's next bytes: FILE_READ_OK with `ended` false when some
// came (or a signal broke the wait), with `ended` true when every writer has
// gone (POLLHUP without data); FILE_READ_STALLED when nothing came within
// FILE_PIPE_WAIT_MS.
FileRead pipe_wait(int fd, bool* ended) {
    pollfd entry = {fd, POLLIN, 0};
    // poll: >0 ready, 0 on time-out, -1 on error.
    const int ready = poll(&entry, 1, static_cast<int>(FILE_PIPE_WAIT_MS));
    if (ready == 0) return FILE_READ_STALLED;
    if (ready < 0) return errno == EINTR ? FILE_READ_OK : FILE_READ_UNREADABLE;
    *ended = (entry.revents & POLLIN) == 0;
    return FILE_READ_OK;
}

}  // namespace

FileRead file_read_whole(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
    *size = 0;
    // O_NONBLOCK: a FIFO without a writer must not hold the program at its
    // open; poll() then waits for its bytes, each wait bounded.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failure_of(errno);
    struct stat info{};
    FileRead result = FILE_READ_OK;
    if (fstat(fd, &info) != 0) {
        result = FILE_READ_UNREADABLE;
    } else if (S_ISDIR(info.st_mode)) {
        result = FILE_READ_DIRECTORY;
    }
    // One byte past the capacity tells a file that is too large from one
    // that fills it exactly.
    while (result == FILE_READ_OK) {
        uint8_t extra = 0;
        uint8_t* into = *size < capacity ? buffer + *size : &extra;
        const size_t room = *size < capacity ? capacity - *size : 1;
        const ssize_t n = read(fd, into, room);
        if (n > 0) {
            if (*size >= capacity) result = FILE_READ_TOO_LARGE;
            else *size += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            result = failure_of(errno);
            break;
        }
        // A pipe or FIFO: 0 with a writer gone is its end, but 0 also comes
        // from a FIFO whose writer has not opened it yet; EAGAIN is a writer
        // that has nothing to give yet.
        const bool waits = S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || n < 0;
        if (!waits) break;  // a file's end, or /dev/null and the like
        bool ended = false;
        result = pipe_wait(fd, &ended);  // EINTR: the wait, too, is simply made again
        if (ended) break;
    }
    (void)close(fd);  // read-only: nothing is lost if close fails
    return result;
}

int32_t output_is_terminal() {
    return isatty(STDOUT_FILENO) ? 1 : 0;
}

int64_t file_append_open(const char* path) {
    // O_APPEND: every write goes to the end as one piece, whoever else appends.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    return fd;
}

int32_t file_append_write(int64_t file, const char* bytes, uint32_t size) {
    for (;;) {
        const ssize_t n = write(static_cast<int>(file), bytes, size);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(size) ? 1 : 0;
    }
}

int64_t file_create(const char* path) {
    // O_NONBLOCK only for the open: a FIFO that nobody reads is refused
    // (ENXIO) instead of holding the program before its first port.
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

uint32_t file_write(int64_t file, const char* bytes, uint32_t size) {
    // write is async-signal-safe: the trace's last bytes go out this way
    // from a signal's handler too.
    uint32_t written = 0;
    while (written < size) {
        const ssize_t n = write(static_cast<int>(file), bytes + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<uint32_t>(n);
    }
    return written;
}

void file_close(int64_t file) {
    (void)close(static_cast<int>(file));
}

void clock_utc_text(char* text, uint32_t size) {
    const time_t now = time(nullptr);
    tm utc{};
    if (size == 0) return;
    text[0] = '\0';
    if (gmtime_r(&now, &utc) != nullptr) (void)strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

void machine_name(char* text, uint32_t size) {
    if (size == 0) return;
    // gethostname returns 0 on success; a name cut short may lack its NUL.
    if (gethostname(text, size) != 0) text[0] = '\0';
    text[size - 1] = '\0';
}
