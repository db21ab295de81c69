// Ways to break a valid image, one for each rule of the format (and the
// rule each breaks), for the tests of the build's checks, of the run-time
// check and of the program given a broken --image file.
#ifndef OFWU_TESTS_IMAGE_DAMAGE_H
#define OFWU_TESTS_IMAGE_DAMAGE_H

#include <cstdint>
#include <vector>

#include "catalogue/image_checks.h"

using ImageBytes = std::vector<uint8_t>;

inline void put_u32(ImageBytes& image, uint32_t offset, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The trailer made right again after a change, so that only the change is wrong.
inline void fix_crc(ImageBytes& image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    put_u32(image, size - 4, image_checks::crc32(image.data(), size - 4));
}

// A header field moved by `step`, the trailer made right again.
inline void add_u32(ImageBytes& image, uint32_t offset, int32_t step) {
    put_u32(image, offset, image_u32(image.data(), offset) + static_cast<uint32_t>(step));
    fix_crc(image);
}

struct ImageDamage {
    const char* label;           // names the damaged file
    ImageRule rule;              // the rule it breaks first
    void (*damage)(ImageBytes&);
};

// Each applies to any valid image with more than one block record, such as a built-in one.
inline const ImageDamage IMAGE_DAMAGE[] = {
    {"truncated.img", RULE_HEADER, [](ImageBytes& b) { b.resize(IMAGE_HEADER_SIZE + 3); }},
    {"length.img", RULE_LENGTH, [](ImageBytes& b) { put_u32(b, IMAGE_LENGTH_AT, static_cast<uint32_t>(b.size()) + 1); fix_crc(b); }},
    {"format.img", RULE_FORMAT, [](ImageBytes& b) { put_u32(b, IMAGE_FORMAT_VERSION_AT, 0x02000000); fix_crc(b); }},
    {"reserved.img", RULE_RESERVED, [](ImageBytes& b) { put_u32(b, IMAGE_RESERVED_AT, 1); fix_crc(b); }},
    {"no-blocks.img", RULE_NO_BLOCKS, [](ImageBytes& b) { put_u32(b, IMAGE_BLOCK_COUNT_AT, 0); fix_crc(b); }},
    {"record-short.img", RULE_RECORD_LENGTH, [](ImageBytes& b) { b[IMAGE_HEADER_SIZE] = 2; b[IMAGE_HEADER_SIZE + 1] = 0; fix_crc(b); }},
    {"record-long.img", RULE_RECORD_LENGTH, [](ImageBytes& b) { b[IMAGE_HEADER_SIZE] = 253; fix_crc(b); }},
    {"chain-past.img", RULE_CHAIN, [](ImageBytes& b) { add_u32(b, IMAGE_BLOCK_COUNT_AT, 1); }},
    {"chain-short.img", RULE_CHAIN, [](ImageBytes& b) { add_u32(b, IMAGE_BLOCK_COUNT_AT, -1); }},
    {"max-block.img", RULE_MAX_BLOCK, [](ImageBytes& b) { add_u32(b, IMAGE_MAX_BLOCK_LENGTH_AT, 1); }},
    {"flash-length.img", RULE_FLASH_RECORDS, [](ImageBytes& b) { add_u32(b, IMAGE_FLASH_LENGTH_AT, 1); }},
    {"flash-inverted.img", RULE_FLASH_INVERTED, [](ImageBytes& b) {
         put_u32(b, IMAGE_FLASH_START_AT, image_u32(b.data(), IMAGE_FLASH_END_AT) + 1);
         fix_crc(b);
     }},
    {"flash-end.img", RULE_FLASH_RANGE, [](ImageBytes& b) { add_u32(b, IMAGE_FLASH_END_AT, 1); }},
    {"body-byte.img", RULE_CRC, [](ImageBytes& b) { b[1000] ^= 0x55; }},
    {"revision.img", RULE_PRODUCT, [](ImageBytes& b) { put_u32(b, IMAGE_HARDWARE_REVISION_AT, 3); fix_crc(b); }},
    {"name.img", RULE_NAME, [](ImageBytes& b) { b[IMAGE_NAME_AT + 4] = '5'; fix_crc(b); }},
};

#endif
