// The bootloader's reply to the probe: a 65-byte little-endian wire record,
// read and written by byte offset.
#ifndef OFWU_STATE_BOOTLOADER_INFO_H
#define OFWU_STATE_BOOTLOADER_INFO_H

#include <cstdint>

constexpr uint32_t BOOTLOADER_INFO_SIZE = 65;

struct BootloaderInfo {
    uint8_t bytes[BOOTLOADER_INFO_SIZE];
};

#endif
