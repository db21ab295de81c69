// The message assembler and its dispatcher on any bytes the device's
// application may send while the main loop runs.
//
// Input: a byte for the line length left by earlier bytes (0 to 254), a byte
// that fills the line buffer's older content, then the bytes fed one by one.
#include <cstdio>
#include <cstring>

#include "byte_source_port.h"
#include "fuzz_check.h"
#include "monitor/message_monitor.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr uint32_t WATCH_UNTOUCHED = 0x5A5A5A5Au;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    // The handlers print progress lines; the fuzzer needs none of them on
    // its terminal, but they are still formatted and written.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    line_length = data[0] % (LINE_CHARACTERS_MAX + 1);
    std::memset(line_buffer, data[1], sizeof line_buffer);
    ready = 0;
    watch_timer = WATCH_UNTOUCHED;
    // The progress handler restarts the watch timer from the clock; a clock
    // that differs from WATCH_UNTOUCHED makes a restart visible.
    byte_source_pass_time(timer_start() == WATCH_UNTOUCHED ? 1 : 0);

    for (size_t i = 2; i < size; ++i) {
        const int8_t byte = static_cast<int8_t>(data[i]);
        const int32_t ready_before = ready;
        const uint32_t watch_before = watch_timer;
        feed_message_byte(byte);
        FUZZ_CHECK(line_length >= 0 && line_length <= LINE_CHARACTERS_MAX);
        // Only a completed line runs a handler, and a "^" or "$" leaves the
        // assembler between lines.
        if (byte != '$') {
            FUZZ_CHECK(ready == ready_before);
            FUZZ_CHECK(watch_timer == watch_before);
        }
        if (byte == '$' || byte == '^') FUZZ_CHECK(line_length == 0);
        // A dispatched line ends inside the buffer, so the handlers that read
        // it as text stop there.
        if (byte == '$') FUZZ_CHECK(std::memchr(line_buffer, '\0', sizeof line_buffer) != nullptr);
        FUZZ_CHECK(ready == 0 || ready == 1);
    }
    return 0;
}
