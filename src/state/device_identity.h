// What a device said about itself, through its application's version reply
// or its bootloader's probe reply.
#ifndef OFWU_STATE_DEVICE_IDENTITY_H
#define OFWU_STATE_DEVICE_IDENTITY_H

#include <cstdint>

constexpr uint32_t REPORTED_NAME_SIZE = 33;   // up to 32 characters and a NUL
constexpr uint16_t DEFAULT_PRODUCT_CODE = 56; // assumed when a device does not state its identity
constexpr uint16_t DEFAULT_HARDWARE_REVISION = 1;
constexpr uint32_t NO_OPTION_WORD = 0xFFFFFFFFu;

struct DeviceIdentity {
    uint16_t product_code;
    uint16_t hardware_revision;         // 1-based
    uint32_t option_word;               // stored only
    uint32_t version;                   // packed version; 0 means none
    const char* display_name;           // reported_name, or the product table's name, or nullptr
    char reported_name[REPORTED_NAME_SIZE];
};

// Packed version: major in bits 31-24, minor 23-16, sub-version 15-8 (non-zero
// marks a beta), release letter 7-0 (1 for "a" to 26 for "z").
constexpr uint32_t pack_version(uint32_t major, uint32_t minor, uint32_t sub, uint32_t letter) {
    return (major << 24) + (minor << 16) + (sub << 8) + letter;
}

#endif
