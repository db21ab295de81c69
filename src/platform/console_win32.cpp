// Key input and sleep on Windows.
//
// When standard input is a console, keys come from it through _kbhit and
// _getch, without echo. When it is a pipe or a file (a script feeding
// answers), every byte of it is one key, as on POSIX systems, and its end is
// KEY_END_OF_INPUT. When there is no standard input at all, or it is a
// character device that is not a console (NUL), no key can ever come and
// key_read returns KEY_END_OF_INPUT at once rather than wait for ever.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <conio.h>

#include "platform/console.h"

namespace {

enum InputKind : int32_t {
    INPUT_UNKNOWN = 0,  // not yet looked at
    INPUT_CONSOLE,      // keys from the console
    INPUT_PIPE,         // bytes from a pipe, one key each
    INPUT_FILE,         // bytes from a disk file, one key each
    INPUT_NONE,         // no key can ever come
};

int32_t input_kind = INPUT_UNKNOWN;
bool input_ended = false;

// Decides once where keys come from.
int32_t input_kind_get() {
    if (input_kind != INPUT_UNKNOWN) return input_kind;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);  // null or INVALID_HANDLE_VALUE when none
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        input_kind = INPUT_NONE;
    } else if (GetConsoleMode(input, &mode)) {  // non-zero only for a console input handle
        input_kind = INPUT_CONSOLE;
    } else {
        // GetFileType returns FILE_TYPE_UNKNOWN on failure as for an unknown
        // kind; both leave no way to read a key.
        switch (GetFileType(input)) {
            case FILE_TYPE_PIPE: input_kind = INPUT_PIPE; break;
            case FILE_TYPE_DISK: input_kind = INPUT_FILE; break;
            default: input_kind = INPUT_NONE; break;  // NUL and other devices: no console behind them
        }
    }
    return input_kind;
}

// One byte of redirected standard input, or KEY_END_OF_INPUT at its end.
int32_t byte_read() {
    unsigned char key = 0;
    DWORD got = 0;
    // ReadFile returns non-zero on success; success with 0 bytes is the end
    // of a file, failure (ERROR_BROKEN_PIPE) the end of a pipe.
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &got, nullptr) && got == 1) return key;
    input_ended = true;
    return KEY_END_OF_INPUT;
}

}  // namespace

int32_t key_waiting() {
    if (input_ended) return 1;
    switch (input_kind_get()) {
        case INPUT_CONSOLE: return _kbhit() != 0 ? 1 : 0;
        case INPUT_PIPE: {
            DWORD available = 0;
            // PeekNamedPipe returns non-zero on success; it fails once the
            // writer has gone and nothing is left, which is the end of input.
            if (!PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &available,
                               nullptr)) {
                return 1;
            }
            return available > 0 ? 1 : 0;
        }
        default: return 1;  // a file read, or the end of input, returns at once
    }
}

int32_t key_read() {
    if (input_ended) return KEY_END_OF_INPUT;
    switch (input_kind_get()) {
        case INPUT_CONSOLE: return _getch();
        case INPUT_PIPE:
        case INPUT_FILE: return byte_read();
        default:
            input_ended = true;
            return KEY_END_OF_INPUT;
    }
}

void sleep_ms(uint32_t ms) {
    // INFINITE (0xFFFFFFFF) would never return; no caller waits that long.
    Sleep(ms);
}
