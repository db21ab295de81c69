#include <gtest/gtest.h>

#include "platform/console.h"
#include "serial/serial_port.h"

namespace {

TEST(Timer, LimitMustBeStrictlyExceeded) {
    struct Case { uint32_t now, start, limit; int32_t expired; };
    const Case cases[] = {
        {130000u, 100000u, 30000u, 0},          // exactly the limit: not yet
        {130001u, 100000u, 30000u, 1},          // one tick more
        {0xFFFFF000u + 30000u, 0xFFFFF000u, 30000u, 0},  // start just before the 32-bit wrap
        {0xFFFFF000u + 30001u, 0xFFFFF000u, 30000u, 1},
        {5u, 5u, 0u, 0},
        {6u, 5u, 0u, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ticks_exceed(c.now, c.start, c.limit), c.expired)
            << "now " << c.now << " start " << c.start << " limit " << c.limit;
    }
}

TEST(Timer, CountsRealMilliseconds) {
    const uint32_t start = timer_start();
    EXPECT_EQ(timer_expired(start, 200), 0);
    sleep_ms(250);
    EXPECT_EQ(timer_expired(start, 200), 1);
    const uint32_t elapsed = timer_start() - start;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 1000u);
}

}  // namespace
