#include <cstring>

#include "catalogue/product_table.h"
#include "identify/version_query.h"
#include "serial_fixture.h"

namespace {

using VersionQueryTest = PeerTest;

TEST_F(VersionQueryTest, SkipsEmptyLinesAndNoiseBeforeTheReply) {
    start_peer("expect_text ^V$\nsend_text xx^$^+$\\x07junk^=V \"\" 2.58,59,1,0$");
    open_port();
    DeviceIdentity identity{};
    EXPECT_EQ(query_version(&identity, 0), VERSION_OK);
    EXPECT_EQ(identity.version, 0x023A0000u);
    EXPECT_EQ(identity.product_code, 59);
    EXPECT_EQ(identity.hardware_revision, 1);
    EXPECT_EQ(identity.option_word, 0u);
    EXPECT_STREQ(identity.reported_name, "");
    EXPECT_EQ(identity.display_name, product_name(59, 1));
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), hex_of("^V$"));
}

TEST_F(VersionQueryTest, ReplyWithoutCaretIsTakenWhole) {
    start_peer("expect_text ^V$\nsend_text =V \"SND44\" 1.05.03c(Beta)$");
    open_port();
    DeviceIdentity identity{};
    EXPECT_EQ(query_version(&identity, 0), VERSION_OK);
    EXPECT_EQ(identity.version, 0x01050303u);
    EXPECT_EQ(identity.display_name, identity.reported_name);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(VersionQueryTest, ListeningSendsNothing) {
    start_peer("quiet 300\nsend_text ^=V \"X\" 2.59$");
    open_port();
    DeviceIdentity identity{};
    EXPECT_EQ(query_version(&identity, 1), VERSION_OK);
    EXPECT_EQ(identity.version, 0x023B0000u);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), "");
}

TEST_F(VersionQueryTest, AnyOtherFirstLineFailsAtOnceAndLeavesTheRest) {
    start_peer("expect_text ^V$\nsend_text ^!100,1,0$^=V \"X\" 2.59$");
    open_port();
    DeviceIdentity identity{};
    EXPECT_EQ(query_version(&identity, 0), VERSION_NO_REPLY);
    sleep_ms(50);
    EXPECT_EQ(port_pending(&port), static_cast<int32_t>(std::strlen("^=V \"X\" 2.59$")));
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(VersionQueryTest, LongLineEndsAt99BytesAndTheRestStaysWaiting) {
    const std::string body(120, 'a');
    start_peer("expect_text G\nsend_text ^" + body + "$");
    open_port();
    const uint8_t go[] = {'G'};
    ASSERT_EQ(port_write(&port, go, 1), 1);
    char line[VERSION_LINE_CAPACITY];
    EXPECT_EQ(read_message_line(line, VERSION_LINE_CAPACITY, timer_start()), LINE_OK);
    EXPECT_EQ(std::strlen(line), 99u);
    sleep_ms(50);
    EXPECT_EQ(port_pending(&port), 120 - 99 + 1);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(VersionQueryTest, SilentDeviceFailsAfterOnePortWait) {
    start_peer("expect_text ^V$");
    open_port();
    DeviceIdentity identity{};
    identity.version = 0x12345678;
    std::strcpy(identity.reported_name, "old");
    VersionResult result = VERSION_OK;
    const uint32_t took = elapsed_ms([&] { result = query_version(&identity, 0); });
    EXPECT_EQ(result, VERSION_NO_REPLY);
    // The per-byte limit of 2000 ms is looked at only between reads, and one
    // read waits up to 4000 ms for its first byte.
    EXPECT_GE(took, 3900u);
    EXPECT_LT(took, 4800u);
    EXPECT_EQ(identity.version, 0u);
    EXPECT_EQ(identity.option_word, NO_OPTION_WORD);
    EXPECT_STREQ(identity.reported_name, "");
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(VersionQueryTest, SlowBytesWithinTheByteLimitStillMakeALine) {
    start_peer("expect_text ^V$\nsend_text ^=V \"X\" 2.\nsleep 1500\nsend_text 59$");
    open_port();
    DeviceIdentity identity{};
    EXPECT_EQ(query_version(&identity, 0), VERSION_OK);
    EXPECT_EQ(identity.version, 0x023B0000u);
    EXPECT_TRUE(finish_peer().ok);
}

}  // namespace
