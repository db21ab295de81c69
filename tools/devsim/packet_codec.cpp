#include "packet_codec.h"

uint8_t frame_checksum(const uint8_t* data, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<uint8_t>(sum);  // the sum wraps modulo 256
}

std::vector<uint8_t> packet_frame(const std::vector<uint8_t>& data, bool corrupt_checksum) {
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + 2);
    // Length and checksum are single bytes: both wrap modulo 256.
    frame.push_back(static_cast<uint8_t>((data.size() + 2) & 0xFFu));
    const uint8_t sum = frame_checksum(data.data(), data.size());
    frame.push_back(corrupt_checksum ? static_cast<uint8_t>(sum + 1) : sum);
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

ReadStep packet_reader_feed(PacketReader* reader, uint8_t byte) {
    switch (reader->state) {
        case ReaderState::length:
            if (byte == 0) return ReadStep::idle;
            // Length byte L announces L - 2 data bytes, modulo 256: 1 means 255.
            reader->expected = static_cast<uint8_t>(byte - 2);
            reader->data.clear();
            reader->state = ReaderState::checksum;
            return ReadStep::partial;
        case ReaderState::checksum:
            reader->checksum = byte;
            reader->state = ReaderState::data;
            break;
        case ReaderState::data:
            reader->data.push_back(byte);
            break;
    }
    if (reader->data.size() < static_cast<size_t>(reader->expected)) return ReadStep::partial;
    reader->state = ReaderState::length;
    return ReadStep::complete;
}

bool packet_reader_checksum_ok(const PacketReader& reader) {
    return frame_checksum(reader.data.data(), reader.data.size()) == reader.checksum;
}

void packet_reader_reset(PacketReader* reader) {
    reader->state = ReaderState::length;
    reader->data.clear();
    reader->expected = 0;
}

bool packet_reader_busy(const PacketReader& reader) {
    return reader.state != ReaderState::length;
}
