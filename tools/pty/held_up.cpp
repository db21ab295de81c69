#include "held_up.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool run_queue_wait_ns(int fd, uint64_t* ns) {
    char text[128];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return false;
    text[n] = '\0';
    unsigned long long on_cpu = 0;
    unsigned long long waited = 0;
    if (std::sscanf(text, "%llu %llu", &on_cpu, &waited) != 2) return false;
    *ns = waited;
    return true;
}

}  // namespace

void held_up_watch_open(HeldUpWatch* watch, pid_t pid) {
    const std::string path = pid == 0 ? "/proc/self/schedstat" : "/proc/" + std::to_string(pid) + "/schedstat";
    *watch = HeldUpWatch{};
    watch->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (watch->fd >= 0 && !run_queue_wait_ns(watch->fd, &watch->last_ns)) held_up_watch_close(watch);
}

void held_up_watch_look(HeldUpWatch* watch) {
    uint64_t now_ns = 0;
    if (watch->fd < 0 || !run_queue_wait_ns(watch->fd, &now_ns)) return;
    if (now_ns > watch->last_ns && now_ns - watch->last_ns > watch->longest_ns) {
        watch->longest_ns = now_ns - watch->last_ns;
    }
    watch->last_ns = now_ns;
}

double held_up_watch_longest_ms(const HeldUpWatch& watch) {
    return static_cast<double>(watch.longest_ns) / 1e6;
}

void held_up_watch_close(HeldUpWatch* watch) {
    if (watch->fd >= 0) (void)close(watch->fd);
    watch->fd = -1;
}

namespace {

constexpr int CANARY_PERIOD_MS = 20;
constexpr double CANARY_NOTED_MS = 20;  // shorter trips are no hold-up worth keeping

struct Trip {
    double sent_ms;
    double took_ms;
};

std::mutex canary_lock;
bool canary_started = false;
std::vector<Trip> canary_trips;       // the trips of CANARY_NOTED_MS or more
double canary_pending_since = -1;     // the byte on its way now; -1: none

void canary_note(double sent_ms, double took_ms, double pending_since) {
    const std::lock_guard<std::mutex> hold(canary_lock);
    if (took_ms >= CANARY_NOTED_MS) canary_trips.push_back({sent_ms, took_ms});
    canary_pending_since = pending_since;
}

void canary_run(int master, int slave) {
    for (;;) {
        const double sent = line_canary_now_ms();
        canary_note(sent, 0, sent);
        const char byte = 'c';
        if (write(slave, &byte, 1) != 1) break;
        pollfd entry = {master, POLLIN, 0};
        char got = 0;
        if (poll(&entry, 1, 60000) != 1 || read(master, &got, 1) != 1) break;
        canary_note(sent, line_canary_now_ms() - sent, -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(CANARY_PERIOD_MS));
    }
    canary_note(0, 0, -1);  // a canary that broke tells nothing more
}

}  // namespace

void line_canary_start() {
    const std::lock_guard<std::mutex> hold(canary_lock);
    if (canary_started) return;
    canary_started = true;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    const char* name = ptsname(master);
    const int slave = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) return;
    cfmakeraw(&raw);
    (void)tcsetattr(slave, TCSANOW, &raw);
    std::thread(canary_run, master, slave).detach();
}

double line_canary_now_ms() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count()) / 1000.0;
}

double line_canary_longest_ms(double from_ms, double to_ms) {
    const std::lock_guard<std::mutex> hold(canary_lock);
    double longest = 0;
    for (const Trip& trip : canary_trips) {
        if (trip.sent_ms <= to_ms && trip.sent_ms + trip.took_ms >= from_ms && trip.took_ms > longest) {
            longest = trip.took_ms;
        }
    }
    if (canary_pending_since >= 0 && canary_pending_since <= to_ms) {
        const double on_its_way = line_canary_now_ms() - canary_pending_since;
        if (on_its_way > longest) longest = on_its_way;
    }
    return longest;
}
