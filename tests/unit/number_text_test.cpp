#include <gtest/gtest.h>

#include "platform/number_text.h"

namespace {

TEST(NumberText, UnsignedReadsLikeA32BitStrtoul) {
    struct Case { const char* text; int base; uint32_t value; int consumed; };
    const Case cases[] = {
        {"59", 10, 59, 2},
        {"  12x", 10, 12, 4},
        {"-1", 10, 4294967295u, 2},           // "-" negates modulo 2^32
        {"4294967295", 10, 4294967295u, 10},
        {"4294967296", 10, 4294967295u, 10},  // past 32 bits: all ones
        {"-99999999999", 10, 4294967295u, 12},// out of range: no negation
        {"abc", 10, 0, 0},                    // no digits: 0, nothing consumed
        {".58", 10, 0, 0},
        {"", 10, 0, 0},
        {"1F#", 16, 0x1F, 2},
        {"0x1F", 16, 0x1F, 4},
        {"0X1f", 16, 0x1F, 4},
        {"0xg", 16, 0, 1},                    // "0" read, "x" not a prefix
        {"+7", 10, 7, 2},
        {"- 5", 10, 0, 0},
    };
    for (const Case& c : cases) {
        const char* end = nullptr;
        EXPECT_EQ(text_to_u32(c.text, &end, c.base), c.value) << c.text;
        EXPECT_EQ(end - c.text, c.consumed) << c.text;
    }
}

TEST(NumberText, SignedReadsLikeA32BitStrtol) {
    struct Case { const char* text; int32_t value; int consumed; };
    const Case cases[] = {
        {"100,1,0$", 100, 3},
        {"-1$", -1, 2},
        {"2147483647", INT32_MAX, 10},
        {"2147483648", INT32_MAX, 10},
        {"-2147483648", INT32_MIN, 11},
        {"-2147483649", INT32_MIN, 11},
        {"99999999999999999999", INT32_MAX, 20},
        {"$", 0, 0},
        {" 42", 42, 3},
    };
    for (const Case& c : cases) {
        const char* end = nullptr;
        EXPECT_EQ(text_to_i32(c.text, &end), c.value) << c.text;
        EXPECT_EQ(end - c.text, c.consumed) << c.text;
    }
}

}  // namespace
