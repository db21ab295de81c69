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
    FILE_READ_PERMISSION = 5,  // the user may not read it
    FILE_READ_LINK_LOOP = 6,   // too many symbolic links on the way to it
    FILE_READ_STALLED = 7,     // a pipe that gave nothing for FILE_PIPE_WAIT_MS
};

// How long a pipe or FIFO may give nothing before the read is given up: a
// decompressor or a copy feeding it gives its next bytes far sooner, and a
// FIFO nobody writes to must not hold the program for ever.
constexpr uint32_t FILE_PIPE_WAIT_MS = 30000;

// Reads the whole file at `path` into `buffer`, at most `capacity` bytes and
// never more (an endless file such as /dev/zero ends there); *size is what
// was read. A pipe or FIFO (`--image <(gunzip -c f.gz)`, /dev/stdin) is
// read to its end, each wait for it bounded by FILE_PIPE_WAIT_MS.
FileRead file_read_whole(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size);

// Non-zero when standard output is a terminal or console, 0 when it goes to
// a file or a pipe.
int32_t output_is_terminal();

// A file opened for appending, created when missing, that several programs
// may share: each record goes in with one write, never interleaved with
// another's. -1 when it cannot be opened.
int64_t file_append_open(const char* path);
// Appends `size` bytes with one write; 1 when all of them went in.
int32_t file_append_write(int64_t file, const char* bytes, uint32_t size);

// A file created empty for writing (one that is there is emptied), such as
// the wire trace. -1 when it cannot be created or opened: a FIFO with no
// reader is refused rather than waited on.
int64_t file_create(const char* path);
// Writes `size` bytes; how many went in (fewer when the disk is full or the
// file failed).
uint32_t file_write(int64_t file, const char* bytes, uint32_t size);
void file_close(int64_t file);

// The time now in UTC as ISO 8601 ("2026-12-08T17:55:03Z"), and this
// machine's name, each NUL-terminated and cut to fit.
void clock_utc_text(char* text, uint32_t size);
void machine_name(char* text, uint32_t size);

#endif
