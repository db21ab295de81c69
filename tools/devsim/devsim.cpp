// devsim: a simulated device on a pseudo-terminal. See README.md.
//
// The loop moves bytes between the pty master and the device model. Line rates
// are real: a byte is understood only when the rate the program has set on
// the slave is the rate of the device's present mode; otherwise the device
// drops what comes and what it sends reaches the program as 0xFF.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>

#include "device.h"
#include "pty_line.h"

namespace {

constexpr size_t READ_CHUNK = 4096;
constexpr long HANGUP_WAIT_NS = 1000000;   // how often a closed line is looked at again
// Paced bytes go out in one write as a UART's FIFO empties, this much of the
// line's time at once, not one write a byte: each write of a pty is work for
// the kernel, which at 115200 baud would be some 11500 a second.
constexpr uint64_t PACE_BURST_US = 1000;
constexpr int EXIT_MET = 0;        // every expectation met
constexpr int EXIT_UNMET = 1;      // an expectation was not met
constexpr int EXIT_SETUP = 2;      // bad options, no pty, unreadable image

volatile sig_atomic_t stop_signal = 0;

void on_signal(int number) {
    stop_signal = number;
}

double unix_ms() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

struct InByte {
    uint64_t arrival_us;   // when the byte has fully arrived at the device
    uint8_t byte;
    uint32_t line_baud;    // the program's rate when the byte was read
};

struct Loop {
    Device device;
    PtyLine line;
    std::deque<InByte> inbox;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double start_unix_ms = unix_ms();  // the same moment on the wall clock
    uint64_t last_input_us = 0;
    uint64_t rx_free_us = 0;   // paced: when the line can carry the next incoming byte
    uint64_t tx_free_us = 0;   // paced: when the line can carry the next outgoing byte
    uint32_t seen_baud = 0;    // the program's rate when the loop last looked
    uint32_t read_baud = 0;    // the program's rate at the last read of its bytes
    bool program_set_rate = false;  // the program has set a rate of its own on the line
    std::string stop_reason;
};

uint64_t elapsed_us(const Loop& loop) {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now() - loop.start).count());
}

// The stop signals are blocked except inside ppoll(), which unblocks them
// while it waits: a signal can then never slip in between the loop's check
// and its wait.
sigset_t install_signals() {
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigset_t stops;
    sigemptyset(&stops);
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        (void)sigaction(number, &action, nullptr);  // cannot fail for these signals
        (void)sigaddset(&stops, number);
    }
    (void)signal(SIGPIPE, SIG_IGN);
    sigset_t waiting;
    (void)sigprocmask(SIG_BLOCK, &stops, &waiting);  // cannot fail with a valid set
    return waiting;
}

void take_input(Loop* loop, uint64_t now) {
    uint8_t buffer[READ_CHUNK];
    const ssize_t n = read(loop->line.master, buffer, sizeof buffer);
    if (n <= 0) return;  // nothing after all, or the program has the line closed (EIO)
    const uint32_t baud = pty_line_baud(loop->line);
    // The first read at a new rate may begin with bytes sent at the old one.
    const size_t split = baud == loop->read_baud ? 0
        : rate_change_split(buffer, static_cast<size_t>(n), loop->read_baud, baud);
    for (ssize_t i = 0; i < n; ++i) {
        const uint32_t sent_at = static_cast<size_t>(i) < split ? loop->read_baud : baud;
        const uint64_t byte_us = loop->device.scenario.pace ? byte_time_us(sent_at) : 0;
        loop->rx_free_us = std::max(now, loop->rx_free_us) + byte_us;
        loop->inbox.push_back({loop->rx_free_us, buffer[i], sent_at});
    }
    loop->read_baud = baud;
    loop->last_input_us = now;
}

void deliver_input(Loop* loop, uint64_t now) {
    Device* device = &loop->device;
    while (!loop->inbox.empty() && loop->inbox.front().arrival_us <= now && !device->unplugged) {
        const InByte in = loop->inbox.front();
        loop->inbox.pop_front();
        device_arrive(device, in.byte, in.line_baud, in.arrival_us);
    }
}

// The due bytes that may go now, as they reach the program: each one 0xFF
// when the program's rate is not the device's. Paced, a byte goes only once
// the line has carried the one before it, 10 bit-times later (give or take
// PACE_BURST_US).
std::vector<uint8_t> due_output(Loop* loop, uint64_t now, bool rates_match) {
    std::vector<uint8_t> out;
    const Device& device = loop->device;
    // Babble goes out at the line's own pace, so that it never ends but
    // never floods either.
    const bool paced = device.scenario.pace || !device.babble.empty();
    const uint64_t byte_us = paced ? byte_time_us(device_baud(device)) : 0;
    for (const OutByte& b : device.outbox) {
        if (b.due_us > now || (byte_us != 0 && loop->tx_free_us > now + PACE_BURST_US)) break;
        out.push_back(rates_match ? b.byte : 0xFF);
        if (byte_us != 0) loop->tx_free_us = std::max(loop->tx_free_us, b.due_us) + byte_us;
    }
    return out;
}

// Notes every rate the program sets, as the device sees it change.
void watch_rate(Loop* loop, uint64_t now) {
    Device* device = &loop->device;
    const uint32_t baud = pty_line_baud(loop->line);
    if (baud == loop->seen_baud) return;
    loop->seen_baud = baud;
    if (baud != loop->line.first_baud) loop->program_set_rate = true;
    device->line_baud = baud;
    device->now_us = now;
    device_log(device, "line rate", std::to_string(baud));
}

void send_output(Loop* loop, uint64_t now) {
    Device* device = &loop->device;
    device->line_baud = pty_line_baud(loop->line);
    const bool rates_match = device->line_baud == device_baud(*device);
    const std::vector<uint8_t> out = due_output(loop, now, rates_match);
    if (out.empty()) return;
    const ssize_t n = write(loop->line.master, out.data(), out.size());
    if (n <= 0) return;  // the program's input queue is full: again later
    device->outbox.erase(device->outbox.begin(), device->outbox.begin() + n);
    report_count(&device->report, "bytes_sent", static_cast<uint64_t>(n));
    report_wire(&device->report, true, device->line_baud, out.data(), static_cast<size_t>(n));
    // The program leaves the line as it found it when it gives it up, and
    // never uses the line's first rate itself: bytes that go out once the
    // line is back at that rate reach no one, and are no fault of its.
    const bool given_up = loop->program_set_rate && device->line_baud == loop->line.first_baud;
    if (!rates_match && given_up) {
        device->now_us = now;
        device_log(device, "sent after the program gave the line up", std::to_string(n) + " bytes");
    } else if (!rates_match) {
        device->now_us = now;
        report_count(&device->report, "bytes_sent_wrong_rate", static_cast<uint64_t>(n));
        device_log(device, "sent at a wrong rate", std::to_string(n) + " bytes arrive as 0xFF");
    }
}

uint64_t idle_deadline(const Loop& loop) {
    return loop.last_input_us + static_cast<uint64_t>(loop.device.scenario.idle_timeout_ms) * 1000u;
}

// How long the loop may wait for input before it has timed work to do.
timespec poll_timeout(const Loop& loop, uint64_t now) {
    uint64_t next = std::min(device_next_timer(loop.device), idle_deadline(loop));
    if (!loop.inbox.empty()) next = std::min(next, loop.inbox.front().arrival_us);
    if (!loop.device.outbox.empty()) {
        next = std::min(next, std::max(loop.device.outbox.front().due_us, loop.tx_free_us));
    }
    const uint64_t wait_us = next <= now ? 0 : std::min<uint64_t>(next - now, 1000000);
    return {static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000) * 1000};
}

const char* signal_name(int number) {
    return number == SIGINT ? "SIGINT" : number == SIGHUP ? "SIGHUP" : "SIGTERM";
}

bool should_stop(Loop* loop, uint64_t now) {
    if (stop_signal != 0) loop->stop_reason = signal_name(stop_signal);
    else if (loop->device.unplugged) loop->stop_reason = "unplugged";
    else if (now >= idle_deadline(*loop)) loop->stop_reason = "idle timeout";
    return !loop->stop_reason.empty();
}

void run(Loop* loop, const sigset_t& waiting) {
    for (;;) {
        uint64_t now = elapsed_us(*loop);
        deliver_input(loop, now);
        device_advance(&loop->device, now);
        if (should_stop(loop, now)) return;
        watch_rate(loop, now);
        send_output(loop, now);
        pollfd entry = {loop->line.master, POLLIN, 0};
        const timespec wait = poll_timeout(*loop, now);
        // ppoll: >0 readable, 0 time-out, -1 error (EINTR when a signal came).
        const int ready = ppoll(&entry, 1, &wait, &waiting);
        if (ready > 0 && !(entry.revents & POLLIN) && (entry.revents & POLLHUP)) {
            // The program has the line closed: nothing can come until it opens
            // it again. Wait a little rather than spin on the hang-up.
            const timespec idle = {0, std::min<long>(HANGUP_WAIT_NS, wait.tv_sec > 0 ? HANGUP_WAIT_NS : wait.tv_nsec)};
            (void)ppoll(nullptr, 0, &idle, &waiting);  // a signal ends it early, as it should
        }
        now = elapsed_us(*loop);
        if (ready > 0 && (entry.revents & POLLIN)) take_input(loop, now);
    }
}

bool write_report(const Loop& loop) {
    const std::string& path = loop.device.scenario.report_path;
    if (path.empty()) return true;
    // Written aside and renamed, so a reader never sees half a report.
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << device_report_json(loop.device, loop.stop_reason, loop.line.slave_name, loop.start_unix_ms);
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int finish(Loop* loop) {
    pty_line_close(&loop->line);
    const std::vector<std::string> unmet = device_unmet(loop->device);
    for (const std::string& u : unmet) std::fprintf(stderr, "devsim: expectation not met: %s\n", u.c_str());
    if (!write_report(*loop)) {
        std::fprintf(stderr, "devsim: cannot write the report %s\n", loop->device.scenario.report_path.c_str());
        return EXIT_SETUP;
    }
    return unmet.empty() ? EXIT_MET : EXIT_UNMET;
}

}  // namespace

int main(int argc, char** argv) {
    Scenario scenario;
    std::string error;
    if (!scenario_parse_args(argc, argv, &scenario, &error)) {
        std::fprintf(stderr, "devsim: %s\n%s", error.c_str(), scenario_usage());
        return EXIT_SETUP;
    }
    const sigset_t waiting = install_signals();
    Loop loop;
    if (!device_start(&loop.device, scenario, &error) || !pty_line_open(&loop.line, scenario.link, &error)) {
        std::fprintf(stderr, "devsim: %s\n", error.c_str());
        return EXIT_SETUP;
    }
    // The one line on standard output: the device stands, and where.
    std::printf("%s -> %s\n", scenario.link.c_str(), loop.line.slave_name.c_str());
    std::fflush(stdout);
    // The rate before any program could open the line, then every change.
    loop.seen_baud = loop.line.first_baud;
    loop.read_baud = loop.line.first_baud;
    loop.device.line_baud = loop.line.first_baud;
    device_log(&loop.device, "line rate", std::to_string(loop.line.first_baud));
    run(&loop, waiting);
    return finish(&loop);
}
