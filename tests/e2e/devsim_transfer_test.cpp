// The program's own firmware transfer against devsim over a real
// pseudo-terminal: the device must receive exactly the image it expects, and
// its faults must lead the transfer into its failure paths.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "catalogue/firmware_image.h"
#include "devsim_fixture.h"
#include "transfer/firmware_transfer.h"

namespace {

std::string sample(const char* file) {
    return std::string(OFWU_FIRMWARE_DIR) + "/" + file;
}

// Runs update_firmware with standard output in a file: its result and what it printed.
TransferResult update_capturing(const std::string& folder, std::string* printed) {
    const std::string path = folder + "/transfer.out";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    (void)dup2(file, STDOUT_FILENO);
    const TransferResult result = update_firmware();
    std::fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    (void)close(file);
    *printed = file_text(path);
    return result;
}

class DevsimTransfer : public DevsimPort {
protected:
    // The device in its application at 19200 baud, as a detection leaves it.
    void start_application(std::vector<std::string> args, uint16_t revision) {
        ASSERT_NO_FATAL_FAILURE(start(args, 19200));
        current_baud = 19200;
        link_state = LINK_APPLICATION;
        selected_image = find_image(59, revision);
        ASSERT_NE(selected_image, nullptr);
    }
};

// The program keeps its one packet buffer for the whole run (the bytes a
// packet leaves there go out in later ones), while each case's device is
// new: the image of shorter records goes first, so that no leftover of its
// transfer lies where the next device expects none.
TEST_F(DevsimTransfer, TheDeviceReceivesExactlyTheImage) {
    struct Case { const char* file; uint16_t revision; };
    std::vector<Case> cases = {{"snd44_rev1.img", 1}, {"snd44_rev2.img", 2}};
    std::stable_sort(cases.begin(), cases.end(), [](const Case& a, const Case& b) {
        return find_image(59, a.revision)->max_block_length < find_image(59, b.revision)->max_block_length;
    });
    for (const Case& c : cases) {
        const std::vector<std::string> args = {"--revision", std::to_string(c.revision), "--image", sample(c.file),
                                               "--expect", "update", "--expect", "clean", "--version", "1.00"};
        ASSERT_NO_FATAL_FAILURE(start_application(args, c.revision));
        std::string printed;
        EXPECT_EQ(update_capturing(folder_->path, &printed), TRANSFER_OK) << printed;
        EXPECT_NE(printed.find("\rUpdating firmware: 100% complete.\n"), std::string::npos);
        EXPECT_EQ(device.version, selected_image->version) << "the restarted application's version line was read";
        EXPECT_EQ(current_baud, 19200u);
        const DeviceOutcome outcome = stop();
        EXPECT_EQ(outcome.exit_status, 0) << outcome.log;
        EXPECT_EQ(report_text(outcome, "/image/verdict"), "complete") << report_text(outcome, "/image/mismatch");
        EXPECT_EQ(report_number(outcome, "/image/blocks_received"), selected_image->block_count);
        EXPECT_EQ(count_of(outcome, "bytes_dropped_wrong_rate"), 0) << "every rate switched in time";
        EXPECT_EQ(count_of(outcome, "probes"), 1);
    }
}

// An image of no block at all: the start packet, the closing progress line
// at once, and the return command.
TEST_F(DevsimTransfer, AnImageWithoutBlocks) {
    uint8_t bytes[IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE] = {};
    const auto put = [&](uint32_t at, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(IMAGE_LENGTH_AT, sizeof bytes);
    put(IMAGE_FORMAT_VERSION_AT, IMAGE_FORMAT);
    put(IMAGE_PRODUCT_CODE_AT, 59);
    put(IMAGE_HARDWARE_REVISION_AT, 1);
    put(IMAGE_FLASH_START_AT, 0x1000);
    put(IMAGE_FLASH_END_AT, 0x0FFF);
    const FirmwareImage empty = image_from_bytes(bytes);
    ASSERT_NO_FATAL_FAILURE(start_application({"--expect", "clean"}, 1));
    selected_image = &empty;
    std::string printed;
    EXPECT_EQ(update_capturing(folder_->path, &printed), TRANSFER_OK);
    EXPECT_EQ(printed, "\n\rUpdating firmware: 100% complete.\n");
    const DeviceOutcome outcome = stop();
    EXPECT_EQ(count_of(outcome, "start_packets"), 1);
    EXPECT_EQ(count_of(outcome, "block_packets"), 0);
    EXPECT_EQ(count_of(outcome, "return_commands"), 1);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.log;
}

TEST_F(DevsimTransfer, DeviceFaultsEndTheTransfer) {
    struct Case {
        std::vector<std::string> fault;
        const char* message;
        const char* refused;
        double returns;   // return commands the device saw
    };
    const Case cases[] = {
        {{"--on-start", "D"}, "\nError: FLASH firmware did not match update firmware.\n", "start packet: status 0x44", 0},
        {{"--on-block", "5:status:41"}, "\nError: Lost(2-05) communications with the bootloader", "block 5: status 0x41", 1},
        {{"--on-block", "2:nak"}, "\nError: Lost(2-01) communications with the bootloader", "block 2: NAK", 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--image", sample("snd44_rev1.img"), "--expect", "clean"};
        args.insert(args.end(), c.fault.begin(), c.fault.end());
        ASSERT_NO_FATAL_FAILURE(start_application(args, 1));
        std::string printed;
        EXPECT_EQ(update_capturing(folder_->path, &printed), TRANSFER_FAILED);
        EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
        EXPECT_EQ(link_state, LINK_NONE);
        const DeviceOutcome outcome = stop();
        EXPECT_EQ(report_text(outcome, "/image/verdict"), "incomplete") << outcome.report_text;
        EXPECT_EQ(report_text(outcome, "/image/refused"), c.refused);
        EXPECT_EQ(count_of(outcome, "return_commands"), c.returns);
        EXPECT_EQ(outcome.exit_status, 0) << outcome.log;
    }
}

}  // namespace
