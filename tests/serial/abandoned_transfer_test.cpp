// A read or write whose 4000 ms wait runs out is given up: the operation
// returns 0, and the transfer may not go on behind the caller's back, into
// a buffer it has given up or into the next transfer on the same port.
#include <cstring>
#include <string>

#include "serial_fixture.h"

namespace {

using AbandonedTransferTest = PeerTest;

constexpr uint32_t WAIT_SLACK_MS = 500;  // scheduling and Wine start-up allowance

// Far more than a pseudo-terminal buffers while nobody reads it, so the
// write cannot finish while the peer sleeps.
constexpr int32_t STUCK_WRITE_BYTES = 256 * 1024;
uint8_t stuck_write[STUCK_WRITE_BYTES];

size_t hex_count_of(const std::string& hex, const char* byte) {
    size_t count = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (hex.compare(i, 2, byte) == 0) ++count;
    }
    return count;
}

TEST_F(AbandonedTransferTest, ReadOfASilentLineGivesUpAndLeavesLateBytesForTheNextRead) {
    start_peer("sleep 4600\nsend_text LATE");
    open_port();
    uint8_t given_up[8];
    std::memset(given_up, '.', sizeof given_up);
    int32_t got = -1;
    const uint32_t took = elapsed_ms([&] { got = port_read(&port, given_up, 8); });
    EXPECT_EQ(got, 0);
    EXPECT_GE(took, PORT_WAIT_MS - 50);
    EXPECT_LT(took, PORT_WAIT_MS + WAIT_SLACK_MS);

    // The bytes come some 600 ms after the read was given up, later on a
    // loaded machine: waited for, within 3 s.
    const uint32_t start = timer_start();
    while (port_pending(&port) < 4 && !timer_expired(start, 3000)) sleep_ms(10);
    sleep_ms(100);  // a read that wrongly went on would have taken them by now
    EXPECT_EQ(std::string(reinterpret_cast<char*>(given_up), 8), "........")
        << "a given-up read must never fill the caller's buffer later";
    EXPECT_EQ(port_pending(&port), 4) << "the late bytes wait for the next read";
    uint8_t next[8] = {};
    EXPECT_EQ(port_read(&port, next, 8), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(next), 4), "LATE");
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(AbandonedTransferTest, WriteThatCannotDrainGivesUpAndDoesNotGoOnLater) {
    // The peer reads nothing for PEER_DEAF_MS, then everything that comes.
    constexpr uint32_t PEER_DEAF_MS = 6000;
    start_peer("sleep " + std::to_string(PEER_DEAF_MS));
    const uint32_t peer_started = timer_start();
    open_port();
    std::memset(stuck_write, 0x77, sizeof stuck_write);
    int32_t sent = -1;
    const uint32_t took = elapsed_ms([&] { sent = port_write(&port, stuck_write, STUCK_WRITE_BYTES); });
    EXPECT_EQ(sent, 0);
    EXPECT_GE(took, PORT_WAIT_MS - 50);
    EXPECT_LT(took, PORT_WAIT_MS + WAIT_SLACK_MS);

    // The next write on the same port reports its own bytes, not the
    // given-up write's, whenever the line has room for them.
    const uint8_t end[] = {'E', 'N', 'D'};
    EXPECT_EQ(port_write(&port, end, 3), 3);
    // The peer reads again, and has read all that is on the line.
    const uint32_t waited = timer_start() - peer_started;
    if (waited < PEER_DEAF_MS + 500) sleep_ms(PEER_DEAF_MS + 500 - waited);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    const std::string rx = peer.rx();
    ASSERT_GE(rx.size(), 6u);
    EXPECT_EQ(rx.substr(rx.size() - 6), "454E44") << "the next write's bytes come last";
    EXPECT_EQ(hex_count_of(rx, "45") + hex_count_of(rx, "4E") + hex_count_of(rx, "44"), 3u);
    EXPECT_LT(hex_count_of(rx, "77"), static_cast<size_t>(STUCK_WRITE_BYTES))
        << "the given-up write must not finish once the line drains";
}

}  // namespace
