#include <gtest/gtest.h>

#include <cstring>

#include "catalogue/product_table.h"

namespace {

TEST(ProductTable, NamesByCodeAndRevision) {
    struct Case { int32_t code, revision; const char* name; };
    const Case cases[] = {
        {59, 1, "SND44"}, {59, 2, "SND44"}, {59, 3, nullptr}, {59, 0, nullptr},
        {68, 16, "L9A24"}, {68, 17, nullptr}, {68, -1, nullptr}, {68, INT32_MIN, nullptr},
        {45, 1, "Marlet"}, {45, 2, "Marlet"},
        {56, 3, "LUXA22"}, {56, 4, "LUX44"}, {56, 5, nullptr},
        {67, 1, "pQX31"}, {67, 8, "SND22"},
        {57, 1, nullptr}, {0, 0, nullptr}, {-59, 1, nullptr},
    };
    for (const Case& c : cases) {
        const char* name = product_name(c.code, c.revision);
        if (c.name == nullptr) {
            EXPECT_EQ(name, nullptr) << c.code << "/" << c.revision;
        } else {
            ASSERT_NE(name, nullptr) << c.code << "/" << c.revision;
            EXPECT_STREQ(name, c.name) << c.code << "/" << c.revision;
        }
    }
}

TEST(ProductTable, SharedNamesAreOneConstant) {
    // "LUX22" stands under codes 56, 67 and 68: one string, not copies.
    const char* lux22 = product_name(56, 1);
    EXPECT_EQ(product_name(56, 2), lux22);
    EXPECT_EQ(product_name(67, 4), lux22);
    EXPECT_EQ(product_name(68, 2), lux22);
    EXPECT_EQ(product_name(68, 13), product_name(67, 6));  // "L9N22"

    // 23 distinct names in all.
    const char* seen[64] = {};
    uint32_t distinct = 0;
    for (uint32_t r = 0; r < product_table.row_count; ++r) {
        for (uint32_t i = 0; i < product_table.rows[r].name_count; ++i) {
            const char* name = product_table.rows[r].names[i];
            bool known = false;
            for (uint32_t k = 0; k < distinct; ++k) {
                if (std::strcmp(seen[k], name) == 0) {
                    EXPECT_EQ(seen[k], name) << "\"" << name << "\" is stored twice";
                    known = true;
                }
            }
            if (!known) seen[distinct++] = name;
        }
    }
    EXPECT_EQ(distinct, 23u);
}

}  // namespace
