// The firmware transfer: moves the device into its bootloader, announces the
// selected image with the start packet, sends every block record in a packet
// of its own with a progress line, and returns the device to its application.
#ifndef OFWU_TRANSFER_FIRMWARE_TRANSFER_H
#define OFWU_TRANSFER_FIRMWARE_TRANSFER_H

#include <cstdint>

constexpr uint32_t COMMAND_LIMIT_MS = 2000;         // every read of a start or block exchange
constexpr uint32_t RETURN_LIMIT_MS = 500;           // passed with the return command; no answer is awaited
constexpr uint32_t BOOTLOADER_START_WAIT_MS = 1000; // the device switches to its bootloader within this
constexpr uint32_t RETURN_SETTLE_MS = 10;           // after the return command, before the rate change
constexpr uint32_t ENTRY_ATTEMPTS = 3;              // flush-and-probe attempts after the entry string
constexpr uint32_t START_PACKET_SIZE = 16;

// Every packet of the firmware transfer is built here, for the program's
// whole run. Never cleared: bytes a packet does not overwrite keep what an
// earlier packet left, and a block packet sends three of them (the device
// checks those bytes, so they are part of what goes on the wire).
constexpr uint32_t PACKET_BUFFER_SIZE = 256;
extern uint8_t packet_buffer[PACKET_BUFFER_SIZE];

enum TransferResult : int32_t {
    TRANSFER_OK = 0,      // every packet accepted, the return command sent
    TRANSFER_FAILED = 1,  // its message has been printed
};

// Installs the selected image into the device on the program's port.
TransferResult update_firmware();

// When the bootloader is on the line: the return command, the rate back to
// 19200, and the version line that the restarted application announces.
void leave_bootloader();

#endif
