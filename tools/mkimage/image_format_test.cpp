#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_format.h"

namespace {

TEST(ImageCrc, MatchesTheCommonCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(image_checks::crc32(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())), 0xCBF43926u);
    EXPECT_EQ(image_checks::crc32(nullptr, 0), 0u);
}

// The build embeds each image file as it is: slot 0 is firmware/snd44_rev1.img,
// slot 1 firmware/snd44_rev2.img, whichever images those are.
TEST(BuiltInImages, AreTheFilesByteForByte) {
    const char* files[] = {"snd44_rev1.img", "snd44_rev2.img"};
    for (uint32_t slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(files[slot]);
        std::vector<uint8_t> file;
        ASSERT_TRUE(image_load(std::string(OFWU_FIRMWARE_DIR) + "/" + files[slot], &file));
        const FirmwareImage* image = image_catalogue[slot];
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(image->bytes, image->bytes + image->image_length), file);
    }
}

// The program reads every header field where mkimage writes it.
TEST(ImageBuild, TheProgramReadsBackEveryHeaderField) {
    const ImageParams params = {59, 2, 0x023B0102u, "SND44", 0x1000u, image_record_lengths(3, 236, 116), 7};
    std::string error;
    const std::vector<uint8_t> image = image_build(params, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(image_first_broken_rule(image.data(), static_cast<uint32_t>(image.size())), IMAGE_VALID);
    const FirmwareImage read = image_from_bytes(image.data());
    const uint32_t flash_length = 3 * (236 - BLOCK_OVERHEAD) + 116 - BLOCK_OVERHEAD;
    EXPECT_EQ(read.image_length, image.size());
    EXPECT_EQ(read.format_version, IMAGE_FORMAT);
    EXPECT_EQ(read.product_code, 59u);
    EXPECT_EQ(read.hardware_revision, 2u);
    EXPECT_EQ(read.version, 0x023B0102u);
    EXPECT_EQ(read.max_block_length, 236u);
    EXPECT_EQ(read.block_count, 4u);
    EXPECT_EQ(read.flash_length, flash_length);
    EXPECT_EQ(read.flash_start, 0x1000u);
    EXPECT_EQ(read.flash_end, 0x1000u + flash_length - 1);
    EXPECT_EQ(read.reserved, 0u);
    EXPECT_STREQ(read.name, "SND44");
    EXPECT_EQ(read.bytes, image.data());
}

TEST(ImageBuild, RefusesParametersThatMakeNoValidImage) {
    struct Case { const char* what; std::vector<uint32_t> lengths; std::string name; };
    const Case cases[] = {
        {"record longer than a packet holds", {236, 253}, "X"},
        {"record shorter than its own fields", {236, 2}, "X"},
        {"no records", {}, "X"},
        {"name of 33 characters", {236}, std::string(33, 'N')},
    };
    for (const Case& c : cases) {
        std::string error;
        const ImageParams params = {1, 1, 0, c.name, 0, c.lengths, 1};
        EXPECT_TRUE(image_build(params, &error).empty()) << c.what;
        EXPECT_NE(error, "") << c.what;
    }
    // The longest and the shortest records, and a name of 32 characters.
    std::string error;
    const ImageParams edge = {1, 1, 0, std::string(32, 'N'), 0, {252, 3, 236}, 1};
    const std::vector<uint8_t> image = image_build(edge, &error);
    EXPECT_EQ(image_records(image).size(), 3u) << error;
    EXPECT_EQ(image_first_broken_rule(image.data(), static_cast<uint32_t>(image.size())), RULE_PRODUCT)
        << "every rule of the format but the product table's";
}

}  // namespace
