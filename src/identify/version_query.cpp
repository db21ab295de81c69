#include "identify/version_query.h"

#include <cstring>

#include "catalogue/product_table.h"
#include "platform/number_text.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

constexpr char REPLY_PREFIX[] = "=V \"";
constexpr uint32_t REPLY_NAME_MAX = 31;  // a version reply fills at most this much of reported_name

// Reads the identity tail ",code?revision?option" that follows a "," cursor.
const char* read_identity_tail(DeviceIdentity* identity, const char* cursor) {
    cursor = text_pass_one(cursor);
    // The 16-bit fields keep the low 16 bits of what the device wrote.
    identity->product_code = static_cast<uint16_t>(text_to_u32(cursor, &cursor, 10));
    cursor = text_pass_one(cursor);
    identity->hardware_revision = static_cast<uint16_t>(text_to_u32(cursor, &cursor, 10));
    cursor = text_pass_one(cursor);
    identity->option_word = text_to_u32(cursor, &cursor, 16);
    return cursor;
}

// Reads "major?minor[.sub][letter]" into identity->version. The parts are
// added, not OR-ed, so a minor of 256 or more carries into the major's byte.
const char* read_version(DeviceIdentity* identity, const char* cursor) {
    const uint32_t major = text_to_u32(cursor, &cursor, 10);
    identity->version = major << 24;
    cursor = text_pass_one(cursor);
    identity->version += text_to_u32(cursor, &cursor, 10) << 16;
    if (*cursor == '.') {
        cursor = text_pass_one(cursor);
        identity->version += text_to_u32(cursor, &cursor, 10) << 8;
    }
    if (*cursor >= 'a' && *cursor <= 'z') {
        identity->version += static_cast<uint32_t>(*cursor - 'a' + 1);
        cursor = text_pass_one(cursor);
    }
    return cursor;
}

}  // namespace

LineResult read_message_line(char* buffer, int32_t capacity, uint32_t start) {
    int32_t count = 0;
    for (;;) {
        uint8_t byte = 0;
        if (port_read_timed(&port, &byte, 1, LINE_BYTE_LIMIT_MS) != 1) return LINE_TIMEOUT;
        if (byte == '^') {
            // A new line starts; what came before it is noise. Every other
            // byte brings the line nearer its end, so only a restart can
            // keep the read going.
            if (timer_expired(start, BABBLE_LIMIT_MS)) return LINE_TIMEOUT;
            count = 0;
        } else {
            buffer[count++] = static_cast<char>(byte);
        }
        if (byte == '$' || count >= capacity - 1) break;
    }
    buffer[count] = '\0';
    trace_text(buffer);
    return LINE_OK;
}

void identity_choose_display_name(DeviceIdentity* identity) {
    // The name is the device's to choose and the user's terminal shows it:
    // a control character (an escape sequence's start among them) is shown
    // as "?" instead of being obeyed.
    for (char& c : identity->reported_name) {
        if (c == '\0') break;
        if ((c > 0 && c < ' ') || c == 0x7F) c = '?';
    }
    identity->display_name = identity->reported_name[0] != '\0'
                                 ? identity->reported_name
                                 : product_name(identity->product_code, identity->hardware_revision);
}

VersionResult parse_version_reply(DeviceIdentity* identity, const char* line) {
    if (std::strncmp(line, REPLY_PREFIX, sizeof REPLY_PREFIX - 1) != 0) return VERSION_NO_REPLY;
    const char* cursor = line + (sizeof REPLY_PREFIX - 1);

    uint32_t copied = 0;
    // The prefix matched, so the line holds at least its four characters and
    // a NUL after them; the analyzer does not see that through strncmp.
    // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
    while (*cursor != '"' && *cursor != '\0' && copied < REPLY_NAME_MAX) {
        identity->reported_name[copied++] = *cursor++;
    }
    identity->reported_name[copied] = '\0';
    if (*cursor != '"') return VERSION_BAD_NAME;
    cursor = text_pass_one(text_pass_one(cursor));  // the closing quote and one separator

    cursor = read_version(identity, cursor);
    if (*cursor == '(') {  // a remark such as "(Beta)", up to and including ")"
        while (*cursor != ')' && *cursor != '\0') cursor = text_pass_one(cursor);
        cursor = text_pass_one(cursor);
    }
    if (*cursor == ',') {
        cursor = read_identity_tail(identity, cursor);
    } else {
        identity->product_code = DEFAULT_PRODUCT_CODE;
        identity->hardware_revision = DEFAULT_HARDWARE_REVISION;
        identity->option_word = NO_OPTION_WORD;
    }
    if (*cursor != '$') return VERSION_BAD_END;
    identity_choose_display_name(identity);
    return VERSION_OK;
}

VersionResult query_version(DeviceIdentity* identity, int32_t listen_only) {
    trace_step(listen_only ? "version announcement" : "query");
    if (!listen_only) {
        static const uint8_t QUERY[] = {'^', 'V', '$'};
        // A write that failed shows up as the time-out of the line read below.
        (void)port_write(&port, QUERY, sizeof QUERY);
    }
    identity->product_code = 0;
    identity->hardware_revision = 0;
    identity->version = 0;
    identity->option_word = NO_OPTION_WORD;
    identity->reported_name[0] = '\0';

    // One bound for the whole wait: empty lines and restarted lines
    // together are served no longer than BABBLE_LIMIT_MS.
    const uint32_t start = timer_start();
    char line[VERSION_LINE_CAPACITY];
    for (;;) {
        if (read_message_line(line, VERSION_LINE_CAPACITY, start) != LINE_OK) return VERSION_NO_REPLY;
        // The application may send empty messages and "+" acknowledgements first.
        if (std::strcmp(line, "$") != 0 && std::strcmp(line, "+$") != 0) return parse_version_reply(identity, line);
        if (timer_expired(start, BABBLE_LIMIT_MS)) return VERSION_NO_REPLY;
    }
}
