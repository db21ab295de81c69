// A folder's entries read without the heap: opendir allocates a buffer of
// its own, getdents64 fills the caller's. Linux only.
#ifndef OFWU_PLATFORM_DIRECTORY_POSIX_H
#define OFWU_PLATFORM_DIRECTORY_POSIX_H

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

// Calls `visit` with the name of each entry of the open folder `fd`, "." and
// ".." included, until it returns true; true when one did.
template <typename Visit>
bool directory_any(int fd, Visit visit) {
    // struct linux_dirent64: the record's length at offset 16, the name at 19.
    constexpr size_t LENGTH_AT = 16;
    constexpr size_t NAME_AT = 19;
    char batch[4096];
    for (long n = syscall(SYS_getdents64, fd, batch, sizeof batch); n > 0;
         n = syscall(SYS_getdents64, fd, batch, sizeof batch)) {
        uint16_t length = 0;
        for (long at = 0; at < n; at += length) {
            std::memcpy(&length, batch + at + LENGTH_AT, sizeof length);
            if (visit(static_cast<const char*>(batch + at + NAME_AT))) return true;
        }
    }
    return false;
}

#endif
