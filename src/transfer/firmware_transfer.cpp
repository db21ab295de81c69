#include "transfer/firmware_transfer.h"

#include <cstdio>

#include "catalogue/firmware_image.h"
#include "identify/detect.h"
#include "identify/version_query.h"
#include "platform/console.h"
#include "serial/link_rate.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

uint8_t packet_buffer[PACKET_BUFFER_SIZE];

namespace {

// Three times, so that at least one arrives whole whatever the device was
// doing when the first byte came.
const uint8_t BOOTLOADER_ENTRY[] = "^BOOTL$^BOOTL$^BOOTL$";
constexpr int32_t BOOTLOADER_ENTRY_SIZE = sizeof BOOTLOADER_ENTRY - 1;

enum TransferStage : int32_t {
    STAGE_START = 1,  // the start packet
    STAGE_BLOCK = 2,  // a block packet
};

void write_entry_string() {
    trace_step("entry");
    // A string that did not go out shows as a probe that gets no answer.
    (void)port_write(&port, BOOTLOADER_ENTRY, BOOTLOADER_ENTRY_SIZE);
}

// The device is no longer known to be in its bootloader: the port goes back
// to the application's rate.
void back_to_application_rate() {
    (void)link_rate_change(APPLICATION_BAUD, LINK_NONE);  // a failure shows in the next exchange
}

// The entry string at the present rate, then up to three flush-and-probe
// attempts at the bootloader's rate. true once the bootloader answered.
bool enter_bootloader() {
    write_entry_string();
    trace_sleep(BOOTLOADER_START_WAIT_MS);
    (void)link_rate_change(BOOTLOADER_BAUD, LINK_NONE);  // a failure shows as probes that fail
    for (uint32_t attempt = 0; attempt < ENTRY_ATTEMPTS; ++attempt) {
        flush_bootloader();
        if (probe_bootloader(&bootloader_info) == PROBE_OK) {
            link_state = LINK_BOOTLOADER;
            return true;
        }
        write_entry_string();
    }
    return false;
}

void print_command_failure(CommandResult result, TransferStage stage) {
    // The run's report keeps the text, without "Error: " and the line's end.
    if (result == COMMAND_FLASH_MISMATCH) {
        (void)std::snprintf(batch.last_error, sizeof batch.last_error, "FLASH firmware did not match update firmware.");
    } else {
        (void)std::snprintf(batch.last_error, sizeof batch.last_error,
                            "Lost(%d-%02X) communications with the bootloader, check cables and power.",
                            static_cast<int>(stage), static_cast<unsigned>(result));
    }
    print_message("\nError: %s\n", batch.last_error);
}

void put_u32_big_endian(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// "!", flash_start and flash_length big-endian, the image's start_bytes.
CommandResult send_start_packet(const FirmwareImage* image) {
    packet_buffer[0] = COMMAND_START;
    put_u32_big_endian(packet_buffer + 1, image->flash_start);
    put_u32_big_endian(packet_buffer + 5, image->flash_length);
    for (uint32_t i = 0; i < START_BYTES_SIZE; ++i) packet_buffer[9 + i] = image->start_bytes[i];
    trace_step("start");
    return bootloader_command(packet_buffer, START_PACKET_SIZE, COMMAND_LIMIT_MS);
}

// The block packet for a record of length L: "$", the first L - 3 bytes of
// its body, and three bytes that this block does not write: whatever an
// earlier packet left at positions L - 2 to L. The device's bootloader reads
// packets of exactly this form, so it stays as it is.
CommandResult send_block_packet(const ImageBlock& block) {
    packet_buffer[0] = COMMAND_BLOCK;
    const uint32_t copied = block.length - 3u;
    for (uint32_t i = 0; i < copied; ++i) packet_buffer[1 + i] = block.body[i];
    const uint8_t data_length = static_cast<uint8_t>(block.length + 1u);  // modulo 256 on purpose
    return bootloader_command(packet_buffer, data_length, COMMAND_LIMIT_MS);
}

// The share of the blocks already accepted, rewritten in place by "\r"; or,
// where the output goes to a log (an unattended run whose standard output is
// no terminal), as a whole line at each tenth.
void print_progress(uint32_t done, uint32_t total) {
    const uint32_t percent = (done * 100u) / total;
    if (!batch.progress_lines) {
        print_message("\rUpdating firmware: %3u%% complete.", percent);
    } else if (done == 0 || percent / 10u != ((done - 1u) * 100u / total) / 10u) {
        print_message("Updating firmware: %3u%% complete.\n", percent / 10u * 10u);
    }
}

}  // namespace

void leave_bootloader() {
    if (link_state != LINK_BOOTLOADER) return;
    packet_buffer[0] = COMMAND_RETURN;
    trace_step("return");
    // The bootloader does not acknowledge the return command; it restarts.
    (void)packet_send(packet_buffer, 1, 0, RETURN_LIMIT_MS);
    trace_sleep(RETURN_SETTLE_MS);
    (void)link_rate_change(APPLICATION_BAUD, LINK_NONE);  // a failure shows in the next exchange
    // The restarted application announces its version by itself; what it
    // says is taken in, but the update's outcome does not depend on it. An
    // unattended run, whose outcome does, listens for it in the main loop,
    // where the lines that come before it reach the message monitor.
    if (!batch.active) (void)query_version(&device, 1);
}

TransferResult update_firmware() {
    const FirmwareImage* image = selected_image;
    ++batch.attempts;
    if (link_state != LINK_BOOTLOADER && !enter_bootloader()) {
        (void)std::snprintf(batch.last_error, sizeof batch.last_error,
                            "No response from the bootloader, check cables and power.");
        print_message("\nError: %s\n", batch.last_error);
        back_to_application_rate();
        return TRANSFER_FAILED;
    }
    const CommandResult start = send_start_packet(image);
    if (start != COMMAND_OK) {
        // No return command: the device stays in its bootloader, where the
        // next detection finds it.
        print_command_failure(start, STAGE_START);
        back_to_application_rate();
        return TRANSFER_FAILED;
    }
    print_message("\n");
    BlockWalk walk = image_blocks(image);
    ImageBlock block{};
    for (uint32_t done = 0; block_next(&walk, &block); ++done) {
        print_progress(done, image->block_count);
        trace_step("block %u of %u", done + 1u, image->block_count);
        const CommandResult result = send_block_packet(block);
        if (result != COMMAND_OK) {
            print_command_failure(result, STAGE_BLOCK);
            leave_bootloader();
            back_to_application_rate();
            return TRANSFER_FAILED;
        }
    }
    print_message(batch.progress_lines ? "Updating firmware: 100%% complete.\n" : "\rUpdating firmware: 100%% complete.\n");
    leave_bootloader();
    return TRANSFER_OK;
}
