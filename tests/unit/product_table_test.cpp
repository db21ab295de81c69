#include <gtest/gtest.h>

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

}  // namespace
