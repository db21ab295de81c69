// The bootloader's packet frame, seen from the device: a length byte (data
// length + 2, modulo 256), an 8-bit sum of the data, then the data. Zero bytes
// where a length byte is expected are idle fill.
#ifndef OFWU_DEVSIM_PACKET_CODEC_H
#define OFWU_DEVSIM_PACKET_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t BOOT_ACK = 0xCC;
constexpr uint8_t BOOT_NAK = 0x33;
constexpr uint32_t BOOT_MAX_DATA = 255;   // a length byte of 1 announces this many

uint8_t frame_checksum(const uint8_t* data, size_t count);

// The bytes of one frame carrying `data`. With `corrupt_checksum` the
// checksum byte is off by one, for a device that garbles its reply.
std::vector<uint8_t> packet_frame(const std::vector<uint8_t>& data, bool corrupt_checksum = false);

enum class ReaderState { length, checksum, data };

// Assembles frames one byte at a time.
struct PacketReader {
    ReaderState state = ReaderState::length;
    uint8_t checksum = 0;
    uint32_t expected = 0;        // data bytes announced by the length byte
    std::vector<uint8_t> data;
};

enum class ReadStep {
    idle,       // a zero byte where a length byte belongs: skipped
    partial,    // the byte belongs to a frame that is not complete yet
    complete,   // a frame is complete; see packet_reader_checksum_ok
};

ReadStep packet_reader_feed(PacketReader* reader, uint8_t byte);
bool packet_reader_checksum_ok(const PacketReader& reader);
// Forgets a partial frame: the next byte is taken as a length byte.
void packet_reader_reset(PacketReader* reader);
bool packet_reader_busy(const PacketReader& reader);

#endif
