// Key input and sleep on Windows.
//
// Where keys come from is decided at each call by what standard input is:
// - a console: keys through _kbhit and _getch, without echo;
// - a pipe or a disk file (a script feeding answers): every byte is one key,
//   as on POSIX systems, and its end is KEY_END_OF_INPUT;
// - nothing at all, or a device that is no console (NUL): no key can ever
//   come, so key_read returns KEY_END_OF_INPUT at once instead of waiting
//   for ever.
#include <windows.h>

#include <conio.h>

#include <ctime>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

enum InputKind : int32_t {
    INPUT_CONSOLE,  // keys from the console
    INPUT_PIPE,     // bytes from a pipe, one key each
    INPUT_FILE,     // bytes from a disk file, one key each
    INPUT_NONE,     // no key can ever come
};

InputKind input_kind(HANDLE input) {
    // GetStdHandle gives null or INVALID_HANDLE_VALUE when there is none.
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return INPUT_NONE;
    DWORD mode = 0;
    // GetConsoleMode returns non-zero only for a console handle.
    if (GetConsoleMode(input, &mode)) return INPUT_CONSOLE;
    // GetFileType returns FILE_TYPE_UNKNOWN on failure as for a kind it does
    // not know; neither can deliver a key.
    switch (GetFileType(input)) {
        case FILE_TYPE_PIPE: return INPUT_PIPE;
        case FILE_TYPE_DISK: return INPUT_FILE;
        default: return INPUT_NONE;
    }
}

// One byte of redirected standard input, or KEY_END_OF_INPUT at its end.
int32_t byte_read(HANDLE input) {
    unsigned char key = 0;  // unsigned: a byte 0xE0 is key code 224, not -32
    DWORD got = 0;
    // ReadFile returns non-zero on success; success with 0 bytes is the end
    // of a file, failure (ERROR_BROKEN_PIPE) the end of a pipe. Both stay
    // so, so every later call finds the end again.
    if (ReadFile(input, &key, 1, &got, nullptr) && got == 1) return key;
    return KEY_END_OF_INPUT;
}

}  // namespace

int32_t key_waiting() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    switch (input_kind(input)) {
        case INPUT_CONSOLE: return _kbhit() != 0 ? 1 : 0;
        case INPUT_PIPE: {
            DWORD available = 0;
            // PeekNamedPipe returns non-zero on success; it fails once the
            // writer has gone and nothing is left, which is the end of input.
            if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return 1;
            return available > 0 ? 1 : 0;
        }
        default: return 1;  // a file read, or the end of input, returns at once
    }
}

int32_t key_read() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    switch (input_kind(input)) {
        case INPUT_CONSOLE: return _getch();
        case INPUT_PIPE:
        case INPUT_FILE: return byte_read(input);
        default: return KEY_END_OF_INPUT;
    }
}

void console_start() {
    // The console is used as Windows gives it.
}

void console_on_ending_signal(void (*note)(int32_t)) {
    (void)note;  // Ctrl-C ends a Windows console program as it always has
}

void print_now(const char* text) {
    DWORD written = 0;
    DWORD length = 0;
    while (text[length] != '\0') ++length;
    (void)WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

void keys_start() {
    // Nothing to set: keys are read from the console as it is.
}

int32_t key_take() {
    const int32_t key = key_read();
    // A key whose first code is 0 (a function or arrow key) has a second code.
    if (key == 0) (void)key_read();
    return key;
}

void keys_discard() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input_kind(input) != INPUT_CONSOLE) return;  // piped keys are a script's answers
    // The keys the C runtime holds or sees waiting (a second code among
    // them) are taken first, then whatever else the console holds is
    // dropped (FlushConsoleInputBuffer returns non-zero on success).
    while (_kbhit() != 0) (void)_getch();
    (void)FlushConsoleInputBuffer(input);
}

void idle_wait(SerialPort* port, uint32_t longest_ms) {
    (void)port;
    (void)longest_ms;
    Sleep(1);  // each pass of the main loop sleeps 1 ms, however long it could wait
}

uint32_t timer_start() {
    // The C runtime's clock() on Windows counts wall-clock milliseconds since
    // the program started (CLOCKS_PER_SEC is 1000), so it keeps running while
    // the program waits for the device. Taken modulo 2^32.
    return static_cast<uint32_t>(std::clock());
}

uint64_t timer_now_us() {
    // QueryPerformanceCounter cannot fail on Windows XP and later.
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    (void)QueryPerformanceCounter(&count);
    (void)QueryPerformanceFrequency(&frequency);
    const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    const uint64_t per_second = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

void sleep_ms(uint32_t ms) {
    // INFINITE (0xFFFFFFFF) would never return; no caller waits that long.
    Sleep(ms);
}
