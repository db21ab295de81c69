// The cost of waiting alone: a loop that does nothing but sleep 1 ms a pass,
// as the program's main loop does while it watches a silent device. Its CPU
// share is what this machine charges for the wake-ups themselves, next to
// which the program's watch figure is read.
//
// Use: sleep_loop SECONDS
#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace {

double now_s() {
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc == 2 ? std::atof(argv[1]) : 0;
    if (seconds <= 0) {
        std::fprintf(stderr, "use: sleep_loop SECONDS\n");
        return 2;
    }
    const timespec one_ms{0, 1000000};
    const double end = now_s() + seconds;
    while (now_s() < end) (void)nanosleep(&one_ms, nullptr);
    return 0;
}
