// Files and standard output, the few things the program asks of them.
// file_posix.cpp and file_win32.cpp implement it.
#ifndef OFWU_PLATFORM_FILE_H
#define OFWU_PLATFORM_FILE_H

#include <cstdint>

enum FileRead : int32_t {
    FILE_READ_OK = 0,
    FILE_READ_MISSING = 1,     // no file of that name
    FILE_READ_DIRECTORY = 2,   // a folder, not a file
    FILE_READ_UNREADABLE = 3,  // it cannot be opened or read
    FILE_READ_TOO_LARGE = 4,   // more than `capacity` bytes: not read past that
};

// Reads the whole file at `path` into `buffer`, at most `capacity` bytes and
// never more (an endless file such as /dev/zero ends there); *size is what
// was read.
FileRead file_read_whole(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size);

// Non-zero when standard output is a terminal or console, 0 when it goes to
// a file or a pipe.
int32_t output_is_terminal();

#endif
