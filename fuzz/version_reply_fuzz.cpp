// The application's version reply: the parser on any text a device may send,
// and the line reader with the query on any byte stream.
//
// Input: one mode byte, then the device's bytes.
//   mode bit 0 set: the bytes, NUL-terminated, are one line for parse_version_reply.
//   mode bit 0 clear, bit 1 set: query_version reads them, listen-only or not (bit 2).
//   mode bits 0 and 1 clear: the next byte c sets a buffer of 2 + c % 99 bytes,
//     from the smallest line buffer to the query's own, and read_message_line
//     reads the rest into it.
//   mode bit 3 set: each device byte takes 10 ms, so a babble of a thousand
//     bytes outlasts BABBLE_LIMIT_MS.
#include <cstring>
#include <memory>

#include "byte_source_port.h"
#include "catalogue/product_table.h"
#include "fuzz_check.h"
#include "identify/version_query.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr size_t REPLY_NAME_ROOM = 32;  // a version reply fills at most 31 characters and a NUL
constexpr uint32_t PACED_BYTE_MS = 10;

bool name_terminated(const DeviceIdentity& identity, size_t room) {
    return std::memchr(identity.reported_name, '\0', room) != nullptr;
}

// On success the name to show is the device's own, or the product table's.
void check_display_name(const DeviceIdentity& identity) {
    if (identity.reported_name[0] != '\0') {
        FUZZ_CHECK(identity.display_name == identity.reported_name);
    } else {
        FUZZ_CHECK(identity.display_name ==
                   product_name(identity.product_code, identity.hardware_revision));
    }
}

void parse_one_line(const uint8_t* data, size_t size) {
    // Exactly the line and its NUL on the heap: a read past the NUL is caught.
    std::unique_ptr<char[]> line(new char[size + 1]);
    std::memcpy(line.get(), data, size);
    line[size] = '\0';

    DeviceIdentity identity{};
    identity.option_word = NO_OPTION_WORD;
    identity.display_name = "left over";
    DeviceIdentity before;
    std::memcpy(&before, &identity, sizeof identity);

    const int32_t result = parse_version_reply(&identity, line.get());
    FUZZ_CHECK(result >= VERSION_OK && result <= VERSION_BAD_END);
    if (std::strncmp(line.get(), "=V \"", 4) != 0) {
        FUZZ_CHECK(result == VERSION_NO_REPLY);
        FUZZ_CHECK(std::memcmp(&before, &identity, sizeof identity) == 0);  // not touched
        return;
    }
    FUZZ_CHECK(result != VERSION_NO_REPLY);
    FUZZ_CHECK(name_terminated(identity, REPLY_NAME_ROOM));
    if (result == VERSION_OK) check_display_name(identity);
    if (result != VERSION_OK) FUZZ_CHECK(identity.display_name == before.display_name);
}

void query(const uint8_t* data, size_t size, bool listen_only, uint32_t byte_ms) {
    byte_source_load(data, size, 0);
    byte_source_pace(byte_ms);
    DeviceIdentity identity{};
    identity.display_name = "left over";
    const int32_t result = query_version(&identity, listen_only ? 1 : 0);
    FUZZ_CHECK(result >= VERSION_OK && result <= VERSION_BAD_END);
    FUZZ_CHECK(name_terminated(identity, REPLY_NAME_ROOM));
    if (result == VERSION_OK) check_display_name(identity);
    // The query is "^V$" or, listening, nothing at all.
    if (listen_only) {
        FUZZ_CHECK(byte_source_written_count() == 0);
    } else {
        FUZZ_CHECK(byte_source_written_count() == 3);
        FUZZ_CHECK(byte_source_written_back(2) == '^' && byte_source_written_back(1) == 'V' &&
                   byte_source_written_back(0) == '$');
    }
}

void read_line(const uint8_t* data, size_t size, int32_t capacity, uint32_t byte_ms) {
    byte_source_load(data, size, 0);
    byte_source_pace(byte_ms);
    // Exactly `capacity` bytes on the heap: a store past them is caught.
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity)]);
    std::memset(buffer.get(), 0x7F, static_cast<size_t>(capacity));
    const uint32_t start = timer_start();
    const int32_t result = read_message_line(buffer.get(), capacity, start);
    FUZZ_CHECK(result == LINE_OK || result == LINE_TIMEOUT);
    if (result != LINE_OK) {
        // Only a silent device, or a "^" that restarts the line once the
        // bound has passed, ends a line read without a line.
        const size_t taken = size - byte_source_left();
        FUZZ_CHECK(byte_source_left() == 0 ||
                   (timer_expired(start, BABBLE_LIMIT_MS) && taken > 0 && data[taken - 1] == '^'));
        return;
    }
    // The line is what came after the last "^": no "^" is stored, and the
    // line ends in "$" unless it filled the buffer.
    const char* end = static_cast<const char*>(std::memchr(buffer.get(), '$', static_cast<size_t>(capacity)));
    const size_t stored = end != nullptr ? static_cast<size_t>(end - buffer.get()) + 1
                                         : static_cast<size_t>(capacity) - 1;
    FUZZ_CHECK(stored <= static_cast<size_t>(capacity) - 1);
    FUZZ_CHECK(buffer[stored] == '\0');
    FUZZ_CHECK(std::memchr(buffer.get(), '^', stored) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    (void)port_open(&port, 1, APPLICATION_BAUD);
    const uint32_t byte_ms = (mode & 8u) != 0 ? PACED_BYTE_MS : 0;
    if (mode & 1u) {
        parse_one_line(data, size);
    } else if (mode & 2u) {
        query(data, size, (mode & 4u) != 0, byte_ms);
    } else if (size > 0) {
        read_line(data + 1, size - 1, 2 + data[0] % (VERSION_LINE_CAPACITY - 1), byte_ms);
    }
    return 0;
}
