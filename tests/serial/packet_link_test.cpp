#include <cstring>
#include <string>

#include "serial/packet_link.h"
#include "serial_fixture.h"

namespace {

using PacketLinkTest = PeerTest;

// 255 data bytes 0..254 as the peer sends them, with their 8-bit sum.
std::string long_packet_script() {
    std::string script = "send 01 ";
    uint32_t sum = 0;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X", 0u);
    for (uint32_t i = 0; i < 255; ++i) sum += i;
    std::snprintf(hex, sizeof hex, "%02X", sum & 0xFFu);
    script += hex;
    for (uint32_t i = 0; i < 255; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", i);
        script += hex;
    }
    return script;
}

TEST(PacketChecksum, IsTheWrappingSumOfTheData) {
    const uint8_t command[] = {0x24, 0x01, 0x02};
    EXPECT_EQ(packet_checksum(command, 3), 0x27);
    const uint8_t wraps[] = {0xFF, 0x02};
    EXPECT_EQ(packet_checksum(wraps, 2), 0x01);
    EXPECT_EQ(packet_checksum(nullptr, 0), 0);
}

TEST_F(PacketLinkTest, SendFramesThePacketAndSkipsIdleFillBeforeTheAck) {
    start_peer("expect 05 27 24 01 02\nsend 00 00 00\nsleep 100\nsend 00 CC");
    open_port(115200);
    const uint8_t command[] = {0x24, 0x01, 0x02};
    EXPECT_EQ(packet_send(command, 3, 1, 50), SEND_OK) << "each zero byte starts a fresh limit";
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), "0527240102");
}

TEST_F(PacketLinkTest, SendReportsEveryAnswerButAnAckAsRefused) {
    start_peer("expect 02 00\nsend 33\nexpect 03 26 26\nsend 00 5A\nexpect 02 00");
    open_port(115200);
    const uint8_t probe[] = {COMMAND_PROBE};
    EXPECT_EQ(packet_send(nullptr, 0, 1, 2000), SEND_REFUSED);  // NAK
    EXPECT_EQ(packet_send(probe, 1, 1, 2000), SEND_REFUSED);    // some other byte
    EXPECT_EQ(packet_send(nullptr, 0, 0, 2000), SEND_OK) << "no acknowledge asked for";
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), "0200" "032626" "0200");  // sent once each, never repeated
}

TEST_F(PacketLinkTest, SendWithoutAwaitingReadsNothing) {
    start_peer("expect 03 25 25\nsend CC");
    open_port(115200);
    const uint8_t back[] = {COMMAND_RETURN};
    EXPECT_EQ(packet_send(back, 1, 0, 500), SEND_OK);
    // The peer answers at once; a loaded machine may hold it up a while.
    const uint32_t start = timer_start();
    while (port_pending(&port) == 0 && !timer_expired(start, 2000)) sleep_ms(10);
    EXPECT_EQ(port_pending(&port), 1) << "the acknowledge must still be waiting";
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(PacketLinkTest, SilentBootloaderGivesNoAckAfterOnePortWait) {
    start_peer("expect 03 26 26");
    open_port(115200);
    const uint8_t probe[] = {COMMAND_PROBE};
    int32_t result = -1;
    const uint32_t took = elapsed_ms([&] { result = packet_send(probe, 1, 1, 2000); });
    EXPECT_EQ(result, SEND_NO_ACK);
    EXPECT_GE(took, 3900u);
    EXPECT_LT(took, 4800u);
    EXPECT_TRUE(finish_peer().ok);
}

struct ReceiveCase {
    const char* name;
    const char* peer_sends;
    uint8_t capacity;
    int32_t result;
    uint8_t length;
    const char* answer;   // what the program must send back, as hex
};

TEST_F(PacketLinkTest, ReceiveAnswersByChecksumAndReportsEveryFailure) {
    const ReceiveCase cases[] = {
        {"data after idle fill", "send 00 00 05 06 01 02 03", 10, RECEIVE_OK, 3, "CC"},
        {"no data", "send 02 00", 10, RECEIVE_OK, 0, "CC"},
        {"wrong checksum", "send 05 07 01 02 03", 10, RECEIVE_OK, 0, "33"},
        {"stops short", "send 05 06 01 02", 10, RECEIVE_SHORT, 0, ""},
        {"no checksum", "send 05", 10, RECEIVE_NO_CHECKSUM, 10, ""},
        {"more than the capacity", "send 07 0F 01 02 03 04 05", 2, RECEIVE_OK, 2, "CC"},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        start_peer(c.peer_sends);
        open_port(115200);
        uint8_t buffer[12];
        std::memset(buffer, 0xEE, sizeof buffer);
        uint8_t length = c.capacity;
        EXPECT_EQ(packet_receive(buffer, &length, 300), c.result);
        EXPECT_EQ(length, c.length);
        if (c.result == RECEIVE_OK && c.length > 0) {
            EXPECT_EQ(buffer[0], 1);
        }
        EXPECT_EQ(buffer[c.capacity], 0xEE) << "nothing may be stored past the capacity";
        const PeerResult peer = finish_peer();
        EXPECT_TRUE(peer.ok) << peer.status;
        EXPECT_EQ(peer.rx(), c.answer);
    }
}

TEST_F(PacketLinkTest, LengthByteOneAnnounces255DataBytes) {
    start_peer(long_packet_script());
    open_port(115200);
    uint8_t buffer[255] = {};
    uint8_t length = 255;
    EXPECT_EQ(packet_receive(buffer, &length, 1000), RECEIVE_OK);
    EXPECT_EQ(length, 255);
    EXPECT_EQ(buffer[254], 254);
    EXPECT_EQ(finish_peer().rx(), "CC");
}

struct CommandCase {
    const char* name;
    const char* script;
    int32_t result;
    const char* wire;   // everything the program sent, as hex
};

TEST_F(PacketLinkTest, CommandExchangeResults) {
    // Command data 24 01 02 goes out as 05 27 24 01 02; the status request as 03 23 23.
    const CommandCase cases[] = {
        {"accepted", "expect 05 27 24 01 02\nsend 00 CC\nexpect 03 23 23\nsend CC 00 03 40 40\nexpect CC",
         COMMAND_OK, "0527240102" "032323" "CC"},
        {"command refused", "expect 05 27 24 01 02\nsend 33", COMMAND_NOT_ACCEPTED, "0527240102"},
        {"status request refused", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend 33",
         COMMAND_REQUEST_FAILED, "0527240102" "032323"},
        {"no status reply", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend CC 03",
         COMMAND_NO_STATUS, "0527240102" "032323"},
        {"flash mismatch", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend CC 03 44 44\nexpect CC",
         COMMAND_FLASH_MISMATCH, "0527240102" "032323" "CC"},
        {"accepted with a wrong checksum", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend CC 03 41 40\nexpect 33",
         COMMAND_OK, "0527240102" "032323" "33"},
        {"other status", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend CC 03 45 45\nexpect CC",
         COMMAND_UNEXPECTED_STATUS, "0527240102" "032323" "CC"},
        {"status without data", "expect 05 27 24 01 02\nsend CC\nexpect 03 23 23\nsend CC 02 00\nexpect CC",
         COMMAND_UNEXPECTED_STATUS, "0527240102" "032323" "CC"},
    };
    const uint8_t command[] = {0x24, 0x01, 0x02};
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        start_peer(c.script);
        open_port(115200);
        EXPECT_EQ(bootloader_command(command, 3, 300), c.result);
        sleep_ms(20);
        const PeerResult peer = finish_peer();
        EXPECT_TRUE(peer.ok) << peer.status;
        EXPECT_EQ(peer.rx(), c.wire);
    }
}

TEST_F(PacketLinkTest, FlushWrites256ZeroBytesAndDiscardsAnswers) {
    start_peer("expect_text G\nsend 11 22 33\nrecv 256\nsleep 50\nsend 44");
    open_port(115200);
    const uint8_t go[] = {'G'};
    ASSERT_EQ(port_write(&port, go, 1), 1);
    sleep_ms(100);
    ASSERT_EQ(port_pending(&port), 3);
    flush_bootloader();
    EXPECT_EQ(port_pending(&port), 0) << "what was waiting is thrown away";
    sleep_ms(200);
    EXPECT_EQ(port_pending(&port), 1) << "a byte after the last pass stays waiting";
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), "47" + std::string(512, '0'));
}

TEST_F(PacketLinkTest, FlushToASilentPeerStillWrites256Zeros) {
    start_peer("recv 256");
    open_port(115200);
    const uint32_t took = elapsed_ms([] { flush_bootloader(); });
    EXPECT_LT(took, 1000u) << "no pass waits for the peer";
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx().size(), 512u);
}

TEST_F(PacketLinkTest, DrainEmptiesTheQueueAndReturnsAtOnceWhenEmpty) {
    start_peer("expect_text G\nsend 01 02 03 04 05");
    open_port();
    EXPECT_LT(elapsed_ms([] { drain_input(); }), 5u);
    const uint8_t go[] = {'G'};
    ASSERT_EQ(port_write(&port, go, 1), 1);
    sleep_ms(100);
    drain_input();
    EXPECT_EQ(port_pending(&port), 0);
    EXPECT_TRUE(finish_peer().ok);
}

}  // namespace
