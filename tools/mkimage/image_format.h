// The firmware image file: an 84-byte header, a chain of block records and a
// CRC-32 trailer, all integers little-endian; the offsets and the CRC-32 are
// the program's own (src/catalogue). Written by mkimage, read back by the
// image tests and by devsim, which checks what the program transfers.
#ifndef OFWU_TOOLS_IMAGE_FORMAT_H
#define OFWU_TOOLS_IMAGE_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"

// What an image is made from. Bodies and start_bytes are opaque to the
// program; here they come from a seeded generator, so a file can be made again.
struct ImageParams {
    uint32_t product_code;
    uint32_t hardware_revision;
    uint32_t version;                       // packed version
    std::string name;                       // at most 32 characters
    uint32_t flash_start;
    std::vector<uint32_t> record_lengths;   // each BLOCK_LENGTH_MIN..BLOCK_LENGTH_MAX
    uint64_t seed;
};

// One record of the chain, as found in an image.
struct ImageRecord {
    uint32_t offset;   // of its length field, from the start of the image
    uint32_t length;   // the whole record, its length field included
};

uint32_t image_read_u32(const std::vector<uint8_t>& image, uint32_t offset);
uint32_t image_read_u16(const std::vector<uint8_t>& image, uint32_t offset);

// Record lengths: `full_count` records of `full_length`, then one of `last_length`
// (none when last_length is 0).
std::vector<uint32_t> image_record_lengths(uint32_t full_count, uint32_t full_length,
                                           uint32_t last_length);

// Builds the image bytes. Empty, with a reason in `error`, when the
// parameters cannot make a valid image.
std::vector<uint8_t> image_build(const ImageParams& params, std::string* error);

// Walks the record chain by block_count. Empty when the chain runs past the
// trailer or the image is shorter than a header.
std::vector<ImageRecord> image_records(const std::vector<uint8_t>& image);

bool image_load(const std::string& path, std::vector<uint8_t>* image);
bool image_save(const std::string& path, const std::vector<uint8_t>& image);

#endif
