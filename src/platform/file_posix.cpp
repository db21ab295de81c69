// Files and standard output on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

FileRead file_read_whole(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
    *size = 0;
    // O_NONBLOCK: a FIFO without a writer must not hold the program at its open.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? FILE_READ_MISSING : FILE_READ_UNREADABLE;
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
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = FILE_READ_UNREADABLE;  // EAGAIN too: a pipe or device with nothing to give
        } else if (*size >= capacity) {
            result = FILE_READ_TOO_LARGE;
        } else {
            *size += static_cast<uint32_t>(n);
        }
    }
    (void)close(fd);  // read-only: nothing is lost if close fails
    return result;
}

int32_t output_is_terminal() {
    return isatty(STDOUT_FILENO) ? 1 : 0;
}
