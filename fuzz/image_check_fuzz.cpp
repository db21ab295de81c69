// The check of an image file a user gives with --image: the bytes of the
// file are the input, exactly as the program reads them.
//
// Properties: the check reads nothing outside the bytes (the copy on the
// heap is exactly their size, so AddressSanitizer sees a read past them);
// an image it accepts walks to its trailer in block_count records of 3 to
// 252 bytes each, as the transfer will walk it; and the check of an
// accepted image's every shorter prefix fails.
#include <cstring>
#include <memory>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size > 0 ? size : 1]);
    if (size > 0) std::memcpy(bytes.get(), data, size);
    const uint32_t length = static_cast<uint32_t>(size);
    const ImageRule rule = image_first_broken_rule(bytes.get(), length);
    FUZZ_CHECK(image_rule_text(rule) != nullptr);
    if (rule != IMAGE_VALID) return 0;

    const FirmwareImage image = image_from_bytes(bytes.get());
    FUZZ_CHECK(image.image_length == length);
    BlockWalk walk = image_blocks(&image);
    ImageBlock block{};
    uint32_t blocks = 0;
    while (block_next(&walk, &block)) {
        FUZZ_CHECK(block.length >= BLOCK_LENGTH_MIN && block.length <= BLOCK_LENGTH_MAX);
        ++blocks;
    }
    FUZZ_CHECK(blocks == image.block_count);
    FUZZ_CHECK(walk.cursor == bytes.get() + length - IMAGE_TRAILER_SIZE);
    FUZZ_CHECK(image_first_broken_rule(bytes.get(), length - 1) != IMAGE_VALID);
    return 0;
}
