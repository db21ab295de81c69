// Compile-time checks of a built-in image: the build refuses an image file
// that breaks any rule of the format, so the program never has to validate
// an image at run time. Each check returns true when the rule holds.
#ifndef OFWU_CATALOGUE_IMAGE_CHECKS_H
#define OFWU_CATALOGUE_IMAGE_CHECKS_H

#include <cstdint>

#include "catalogue/firmware_image.h"

namespace image_checks {

// The CRC-32 of zlib and ISO-HDLC: reflected polynomial 0xEDB88320, initial
// value and final XOR all ones.
struct CrcTable {
    uint32_t entry[256];
};

constexpr CrcTable make_crc_table() {
    CrcTable table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table.entry[n] = c;
    }
    return table;
}

constexpr uint32_t crc32(const uint8_t* data, uint32_t count) {
    constexpr CrcTable table = make_crc_table();
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < count; ++i) crc = table.entry[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

constexpr bool header_fits(uint32_t size) {
    return size >= IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE;
}

// image_length is the size of the file.
constexpr bool length_is_file_size(const uint8_t* bytes, uint32_t size) {
    return image_u32(bytes, IMAGE_LENGTH_AT) == size;
}

constexpr bool format_is_known(const uint8_t* bytes) {
    return image_u32(bytes, IMAGE_FORMAT_VERSION_AT) == IMAGE_FORMAT &&
           image_u32(bytes, IMAGE_RESERVED_AT) == 0;
}

// Every record is 3 to 252 bytes long and the chain of block_count records
// ends exactly on the trailer.
constexpr bool blocks_end_on_trailer(const uint8_t* bytes, uint32_t size) {
    uint32_t at = IMAGE_HEADER_SIZE;
    for (uint32_t left = image_u32(bytes, IMAGE_BLOCK_COUNT_AT); left > 0; --left) {
        if (at + 2 > size - IMAGE_TRAILER_SIZE) return false;
        const uint32_t length = image_u16(bytes, at);
        if (length < BLOCK_LENGTH_MIN || length > BLOCK_LENGTH_MAX) return false;
        at += length;
    }
    return at == size - IMAGE_TRAILER_SIZE;
}

// max_block_length is the longest record; the records cover flash_length
// bytes of device memory.
constexpr bool block_sizes_agree(const uint8_t* bytes) {
    uint32_t at = IMAGE_HEADER_SIZE;
    uint32_t longest = 0;
    uint32_t covered = 0;
    for (uint32_t left = image_u32(bytes, IMAGE_BLOCK_COUNT_AT); left > 0; --left) {
        const uint32_t length = image_u16(bytes, at);
        longest = length > longest ? length : longest;
        covered += length - BLOCK_OVERHEAD;
        at += length;
    }
    return longest == image_u32(bytes, IMAGE_MAX_BLOCK_LENGTH_AT) &&
           covered == image_u32(bytes, IMAGE_FLASH_LENGTH_AT);
}

constexpr bool flash_range_agrees(const uint8_t* bytes) {
    return image_u32(bytes, IMAGE_FLASH_LENGTH_AT) ==
           image_u32(bytes, IMAGE_FLASH_END_AT) - image_u32(bytes, IMAGE_FLASH_START_AT) + 1u;
}

constexpr bool crc_matches(const uint8_t* bytes, uint32_t size) {
    return crc32(bytes, size - IMAGE_TRAILER_SIZE) == image_u32(bytes, size - IMAGE_TRAILER_SIZE);
}

// The product table knows the image's product and revision, and the image's
// name is that name, NUL-terminated with the rest of the field zero.
constexpr bool name_matches_product_table(const uint8_t* bytes) {
    const char* expected = product_name(static_cast<int32_t>(image_u32(bytes, IMAGE_PRODUCT_CODE_AT)),
                                        static_cast<int32_t>(image_u32(bytes, IMAGE_HARDWARE_REVISION_AT)));
    if (expected == nullptr) return false;
    uint32_t i = 0;
    for (; expected[i] != '\0'; ++i) {
        if (i >= IMAGE_NAME_SIZE - 1 || bytes[IMAGE_NAME_AT + i] != static_cast<uint8_t>(expected[i])) return false;
    }
    for (; i < IMAGE_NAME_SIZE; ++i) {
        if (bytes[IMAGE_NAME_AT + i] != 0) return false;
    }
    return true;
}

}  // namespace image_checks

#endif
