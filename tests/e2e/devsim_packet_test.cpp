// devsim's bootloader half against the program's own packet link, probe and
// version query, over a real pseudo-terminal: bytes on the wire, replies, and
// a whole transfer of a sample image.
#include <cstring>
#include <string>
#include <vector>

#include "devsim_fixture.h"
#include "device.h"
#include "identify/detect.h"
#include "identify/version_query.h"
#include "image_format.h"
#include "serial/packet_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_bytes(size_t count) {
    Bytes bytes(count, 0);
    bytes.resize(static_cast<size_t>(port_read_timed(&port, bytes.data(), static_cast<int32_t>(count), 1000)));
    return bytes;
}

void write_bytes(const Bytes& bytes) {
    ASSERT_EQ(port_write(&port, bytes.data(), static_cast<int32_t>(bytes.size())), static_cast<int32_t>(bytes.size()));
}

TEST_F(DevsimPort, FramesOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(start({"--start", "bootloader"}, 115200));
    write_bytes({0x03, 0x27, 0x26});  // a probe whose checksum is off by one
    EXPECT_EQ(read_bytes(1), Bytes{0x33});
    write_bytes({0x00, 0x00, 0x05, 0x27, 0x24, 0x01, 0x02});  // idle zeros, then a command
    EXPECT_EQ(read_bytes(1), Bytes{0xCC});
    write_bytes({0x03, 0x23, 0x23});  // the status request
    EXPECT_EQ(read_bytes(4), (Bytes{0xCC, 0x03, 0x40, 0x40}));
    write_bytes({0xCC});
    write_bytes({0x03, 0x26, 0x26});  // the probe
    const Bytes reply = read_bytes(3 + 65);
    ASSERT_EQ(reply.size(), 68u);
    EXPECT_EQ(reply[0], 0xCC);
    EXPECT_EQ(reply[1], 65 + 2);
    // The device gives up waiting for an answer to its reply.
    sleep_ms(static_cast<uint32_t>(ACK_WAIT_US / 1000) + 200);
    const DeviceOutcome outcome = stop();
    EXPECT_EQ(count_of(outcome, "checksum_bad"), 1);
    EXPECT_EQ(count_of(outcome, "program_acks"), 1);
    EXPECT_EQ(count_of(outcome, "program_no_answer"), 1) << "the probe reply was never answered";
}

TEST_F(DevsimPort, ProbeRepliesInEachLayout) {
    struct Case { const char* layout; uint16_t product, revision; const char* name; };
    const Case cases[] = {
        {"current", 59, 2, "SND44"},
        {"legacy", 56, 1, "SND44"},
        {"legacy-unterminated", 56, 1, "SND44"},  // then spaces to the end of the field
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(
            start({"--start", "bootloader", "--layout", c.layout, "--revision", "2", "--version", "2.59"}, 115200));
        flush_bootloader();
        ASSERT_EQ(probe_bootloader(&bootloader_info), PROBE_OK) << c.layout;
        EXPECT_EQ(info_u16(&bootloader_info, INFO_PRODUCT_CODE), c.product) << c.layout;
        EXPECT_EQ(info_u16(&bootloader_info, INFO_HARDWARE_REVISION), c.revision) << c.layout;
        EXPECT_EQ(info_u32(&bootloader_info, INFO_VERSION), 0x023B0000u) << c.layout;
        const char* field = reinterpret_cast<const char*>(bootloader_info.bytes + INFO_NAME);
        const std::string name(field, strnlen(field, INFO_NAME_SIZE));
        EXPECT_EQ(name.rfind(c.name, 0), 0u) << c.layout << ": " << name;
        EXPECT_LT(name.size(), INFO_NAME_SIZE) << "a NUL within the field";
        const DeviceOutcome outcome = stop();
        EXPECT_EQ(count_of(outcome, "program_acks"), 1) << c.layout;
        EXPECT_EQ(count_of(outcome, "idle_zero_bytes"), FLUSH_ZERO_BYTES) << c.layout;
    }
}

TEST_F(DevsimPort, ProbeReplyLongerThanTheRecord) {
    ASSERT_NO_FATAL_FAILURE(start({"--start", "bootloader", "--probe-data-length", "255"}, 115200));
    EXPECT_EQ(probe_bootloader(&bootloader_info), PROBE_OK);
    EXPECT_EQ(info_u16(&bootloader_info, INFO_PRODUCT_CODE), 59);
    EXPECT_EQ(count_of(stop(), "program_acks"), 1);
}

TEST_F(DevsimPort, AnswersCommandsAsTold) {
    struct Case { const char* fault; int32_t result; };
    const Case cases[] = {{"none", COMMAND_OK}, {"D", COMMAND_FLASH_MISMATCH},
                          {"status:41", COMMAND_UNEXPECTED_STATUS}, {"nak", COMMAND_NOT_ACCEPTED}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--start", "bootloader"};
        if (std::string(c.fault) != "none") args.insert(args.end(), {"--on-block", std::string("1:") + c.fault});
        ASSERT_NO_FATAL_FAILURE(start(args, 115200));
        const uint8_t block[] = {0x24, 0x01, 0x02};
        EXPECT_EQ(bootloader_command(block, 3, 2000), c.result) << c.fault;
        stop();
    }
}

// The packets of a transfer, built by the rules the device checks: the start
// packet, then per record "$", its first L - 3 body bytes and three bytes
// left in the sender's buffer by earlier packets.
void transfer(const Bytes& image) {
    uint8_t buffer[256] = {};
    buffer[0] = '!';
    for (int i = 0; i < 4; ++i) {
        buffer[1 + i] = image[IMAGE_FLASH_START_AT + 3 - static_cast<uint32_t>(i)];
        buffer[5 + i] = image[IMAGE_FLASH_LENGTH_AT + 3 - static_cast<uint32_t>(i)];
    }
    for (uint32_t i = 0; i < 7; ++i) buffer[9 + i] = image[IMAGE_START_BYTES_AT + i];
    ASSERT_EQ(bootloader_command(buffer, 16, 2000), COMMAND_OK);
    for (const ImageRecord& record : image_records(image)) {
        buffer[0] = '$';
        for (uint32_t i = 1; i + 2 < record.length; ++i) buffer[i] = image[record.offset + 1 + i];
        ASSERT_EQ(bootloader_command(buffer, static_cast<uint8_t>(record.length + 1), 2000), COMMAND_OK);
    }
    buffer[0] = '%';
    ASSERT_EQ(packet_send(buffer, 1, 0, 500), SEND_OK);
}

TEST_F(DevsimPort, WholeTransferOfASampleImage) {
    const std::string path = std::string(OFWU_FIRMWARE_DIR) + "/snd44_rev1.img";
    Bytes image;
    ASSERT_TRUE(image_load(path, &image));
    ASSERT_NO_FATAL_FAILURE(
        start({"--image", path, "--expect", "update", "--expect", "clean", "--line", "50:!100,1,0"}, 19200));
    const uint8_t entry[] = "^BOOTL$^BOOTL$^BOOTL$";
    ASSERT_EQ(port_write(&port, entry, 21), 21);
    sleep_ms(300);  // the device switches within its 100 ms
    ASSERT_EQ(port_set_baud(&port, 115200), 1);
    flush_bootloader();
    ASSERT_EQ(probe_bootloader(&bootloader_info), PROBE_OK);
    transfer(image);
    sleep_ms(10);
    ASSERT_EQ(port_set_baud(&port, 19200), 1);
    EXPECT_EQ(query_version(&device, 1), VERSION_OK) << "the restarted application announces itself";
    char line[VERSION_LINE_CAPACITY];
    EXPECT_EQ(read_message_line(line, VERSION_LINE_CAPACITY, timer_start()), LINE_OK);
    EXPECT_STREQ(line, "!100,1,0$");
    const DeviceOutcome outcome = stop();
    EXPECT_EQ(outcome.exit_status, 0) << outcome.log;
    EXPECT_EQ(report_text(outcome, "/image/verdict"), "complete") << report_text(outcome, "/image/mismatch");
    const uint32_t blocks = image_read_u32(image, IMAGE_BLOCK_COUNT_AT);
    EXPECT_EQ(report_number(outcome, "/image/blocks_received"), blocks);
    EXPECT_EQ(count_of(outcome, "status_requests"), blocks + 1);
    EXPECT_LT(report_number(outcome, "/timing/start_packet_ms"), report_number(outcome, "/timing/return_ms"));
    EXPECT_EQ(report_text(outcome, "/final_mode"), "application");
}

TEST_F(DevsimPort, AppliesLineTimeWhenPaced) {
    // 90 noise bytes, 50 empty lines "^$" and the 25-byte reply: 215 bytes of
    // 10 bit-times each at 19200 baud take at least 112 ms.
    std::string empty_lines = "$";
    for (int i = 1; i < 50; ++i) empty_lines += ",$";
    ASSERT_NO_FATAL_FAILURE(start({"--pace", "--noise", "90", "--before-reply", empty_lines}, 19200));
    const uint32_t begin = timer_start();
    ASSERT_EQ(query_version(&device, 0), VERSION_OK);
    EXPECT_GE(timer_start() - begin, 110u);
    stop();
}

TEST_F(DevsimPort, PacesWhatTheProgramSendsToo) {
    // 1000 idle bytes before the probe take 86.8 ms to reach the device at
    // 115200 baud; only then can it answer.
    ASSERT_NO_FATAL_FAILURE(start({"--pace", "--start", "bootloader"}, 115200));
    Bytes burst(1000, 0x00);
    burst.insert(burst.end(), {0x03, 0x26, 0x26});
    const uint32_t begin = timer_start();
    write_bytes(burst);
    EXPECT_EQ(read_bytes(1), Bytes{0xCC});
    EXPECT_GE(timer_start() - begin, 85u);
    stop();
}

TEST_F(DevsimPort, DetectionFindsTheApplication) {
    ASSERT_NO_FATAL_FAILURE(start({}, 19200));
    current_baud = 19200;
    EXPECT_EQ(detect_device(), DETECT_OK);
    EXPECT_EQ(link_state, LINK_APPLICATION);
    EXPECT_EQ(count_of(stop(), "probes"), 0) << "no probe when the application answers";
}

}  // namespace
