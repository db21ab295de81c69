// The header of one firmware image, read once from its bytes: a plain record
// of the program-wide state (the image given with --image is one), whose
// format and rules are the catalogue's (catalogue/firmware_image.h).
#ifndef OFWU_STATE_FIRMWARE_IMAGE_RECORD_H
#define OFWU_STATE_FIRMWARE_IMAGE_RECORD_H

#include <cstdint>

constexpr uint32_t START_BYTES_SIZE = 7;
constexpr uint32_t IMAGE_NAME_SIZE = 33;

// One image: its header fields, read once, and its bytes.
struct FirmwareImage {
    uint32_t image_length;         // 0 marks an empty slot
    uint32_t format_version;
    uint32_t product_code;
    uint32_t hardware_revision;
    uint32_t version;              // packed version
    uint32_t max_block_length;
    uint32_t block_count;
    uint32_t flash_length;
    uint32_t flash_start;
    uint32_t flash_end;
    uint32_t reserved;
    uint8_t start_bytes[START_BYTES_SIZE];  // opaque, copied into the start packet
    char name[IMAGE_NAME_SIZE];
    const uint8_t* bytes;          // the whole image, header included
};

#endif
