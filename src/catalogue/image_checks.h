// The rules every firmware image must keep, in one place for both uses: the
// build evaluates them at compile time for each built-in image (a broken
// image file is a build error that names the file and the rule), and the
// program evaluates them at run time for an image file given with --image.
// The rules are checked in the order of the table, and each may rely on
// those before it holding: nothing is read outside the image's bytes.
#ifndef OFWU_CATALOGUE_IMAGE_CHECKS_H
#define OFWU_CATALOGUE_IMAGE_CHECKS_H

#include <cstdint>

#include "catalogue/firmware_image.h"

// The rules: name, then the text that reports a broken one after the file's
// name (the build's static_assert messages are made from this table too).
#define OFWU_IMAGE_RULES(RULE)                                                                                 \
    RULE(RULE_HEADER, "shorter than a header and a trailer")                                                   \
    RULE(RULE_LENGTH, "image_length is not the size of the file")                                              \
    RULE(RULE_FORMAT, "format_version is not 1.00")                                                            \
    RULE(RULE_RESERVED, "reserved is not 0")                                                                   \
    RULE(RULE_NO_BLOCKS, "block_count is 0: the image holds no block record")                                  \
    RULE(RULE_RECORD_LENGTH, "a block record is shorter than 3 or longer than 252 bytes")                      \
    RULE(RULE_CHAIN, "the block_count records run past the CRC trailer or stop short of it")                   \
    RULE(RULE_MAX_BLOCK, "max_block_length is not the length of the longest block record")                     \
    RULE(RULE_FLASH_RECORDS, "flash_length does not agree with the block records")                             \
    RULE(RULE_FLASH_INVERTED, "the flash range is inverted: flash_end comes before flash_start")               \
    RULE(RULE_FLASH_RANGE, "flash_length is not flash_end - flash_start + 1")                                  \
    RULE(RULE_CRC, "CRC-32 does not match the contents")                                                       \
    RULE(RULE_PRODUCT, "product code and hardware revision are not in the product table")                      \
    RULE(RULE_NAME, "name is not the product table's name for its product code and hardware revision")

#define OFWU_IMAGE_RULE_NAME(name, text) name,
enum ImageRule : int32_t {
    IMAGE_VALID = 0,  // every rule holds
    OFWU_IMAGE_RULES(OFWU_IMAGE_RULE_NAME)
};
#undef OFWU_IMAGE_RULE_NAME

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

inline constexpr CrcTable CRC_TABLE = make_crc_table();

constexpr uint32_t crc32(const uint8_t* data, uint32_t count) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < count; ++i) crc = CRC_TABLE.entry[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// Walks the block_count records: each 3 to 252 bytes long, the chain ending
// exactly on the trailer. On success the longest record and the device
// memory the records cover (each record's length less BLOCK_OVERHEAD).
constexpr ImageRule walk_blocks(const uint8_t* bytes, uint32_t size, uint32_t* longest, int64_t* covered) {
    const uint32_t trailer = size - IMAGE_TRAILER_SIZE;
    uint32_t at = IMAGE_HEADER_SIZE;
    for (uint32_t left = image_u32(bytes, IMAGE_BLOCK_COUNT_AT); left > 0; --left) {
        // Each record is at least BLOCK_LENGTH_MIN bytes, so a huge block_count
        // ends here, at the end of the bytes, long before it is counted down.
        if (at + 2 > trailer) return RULE_CHAIN;
        const uint32_t length = image_u16(bytes, at);
        if (length < BLOCK_LENGTH_MIN || length > BLOCK_LENGTH_MAX) return RULE_RECORD_LENGTH;
        if (length > trailer - at) return RULE_CHAIN;
        *longest = length > *longest ? length : *longest;
        *covered += static_cast<int64_t>(length) - static_cast<int64_t>(BLOCK_OVERHEAD);
        at += length;
    }
    return at == trailer ? IMAGE_VALID : RULE_CHAIN;
}

// The image's name is the product table's name, NUL-terminated, the rest of
// its field zero.
constexpr bool name_is(const uint8_t* bytes, const char* expected) {
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

// The first rule, in the order of the table, that the `size` bytes of an
// image break; IMAGE_VALID when they keep every one.
constexpr ImageRule image_first_broken_rule(const uint8_t* bytes, uint32_t size) {
    if (size < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE) return RULE_HEADER;
    if (image_u32(bytes, IMAGE_LENGTH_AT) != size) return RULE_LENGTH;
    if (image_u32(bytes, IMAGE_FORMAT_VERSION_AT) != IMAGE_FORMAT) return RULE_FORMAT;
    if (image_u32(bytes, IMAGE_RESERVED_AT) != 0) return RULE_RESERVED;
    if (image_u32(bytes, IMAGE_BLOCK_COUNT_AT) == 0) return RULE_NO_BLOCKS;
    uint32_t longest = 0;
    int64_t covered = 0;
    const ImageRule chain = image_checks::walk_blocks(bytes, size, &longest, &covered);
    if (chain != IMAGE_VALID) return chain;
    if (image_u32(bytes, IMAGE_MAX_BLOCK_LENGTH_AT) != longest) return RULE_MAX_BLOCK;
    if (static_cast<int64_t>(image_u32(bytes, IMAGE_FLASH_LENGTH_AT)) != covered) return RULE_FLASH_RECORDS;
    const uint32_t start = image_u32(bytes, IMAGE_FLASH_START_AT);
    const uint32_t end = image_u32(bytes, IMAGE_FLASH_END_AT);
    if (end < start) return RULE_FLASH_INVERTED;
    if (image_u32(bytes, IMAGE_FLASH_LENGTH_AT) != end - start + 1u) return RULE_FLASH_RANGE;
    const uint32_t trailer = size - IMAGE_TRAILER_SIZE;
    if (image_checks::crc32(bytes, trailer) != image_u32(bytes, trailer)) return RULE_CRC;
    const char* name = product_name(static_cast<int32_t>(image_u32(bytes, IMAGE_PRODUCT_CODE_AT)),
                                    static_cast<int32_t>(image_u32(bytes, IMAGE_HARDWARE_REVISION_AT)));
    if (name == nullptr) return RULE_PRODUCT;
    if (!image_checks::name_is(bytes, name)) return RULE_NAME;
    return IMAGE_VALID;
}

// The text that reports a broken rule ("CRC-32 does not match the contents").
constexpr const char* image_rule_text(ImageRule rule) {
#define OFWU_IMAGE_RULE_TEXT(name, text) \
    case name:                            \
        return text;
    switch (rule) {
        OFWU_IMAGE_RULES(OFWU_IMAGE_RULE_TEXT)
        case IMAGE_VALID:
            break;
    }
#undef OFWU_IMAGE_RULE_TEXT
    return "every rule holds";
}

#endif
