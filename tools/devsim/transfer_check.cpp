#include "transfer_check.h"

#include <cstdio>

namespace {

void put_be32(std::vector<uint8_t>* data, uint32_t offset, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) (*data)[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Describes the first difference between what came and what was expected.
std::string difference(const std::string& what, const std::vector<uint8_t>& got,
                       const std::vector<uint8_t>& wanted) {
    char text[160];
    if (got.size() != wanted.size()) {
        std::snprintf(text, sizeof text, "%s: %zu data bytes, expected %zu", what.c_str(), got.size(),
                      wanted.size());
        return text;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != wanted[i]) {
            std::snprintf(text, sizeof text, "%s: data byte %zu is 0x%02X, expected 0x%02X", what.c_str(), i,
                          got[i], wanted[i]);
            return text;
        }
    }
    return "";
}

void note_mismatch(TransferCheck* check, const std::string& found) {
    if (check->mismatch.empty()) check->mismatch = found;
}

}  // namespace

bool transfer_expect(TransferCheck* check, const std::vector<uint8_t>& image, std::string* error) {
    const ImageRule broken = image_first_broken_rule(image.data(), static_cast<uint32_t>(image.size()));
    if (broken != IMAGE_VALID) {
        *error = image_rule_text(broken);
        return false;
    }
    check->image = image;
    check->records = image_records(image);
    check->has_image = true;
    return true;
}

std::vector<uint8_t> transfer_start_packet(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> data(SIM_START_PACKET_SIZE, 0);
    data[0] = '!';
    // Memory range big-endian, unlike the image's own fields.
    put_be32(&data, 1, image_read_u32(image, IMAGE_FLASH_START_AT));
    put_be32(&data, 5, image_read_u32(image, IMAGE_FLASH_LENGTH_AT));
    for (uint32_t i = 0; i < START_BYTES_SIZE; ++i) data[9 + i] = image[IMAGE_START_BYTES_AT + i];
    return data;
}

std::vector<uint8_t> transfer_block_packet(const std::vector<uint8_t>& image, const ImageRecord& record,
                                           std::vector<uint8_t>* buffer) {
    const uint32_t length = record.length;
    (*buffer)[0] = '$';
    // Record bytes 2 to L - 2: the last byte of the body is not sent.
    for (uint32_t i = 1; i + 2 < length; ++i) (*buffer)[i] = image[record.offset + 1 + i];
    // L + 1 data bytes, taken modulo 256 as the one-byte length field does.
    const uint32_t count = (length + 1) & 0xFFu;
    return std::vector<uint8_t>(buffer->begin(), buffer->begin() + count);
}

void transfer_on_start(TransferCheck* check, const std::vector<uint8_t>& data) {
    check->attempts += 1;
    check->blocks = 0;
    check->returned = false;
    check->mismatch.clear();
    check->refused.clear();
    if (!check->has_image) return;
    const std::vector<uint8_t> wanted = transfer_start_packet(check->image);
    note_mismatch(check, difference("start packet", data, wanted));
    // The program builds the start packet in its buffer too.
    for (uint32_t i = 0; i < SIM_START_PACKET_SIZE; ++i) check->buffer[i] = wanted[i];
}

void transfer_on_block(TransferCheck* check, const std::vector<uint8_t>& data) {
    check->blocks += 1;
    if (!check->has_image) return;
    if (check->blocks > check->records.size()) {
        note_mismatch(check, "block " + std::to_string(check->blocks) + ": the image has only " +
                                 std::to_string(check->records.size()) + " records");
        return;
    }
    const ImageRecord& record = check->records[check->blocks - 1];
    const std::vector<uint8_t> wanted = transfer_block_packet(check->image, record, &check->buffer);
    note_mismatch(check, difference("block " + std::to_string(check->blocks), data, wanted));
}

void transfer_on_return(TransferCheck* check) {
    if (check->attempts > 0) check->returned = true;
}

void transfer_on_refused(TransferCheck* check, const std::string& what) {
    if (check->refused.empty()) check->refused = what;
}

std::string transfer_verdict(const TransferCheck& check) {
    if (check.attempts == 0) return "none";
    if (!check.has_image) return "unchecked";
    if (!check.mismatch.empty()) return "mismatch";
    const bool all_blocks = check.blocks == check.records.size();
    return (all_blocks && check.returned && check.refused.empty()) ? "complete" : "incomplete";
}
