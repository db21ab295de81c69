#include "serial/packet_link.h"

#include <cstring>

#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

// A babbling device must not keep a drain or a flush pass going for ever:
// no more than this many bytes are thrown away in one go.
constexpr int32_t DISCARD_MAX_BYTES = 4 * static_cast<int32_t>(PORT_QUEUE_BYTES);

int32_t write_byte(uint8_t byte) {
    return port_write(&port, &byte, 1) == 1 ? 0 : 1;
}

// The next byte that is not idle fill, each awaited with a fresh limit.
// false when none came, or when idle fill still comes BABBLE_LIMIT_MS after
// the wait began.
bool read_non_zero(uint8_t* byte, uint32_t limit) {
    const uint32_t start = timer_start();
    for (;;) {
        if (port_read_timed(&port, byte, 1, limit) != 1) return false;
        if (*byte != IDLE_FILL) return true;
        if (timer_expired(start, BABBLE_LIMIT_MS)) return false;
    }
}

// Reads and throws away what port_pending reports, up to `most` bytes.
// Ends early when a read brings nothing although bytes are reported, so a
// driver that miscounts cannot hold it. Returns the bytes thrown away.
int32_t discard_waiting(int32_t most) {
    int32_t discarded = 0;
    uint8_t scratch = 0;
    while (discarded < most && port_pending(&port) > 0) {
        if (port_read(&port, &scratch, 1) != 1) break;
        ++discarded;
    }
    return discarded;
}

}  // namespace

uint8_t packet_checksum(const uint8_t* data, uint8_t length) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

PacketSendResult packet_send(const uint8_t* data, uint8_t length, int32_t await_ack, uint32_t limit) {
    const uint8_t checksum = packet_checksum(data, length);
    const uint8_t length_byte = static_cast<uint8_t>(length + 2u);  // modulo 256 on purpose
    if (port_write(&port, &length_byte, 1) != 1) return SEND_LENGTH_NOT_WRITTEN;
    if (port_write(&port, &checksum, 1) != 1) return SEND_CHECKSUM_NOT_WRITTEN;
    // A packet without data writes nothing here, and port_write reports 0.
    if (port_write(&port, data, length) != length) return SEND_DATA_NOT_WRITTEN;
    trace_packet_sent(data, length, checksum);
    if (!await_ack) return SEND_OK;

    uint8_t answer = 0;
    if (!read_non_zero(&answer, limit)) {
        trace_answer(-1);
        return SEND_NO_ACK;
    }
    trace_answer(answer);
    return answer == PACKET_ACK ? SEND_OK : SEND_REFUSED;
}

PacketReceiveResult packet_receive(uint8_t* buffer, uint8_t* length, uint32_t limit) {
    uint8_t length_byte = 0;
    if (!read_non_zero(&length_byte, limit)) return RECEIVE_NO_LENGTH;
    uint8_t checksum = 0;
    if (port_read_timed(&port, &checksum, 1, limit) != 1) return RECEIVE_NO_CHECKSUM;

    const uint8_t capacity = *length;
    const uint8_t announced = static_cast<uint8_t>(length_byte - 2u);  // 1 announces 255
    // The whole data is read under one limit into room for the largest
    // packet; only what fits the caller's buffer is kept.
    uint8_t data[PACKET_DATA_MAX];
    if (port_read_timed(&port, data, announced, limit) != announced) {
        *length = 0;
        return RECEIVE_SHORT;
    }
    const uint8_t kept = announced < capacity ? announced : capacity;
    std::memcpy(buffer, data, kept);
    const bool checksum_good = packet_checksum(data, announced) == checksum;
    trace_packet_received(length_byte, checksum, data, announced, checksum_good ? 1 : 0);
    if (!checksum_good) {
        *length = 0;
        return packet_nak() == 0 ? RECEIVE_OK : RECEIVE_ANSWER_NOT_WRITTEN;
    }
    *length = kept;
    return packet_ack() == 0 ? RECEIVE_OK : RECEIVE_ANSWER_NOT_WRITTEN;
}

int32_t packet_ack() {
    return write_byte(PACKET_ACK);
}

int32_t packet_nak() {
    return write_byte(PACKET_NAK);
}

CommandResult bootloader_command(const uint8_t* data, uint8_t length, uint32_t limit) {
    if (packet_send(data, length, 1, limit) != SEND_OK) return COMMAND_NOT_ACCEPTED;
    uint8_t status = COMMAND_STATUS;
    trace_mark("status request");
    if (packet_send(&status, 1, 1, limit) != SEND_OK) return COMMAND_REQUEST_FAILED;
    uint8_t status_length = 1;
    if (packet_receive(&status, &status_length, limit) != RECEIVE_OK) return COMMAND_NO_STATUS;
    // Judged by the byte that came, whatever the checksum said: a reply
    // without data leaves "#" here and counts as an unexpected status.
    if (status == STATUS_FLASH_MISMATCH) return COMMAND_FLASH_MISMATCH;
    if (status == STATUS_ACCEPTED) return COMMAND_OK;
    return COMMAND_UNEXPECTED_STATUS;
}

void flush_bootloader() {
    trace_discard_begin("flush");
    for (uint32_t pass = 0; pass < FLUSH_ZERO_BYTES; ++pass) {
        // A zero byte that was not written changes nothing the bootloader sees
        // as a command; the probe that follows tells whether the line works.
        (void)write_byte(IDLE_FILL);
        (void)discard_waiting(DISCARD_MAX_BYTES);
    }
    trace_discard_end();
}

void drain_input() {
    trace_discard_begin("drain");
    (void)discard_waiting(DISCARD_MAX_BYTES);
    trace_discard_end();
}
