// The bootloader's packet link: framed, checksummed packets answered by one
// acknowledge byte, the command exchange (command, status request, status
// reply), the zero-byte flush before a probe, and the input drain.
//
// A packet on the wire: length byte (data length + 2, modulo 256), checksum
// byte (8-bit sum of the data), data. No markers, no escaping. A zero byte
// where a length byte or an acknowledge is awaited is idle fill.
#ifndef OFWU_SERIAL_PACKET_LINK_H
#define OFWU_SERIAL_PACKET_LINK_H

#include <cstdint>

constexpr uint8_t PACKET_ACK = 0xCC;   // packet complete, checksum matched
constexpr uint8_t PACKET_NAK = 0x33;   // packet complete, checksum wrong
constexpr uint8_t IDLE_FILL = 0x00;

// Command letters: the first data byte of every packet the program sends.
constexpr uint8_t COMMAND_STATUS = '#';  // status request
constexpr uint8_t COMMAND_PROBE = '&';   // bootloader probe
constexpr uint8_t COMMAND_START = '!';   // start packet of an update
constexpr uint8_t COMMAND_BLOCK = '$';   // image block
constexpr uint8_t COMMAND_RETURN = '%';  // return to the application

// Status letters: the one data byte of the status reply.
constexpr uint8_t STATUS_ACCEPTED = '@';
constexpr uint8_t STATUS_FLASH_MISMATCH = 'D';

constexpr uint32_t PACKET_DATA_MAX = 255;       // what a length byte can announce
constexpr uint32_t FLUSH_ZERO_BYTES = 256;      // idle bytes sent before every probe

enum PacketSendResult : int32_t {
    SEND_OK = 0,
    SEND_LENGTH_NOT_WRITTEN = 1,
    SEND_CHECKSUM_NOT_WRITTEN = 2,
    SEND_DATA_NOT_WRITTEN = 3,
    SEND_NO_ACK = 4,        // nothing within the limit, or idle fill for BABBLE_LIMIT_MS
    SEND_REFUSED = 5,       // NAK or any other non-zero byte
};

enum PacketReceiveResult : int32_t {
    RECEIVE_OK = 0,                  // answered with ACK (length = data) or NAK (length 0)
    RECEIVE_ANSWER_NOT_WRITTEN = 1,  // as 0, but the ACK or NAK could not be written
    RECEIVE_NO_LENGTH = 6,
    RECEIVE_NO_CHECKSUM = 7,
    RECEIVE_SHORT = 8,               // fewer data bytes came than announced; not answered
};

enum CommandResult : int32_t {
    COMMAND_OK = 0,                // status "@"
    COMMAND_NOT_ACCEPTED = 1,      // the command packet failed
    COMMAND_REQUEST_FAILED = 2,    // the status request failed
    COMMAND_NO_STATUS = 3,         // the status reply was not received
    COMMAND_FLASH_MISMATCH = 4,    // status "D"
    COMMAND_UNEXPECTED_STATUS = 5, // any other status byte
};

// The 8-bit sum of the data.
uint8_t packet_checksum(const uint8_t* data, uint8_t length);

// Sends one packet as three writes (length, checksum, data) and, when
// await_ack is non-zero, waits for the acknowledge: a fresh `limit` for each
// byte awaited, idle fill skipped for up to BABBLE_LIMIT_MS (serial_port.h).
// Never sends the packet again.
PacketSendResult packet_send(const uint8_t* data, uint8_t length, int32_t await_ack, uint32_t limit);

// Receives one packet into `buffer`; *length is its capacity on entry and the
// data length on return. Announced bytes beyond the capacity are read and
// dropped, so the exchange stays in step and nothing is stored past the
// capacity.
PacketReceiveResult packet_receive(uint8_t* buffer, uint8_t* length, uint32_t limit);

// Write the one acknowledge byte: 0 when written, 1 when not.
int32_t packet_ack();
int32_t packet_nak();

// Command packet, status request "#", status reply.
CommandResult bootloader_command(const uint8_t* data, uint8_t length, uint32_t limit);

// 256 times: write one zero byte and throw away whatever is waiting.
void flush_bootloader();

// Throws away every byte waiting in the port's input queue.
void drain_input();

#endif
