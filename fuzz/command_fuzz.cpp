// The bootloader's command exchange: command packet, status request and
// status reply, on any bytes a device may send back.
//
// Input: a byte that sets the command's data length (1 to 253, as the
// transfer's start and block packets use), then the device's bytes.
#include <cstring>

#include "byte_source_port.h"
#include "fuzz_check.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr uint32_t COMMAND_LIMIT_MS = 2000;
constexpr size_t PACKET_OVERHEAD = 2;        // length and checksum bytes
constexpr size_t STATUS_REQUEST_BYTES = 3;   // 0x03 0x23 0x23
constexpr uint8_t LONGEST_COMMAND = 253;     // the longest data a packet carries as sent

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t length = static_cast<uint8_t>(1 + data[0] % LONGEST_COMMAND);
    byte_source_load(data + 1, size - 1, 0);
    if (!port.is_open) (void)port_open(&port, 1, BOOTLOADER_BAUD);

    uint8_t command[LONGEST_COMMAND];
    std::memset(command, 0, sizeof command);
    command[0] = COMMAND_BLOCK;
    const int32_t result = bootloader_command(command, length, COMMAND_LIMIT_MS);

    // After a failed step the program sends nothing more; once the status
    // reply has come it is answered with exactly one byte.
    const size_t command_bytes = PACKET_OVERHEAD + length;
    const size_t written = byte_source_written_count();
    switch (result) {
        case COMMAND_NOT_ACCEPTED:
            FUZZ_CHECK(written == command_bytes);
            break;
        case COMMAND_REQUEST_FAILED:
        case COMMAND_NO_STATUS:
            FUZZ_CHECK(written == command_bytes + STATUS_REQUEST_BYTES);
            break;
        case COMMAND_OK:
        case COMMAND_FLASH_MISMATCH:
        case COMMAND_UNEXPECTED_STATUS: {
            FUZZ_CHECK(written == command_bytes + STATUS_REQUEST_BYTES + 1);
            const uint8_t answer = byte_source_written_back(0);
            FUZZ_CHECK(answer == PACKET_ACK || answer == PACKET_NAK);
            break;
        }
        default:
            FUZZ_CHECK(false);
    }
    return 0;
}
