#include <cstring>
#include <string>
#include <vector>

#include "catalogue/product_table.h"
#include "identify/detect.h"
#include "serial/packet_link.h"
#include "serial_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_le(Bytes& record, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) record[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes current_layout(uint16_t product, uint16_t revision, uint32_t version, const std::string& name) {
    Bytes record(BOOTLOADER_INFO_SIZE, 0);
    put_le(record, INFO_HEADER_WORD, 0x0801, 2);
    put_le(record, INFO_PRODUCT_CODE, product, 2);
    put_le(record, 4, 0xBEEF, 2);
    put_le(record, INFO_HARDWARE_REVISION, revision, 2);
    for (size_t i = INFO_RESERVED; i < INFO_VERSION; ++i) record[i] = 0xA5;
    put_le(record, INFO_VERSION, version, 4);
    std::memcpy(record.data() + INFO_NAME, name.data(), name.size());
    return record;
}

Bytes legacy_layout(uint32_t version, const std::string& name) {
    Bytes record(BOOTLOADER_INFO_SIZE, 0);
    put_le(record, LEGACY_VERSION, version, 4);
    std::memcpy(record.data() + 12, name.data(), name.size());
    return record;
}

Bytes first_bytes(Bytes record, size_t count) {
    record.resize(count);
    return record;
}

// The peer's script line that sends `data` as one packet; its checksum byte
// off by one when `corrupt`.
std::string send_packet(const Bytes& data, bool corrupt = false) {
    uint32_t sum = corrupt ? 1 : 0;
    for (uint8_t b : data) sum += b;
    char hex[8];
    std::string line = "send";
    std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned>((data.size() + 2) & 0xFF));
    line += hex;
    std::snprintf(hex, sizeof hex, " %02X", sum & 0xFFu);
    line += hex;
    for (uint8_t b : data) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
    }
    return line + "\n";
}

// The application answers the query with a line that is no version reply, so
// the detection goes on to the bootloader at once instead of after a port wait.
const char APPLICATION_REFUSES[] = "expect_text ^V$\nsend_text ^?$\n";
const char PROBE_EXCHANGE[] = "wait_rate 115200\nrecv 256\nexpect 03 26 26\nsend 00 CC\n";

class DetectTest : public PeerTest {
protected:
    void SetUp() override {
        link_state = LINK_APPLICATION;
        std::memset(&device, 0, sizeof device);
        std::memset(&bootloader_info, 0, sizeof bootloader_info);
    }
    // A reply whose checksum is wrong is answered with NAK.
    std::string bootloader_answers(const Bytes& reply, bool corrupt = false) {
        return APPLICATION_REFUSES + std::string(PROBE_EXCHANGE) + send_packet(reply, corrupt) +
               (corrupt ? "expect 33" : "expect CC");
    }
};

TEST_F(DetectTest, ApplicationAnswersAt19200AndNothingGoesOutAt115200) {
    start_peer("expect_text ^V$\nsend_text ^=V \"\" 2.58,59,1,0$");
    open_port();
    EXPECT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(link_state, LINK_APPLICATION);
    EXPECT_EQ(current_baud, 19200u);
    EXPECT_EQ(device.version, 0x023A0000u);
    EXPECT_EQ(device.product_code, 59);
    EXPECT_STREQ(device.display_name, "SND44");
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    ASSERT_EQ(peer.runs.size(), 1u);
    EXPECT_EQ(peer.runs[0].baud, 19200u);
    EXPECT_EQ(peer.runs[0].hex, hex_of("^V$"));
}

TEST_F(DetectTest, BootloaderInTheCurrentLayoutFillsTheDevice) {
    start_peer(bootloader_answers(current_layout(59, 2, 0x023A0000, "SND44 rev B")));
    open_port();
    EXPECT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(link_state, LINK_BOOTLOADER);
    EXPECT_EQ(current_baud, 115200u);
    EXPECT_EQ(device.product_code, 59);
    EXPECT_EQ(device.hardware_revision, 2);
    EXPECT_EQ(device.version, 0x023A0000u);
    EXPECT_EQ(device.option_word, NO_OPTION_WORD);
    EXPECT_STREQ(device.reported_name, "SND44 rev B");
    EXPECT_EQ(device.display_name, device.reported_name);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    ASSERT_EQ(peer.runs.size(), 2u);
    EXPECT_EQ(peer.runs[0].baud, 19200u);
    EXPECT_EQ(peer.runs[0].hex, hex_of("^V$"));
    EXPECT_EQ(peer.runs[1].baud, 115200u);
    EXPECT_EQ(peer.runs[1].hex, std::string(512, '0') + "032626" + "CC");
}

struct LayoutCase {
    const char* name;
    Bytes reply;
    uint16_t product_code;
    uint16_t hardware_revision;
    uint32_t version;
    const char* reported_name;
    const char* display_name;   // nullptr: none
    bool corrupt = false;       // the reply's checksum is wrong
};

TEST_F(DetectTest, BootloaderLayoutsAndShortReplies) {
    const std::string full_legacy_name(33, 'L');  // fills the legacy field, no NUL
    const LayoutCase cases[] = {
        {"legacy", legacy_layout(0x02300000, "OLD44"), 56, 1, 0x02300000, "OLD44", "OLD44"},
        {"legacy without a name", legacy_layout(0x02300000, ""), 56, 1, 0x02300000, "", "LUX22"},
        {"legacy name without NUL", legacy_layout(0x02300000, full_legacy_name), 56, 1, 0x02300000,
         "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL", "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"},
        {"8 bytes", first_bytes(current_layout(59, 2, 0x023A0000, "X"), 8), 59, 2, 0, "", "SND44"},
        {"unknown product, no name", current_layout(57, 1, 0x01000000, ""), 57, 1, 0x01000000, "", nullptr},
        // Answered with NAK, and still taken as it came.
        {"wrong checksum", current_layout(59, 2, 0x023A0000, "SND44"), 59, 2, 0x023A0000, "SND44", "SND44", true},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        // A name left over from an earlier reply must not show through.
        std::memset(bootloader_info.bytes + INFO_NAME, 'Z', INFO_NAME_SIZE);
        start_peer(bootloader_answers(c.reply, c.corrupt));
        open_port();
        EXPECT_EQ(detect_device(), DETECT_OK);
        EXPECT_EQ(link_state, LINK_BOOTLOADER);
        EXPECT_EQ(device.product_code, c.product_code);
        EXPECT_EQ(device.hardware_revision, c.hardware_revision);
        EXPECT_EQ(device.version, c.version);
        EXPECT_EQ(device.reported_name[REPORTED_NAME_SIZE - 1], '\0');
        EXPECT_STREQ(device.reported_name, c.reported_name);
        if (c.display_name == nullptr) {
            EXPECT_EQ(device.display_name, nullptr);
        } else {
            EXPECT_STREQ(device.display_name, c.display_name);
        }
        EXPECT_EQ(bootloader_info.bytes[BOOTLOADER_INFO_SIZE - 1], 0);
        const PeerResult peer = finish_peer();
        EXPECT_TRUE(peer.ok) << peer.status;
    }
}

TEST_F(DetectTest, LegacyConversionMovesTheFieldsInPlace) {
    start_peer(bootloader_answers(legacy_layout(0x02300001, "OLD44")));
    open_port();
    ASSERT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(info_u16(&bootloader_info, INFO_HEADER_WORD), LEGACY_HEADER_WORD);
    EXPECT_EQ(info_u16(&bootloader_info, INFO_PRODUCT_CODE), 56);
    EXPECT_EQ(info_u16(&bootloader_info, INFO_HARDWARE_REVISION), 1);
    EXPECT_EQ(info_u32(&bootloader_info, INFO_VERSION), 0x02300001u);
    for (uint32_t i = INFO_RESERVED; i < INFO_VERSION; ++i) EXPECT_EQ(bootloader_info.bytes[i], 0) << i;
    EXPECT_STREQ(reinterpret_cast<const char*>(bootloader_info.bytes + INFO_NAME), "OLD44");
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(DetectTest, OversizedProbeReplyIsNotStoredBeyondTheRecord) {
    struct Guarded {
        BootloaderInfo info;
        uint8_t after[256];
    };
    static Guarded guarded;
    std::memset(guarded.after, 0x5A, sizeof guarded.after);
    Bytes reply = current_layout(59, 1, 0x023B0000, "BIG");
    reply.resize(255, 0x77);  // announces 255 data bytes
    start_peer(std::string("wait_rate 115200\nexpect 03 26 26\nsend CC\n") + send_packet(reply) + "expect CC");
    open_port(115200);
    EXPECT_EQ(probe_bootloader(&guarded.info), PROBE_OK);
    for (uint8_t b : guarded.after) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(info_u16(&guarded.info, INFO_PRODUCT_CODE), 59);
    EXPECT_EQ(guarded.info.bytes[BOOTLOADER_INFO_SIZE - 1], 0);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status << " (the reply is acknowledged: the link stays in step)";
}

TEST_F(DetectTest, BytesWaitingBeforeTheQueryAreThrownAway) {
    // A reply the device sent earlier is already waiting; the fresh one counts.
    start_peer("wait_rate 19200\nsend_text ^=V \"\" 2.57,59,1,0$\nexpect_text ^V$\nsend_text ^=V \"\" 2.58,59,1,0$");
    open_port();
    sleep_ms(100);
    ASSERT_GT(port_pending(&port), 0);
    EXPECT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(device.version, 0x023A0000u);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(DetectTest, NothingAnswersLeavesThePortAt19200) {
    start_peer(std::string(APPLICATION_REFUSES) + "wait_rate 115200\nrecv 256\nexpect 03 26 26\nwait_rate 19200");
    open_port();
    EXPECT_EQ(detect_device(), DETECT_NOTHING_ANSWERED);
    EXPECT_EQ(link_state, LINK_NONE);
    EXPECT_EQ(current_baud, 19200u);
    EXPECT_EQ(port.is_open, 1);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
}

TEST_F(DetectTest, UnusablePortSendsNothing) {
    start_peer("quiet 300");
    open_port();
    current_baud = 0;
    EXPECT_EQ(detect_device(), DETECT_PORT_UNUSABLE);
    EXPECT_EQ(link_state, LINK_NONE);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    EXPECT_EQ(peer.rx(), "");
}

TEST_F(DetectTest, DetectionAfterTheBootloaderSwitchesBackTo19200First) {
    start_peer("wait_rate 19200\nexpect_text ^V$\nsend_text ^=V \"\" 2.59,59,1,0$");
    open_port(115200);
    EXPECT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(link_state, LINK_APPLICATION);
    EXPECT_EQ(current_baud, 19200u);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    ASSERT_EQ(peer.runs.size(), 1u);
    EXPECT_EQ(peer.runs[0].baud, 19200u);
}

}  // namespace
