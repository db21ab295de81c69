// Key input and sleep on POSIX systems. When standard input is a terminal it
// is switched to single keys without echo on first use and restored on every
// way out, Ctrl-C included; otherwise every byte of input is one key.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "platform/console.h"

namespace {

termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;

void restore_terminal() {
    if (terminal_changed) {
        // Best effort: on the way out there is nothing else to do if it fails.
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

void restore_and_reraise(int signal_number) {
    restore_terminal();
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

void prepare_terminal() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
    termios keys = saved_terminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl-C still stops the program
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return;
    terminal_changed = 1;
    (void)std::atexit(restore_terminal);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int s : signals) (void)std::signal(s, restore_and_reraise);
}

}  // namespace

int32_t key_waiting() {
    prepare_terminal();
    pollfd entry = {STDIN_FILENO, POLLIN, 0};
    // poll: >0 ready (a key, or end of input), 0 nothing yet, -1 error.
    const int n = poll(&entry, 1, 0);
    if (n < 0) return errno == EINTR ? 0 : 1;  // a broken input reads as its end
    return n > 0 ? 1 : 0;
}

int32_t key_read() {
    prepare_terminal();
    for (;;) {
        unsigned char key = 0;
        const ssize_t n = read(STDIN_FILENO, &key, 1);
        if (n == 1) return key;
        if (n < 0 && errno == EINTR) continue;
        // 0 is the end of input, and stays so; an error means no key can come either.
        return KEY_END_OF_INPUT;
    }
}

void sleep_ms(uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
