// The device application's own text lines, sent while the main loop runs:
// assembled one byte at a time and dispatched by their beginning. After an
// update they show the progress of the device's signal processor update and
// say when the device is ready.
#ifndef OFWU_MONITOR_MESSAGE_MONITOR_H
#define OFWU_MONITOR_MESSAGE_MONITOR_H

#include <cstdint>

// The device message line being assembled, without its leading "^". Once
// complete it holds the line's characters, "$" and a NUL; bytes past that
// keep older content. Never cleared.
constexpr int32_t LINE_BUFFER_SIZE = 256;
constexpr int32_t LINE_CHARACTERS_MAX = 254;  // then "$" and NUL fill the buffer exactly
extern char line_buffer[LINE_BUFFER_SIZE];
// Characters held, 0 to LINE_CHARACTERS_MAX; kept across calls and across a
// transfer, so a line cut off before one continues after it.
extern int32_t line_length;

enum DispatchResult : int32_t {
    DISPATCH_HANDLED = 0,    // a row matched and its handler ran
    DISPATCH_UNMATCHED = 1,  // no row matched; the line is dropped
};

// One row of the message table. A pattern is a length byte followed by that
// many characters, without a terminator.
struct MessageRow {
    const char* pattern;  // nullptr ends the table
    void (*handler)(const char* line);
};

extern const MessageRow message_table[];

// Takes one received byte, as a signed character, into the line buffer of
// the program-wide state. A "$" completes the line and dispatches it; a "^"
// throws away what was collected.
void feed_message_byte(int8_t byte);

// Runs the handler of the first row whose pattern begins `line` and is not
// followed by a letter, and hands it the line. `line` holds a complete,
// NUL-terminated line.
DispatchResult dispatch_message(const char* line);

// The handlers of the table; each works on the line it is given.
void ignore_message(const char* line);
// "!100,bank,step$" shows the progress line and restarts the watch timer;
// any other "!" line is shown as it came.
void handle_progress(const char* line);
// "=P": the device is ready.
void handle_ready(const char* line);

#endif
