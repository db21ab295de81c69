// The firmware images built into the program: the stored image format, the
// compile-time checks every built-in image must pass, the catalogue of 8
// slots and the walk over an image's block records.
//
// An image: an 84-byte header (little-endian u32 fields, then start_bytes and
// name), block records (u16 length counting itself, then an opaque body),
// and a CRC-32 trailer over everything before it.
#ifndef OFWU_CATALOGUE_FIRMWARE_IMAGE_H
#define OFWU_CATALOGUE_FIRMWARE_IMAGE_H

#include <cstdint>

#include "catalogue/product_table.h"
#include "state/firmware_image_record.h"

// Header offsets, in bytes from the start of the image.
constexpr uint32_t IMAGE_LENGTH_AT = 0;
constexpr uint32_t IMAGE_FORMAT_VERSION_AT = 4;
constexpr uint32_t IMAGE_PRODUCT_CODE_AT = 8;
constexpr uint32_t IMAGE_HARDWARE_REVISION_AT = 12;
constexpr uint32_t IMAGE_VERSION_AT = 16;
constexpr uint32_t IMAGE_MAX_BLOCK_LENGTH_AT = 20;
constexpr uint32_t IMAGE_BLOCK_COUNT_AT = 24;
constexpr uint32_t IMAGE_FLASH_LENGTH_AT = 28;
constexpr uint32_t IMAGE_FLASH_START_AT = 32;
constexpr uint32_t IMAGE_FLASH_END_AT = 36;
constexpr uint32_t IMAGE_RESERVED_AT = 40;
constexpr uint32_t IMAGE_START_BYTES_AT = 44;
constexpr uint32_t IMAGE_NAME_AT = 51;
constexpr uint32_t IMAGE_HEADER_SIZE = 84;     // the first block record starts here

constexpr uint32_t IMAGE_TRAILER_SIZE = 4;     // CRC-32
constexpr uint32_t IMAGE_FORMAT = 0x01000000u; // format 1.00
constexpr uint32_t BLOCK_LENGTH_MIN = 3;
constexpr uint32_t BLOCK_LENGTH_MAX = 252;     // length + 1 data bytes must fit one packet
constexpr uint32_t BLOCK_OVERHEAD = 12;        // record bytes that cover no device memory
constexpr uint32_t IMAGE_SLOTS = 8;

// One block record: `length` counts its own two bytes, `body` follows them.
struct ImageBlock {
    uint16_t length;
    const uint8_t* body;
};

// Position in the walk over an image's records, driven by block_count alone.
struct BlockWalk {
    const uint8_t* cursor;   // the next record
    uint32_t left;           // records not yet handed out
};

constexpr uint32_t image_u32(const uint8_t* bytes, uint32_t offset) {
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

constexpr uint16_t image_u16(const uint8_t* bytes, uint32_t offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// Reads the header of the image in `bytes` into a record.
constexpr FirmwareImage image_from_bytes(const uint8_t* bytes) {
    FirmwareImage image{};
    image.image_length = image_u32(bytes, IMAGE_LENGTH_AT);
    image.format_version = image_u32(bytes, IMAGE_FORMAT_VERSION_AT);
    image.product_code = image_u32(bytes, IMAGE_PRODUCT_CODE_AT);
    image.hardware_revision = image_u32(bytes, IMAGE_HARDWARE_REVISION_AT);
    image.version = image_u32(bytes, IMAGE_VERSION_AT);
    image.max_block_length = image_u32(bytes, IMAGE_MAX_BLOCK_LENGTH_AT);
    image.block_count = image_u32(bytes, IMAGE_BLOCK_COUNT_AT);
    image.flash_length = image_u32(bytes, IMAGE_FLASH_LENGTH_AT);
    image.flash_start = image_u32(bytes, IMAGE_FLASH_START_AT);
    image.flash_end = image_u32(bytes, IMAGE_FLASH_END_AT);
    image.reserved = image_u32(bytes, IMAGE_RESERVED_AT);
    for (uint32_t i = 0; i < START_BYTES_SIZE; ++i) image.start_bytes[i] = bytes[IMAGE_START_BYTES_AT + i];
    for (uint32_t i = 0; i < IMAGE_NAME_SIZE; ++i) image.name[i] = static_cast<char>(bytes[IMAGE_NAME_AT + i]);
    image.bytes = bytes;
    return image;
}

// The walk starts at the first record, after the header.
constexpr BlockWalk image_blocks(const FirmwareImage* image) {
    return BlockWalk{image->bytes + IMAGE_HEADER_SIZE, image->block_count};
}

// Hands out the next record and moves on; false once block_count records
// have been handed out.
constexpr bool block_next(BlockWalk* walk, ImageBlock* block) {
    if (walk->left == 0) return false;
    block->length = image_u16(walk->cursor, 0);
    block->body = walk->cursor + 2;
    walk->cursor += block->length;
    --walk->left;
    return true;
}

// The catalogue of this build: 8 slots, nullptr for an empty one.
extern const FirmwareImage* const image_catalogue[IMAGE_SLOTS];

// The first non-empty slot, in slot order, made for exactly this product code
// and hardware revision; nullptr when none is. In a run given an image file
// (image_file of the program-wide state is not empty) the catalogue is that
// one image.
const FirmwareImage* find_image(uint16_t product_code, uint16_t hardware_revision);

// Reads the image file at `path` and checks it by every rule of the format;
// when it keeps them all it becomes image_file, this run's catalogue. When
// not, prints one line naming the file and the reason (the first rule it
// breaks), and returns false.
bool image_file_load(const char* path);
// Prints this run's catalogue for --list, one line a slot: the built-in
// images, or the image file under `file_label`.
void catalogue_print(const char* file_label);

// find_image over any catalogue of `count` slots.
const FirmwareImage* catalogue_find(const FirmwareImage* const* slots, uint32_t count,
                                    uint16_t product_code, uint16_t hardware_revision);

#endif
