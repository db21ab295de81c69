// Finds out whether the application or the bootloader answers on the port,
// and fills the program's device record.
#ifndef OFWU_IDENTIFY_DETECT_H
#define OFWU_IDENTIFY_DETECT_H

#include <cstdint>

#include "state/bootloader_info.h"

// Limits of the probe exchange, in ticks (milliseconds).
constexpr uint32_t PROBE_ACK_LIMIT_MS = 4000;
constexpr uint32_t PROBE_REPLY_LIMIT_MS = 2000;

// Byte offsets of the BootloaderInfo wire record (little-endian fields).
constexpr uint32_t INFO_HEADER_WORD = 0;       // u16; zero marks the legacy layout
constexpr uint32_t INFO_PRODUCT_CODE = 2;      // u16
constexpr uint32_t INFO_HARDWARE_REVISION = 6; // u16
constexpr uint32_t INFO_RESERVED = 8;          // five u32 words, zeroed by the probe
constexpr uint32_t INFO_RESERVED_SIZE = 20;
constexpr uint32_t INFO_VERSION = 28;          // u32 packed version
constexpr uint32_t INFO_NAME = 32;             // 33 bytes, NUL-terminated
constexpr uint32_t INFO_NAME_SIZE = 33;
// The legacy layout, converted in place by the probe.
constexpr uint32_t LEGACY_VERSION = 8;
constexpr uint32_t LEGACY_NAME_END = 44;       // last byte of the legacy name field
constexpr uint16_t LEGACY_HEADER_WORD = 2048;  // what a converted record carries

enum ProbeResult : int32_t {
    PROBE_OK = 0,
    PROBE_REQUEST_FAILED = 1,
    PROBE_REPLY_FAILED = 2,
};

enum DetectResult : int32_t {
    DETECT_OK = 0,
    DETECT_PORT_UNUSABLE = 1,     // current_baud was 0
    DETECT_NO_19200 = 3,          // could not set 19200 before the query
    DETECT_NO_115200 = 4,         // could not set 115200 for the probe
    DETECT_NO_19200_AFTER = 5,    // could not set 19200 back after a failed probe
    DETECT_NOTHING_ANSWERED = 6,
};

// Sends the "&" probe and reads the reply into `info`, converting a legacy
// reply to the current layout.
ProbeResult probe_bootloader(BootloaderInfo* info);

// The detection sequence on the program's port: the version query at 19200
// baud, then the bootloader probe at 115200. Sets link_state and
// current_baud, fills device.
DetectResult detect_device();

// Little-endian fields of the wire record.
uint16_t info_u16(const BootloaderInfo* info, uint32_t offset);
uint32_t info_u32(const BootloaderInfo* info, uint32_t offset);

#endif
