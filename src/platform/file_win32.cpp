// Files and standard output on Windows.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "platform/file.h"

FileRead file_read_whole(const char* path, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
    *size = 0;
    // GetFileAttributesA returns INVALID_FILE_ATTRIBUTES when there is no such file.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FILE_READ_MISSING;
        return error == ERROR_ACCESS_DENIED ? FILE_READ_PERMISSION : FILE_READ_UNREADABLE;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FILE_READ_DIRECTORY;
    // CreateFileA returns INVALID_HANDLE_VALUE on failure.
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_ACCESS_DENIED ? FILE_READ_PERMISSION : FILE_READ_UNREADABLE;
    }
    FileRead result = FILE_READ_OK;
    for (;;) {
        uint8_t extra = 0;
        uint8_t* into = *size < capacity ? buffer + *size : &extra;
        const DWORD room = *size < capacity ? capacity - *size : 1;
        DWORD got = 0;
        // ReadFile returns non-zero on success; 0 bytes read is the end of the file.
        if (!ReadFile(file, into, room, &got, nullptr)) {
            result = FILE_READ_UNREADABLE;
            break;
        }
        if (got == 0) break;
        if (*size >= capacity) {
            result = FILE_READ_TOO_LARGE;
            break;
        }
        *size += got;
    }
    (void)CloseHandle(file);  // read-only: nothing is lost if it does not close
    return result;
}

int32_t output_is_terminal() {
    DWORD mode = 0;
    // GetConsoleMode returns non-zero only for a console handle.
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? 1 : 0;
}

int64_t file_append_open(const char* path) {
    // FILE_APPEND_DATA alone: every write goes to the end as one piece,
    // whoever else appends; shared, so parallel runs may hold it at once.
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(file));
}

int32_t file_append_write(int64_t file, const char* bytes, uint32_t size) {
    DWORD written = 0;
    // The handle comes back through the integer the seam hands out.
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));  // NOLINT(performance-no-int-to-ptr)
    return WriteFile(handle, bytes, size, &written, nullptr) && written == size ? 1 : 0;
}

int64_t file_create(const char* path) {
    // Shared for reading: support may look at a trace while the run goes on.
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(file));
}

uint32_t file_write(int64_t file, const char* bytes, uint32_t size) {
    DWORD written = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));  // NOLINT(performance-no-int-to-ptr)
    // WriteFile returns zero on failure, with what did go in counted.
    (void)WriteFile(handle, bytes, size, &written, nullptr);
    return written;
}

void file_close(int64_t file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));  // NOLINT(performance-no-int-to-ptr)
    (void)CloseHandle(handle);
}

void clock_utc_text(char* text, uint32_t size) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    if (size == 0) return;
    (void)std::snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                        now.wMinute, now.wSecond);
}

void machine_name(char* text, uint32_t size) {
    DWORD length = size;
    if (size == 0) return;
    // GetComputerNameA returns non-zero on success.
    if (!GetComputerNameA(text, &length)) text[0] = '\0';
}
