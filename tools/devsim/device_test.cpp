// The device model without a line: bytes in, bytes out, time given by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.h"
#include "image_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Device started(const Scenario& scenario) {
    Device device;
    std::string error;
    EXPECT_TRUE(device_start(&device, scenario, &error)) << error;
    return device;
}

Scenario in_bootloader() {
    Scenario scenario;
    scenario.start_in_bootloader = true;
    return scenario;
}

// Hands bytes to the device at time `at_us`, at the rate of its present mode.
void feed(Device* device, const Bytes& bytes, uint64_t at_us = 0) {
    device->line_baud = device_baud(*device);
    for (const uint8_t byte : bytes) device_receive(device, byte, at_us);
}

// Everything the device has queued to send, due or not.
Bytes take_output(Device* device) {
    Bytes out;
    for (const OutByte& b : device->outbox) out.push_back(b.byte);
    device->outbox.clear();
    return out;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A read that finds a new rate: where the bytes sent at the old rate end.
TEST(RateChange, BytesBeforeTheChangeKeepTheOldRate) {
    struct Case { const char* name; Bytes bytes; uint32_t from, to; size_t split; };
    const Bytes zeros_and_probe = {0, 0, 0, 3, 0xDA, '&'};
    const Case cases[] = {
        {"a probe, then back to the application", zeros_and_probe, BOOT_BAUD, APP_BAUD, 6},
        {"a probe, then a query at the new rate", cat(zeros_and_probe, text_bytes("^V$")), BOOT_BAUD, APP_BAUD, 6},
        {"a query just after the port opened", text_bytes("^V$"), 38400, APP_BAUD, 0},
        {"a frame ending in what reads as a line", {5, 0x10, '^', 'A', '$'}, BOOT_BAUD, APP_BAUD, 2},
        {"the entry string, then the bootloader's rate", text_bytes("^BOOTL$^BOOTL$"), APP_BAUD, BOOT_BAUD, 14},
        {"the entry string, then zero fill", cat(text_bytes("^BOOTL$"), {0, 0, 3}), APP_BAUD, BOOT_BAUD, 7},
        {"zero fill only", {0, 0, 3}, APP_BAUD, BOOT_BAUD, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rate_change_split(c.bytes.data(), c.bytes.size(), c.from, c.to), c.split) << c.name;
    }
}

TEST(FrameCodec, BuildsTheFramesOfTheWire) {
    struct Case { Bytes data; Bytes frame; };
    const Case cases[] = {
        {{0x24, 0x01, 0x02}, {0x05, 0x27, 0x24, 0x01, 0x02}},  // a command with two data bytes
        {{0x40}, {0x03, 0x40, 0x40}},                          // the accepted status reply
        {{0x26}, {0x03, 0x26, 0x26}},                          // the probe
        {{0x25}, {0x03, 0x25, 0x25}},                          // the return command
        {{}, {0x02, 0x00}},                                    // no data at all
        {{0xFF, 0xFF, 0x03}, {0x05, 0x01, 0xFF, 0xFF, 0x03}},  // the sum wraps
    };
    for (const Case& c : cases) EXPECT_EQ(packet_frame(c.data), c.frame);
    const Bytes longest = packet_frame(Bytes(255, 1));
    EXPECT_EQ(longest[0], 0x01);  // 255 + 2 wraps to 1
    EXPECT_EQ(longest[1], 0xFF);
    EXPECT_EQ(packet_frame({0x40}, true), (Bytes{0x03, 0x41, 0x40}));
}

TEST(FrameCodec, ReaderSkipsIdleZerosAndReadsWhatTheLengthAnnounces) {
    struct Case { const char* what; Bytes stream; size_t data_length; bool checksum_ok; };
    const Case cases[] = {
        {"zeros before the frame", {0, 0, 0, 0x03, 0x26, 0x26}, 1, true},
        {"no data", {0x02, 0x00}, 0, true},
        {"wrong checksum", {0x03, 0x27, 0x26}, 1, false},
        {"length byte 1 announces 255", cat({0x01, 0x00}, Bytes(255, 0)), 255, true},
        {"zero inside the data is data", {0x04, 0x05, 0x00, 0x05}, 2, true},
    };
    for (const Case& c : cases) {
        PacketReader reader;
        int complete = 0;
        for (const uint8_t b : c.stream) complete += packet_reader_feed(&reader, b) == ReadStep::complete;
        EXPECT_EQ(complete, 1) << c.what;
        EXPECT_EQ(reader.data.size(), c.data_length) << c.what;
        EXPECT_EQ(packet_reader_checksum_ok(reader), c.checksum_ok) << c.what;
    }
}

TEST(Bootloader, AnswersTheProbeInEachRecordLayout) {
    struct Field { uint32_t offset; uint8_t value; };
    struct Case { InfoLayout layout; size_t size; std::vector<Field> fields; };
    const Case cases[] = {
        {InfoLayout::current, 65, {{0, 0x00}, {1, 0x08}, {2, 59}, {3, 0}, {6, 1}, {7, 0},
                                   {28, 0x00}, {29, 0x00}, {30, 0x3A}, {31, 0x02},
                                   {32, 'S'}, {36, '4'}, {37, 0}, {64, 0}}},
        {InfoLayout::legacy, 45, {{0, 0}, {1, 0}, {2, 0}, {6, 0}, {10, 0x3A}, {11, 0x02},
                                  {12, 'S'}, {16, '4'}, {17, 0}, {44, 0}}},
        {InfoLayout::legacy_unterminated, 45, {{0, 0}, {11, 0x02}, {12, 'S'}, {17, ' '}, {44, ' '}}},
    };
    for (const Case& c : cases) {
        Scenario scenario = in_bootloader();
        scenario.identity.version_text = "2.58";
        scenario.identity.layout = c.layout;
        Device device = started(scenario);
        feed(&device, {0x00, 0x00, 0x03, 0x26, 0x26});
        const Bytes out = take_output(&device);
        ASSERT_EQ(out.size(), c.size + 3);
        EXPECT_EQ(out[0], BOOT_ACK);
        const Bytes record(out.begin() + 3, out.end());
        EXPECT_EQ(Bytes(out.begin() + 1, out.end()), packet_frame(record));
        for (const Field& f : c.fields) EXPECT_EQ(record[f.offset], f.value) << "offset " << f.offset;
        // The device waits for the program's answer, and takes it.
        feed(&device, {0x00, BOOT_ACK});
        EXPECT_EQ(device.report.counts["program_acks"], 1u);
    }
}

TEST(Bootloader, ProbeReplyOfAnyAnnouncedLength) {
    struct Case { int32_t length; uint8_t length_byte; };
    const Case cases[] = {{8, 10}, {65, 67}, {100, 102}, {253, 255}, {255, 1}};
    for (const Case& c : cases) {
        Scenario scenario = in_bootloader();
        scenario.probe_data_length = c.length;
        Device device = started(scenario);
        feed(&device, {0x03, 0x26, 0x26});
        const Bytes out = take_output(&device);
        ASSERT_EQ(out.size(), static_cast<size_t>(c.length) + 3) << c.length;
        EXPECT_EQ(out[1], c.length_byte);
        EXPECT_EQ(out[2], frame_checksum(out.data() + 3, out.size() - 3));
        EXPECT_EQ(out[4], 0x08) << "the record comes first";  // header word's high byte
    }
}

TEST(Bootloader, SilentForTheFirstProbesThenAnswers) {
    Scenario scenario = in_bootloader();
    scenario.boot_silent_probes = 2;
    Device device = started(scenario);
    for (int probe = 1; probe <= 3; ++probe) {
        feed(&device, cat(Bytes(256, 0), {0x03, 0x26, 0x26}));
        const Bytes out = take_output(&device);
        EXPECT_EQ(out.empty(), probe <= 2) << "probe " << probe;
        // The program answers the reply packet.
        if (!out.empty()) feed(&device, {BOOT_ACK});
    }
    EXPECT_EQ(device.report.counts["probes"], 3u);
    EXPECT_EQ(device.report.counts["probe_replies"], 1u);
}

TEST(Bootloader, AProgramThatDoesNotAnswerTheReplyLosesNoFrame) {
    Device device = started(in_bootloader());
    feed(&device, {0x03, 0x26, 0x26});
    take_output(&device);
    // No ACK or NAK for the reply: the next probe comes straight away.
    feed(&device, {0x00, 0x00, 0x03, 0x26, 0x26});
    EXPECT_EQ(take_output(&device)[0], BOOT_ACK);
    EXPECT_EQ(device.report.counts["program_other_answers"], 1u);
    EXPECT_EQ(device.report.counts["probe_replies"], 2u);
}

TEST(Bootloader, NaksAFrameWithAWrongChecksum) {
    Device device = started(in_bootloader());
    feed(&device, {0x03, 0x27, 0x26});
    EXPECT_EQ(take_output(&device), Bytes{BOOT_NAK});
    EXPECT_EQ(device.report.counts["checksum_bad"], 1u);
    feed(&device, {0x03, 0x26, 0x26});
    EXPECT_EQ(take_output(&device)[0], BOOT_ACK) << "the next frame is read normally";
}

TEST(Bootloader, IgnoresTheEntryStringBetweenFrames) {
    Device device = started(in_bootloader());
    feed(&device, text_bytes("^BOOTL$^BOOTL$^BOOTL$"));
    EXPECT_EQ(take_output(&device), Bytes{});
    feed(&device, cat(Bytes(256, 0), {0x03, 0x26, 0x26}));
    EXPECT_EQ(take_output(&device)[0], BOOT_ACK);
    EXPECT_EQ(device.report.counts["entry_strings"], 3u);
}

TEST(Bootloader, AnswersCommandsAsTheScenarioSays) {
    struct Case { const char* what; Fault fault; Bytes command_answer; Bytes status_answer; };
    const Case cases[] = {
        {"accepted", {}, {BOOT_ACK}, {BOOT_ACK, 0x03, 0x40, 0x40}},
        {"flash mismatch", {FaultKind::status, 'D'}, {BOOT_ACK}, {BOOT_ACK, 0x03, 0x44, 0x44}},
        {"other status", {FaultKind::status, 0x41}, {BOOT_ACK}, {BOOT_ACK, 0x03, 0x41, 0x41}},
        {"nak", {FaultKind::nak, '@'}, {BOOT_NAK}, {}},
        {"silent", {FaultKind::silent, '@'}, {}, {}},
        {"noise", {FaultKind::noise, '@'}, {0x00, 0xFF, 0x0D, 0x0A, 'x', 0x80, 0x7F, 0x11, 'Q', 0xC3}, {}},
    };
    for (const Case& c : cases) {
        Scenario scenario = in_bootloader();
        scenario.on_block[2] = c.fault;
        Device device = started(scenario);
        const Bytes block = packet_frame({0x24, 0x01, 0x02});
        const Bytes status = {0x03, 0x23, 0x23};
        feed(&device, block);
        EXPECT_EQ(take_output(&device), Bytes{BOOT_ACK}) << c.what << ": block 1 is not affected";
        feed(&device, status);
        EXPECT_EQ(take_output(&device), (Bytes{BOOT_ACK, 0x03, 0x40, 0x40})) << c.what;
        feed(&device, {BOOT_ACK});
        feed(&device, block);
        EXPECT_EQ(take_output(&device), c.command_answer) << c.what;
        if (c.command_answer == Bytes{BOOT_ACK}) {
            feed(&device, status);
            EXPECT_EQ(take_output(&device), c.status_answer) << c.what;
        }
    }
}

// Each step's fault, played on every attempt or on the first only.
TEST(Bootloader, FaultsPlayedOnceLetTheNextAttemptThrough) {
    const Bytes start = packet_frame(cat({0x21}, Bytes(15, 0)));
    const Bytes block = packet_frame({0x24, 0x01, 0x02});
    const Bytes status = {0x03, 0x23, 0x23};
    const Bytes accepted = {BOOT_ACK, 0x03, 0x40, 0x40};
    for (const bool once : {false, true}) {
        Scenario scenario = in_bootloader();
        scenario.faults_once = once;
        scenario.on_start = {FaultKind::nak, '@'};
        scenario.on_block[1] = {FaultKind::status, 0x45};
        Device device = started(scenario);
        feed(&device, start);
        EXPECT_EQ(take_output(&device), Bytes{BOOT_NAK}) << once;
        feed(&device, start);
        EXPECT_EQ(take_output(&device), once ? Bytes{BOOT_ACK} : Bytes{BOOT_NAK}) << once;
        if (!once) continue;
        feed(&device, status);
        EXPECT_EQ(take_output(&device), accepted);
        feed(&device, {BOOT_ACK});
        for (const uint8_t expected : {uint8_t{0x45}, uint8_t{0x40}}) {  // block 1 of two transfers
            feed(&device, block);
            EXPECT_EQ(take_output(&device), Bytes{BOOT_ACK});
            feed(&device, status);
            EXPECT_EQ(take_output(&device), (Bytes{BOOT_ACK, 0x03, expected, expected}));
            feed(&device, {BOOT_ACK});
            feed(&device, start);
            feed(&device, status);
            feed(&device, {BOOT_ACK});
            take_output(&device);
        }
    }
}

TEST(Bootloader, AnswersTheProbeAsTold) {
    struct Case { FaultKind kind; Bytes first_answer; };
    const Case cases[] = {
        {FaultKind::nak, {BOOT_NAK}},
        {FaultKind::silent, {}},
        {FaultKind::noise, {0x00, 0xFF, 0x0D, 0x0A, 'x', 0x80, 0x7F, 0x11, 'Q', 0xC3}},
    };
    for (const Case& c : cases) {
        for (const bool once : {false, true}) {
            Scenario scenario = in_bootloader();
            scenario.on_probe = {c.kind, '@'};
            scenario.faults_once = once;
            Device device = started(scenario);
            feed(&device, {0x03, 0x26, 0x26});
            EXPECT_EQ(take_output(&device), c.first_answer);
            feed(&device, cat(Bytes(256, 0), {0x03, 0x26, 0x26}));
            const Bytes second = take_output(&device);
            if (once) {
                ASSERT_EQ(second.size(), 65u + 3u);
                EXPECT_EQ(second[0], BOOT_ACK);
            } else {
                EXPECT_EQ(second, c.first_answer) << "every probe meets the fault";
            }
        }
    }
}

TEST(Bootloader, ReportsAStatusRequestThatDoesNotCome) {
    Device device = started(in_bootloader());
    feed(&device, packet_frame({0x24, 0x01}));
    feed(&device, packet_frame({0x24, 0x02}));
    ASSERT_EQ(device.report.protocol_errors.size(), 1u);
    EXPECT_NE(device.report.protocol_errors[0].find("block 2"), std::string::npos);
}

TEST(Bootloader, UnplugsAtTheChosenBlock) {
    Scenario scenario = in_bootloader();
    scenario.unplug_at = "block:2";
    Device device = started(scenario);
    feed(&device, packet_frame({0x24, 0x01}));
    feed(&device, packet_frame({0x23}));
    feed(&device, {BOOT_ACK});
    take_output(&device);
    feed(&device, packet_frame({0x24, 0x01}));
    EXPECT_TRUE(device.unplugged);
    EXPECT_EQ(take_output(&device), Bytes{});
}

}  // namespace
