#include <gtest/gtest.h>

#include <algorithm>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "image_damage.h"

namespace {

// The catalogue's slots: an SND44 of hardware revision 1, then 2. Whatever
// image files the build took in, each must keep every rule of the format.
TEST(Catalogue, BuiltInImagesFillTheirSlotsAndKeepTheRules) {
    for (uint32_t slot = 0; slot < IMAGE_SLOTS; ++slot) {
        SCOPED_TRACE(slot);
        const FirmwareImage* image = image_catalogue[slot];
        if (slot >= 2) {
            EXPECT_EQ(image, nullptr);
            continue;
        }
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->product_code, 59u);
        EXPECT_EQ(image->hardware_revision, slot + 1);
        EXPECT_EQ(image_first_broken_rule(image->bytes, image->image_length), IMAGE_VALID);
    }
}

// The walk hands out block_count records, each right after the one before,
// none longer than max_block_length and one that long, and ends on the trailer.
TEST(Catalogue, BlockWalkVisitsEveryRecordAndStopsOnTheTrailer) {
    for (uint32_t slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(slot);
        const FirmwareImage* image = image_catalogue[slot];
        BlockWalk walk = image_blocks(image);
        ImageBlock block{};
        uint32_t visited = 0;
        uint32_t longest = 0;
        const uint8_t* next_body = image->bytes + IMAGE_HEADER_SIZE + 2;
        while (block_next(&walk, &block)) {
            ++visited;
            EXPECT_EQ(block.body, next_body) << "record " << visited;
            next_body = block.body + block.length;
            longest = std::max<uint32_t>(longest, block.length);
        }
        EXPECT_EQ(visited, image->block_count);
        EXPECT_EQ(longest, image->max_block_length);
        EXPECT_EQ(static_cast<uint32_t>(walk.cursor - image->bytes), image->image_length - IMAGE_TRAILER_SIZE);
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
