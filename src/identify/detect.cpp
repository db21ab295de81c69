#include "identify/detect.h"

#include <cstring>

#include "identify/version_query.h"
#include "serial/link_rate.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

void put_u16(BootloaderInfo* info, uint32_t offset, uint16_t value) {
    info->bytes[offset] = static_cast<uint8_t>(value & 0xFFu);
    info->bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void clear(BootloaderInfo* info, uint32_t offset, uint32_t size) {
    std::memset(info->bytes + offset, 0, size);
}

// A legacy reply (header word zero) carries version and name at offsets 8 and
// 12 and no identity: it is taken to be product 56, revision 1.
void convert_legacy(BootloaderInfo* info) {
    put_u16(info, INFO_HEADER_WORD, LEGACY_HEADER_WORD);
    put_u16(info, INFO_PRODUCT_CODE, DEFAULT_PRODUCT_CODE);
    put_u16(info, INFO_HARDWARE_REVISION, DEFAULT_HARDWARE_REVISION);
    // Version and name move up by 20 bytes; the ranges overlap, and memmove
    // copies so that the moved bytes arrive intact.
    std::memmove(info->bytes + INFO_VERSION, info->bytes + LEGACY_VERSION,
                 LEGACY_NAME_END - LEGACY_VERSION + 1);
    clear(info, INFO_RESERVED, INFO_RESERVED_SIZE);
    // The name's last byte now comes from the reply; a legacy device that
    // filled its whole name field must not leave the name unterminated.
    info->bytes[INFO_NAME + INFO_NAME_SIZE - 1] = 0;
}

// 1 when the rate was set; current_baud follows what the port now runs at.
bool switch_rate(uint32_t baud) {
    return link_rate_change(baud, LINK_NONE) != 0;
}

void fill_device_from(const BootloaderInfo* info) {
    device.version = info_u32(info, INFO_VERSION);
    device.product_code = info_u16(info, INFO_PRODUCT_CODE);
    device.hardware_revision = info_u16(info, INFO_HARDWARE_REVISION);
    static_assert(REPORTED_NAME_SIZE == INFO_NAME_SIZE, "the name is copied whole");
    std::memcpy(device.reported_name, info->bytes + INFO_NAME, INFO_NAME_SIZE);
    identity_choose_display_name(&device);
}

}  // namespace

uint16_t info_u16(const BootloaderInfo* info, uint32_t offset) {
    return static_cast<uint16_t>(info->bytes[offset] | (info->bytes[offset + 1] << 8));
}

uint32_t info_u32(const BootloaderInfo* info, uint32_t offset) {
    return static_cast<uint32_t>(info->bytes[offset]) |
           (static_cast<uint32_t>(info->bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(info->bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(info->bytes[offset + 3]) << 24);
}

ProbeResult probe_bootloader(BootloaderInfo* info) {
    // A reply too short to reach a field leaves it zero and the name empty.
    clear(info, INFO_PRODUCT_CODE, 2);
    clear(info, INFO_HARDWARE_REVISION, 2);
    clear(info, INFO_RESERVED, INFO_RESERVED_SIZE);
    clear(info, INFO_VERSION, 4);
    info->bytes[INFO_NAME] = 0;

    const uint8_t request[] = {COMMAND_PROBE};
    trace_step("probe");
    if (packet_send(request, sizeof request, 1, PROBE_ACK_LIMIT_MS) != SEND_OK) return PROBE_REQUEST_FAILED;
    uint8_t length = BOOTLOADER_INFO_SIZE;
    // The data length is not looked at: a reply answered with NAK still
    // counts, with the bytes as they came.
    if (packet_receive(info->bytes, &length, PROBE_REPLY_LIMIT_MS) != RECEIVE_OK) return PROBE_REPLY_FAILED;
    info->bytes[INFO_NAME + INFO_NAME_SIZE - 1] = 0;
    if (info_u16(info, INFO_HEADER_WORD) == 0) convert_legacy(info);
    return PROBE_OK;
}

DetectResult detect_device() {
    link_state = LINK_NONE;
    if (current_baud == 0) return DETECT_PORT_UNUSABLE;
    if (current_baud != APPLICATION_BAUD && !switch_rate(APPLICATION_BAUD)) return DETECT_NO_19200;
    drain_input();
    if (query_version(&device, 0) == VERSION_OK) {
        link_state = LINK_APPLICATION;
        return DETECT_OK;
    }
    if (!switch_rate(BOOTLOADER_BAUD)) return DETECT_NO_115200;
    flush_bootloader();
    if (probe_bootloader(&bootloader_info) == PROBE_OK) {
        link_state = LINK_BOOTLOADER;
        fill_device_from(&bootloader_info);
        return DETECT_OK;
    }
    if (!switch_rate(APPLICATION_BAUD)) return DETECT_NO_19200_AFTER;
    link_state = LINK_NONE;
    return DETECT_NOTHING_ANSWERED;
}
