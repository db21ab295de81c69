// What the device makes of a firmware transfer: it rebuilds, from the image it
// expects, every packet the program must send, and compares.
//
// The program builds each packet in one buffer that it never clears, and a
// block packet for a record of length L carries L + 1 data bytes: "$", record
// bytes 2 to L - 2, then three bytes the packet itself does not write. The
// check keeps its own copy of that buffer, so those three bytes are expected
// to be whatever earlier packets left there.
#ifndef OFWU_DEVSIM_TRANSFER_CHECK_H
#define OFWU_DEVSIM_TRANSFER_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "image_format.h"

constexpr uint32_t SIM_START_PACKET_SIZE = 16;
constexpr uint32_t SIM_PACKET_BUFFER_SIZE = 256;

struct TransferCheck {
    bool has_image = false;
    std::vector<uint8_t> image;
    std::vector<ImageRecord> records;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(SIM_PACKET_BUFFER_SIZE, 0);
    uint32_t attempts = 0;          // start packets received
    uint32_t blocks = 0;            // block packets of the present attempt
    bool returned = false;          // the return command came after the last block
    std::string mismatch;           // the first difference of the present attempt
    std::string refused;            // the device refused a packet of this attempt
};

// Takes the image to expect. False with a reason when it is no valid image.
bool transfer_expect(TransferCheck* check, const std::vector<uint8_t>& image, std::string* error);

// The expected data of the start packet and of the block packet for record
// `index` (0-based), given the buffer as the packets before it left it.
std::vector<uint8_t> transfer_start_packet(const std::vector<uint8_t>& image);
std::vector<uint8_t> transfer_block_packet(const std::vector<uint8_t>& image, const ImageRecord& record,
                                           std::vector<uint8_t>* buffer);

void transfer_on_start(TransferCheck* check, const std::vector<uint8_t>& data);
void transfer_on_block(TransferCheck* check, const std::vector<uint8_t>& data);
void transfer_on_return(TransferCheck* check);
void transfer_on_refused(TransferCheck* check, const std::string& what);

// "none" (no start packet), "complete", "incomplete", "mismatch", or
// "unchecked" when no image was given.
std::string transfer_verdict(const TransferCheck& check);

#endif
