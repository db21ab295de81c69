#include <gtest/gtest.h>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "image_damage.h"

namespace {

struct SlotFacts {
    uint32_t slot;
    uint16_t hardware_revision;
    uint32_t last_length;
    uint32_t flash_end;
    uint32_t flash_length;
    uint32_t image_length;
};

const SlotFacts SLOTS[] = {
    {0, 1, 116, 0x2FE47, 192072, 202456},
    {1, 2, 108, 0x2FE3F, 192064, 202448},
};

TEST(Catalogue, BuiltInImagesCarryTheCatalogueHeaders) {
    for (const SlotFacts& s : SLOTS) {
        SCOPED_TRACE(s.slot);
        const FirmwareImage* image = image_catalogue[s.slot];
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->image_length, s.image_length);
        EXPECT_EQ(image->format_version, IMAGE_FORMAT);
        EXPECT_EQ(image->product_code, 59u);
        EXPECT_EQ(image->hardware_revision, s.hardware_revision);
        EXPECT_EQ(image->version, 0x023B0000u);
        EXPECT_STREQ(image->name, "SND44");
        EXPECT_EQ(image->block_count, 858u);
        EXPECT_EQ(image->max_block_length, 236u);
        EXPECT_EQ(image->flash_start, 0x1000u);
        EXPECT_EQ(image->flash_end, s.flash_end);
        EXPECT_EQ(image->flash_length, s.flash_length);
        EXPECT_EQ(image_first_broken_rule(image->bytes, image->image_length), IMAGE_VALID);
    }
    for (uint32_t slot = 2; slot < IMAGE_SLOTS; ++slot) EXPECT_EQ(image_catalogue[slot], nullptr) << slot;
}

TEST(Catalogue, BlockWalkVisitsEveryRecordAndStopsOnTheTrailer) {
    for (const SlotFacts& s : SLOTS) {
        SCOPED_TRACE(s.slot);
        const FirmwareImage* image = image_catalogue[s.slot];
        BlockWalk walk = image_blocks(image);
        ImageBlock block{};
        uint32_t visited = 0;
        uint32_t short_records = 0;
        const uint8_t* previous_body = nullptr;
        while (block_next(&walk, &block)) {
            ++visited;
            if (block.length != 236) ++short_records;
            if (previous_body != nullptr) {
                EXPECT_EQ(block.body, previous_body + 236);
            }
            previous_body = block.body;
        }
        EXPECT_EQ(visited, 858u);
        EXPECT_EQ(short_records, 1u);
        EXPECT_EQ(block.length, s.last_length);
        EXPECT_EQ(static_cast<uint32_t>(walk.cursor - image->bytes), s.image_length - 4);
        EXPECT_FALSE(block_next(&walk, &block)) << "the walk stays ended";
    }
}

// The run-time check of an image file: each damage breaks its rule, and a
// file cut short anywhere in its header is too short.
TEST(ImageRules, EachDamageIsFoundAsTheRuleItBreaks) {
    const ImageBytes original(image_catalogue[0]->bytes, image_catalogue[0]->bytes + image_catalogue[0]->image_length);
    for (const ImageDamage& c : IMAGE_DAMAGE) {
        ImageBytes damaged = original;
        c.damage(damaged);
        EXPECT_EQ(image_first_broken_rule(damaged.data(), static_cast<uint32_t>(damaged.size())), c.rule) << c.label;
    }
    for (uint32_t size = 0; size < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE; size += 4) {
        EXPECT_EQ(image_first_broken_rule(original.data(), size), RULE_HEADER) << size;
    }
    EXPECT_STREQ(image_rule_text(RULE_CRC), "CRC-32 does not match the contents");
}

TEST(Catalogue, FindImageMatchesProductAndRevisionExactly) {
    EXPECT_EQ(find_image(59, 1), image_catalogue[0]);
    EXPECT_EQ(find_image(59, 2), image_catalogue[1]);
    EXPECT_EQ(find_image(59, 3), nullptr);
    EXPECT_EQ(find_image(59, 0), nullptr);
    EXPECT_EQ(find_image(56, 1), nullptr);
    EXPECT_EQ(find_image(0, 0), nullptr);
}

TEST(Catalogue, EmptySlotsNeverMatchAndTheLowerSlotWins) {
    FirmwareImage empty{};  // image_length 0, product 0, revision 0
    FirmwareImage first{};
    first.image_length = 100;
    first.product_code = 59;
    first.hardware_revision = 1;
    FirmwareImage second = first;
    FirmwareImage zero_pair{};
    zero_pair.image_length = 100;
    const FirmwareImage* slots[] = {nullptr, &empty, &first, &second, &zero_pair};
    EXPECT_EQ(catalogue_find(slots, 5, 59, 1), &first);
    EXPECT_EQ(catalogue_find(slots, 2, 0, 0), nullptr) << "an empty slot must not match 0/0";
    EXPECT_EQ(catalogue_find(slots, 5, 0, 0), &zero_pair);
    const FirmwareImage* swapped[] = {&second, &first};
    EXPECT_EQ(catalogue_find(swapped, 2, 59, 1), &second);
}

}  // namespace
