// The main loop: before an update it identifies the device on every pass,
// checks the image against it and asks the user; after a successful update
// it only passes the device's messages to the monitor until the device says
// it is ready or stays silent for the watch time.
#include <cstdio>
#include <cstring>

#include "catalogue/firmware_image.h"
#include "catalogue/product_table.h"
#include "catalogue/update_decision.h"
#include "control/program.h"
#include "identify/detect.h"
#include "identify/version_query.h"
#include "monitor/message_monitor.h"
#include "platform/console.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"
#include "transfer/firmware_transfer.h"

namespace {

constexpr uint32_t PASS_SLEEP_MS = 1;     // keeps the loop from taking a whole core
constexpr uint32_t WATCH_LIMIT_MS = 30000; // silence after the update that ends the program

// Feeds every byte already waiting to the message monitor. Only bytes that
// have arrived are read, so a pass never waits for the device here.
void feed_waiting_bytes() {
    for (int32_t waiting = port_pending(&port); waiting > 0; --waiting) {
        uint8_t byte = 0;
        if (port_read(&port, &byte, 1) != 1) return;
        feed_message_byte(static_cast<int8_t>(byte));
    }
}

// One key a pass is taken and has no effect: a key pressed during a transfer
// must not answer the next question. An unattended run reads no key at all:
// its standard input may be a shell loop's list of ports.
void consume_key() {
    if (!batch.active && key_waiting()) (void)key_take();
}

// How long a pass may wait for a byte or a key: before the update 1 ms, as
// always; in the watch until the watch runs out, and not at all once the
// device is ready.
uint32_t pass_wait_ms() {
    if (!update_done) return PASS_SLEEP_MS;
    if (ready) return 0;
    const uint32_t spent = timer_start() - watch_timer;
    return spent > WATCH_LIMIT_MS ? 0 : WATCH_LIMIT_MS - spent + 1;
}

// After the restart of an unattended run: the application's announcement
// of its version, for the closing line and the exit status. Every other line
// that comes first, a ready message among them, goes to the message monitor
// as in the watch. It ends at the announcement, at a silence that ends a
// line read, or when the watch's time is up, whichever is first.
void listen_for_announcement() {
    device.version = 0;  // no version announced until one is
    char line[VERSION_LINE_CAPACITY];
    while (!timer_expired(watch_timer, WATCH_LIMIT_MS)) {
        if (read_message_line(line, VERSION_LINE_CAPACITY, timer_start()) != LINE_OK) return;
        if (std::strncmp(line, "=V", 2) == 0) {
            if (parse_version_reply(&device, line) != VERSION_OK) device.version = 0;
            return;
        }
        // The line as the monitor takes it: without its "^", "$" included.
        (void)dispatch_message(line);
    }
}

// The question answered: by the user, or by rule in an unattended run.
UpdateAnswer answer_question() {
    if (!batch.active) return confirm_update(&device, selected_image);
    return decide_update(&device, selected_image, link_state == LINK_BOOTLOADER ? 1 : 0, batch.allow_older);
}

// Identifies the device, checks the image against it and asks; on yes runs
// the transfer. Every way that ends the program goes through program_end.
void update_pass() {
    if (detect_device() != DETECT_OK) {
        print_message("\nNo Ostrel device found on %s.\n", port_label);
        program_end(OUTCOME_NO_DEVICE);
    }
    batch_note_device();
    if (product_name(device.product_code, device.hardware_revision) == nullptr) {
        print_message("\nThe device on %s not compatible with this update.\nProduct name: \"%.32s\"\n",
                      port_label, device.reported_name);
        program_end(OUTCOME_NO_IMAGE);
    }
    const Compatibility compatibility = check_compatibility(&device, selected_image);
    if (compatibility != COMPATIBLE) {
        report_incompatibility(compatibility, &device, selected_image);
        program_end(OUTCOME_NO_IMAGE);
    }
    // What the trace holds is in its file before the question waits for a key.
    trace_step("question");
    trace_write_out();
    const UpdateAnswer answer = answer_question();
    // With no key left to come the question can never be answered.
    if (answer == ANSWER_END_OF_INPUT) program_end(OUTCOME_NO_DEVICE);
    if (answer == ANSWER_SAME) program_end(OUTCOME_UPDATED);
    if (answer == ANSWER_OLDER) program_end(OUTCOME_OLDER);
    if (answer != ANSWER_YES) return;
    ready = 0;
    if (update_firmware() == TRANSFER_OK) {
        update_done = 1;
        watch_timer = timer_start();
        trace_step("watch start");
        batch.transferred = 1;
        if (batch.active) listen_for_announcement();
    } else if (batch.active) {
        // No second attempt unattended: the device stays recoverable, and a
        // new run completes the update.
        program_end(OUTCOME_FAILED);
    }
}

// The watch is over. Unattended, the update counts when the restarted
// application announced the update's version.
[[noreturn]] void watch_over() {
    trace_step(ready ? "watch end: the device is ready" : "watch end: %u ms without a message", WATCH_LIMIT_MS);
    program_end(device.version == selected_image->version ? OUTCOME_UPDATED : OUTCOME_NOT_VERIFIED);
}

}  // namespace

void run_main_loop() {
    for (;;) {
        idle_wait(&port, pass_wait_ms());
        if (update_done && (ready || timer_expired(watch_timer, WATCH_LIMIT_MS))) watch_over();
        feed_waiting_bytes();
        trace_write_out_when_full();
        consume_key();
        if (!update_done) update_pass();
    }
}
