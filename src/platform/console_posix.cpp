// Key input, sleep, the main loop's idle wait and the process's ways out on
// POSIX systems.
//
// When standard input is a terminal it is put into single keys without echo
// as the program starts, so nothing typed during the scan shows, and it is
// left as it was found on every way out: the normal end, the signals that
// end the program, and a stop (Ctrl-Z), after which it is set again. A
// terminal that is not standard input is never touched. Otherwise every
// byte of input is one key.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/tty_posix.h"
#include "state/program_state.h"

namespace {

constexpr int KEY_ESCAPE = 0x1B;
constexpr int SEQUENCE_MAX = 16;       // the longest escape sequence a terminal sends for one key

termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;
volatile sig_atomic_t keys_ended = 0;  // standard input ended: nothing to wait for there
volatile sig_atomic_t keys_wanted = 0; // the run reads keys: the terminal is the program's to set

// Single keys without echo; ISIG stays, so Ctrl-C and Ctrl-Z still work.
void enter_terminal() {
    // Only standard input, only when it is a terminal, and only in the
    // foreground: a background process that changed it would be stopped.
    if (!keys_wanted || terminal_changed || !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    // tcgetattr and tcsetattr return 0 on success; either failing leaves the
    // terminal as it was, which is safe.
    if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
    termios keys = saved_terminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0) terminal_changed = 1;
}

// Puts the terminal back as it was found. `how` is TCSAFLUSH on the way
// out, so that the rest of an escape sequence typed last cannot reach the
// shell; TCSANOW when the program only stops.
void leave_terminal(int how) {
    if (!terminal_changed) return;
    (void)tcsetattr(STDIN_FILENO, how, &saved_terminal);  // best effort: nothing else to do on the way out
    terminal_changed = 0;
}

// Every way out: the terminal as it was, the port's line as it was found,
// and the port's lock files for other serial programs gone. On the normal
// way out the port was closed already, and this finds nothing left to do.
// Async-signal-safe calls only.
void clean_up() {
    leave_terminal(TCSAFLUSH);
    if (port.is_open) tty_put_back(port.handle, &port.found);
    for (const char* path : port.lock_paths) {
        if (path[0] != '\0') (void)unlink(path);  // gone already is as good
    }
}

void (*volatile ending_note)(int32_t) = nullptr;

void on_ending_signal(int number) {
    clean_up();
    if (ending_note != nullptr) ending_note(number);
    (void)std::signal(number, SIG_DFL);
    (void)std::raise(number);  // ends the process as the signal would have
}

void on_stop(int number) {
    leave_terminal(TCSANOW);
    (void)std::signal(number, SIG_DFL);
    // The signal is blocked while its handler runs: unblocked, the stop
    // takes effect here, and the program goes on from here after SIGCONT.
    sigset_t stop;
    (void)sigemptyset(&stop);
    (void)sigaddset(&stop, number);
    (void)sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // cannot fail with a valid set
    (void)kill(getpid(), number);  // the program has one thread: as raise(), delivered before kill returns
    (void)std::signal(number, on_stop);
    enter_terminal();
}

void on_continue(int /*number*/) {
    enter_terminal();
}

void at_exit() {
    clean_up();
}

// Installs `handler` for `number`, unless the program was started with the
// signal ignored (nohup, say), which it then stays.
void handle(int number, void (*handler)(int)) {
    struct sigaction action{};
    struct sigaction before{};
    action.sa_handler = handler;
    (void)sigemptyset(&action.sa_mask);
    // sigaction returns 0 on success; it cannot fail for these signals.
    if (sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) return;
    (void)sigaction(number, &action, nullptr);
}

// Standard input can be waited on: the run reads keys, and it is a
// terminal, a pipe or a socket that has not ended. A file or /dev/null always reads at once and needs no waiting.
bool keys_can_wait() {
    struct stat info{};
    if (!keys_wanted || keys_ended || fstat(STDIN_FILENO, &info) != 0) return false;
    return S_ISCHR(info.st_mode) ? isatty(STDIN_FILENO) != 0 : S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

bool byte_waiting() {
    pollfd entry = {STDIN_FILENO, POLLIN, 0};
    // poll: >0 ready, 0 nothing yet, -1 error.
    return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

// One byte of input; KEY_END_OF_INPUT at the end of input or on an error.
int32_t byte_read() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        // 0 is the end of input, and stays so; an error means no key can come either.
        keys_ended = 1;
        return KEY_END_OF_INPUT;
    }
}

// The rest of an escape sequence that is already waiting: "[", parameters
// and one final byte (arrow keys, most function keys), or "O" and one byte.
void skip_escape_sequence() {
    if (!byte_waiting()) return;
    const int32_t kind = byte_read();
    if (kind == 'O') {
        if (byte_waiting()) (void)byte_read();
        return;
    }
    if (kind != '[') return;
    for (int i = 0; i < SEQUENCE_MAX && byte_waiting(); ++i) {
        const int32_t byte = byte_read();
        if (byte >= 0x40 && byte <= 0x7E) return;  // the final byte
    }
}

}  // namespace

void console_start() {
    // A standard stream the program was started without would otherwise
    // become the port's descriptor: messages would go out on the wire, or
    // keys be read from the device. /dev/null takes its place first.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);  // takes the lowest free: fd
    }
    (void)std::atexit(at_exit);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) handle(number, on_ending_signal);
    // A log or a pager that is closed early (ofwu ... | head) must not end
    // an update half done: writes to it then fail, and the run goes on.
    (void)std::signal(SIGPIPE, SIG_IGN);
    handle(SIGTSTP, on_stop);
    handle(SIGCONT, on_continue);
}

void console_on_ending_signal(void (*note)(int32_t)) {
    ending_note = note;
}

void print_now(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    // write is async-signal-safe; what a full or closed output refuses is lost.
    while (length > 0) {
        const ssize_t n = write(STDOUT_FILENO, text, length);
        if (n <= 0 && errno != EINTR) return;
        if (n > 0) {
            text += n;
            length -= static_cast<size_t>(n);
        }
    }
}

void keys_start() {
    keys_wanted = 1;
    enter_terminal();
}

int32_t key_waiting() {
    pollfd entry = {STDIN_FILENO, POLLIN, 0};
    // poll: >0 ready (a key, or the end of input), 0 nothing yet, -1 error.
    const int n = poll(&entry, 1, 0);
    if (n < 0) return errno == EINTR ? 0 : 1;  // a broken input reads as its end
    return n > 0 ? 1 : 0;
}

int32_t key_read() {
    const int32_t key = byte_read();
    // An arrow or function key is one key: its sequence is taken with it.
    if (key == KEY_ESCAPE) skip_escape_sequence();
    return key;
}

int32_t key_take() {
    const int32_t key = key_read();
    // Ctrl-Space (code 0) is a whole key on a terminal: a second code is
    // read only when one is already waiting, never waited for.
    if (key == 0 && byte_waiting()) (void)byte_read();
    // A character of several UTF-8 bytes is one key: a terminal sends its
    // bytes together, as many as its first byte announces.
    const int continuations = key >= 0xF0 ? 3 : key >= 0xE0 ? 2 : key >= 0xC0 ? 1 : 0;
    for (int i = 0; i < continuations && byte_waiting(); ++i) (void)byte_read();
    return key;
}

void keys_discard() {
    // Only a terminal in the foreground: flushing it from the background
    // would stop the program, and piped keys are a script's answers.
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp()) (void)tcflush(STDIN_FILENO, TCIFLUSH);
}

namespace {

// After a poll that woke: leaves out of `entries` what hung up (a port is
// marked so, standard input noted as ended). true when a byte or a key is
// waiting.
bool sort_out_woken(pollfd* entries, nfds_t* count, SerialPort* waiting_port) {
    nfds_t kept = 0;
    bool readable = false;
    for (nfds_t i = 0; i < *count; ++i) {
        const bool gone = (entries[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        const bool has_data = (entries[i].revents & POLLIN) != 0;
        readable = readable || has_data;
        if (entries[i].fd != STDIN_FILENO) {
            // The pass reads what the port still holds; after it the port is
            // left out of every wait.
            if (gone) waiting_port->hung_up = 1;
            if (!gone) entries[kept++] = entries[i];
        } else if (!gone || has_data) {
            entries[kept++] = entries[i];
        } else {
            keys_ended = 1;
        }
    }
    *count = kept;
    return readable;
}

}  // namespace

void idle_wait(SerialPort* waiting_port, uint32_t longest_ms) {
    pollfd entries[2];
    nfds_t count = 0;
    // A port that hung up (a USB adapter pulled out) reports itself readable
    // for ever, and every read of it ends at once: it is not waited on again.
    if (waiting_port->is_open && !waiting_port->hung_up) entries[count++] = {waiting_port->handle, POLLIN, 0};
    if (keys_can_wait()) entries[count++] = {STDIN_FILENO, POLLIN, 0};
    const uint32_t start = timer_start();
    for (;;) {
        for (nfds_t i = 0; i < count; ++i) entries[i].revents = 0;
        const uint32_t spent = timer_start() - start;
        const int left = spent >= longest_ms ? 0 : static_cast<int>(longest_ms - spent);
        // poll: >0 when a descriptor is ready, 0 when the time is up, -1 on
        // an error (EINTR: a signal came; the loop waits out the rest).
        const int woken = poll(entries, count, left);
        if (woken == 0 || left == 0) return;
        if (woken < 0 && errno != EINTR) return;
        // A byte or a key has come: the pass runs now. A port or an input
        // that hung up would wake every poll at once: it is left out, and
        // the rest of the time waited out on what remains.
        if (sort_out_woken(entries, &count, waiting_port)) return;
    }
}

uint32_t timer_start() {
    // A monotonic clock of real elapsed time: a processor-time clock would not
    // advance while the program waits for the device.
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t timer_now_us() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void sleep_ms(uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
