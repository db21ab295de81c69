#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/product_table.h"
#include "image_format.h"

namespace {

// The two sample images and what the catalogue says of them. Their seeds are
// the ones firmware/README.md gives, so the files can be made again.
struct SampleImage {
    const char* file;
    uint32_t hardware_revision;
    uint32_t last_length;
    uint32_t flash_end;
    uint32_t flash_length;
    uint32_t image_length;
    uint64_t seed;
};

const SampleImage SAMPLES[] = {
    // file              rev last  flash_end  flash_len image_len seed
    {"snd44_rev1.img",   1,  116,  0x2FE47u,  192072u,  202456u,  1},
    {"snd44_rev2.img",   2,  108,  0x2FE3Fu,  192064u,  202448u,  2},
};

std::vector<uint8_t> load_sample(const SampleImage& sample) {
    std::vector<uint8_t> image;
    EXPECT_TRUE(image_load(std::string(OFWU_FIRMWARE_DIR) + "/" + sample.file, &image)) << sample.file;
    return image;
}

ImageParams sample_params(const SampleImage& sample) {
    return {59, sample.hardware_revision, 0x023B0000u, "SND44", 0x1000u,
            image_record_lengths(857, 236, sample.last_length), sample.seed};
}

TEST(ImageCrc, MatchesTheCommonCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(image_checks::crc32(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())), 0xCBF43926u);
    EXPECT_EQ(image_checks::crc32(nullptr, 0), 0u);
}

TEST(SampleImages, HoldEveryInvariantAndTheCatalogueValues) {
    for (const SampleImage& sample : SAMPLES) {
        SCOPED_TRACE(sample.file);
        const std::vector<uint8_t> image = load_sample(sample);
        const char* table_name = product_name(59, static_cast<int32_t>(sample.hardware_revision));
        ASSERT_NE(table_name, nullptr);
        EXPECT_EQ(image_first_broken_rule(image.data(), static_cast<uint32_t>(image.size())), IMAGE_VALID);
        EXPECT_STREQ(reinterpret_cast<const char*>(image.data() + IMAGE_NAME_AT), table_name);
        EXPECT_EQ(image.size(), sample.image_length);
        EXPECT_EQ(image_read_u32(image, IMAGE_PRODUCT_CODE_AT), 59u);
        EXPECT_EQ(image_read_u32(image, IMAGE_HARDWARE_REVISION_AT), sample.hardware_revision);
        EXPECT_EQ(image_read_u32(image, IMAGE_VERSION_AT), 0x023B0000u);
        EXPECT_EQ(image_read_u32(image, IMAGE_MAX_BLOCK_LENGTH_AT), 236u);
        EXPECT_EQ(image_read_u32(image, IMAGE_FLASH_START_AT), 0x1000u);
        EXPECT_EQ(image_read_u32(image, IMAGE_FLASH_END_AT), sample.flash_end);
        EXPECT_EQ(image_read_u32(image, IMAGE_FLASH_LENGTH_AT), sample.flash_length);
        const std::vector<ImageRecord> records = image_records(image);
        ASSERT_EQ(records.size(), 858u);
        for (size_t i = 0; i + 1 < records.size(); ++i) ASSERT_EQ(records[i].length, 236u) << i;
        EXPECT_EQ(records.back().length, sample.last_length);
        // The walk ends on the trailer.
        EXPECT_EQ(records.back().offset + records.back().length, sample.image_length - 4);
    }
}

TEST(SampleImages, AreWhatTheDocumentedCommandMakes) {
    for (const SampleImage& sample : SAMPLES) {
        SCOPED_TRACE(sample.file);
        std::string error;
        EXPECT_EQ(image_build(sample_params(sample), &error), load_sample(sample));
        EXPECT_EQ(error, "");
    }
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
