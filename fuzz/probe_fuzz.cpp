// The bootloader side of identification: the packet receiver on its own, the
// probe with its conversion of legacy replies, and the whole detection
// sequence, on any bytes a device may send.
//
// Input: a mode byte, a setup byte, then the device's bytes.
//   mode % 3 == 0: packet_receive into a buffer of exactly `setup` bytes.
//   mode % 3 == 1: probe_bootloader twice on one record whose older content
//                  is the setup byte; the second probe reads what the first
//                  left.
//   mode % 3 == 2: detect_device. mode / 3 % 4 picks current_baud on entry
//                  (0, 19200, 115200, 9600); setup bits 0-2 make the first
//                  three baud changes fail; setup >> 3 device bytes are
//                  already waiting before the detection starts. One more
//                  byte s: the device falls silent once before its byte s
//                  (never, when s lies past its bytes), so that the
//                  application's line can time out with more bytes to come.
#include <cstring>
#include <memory>

#include "byte_source_port.h"
#include "catalogue/product_table.h"
#include "fuzz_check.h"
#include "identify/detect.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr uint32_t RECEIVE_LIMIT_MS = 2000;
constexpr size_t PROBE_REQUEST_BYTES = 3;  // 0x03 0x26 0x26
constexpr size_t QUERY_BYTES = 3;          // "^V$"

bool is_answer(uint8_t byte) {
    return byte == PACKET_ACK || byte == PACKET_NAK;
}

void receive(const uint8_t* data, size_t size, uint8_t capacity) {
    byte_source_load(data, size, 0);
    // Exactly `capacity` bytes on the heap: a store past them is caught.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    uint8_t length = capacity;
    const int32_t result = packet_receive(buffer.get(), &length, RECEIVE_LIMIT_MS);
    FUZZ_CHECK(length <= capacity);
    switch (result) {
        case RECEIVE_OK:
            // Answered with exactly one byte; a NAK reports no data.
            FUZZ_CHECK(byte_source_written_count() == 1);
            FUZZ_CHECK(is_answer(byte_source_written_back(0)));
            if (byte_source_written_back(0) == PACKET_NAK) FUZZ_CHECK(length == 0);
            break;
        case RECEIVE_NO_LENGTH:
        case RECEIVE_NO_CHECKSUM:
            FUZZ_CHECK(length == capacity);
            FUZZ_CHECK(byte_source_written_count() == 0);
            break;
        case RECEIVE_SHORT:
            FUZZ_CHECK(length == 0);
            FUZZ_CHECK(byte_source_written_count() == 0);
            break;
        default:
            FUZZ_CHECK(false);  // the byte source never refuses a write
    }
}

// What every successful probe leaves, whatever layout the device used.
void check_probed_record(const BootloaderInfo& info) {
    FUZZ_CHECK(info.bytes[INFO_NAME + INFO_NAME_SIZE - 1] == 0);  // the name ends within its field
    FUZZ_CHECK(info_u16(&info, INFO_HEADER_WORD) != 0);          // a legacy reply is converted
}

void probe_twice(const uint8_t* data, size_t size, uint8_t older_content) {
    byte_source_load(data, size, 0);
    BootloaderInfo info;
    std::memset(info.bytes, older_content, sizeof info.bytes);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const size_t written_before = byte_source_written_count();
        const int32_t result = probe_bootloader(&info);
        const size_t written = byte_source_written_count() - written_before;
        switch (result) {
            case PROBE_OK:
                FUZZ_CHECK(written == PROBE_REQUEST_BYTES + 1);  // and the answer to the reply
                FUZZ_CHECK(is_answer(byte_source_written_back(0)));
                check_probed_record(info);
                break;
            case PROBE_REQUEST_FAILED:
            case PROBE_REPLY_FAILED:
                FUZZ_CHECK(written == PROBE_REQUEST_BYTES);
                break;
            default:
                FUZZ_CHECK(false);
        }
    }
}

void detect(const uint8_t* data, size_t size, uint32_t entry_baud, uint8_t setup) {
    if (size < 1) return;
    const size_t silence = data[0];
    byte_source_load(data + 1, size - 1, setup >> 3);
    byte_source_silence_at(silence);
    byte_source_fail_baud(setup & 7u);
    if (!port.is_open) (void)port_open(&port, 1, APPLICATION_BAUD);
    current_baud = entry_baud;
    // Every run starts from the same record, so that an input that breaks a
    // property does so again when it is replayed alone.
    std::memset(&bootloader_info, 0, sizeof bootloader_info);
    std::memset(&device, 0, sizeof device);
    device.display_name = "left over";

    const int32_t result = detect_device();
    const size_t written = byte_source_written_count();
    switch (result) {
        case DETECT_OK:
            FUZZ_CHECK(port.is_open);
            FUZZ_CHECK(std::memchr(device.reported_name, '\0', REPORTED_NAME_SIZE) != nullptr);
            if (device.reported_name[0] != '\0') {
                FUZZ_CHECK(device.display_name == device.reported_name);
            } else {
                FUZZ_CHECK(device.display_name == product_name(device.product_code, device.hardware_revision));
            }
            if (link_state == LINK_APPLICATION) {
                // No byte goes out at the bootloader's rate.
                FUZZ_CHECK(current_baud == APPLICATION_BAUD);
                FUZZ_CHECK(written == QUERY_BYTES);
            } else {
                FUZZ_CHECK(link_state == LINK_BOOTLOADER);
                FUZZ_CHECK(current_baud == BOOTLOADER_BAUD);
                FUZZ_CHECK(written == QUERY_BYTES + FLUSH_ZERO_BYTES + PROBE_REQUEST_BYTES + 1);
                check_probed_record(bootloader_info);
                // The name as the record holds it, up to its end, with every
                // control character shown as "?".
                bool ended = false;
                for (uint32_t i = 0; i < REPORTED_NAME_SIZE; ++i) {
                    const char sent = static_cast<char>(bootloader_info.bytes[INFO_NAME + i]);
                    const bool control = (sent > 0 && sent < ' ') || sent == 0x7F;
                    if (!ended) FUZZ_CHECK(device.reported_name[i] == (control ? '?' : sent));
                    ended = ended || sent == '\0';
                }
            }
            break;
        case DETECT_PORT_UNUSABLE:
            FUZZ_CHECK(entry_baud == 0);
            FUZZ_CHECK(link_state == LINK_NONE && current_baud == 0 && written == 0);
            break;
        case DETECT_NO_19200:
        case DETECT_NO_115200:
        case DETECT_NO_19200_AFTER:
            FUZZ_CHECK(link_state == LINK_NONE && current_baud == 0 && !port.is_open);
            break;
        case DETECT_NOTHING_ANSWERED:
            FUZZ_CHECK(link_state == LINK_NONE && current_baud == APPLICATION_BAUD && port.is_open);
            FUZZ_CHECK(written == QUERY_BYTES + FLUSH_ZERO_BYTES + PROBE_REQUEST_BYTES);
            break;
        default:
            FUZZ_CHECK(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint8_t setup = data[1];
    data += 2;
    size -= 2;
    if (!port.is_open) (void)port_open(&port, 1, BOOTLOADER_BAUD);
    switch (mode % 3) {
        case 0:
            receive(data, size, setup);
            break;
        case 1:
            probe_twice(data, size, setup);
            break;
        default: {
            const uint32_t entry_rates[] = {0, APPLICATION_BAUD, BOOTLOADER_BAUD, 9600};
            detect(data, size, entry_rates[mode / 3 % 4], setup);
            break;
        }
    }
    return 0;
}
