// The device's check of a whole transfer, and its application half.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device.h"
#include "image_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A small image of the built-in shape: full records of 236 bytes, then a shorter one.
Bytes small_image() {
    const ImageParams params = {59, 1, 0x023B0000u, "SND44", 0x1000u, image_record_lengths(3, 236, 116), 99};
    std::string error;
    Bytes image = image_build(params, &error);
    EXPECT_EQ(error, "");
    return image;
}

std::string write_temp_image(const Bytes& image) {
    const std::string path = ::testing::TempDir() + "devsim_small.img";
    EXPECT_TRUE(image_save(path, image));
    return path;
}

// The packets the program must send, built here straight from the rules
// rather than with the device's own code: the start packet, then for a record
// of length L, "$", the first L - 3 body bytes and three bytes the record does
// not write: what earlier packets left at positions L - 2 to L of the one
// packet buffer (zero where none wrote).
struct Sent {
    Bytes start;
    std::vector<Bytes> blocks;
};

Sent packets_by_the_rules(const Bytes& image) {
    Sent sent;
    sent.start = {'!'};
    for (const uint32_t at : {IMAGE_FLASH_START_AT, IMAGE_FLASH_LENGTH_AT}) {
        const uint32_t value = image_read_u32(image, at);
        for (int shift = 24; shift >= 0; shift -= 8) sent.start.push_back(static_cast<uint8_t>(value >> shift));
    }
    sent.start.insert(sent.start.end(), image.begin() + IMAGE_START_BYTES_AT, image.begin() + IMAGE_NAME_AT);
    Bytes buffer(256, 0);
    std::copy(sent.start.begin(), sent.start.end(), buffer.begin());
    uint32_t offset = IMAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < image_read_u32(image, IMAGE_BLOCK_COUNT_AT); ++i) {
        const uint32_t length = image_read_u16(image, offset);
        buffer[0] = '$';
        std::copy(image.begin() + offset + 2, image.begin() + offset + length - 1, buffer.begin() + 1);
        sent.blocks.emplace_back(buffer.begin(), buffer.begin() + length + 1);
        offset += length;
    }
    return sent;
}

Device bootloader_expecting(const Bytes& image) {
    Scenario scenario;
    scenario.start_in_bootloader = true;
    scenario.image_path = write_temp_image(image);
    Device device;
    std::string error;
    EXPECT_TRUE(device_start(&device, scenario, &error)) << error;
    return device;
}

void feed(Device* device, const Bytes& bytes, uint64_t at_us = 0) {
    device->line_baud = device_baud(*device);
    for (const uint8_t b : bytes) device_receive(device, b, at_us);
}

// One command exchange as the program runs it: command, status request, and
// the program's ACK of the status reply.
void exchange(Device* device, const Bytes& data, bool with_status = true) {
    feed(device, packet_frame(data));
    if (!with_status) return;
    feed(device, packet_frame({'#'}));
    feed(device, {BOOT_ACK});
}

void run_transfer(Device* device, const Sent& sent, bool status_after_each = true) {
    exchange(device, sent.start);
    for (const Bytes& block : sent.blocks) exchange(device, block, status_after_each);
    feed(device, packet_frame({'%'}));
}

TEST(TransferCheck, RulesAgreeWithTheBuiltInImage) {
    Bytes image;
    ASSERT_TRUE(image_load(std::string(OFWU_FIRMWARE_DIR) + "/snd44_rev1.img", &image));
    const Sent sent = packets_by_the_rules(image);
    const std::vector<ImageRecord> records = image_records(image);
    ASSERT_EQ(records.size(), sent.blocks.size());
    EXPECT_EQ(transfer_start_packet(image), sent.start);
    std::vector<uint8_t> buffer(SIM_PACKET_BUFFER_SIZE, 0);
    std::copy(sent.start.begin(), sent.start.end(), buffer.begin());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(transfer_block_packet(image, records[i], &buffer), sent.blocks[i]) << "block " << i + 1;
    }
}

TEST(TransferCheck, CompleteWhenEveryPacketIsRight) {
    const Bytes image = small_image();
    Device device = bootloader_expecting(image);
    run_transfer(&device, packets_by_the_rules(image));
    EXPECT_EQ(transfer_verdict(device.transfer), "complete") << device.transfer.mismatch;
    EXPECT_TRUE(device.report.protocol_errors.empty());
    EXPECT_EQ(device.mode, Mode::application) << "the return command starts the application";
    EXPECT_GE(device.report.return_ms, device.report.start_packet_ms);
}

TEST(TransferCheck, FindsEachWayATransferGoesWrong) {
    const Bytes image = small_image();
    struct Case { const char* what; void (*spoil)(Sent*); const char* verdict; const char* where; };
    const Case cases[] = {
        {"zeros instead of the previous record's bytes", [](Sent* s) { auto& b = s->blocks.back(); b[b.size() - 1] ^= 0xFF; b[b.size() - 2] = 0; },
         "mismatch", "block 4: data byte"},
        {"the whole body sent", [](Sent* s) { s->blocks[0].insert(s->blocks[0].end() - 3, 0x00); }, "mismatch", "block 1: 238 data bytes, expected 237"},
        {"a body byte changed", [](Sent* s) { s->blocks[1][100] ^= 1; }, "mismatch", "block 2: data byte 100"},
        {"flash start little-endian", [](Sent* s) { s->start[1] = 0x00; s->start[3] = 0x00; s->start[2] = 0x10; }, "mismatch", "start packet: data byte 2"},
        {"a start byte changed", [](Sent* s) { s->start[15] ^= 1; }, "mismatch", "start packet: data byte 15"},
        {"last block missing", [](Sent* s) { s->blocks.pop_back(); }, "incomplete", ""},
        {"a block too many", [](Sent* s) { s->blocks.push_back(s->blocks.back()); }, "mismatch", "block 5: the image has only 4"},
    };
    for (const Case& c : cases) {
        Device device = bootloader_expecting(image);
        Sent sent = packets_by_the_rules(image);
        c.spoil(&sent);
        run_transfer(&device, sent);
        EXPECT_EQ(transfer_verdict(device.transfer), c.verdict) << c.what;
        EXPECT_EQ(device.transfer.mismatch.rfind(c.where, 0), 0u) << c.what << ": " << device.transfer.mismatch;
    }
}

TEST(TransferCheck, ARefusedBlockLeavesTheTransferIncomplete) {
    const Bytes image = small_image();
    Device device = bootloader_expecting(image);
    device.scenario.on_block[2] = {FaultKind::status, 'D'};
    run_transfer(&device, packets_by_the_rules(image));
    EXPECT_EQ(transfer_verdict(device.transfer), "incomplete");
    EXPECT_EQ(device.transfer.refused, "block 2: status 0x44");
}

TEST(TransferCheck, StatusRequestsMustFollowEveryCommand) {
    const Bytes image = small_image();
    Device device = bootloader_expecting(image);
    run_transfer(&device, packets_by_the_rules(image), false);
    EXPECT_EQ(device.report.protocol_errors.size(), 4u);  // blocks 2 to 4 and the return command
}

TEST(TransferCheck, ANewStartPacketStartsOver) {
    const Bytes image = small_image();
    Device device = bootloader_expecting(image);
    const Sent sent = packets_by_the_rules(image);
    exchange(&device, sent.start);
    exchange(&device, sent.blocks[0]);
    run_transfer(&device, sent);
    EXPECT_EQ(device.transfer.attempts, 2u);
    EXPECT_EQ(transfer_verdict(device.transfer), "complete") << device.transfer.mismatch;
}

std::string due_text(const Device& device, uint64_t from_us, uint64_t to_us) {
    std::string text;
    for (const OutByte& b : device.outbox) {
        if (b.due_us >= from_us && b.due_us < to_us) text += static_cast<char>(b.byte);
    }
    return text;
}

TEST(Application, RepliesToTheVersionQuery) {
    struct Case { const char* what; void (*tell)(Scenario*); std::string reply; };
    const Case cases[] = {
        {"identity tail", [](Scenario*) {}, "^=V \"SND44\" 2.58,59,1,0$"},
        {"no identity tail", [](Scenario* s) { s->identity.identity_tail = false; }, "^=V \"SND44\" 2.58$"},
        {"another identity", [](Scenario* s) { s->identity = {59, 2, "1.05.03c", "", "1F", true, "", InfoLayout::current}; },
         "^=V \"\" 1.05.03c,59,2,1F$"},
        {"empty lines first", [](Scenario* s) { s->before_reply = {"$", "+$"}; }, "^$^+$^=V \"SND44\" 2.58,59,1,0$"},
        {"noise first", [](Scenario* s) { s->noise_bytes = 3; }, std::string("\x00\xFF\r", 3) + "^=V \"SND44\" 2.58,59,1,0$"},
        {"a reply as told", [](Scenario* s) { s->identity.reply_override = "=V X"; }, "^=V X$"},
        {"silent", [](Scenario* s) { s->app_silent = true; }, ""},
    };
    for (const Case& c : cases) {
        Scenario scenario;
        c.tell(&scenario);
        Device device;
        std::string error;
        ASSERT_TRUE(device_start(&device, scenario, &error));
        feed(&device, {'x', '^', 'V', '$'});
        EXPECT_EQ(due_text(device, 0, UINT64_MAX), c.reply) << c.what;
    }
}

TEST(Application, MovesToTheBootloaderAfterTheEntryString) {
    Device device;
    std::string error;
    ASSERT_TRUE(device_start(&device, Scenario{}, &error));
    feed(&device, {'^', 'B', 'O', 'O', 'T', 'L', '$', '^', 'B', 'O', 'O', 'T', 'L', '$'}, 1000);
    device_advance(&device, 100000);
    EXPECT_EQ(device.mode, Mode::application) << "not before its delay";
    device_advance(&device, 101000);
    EXPECT_EQ(device.mode, Mode::bootloader);
    EXPECT_EQ(device_baud(device), 115200u);
}

TEST(Application, EntryFaultsHoldForOneEntry) {
    const Bytes entry = {'^', 'B', 'O', 'O', 'T', 'L', '$', '^', 'B', 'O', 'O', 'T', 'L', '$'};
    struct Case { FaultKind kind; bool once; bool switches_first; std::string first_out; bool switches_second; };
    const std::string noise("\x00\xFF\r\nx\x80\x7F\x11Q\xC3", 10);
    const Case cases[] = {
        {FaultKind::silent, false, false, "", false},
        {FaultKind::silent, true, false, "", true},
        {FaultKind::noise, false, true, noise, true},
    };
    for (const Case& c : cases) {
        Scenario scenario;
        scenario.on_entry = {c.kind, '@'};
        scenario.faults_once = c.once;
        Device device;
        std::string error;
        ASSERT_TRUE(device_start(&device, scenario, &error));
        feed(&device, entry, 1000);
        EXPECT_EQ(due_text(device, 0, UINT64_MAX), c.first_out);
        device_advance(&device, 2000000);
        EXPECT_EQ(device.mode == Mode::bootloader, c.switches_first);
        if (device.mode == Mode::bootloader) continue;
        // The program detects the device anew, then enters again.
        feed(&device, {'^', 'V', '$'}, 2000000);
        device.outbox.clear();
        feed(&device, entry, 2100000);
        device_advance(&device, 4000000);
        EXPECT_EQ(device.mode == Mode::bootloader, c.switches_second) << c.once;
    }
}

TEST(Application, RestartFaultsAndTheUnplugAfterAScriptLine) {
    struct Case { FaultKind kind; std::string first_out; };
    const std::string line = "^=V \"SND44\" 2.58,59,1,0$";
    const Case cases[] = {
        {FaultKind::silent, ""},
        {FaultKind::noise, std::string("\x00\xFF\r\nx\x80\x7F\x11Q\xC3", 10) + line},
    };
    for (const Case& c : cases) {
        Scenario scenario;
        scenario.start_in_bootloader = true;
        scenario.on_restart = {c.kind, '@'};
        scenario.faults_once = true;
        scenario.restart_script = {{200, "!100,1,0"}, {300, "=P"}};
        scenario.unplug_at = "line:1";
        Device device;
        std::string error;
        ASSERT_TRUE(device_start(&device, scenario, &error));
        feed(&device, packet_frame({'%'}), 1000000);
        EXPECT_EQ(due_text(device, 0, UINT64_MAX), c.first_out);
        device.outbox.clear();
        device_advance(&device, 1300000);
        EXPECT_EQ(due_text(device, 0, UINT64_MAX), "^!100,1,0$");
        EXPECT_FALSE(device.unplugged) << "the line goes out first";
        EXPECT_EQ(device_next_timer(device), 1350000u);
        device_advance(&device, 1350000);
        EXPECT_TRUE(device.unplugged) << "gone 50 ms after the first script line";
        device_advance(&device, 2000000);
        EXPECT_EQ(due_text(device, 0, UINT64_MAX), "^!100,1,0$") << "nothing after the unplug";
    }
}

TEST(Application, AnnouncesItselfAndPlaysItsScriptAfterARestart) {
    Scenario scenario;
    scenario.start_in_bootloader = true;
    scenario.restart_script = {{200, "!100,1,0"}, {300, "!100,1,1"}, {0, "=P"}};
    Device device;
    std::string error;
    ASSERT_TRUE(device_start(&device, scenario, &error));
    feed(&device, packet_frame({'%'}), 1000000);
    EXPECT_EQ(device.mode, Mode::application);
    EXPECT_EQ(due_text(device, 0, UINT64_MAX), "^=V \"SND44\" 2.58,59,1,0$") << "no acknowledge for the return";
    EXPECT_EQ(due_text(device, 1100000, 1100001), "^=V \"SND44\" 2.58,59,1,0$");
    device.outbox.clear();
    device_advance(&device, 1299000);
    EXPECT_EQ(due_text(device, 0, UINT64_MAX), "");
    device_advance(&device, 1300000);
    EXPECT_EQ(due_text(device, 0, UINT64_MAX), "^!100,1,0$");
    device_advance(&device, 1600000);
    EXPECT_EQ(due_text(device, 0, UINT64_MAX), "^!100,1,0$^!100,1,1$^=P$");
}

TEST(Scenario, ReadsTheCommandLine) {
    const char* argv[] = {"devsim", "--link", "/tmp/x/COM3", "--on-block", "5:status:41", "--on-start", "D",
                          "--line", "100:!100,1,0", "--before-reply", "$,+$", "--layout", "legacy",
                          "--boot-silent-probes", "1", "--expect", "update", "--unplug-at", "block:7",
                          "--on-probe", "noise", "--on-entry", "silent", "--on-restart", "noise", "--faults-once"};
    Scenario s;
    std::string error;
    ASSERT_TRUE(scenario_parse_args(static_cast<int>(std::size(argv)), const_cast<char**>(argv), &s, &error)) << error;
    EXPECT_EQ(s.on_block[5].kind, FaultKind::status);
    EXPECT_EQ(s.on_block[5].status, 0x41);
    EXPECT_EQ(s.on_start.status, 'D');
    ASSERT_EQ(s.restart_script.size(), 1u);
    EXPECT_EQ(s.restart_script[0].delay_ms, 100u);
    EXPECT_EQ(s.restart_script[0].text, "!100,1,0");
    EXPECT_EQ(s.before_reply, (std::vector<std::string>{"$", "+$"}));
    EXPECT_EQ(s.identity.layout, InfoLayout::legacy);
    EXPECT_EQ(s.boot_silent_probes, 1);
    EXPECT_EQ(s.unplug_at, "block:7");
    EXPECT_EQ(s.on_probe.kind, FaultKind::noise);
    EXPECT_EQ(s.on_entry.kind, FaultKind::silent);
    EXPECT_EQ(s.on_restart.kind, FaultKind::noise);
    EXPECT_TRUE(s.faults_once);
}

TEST(Scenario, RefusesWhatItDoesNotUnderstand) {
    const std::vector<std::vector<const char*>> bad = {
        {"devsim"},                                           // no link
        {"devsim", "--link", "L", "--on-block", "0:D"},       // blocks count from 1
        {"devsim", "--link", "L", "--on-start", "maybe"},
        {"devsim", "--link", "L", "--unplug-at", "block"},
        {"devsim", "--link", "L", "--unplug-at", "line"},
        {"devsim", "--link", "L", "--on-probe", "D"},          // the probe has no status
        {"devsim", "--link", "L", "--on-entry", "nak"},        // nor has a text line
        {"devsim", "--link", "L", "--on-restart", "status:41"},
        {"devsim", "--link", "L", "--probe-data-length", "256"},
        {"devsim", "--link", "L", "--product", "x"},
        {"devsim", "--link", "L", "--frobnicate"},
        {"devsim", "--link"},
    };
    for (const auto& args : bad) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(scenario_parse_args(static_cast<int>(args.size()), const_cast<char**>(args.data()), &s, &error))
            << args.back();
        EXPECT_NE(error, "");
    }
}

TEST(Scenario, ReadsAScenarioFile) {
    const std::string path = ::testing::TempDir() + "devsim_scenario.txt";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# a slow processor update\nlink /tmp/y/COM4\nrevision 2\napp-silent\n"
               "line 5000 !100,1,0\nline 5000 !100,1,1\n  line 10 =P\n", f);
    std::fclose(f);
    Scenario s;
    std::string error;
    ASSERT_TRUE(scenario_load_file(path, &s, &error)) << error;
    EXPECT_EQ(s.link, "/tmp/y/COM4");
    EXPECT_EQ(s.identity.hardware_revision, 2u);
    EXPECT_TRUE(s.app_silent);
    ASSERT_EQ(s.restart_script.size(), 3u);
    EXPECT_EQ(s.restart_script[2].text, "=P");
}

}  // namespace
