#include "monitor/message_monitor.h"

#include "platform/console.h"
#include "platform/number_text.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

char line_buffer[LINE_BUFFER_SIZE];
int32_t line_length;

namespace {

constexpr int32_t PROGRESS_FIELD = 100;  // first number of a processor-update progress line
constexpr int32_t PROGRESS_STEPS = 6;    // steps 0 to 5 of one bank

// Patterns: length byte, then the characters.
constexpr char PATTERN_SZ[] = {3, '=', 'S', 'Z'};
constexpr char PATTERN_PROGRESS[] = {1, '!'};
constexpr char PATTERN_READY[] = {2, '=', 'P'};
constexpr char PATTERN_VERSION[] = {2, '=', 'V'};

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// True when `line` begins with the pattern and no letter follows it, so that
// "=P" does not take "=PX", a message of another kind. The line is
// NUL-terminated and no pattern holds a NUL, so a short line stops the
// comparison before its end is passed.
bool pattern_matches(const char* pattern, const char* line) {
    const int32_t length = static_cast<unsigned char>(pattern[0]);
    for (int32_t i = 0; i < length; ++i) {
        if (line[i] != pattern[1 + i]) return false;
    }
    return !is_letter(line[length]);
}

}  // namespace

// Tried in order; the first match wins.
const MessageRow message_table[] = {
    // pattern          handler
    {PATTERN_SZ,        ignore_message},
    {PATTERN_PROGRESS,  handle_progress},
    {PATTERN_READY,     handle_ready},
    {PATTERN_VERSION,   ignore_message},   // a version line that no query asked for
    {nullptr,           nullptr},          // end of the table
};

void feed_message_byte(int8_t byte) {
    // Device lines are printable ASCII: control bytes, and every byte from
    // 0x80 up (negative as a signed character), are line noise.
    if (byte <= 0x1F) return;
    if (byte == '^') {
        line_length = 0;  // a new line starts; what came before it is noise
        return;
    }
    line_buffer[line_length] = static_cast<char>(byte);
    if (byte == '$') {
        ++line_length;
        line_buffer[line_length] = '\0';
        trace_text(line_buffer);
        // A line that no row knows is dropped without a word.
        (void)dispatch_message(line_buffer);
        line_length = 0;
        return;
    }
    // Past LINE_CHARACTERS_MAX each character overwrites the last one, so
    // "$" and NUL still fit; the rest of an overlong line is lost on purpose.
    if (line_length < LINE_CHARACTERS_MAX) ++line_length;
}

DispatchResult dispatch_message(const char* line) {
    for (const MessageRow* row = message_table; row->pattern != nullptr; ++row) {
        if (pattern_matches(row->pattern, line)) {
            row->handler(line);
            return DISPATCH_HANDLED;
        }
    }
    return DISPATCH_UNMATCHED;
}

void ignore_message(const char* line) {
    (void)line;  // the line is consumed and nothing else happens
}

void handle_ready(const char* line) {
    (void)line;  // "=P" carries nothing more
    ready = 1;
}

void handle_progress(const char* line) {
    const char* cursor = line + 1;  // after the "!"
    const int32_t field = text_to_i32(cursor, &cursor);
    if (field != PROGRESS_FIELD) {
        // Another kind of "!" message: shown as the device sent it. It is
        // data, never a format.
        print_text(line);
        return;
    }
    cursor = text_pass_one(cursor);
    const int32_t bank = text_to_i32(cursor, &cursor);
    cursor = text_pass_one(cursor);
    const int32_t step = text_to_i32(cursor, &cursor);

    // The product wraps at 32 bits, as the device's own numbers do; unsigned
    // arithmetic wraps without undefined behaviour, and the quotient is then
    // taken on the signed value, truncated toward zero.
    const uint32_t scaled = (static_cast<uint32_t>(step) + 1u) * 100u;
    const int32_t percent = static_cast<int32_t>(scaled) / PROGRESS_STEPS;
    if (batch.progress_lines) {
        // A log takes whole lines, as the transfer's progress.
        print_message("Updating DSPs: Bank = %u, Complete = %3u%%\n", static_cast<uint32_t>(bank),
                      static_cast<uint32_t>(percent));
    } else {
        if (step == 0) print_message("\n");  // each bank's progress starts on a fresh line
        print_message("\rUpdating DSPs: Bank = %u, Complete = %3u%%", static_cast<uint32_t>(bank),
                      static_cast<uint32_t>(percent));
    }
    watch_timer = timer_start();  // the device is alive: its 30 s of silence start again
}
