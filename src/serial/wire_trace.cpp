#include "serial/wire_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"

namespace {

constexpr uint32_t LINE_MAX = 16u * 1024u;     // one line; longer byte runs are cut and counted
constexpr uint32_t REPEAT_MAX = 256;           // lines up to this long are merged when repeated
constexpr uint32_t DISCARD_KEPT = 4096;        // discarded bytes shown in a drain's or flush's line
constexpr uint32_t LABEL_SIZE = PORT_NAME_SIZE;

struct Discard {
    int32_t active;
    const char* kind;
    uint64_t start_us;
    uint32_t zeros_asked;
    uint32_t zeros_written;
    uint32_t discarded;
    uint8_t kept[DISCARD_KEPT];
};

struct Trace {
    int32_t active;
    int64_t file;
    const char* path;
    uint64_t start_us;
    uint64_t written;          // bytes the file has taken
    char label[LABEL_SIZE];    // the port, as a line names it
    char buffer[TRACE_BUFFER_SIZE];
    uint32_t used;
    uint32_t dropped;          // lines that found the buffer full since the last write
    uint64_t dropped_from_us;
    char line[LINE_MAX];       // the line being made
    uint32_t length;
    uint32_t body;             // where the line's text after its time begins
    char last[REPEAT_MAX];     // the last line's text after its time, for merging
    uint32_t last_length;
    uint32_t repeats;          // how often the last line came again since it was written
    uint64_t repeat_us;        // when it last came
    Discard discard;
    char stop[TRACE_STOP_TEXT_SIZE];
};

Trace trace;

uint64_t elapsed_us() {
    return timer_now_us() - trace.start_us;
}

void put(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Appends to the line being made, one short of its end at the most (room
// for its newline).
void put_list(const char* format, va_list arguments) {
    if (trace.length >= LINE_MAX) return;
    const int n = std::vsnprintf(trace.line + trace.length, LINE_MAX - trace.length, format, arguments);
    if (n > 0) trace.length += static_cast<uint32_t>(n);
    if (trace.length >= LINE_MAX) trace.length = LINE_MAX - 1;
}

void put(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    put_list(format, arguments);
    va_end(arguments);
}

void put_time(char* text, size_t size, uint64_t us) {
    (void)std::snprintf(text, size, "%llu.%llu", static_cast<unsigned long long>(us / 1000u),
                        static_cast<unsigned long long>(us % 1000u / 100u));
}

void begin(uint64_t at_us) {
    char time[32];
    put_time(time, sizeof time, at_us);
    trace.length = 0;
    put("%9s ", time);
    trace.body = trace.length;
    put("%s ", trace.label[0] != '\0' ? trace.label : "-");
}

// ": " and the bytes in hex, as many as a line holds; the rest counted.
void put_bytes(const uint8_t* data, uint32_t count) {
    if (count == 0) return;
    put(":");
    uint32_t shown = 0;
    for (; shown < count && trace.length + 8 < LINE_MAX; ++shown) put(" %02X", data[shown]);
    if (shown < count) put(" (and %u more)", count - shown);
}

void append(const char* text, uint32_t size) {
    if (trace.used + size > TRACE_BUFFER_SIZE) {
        if (trace.dropped++ == 0) trace.dropped_from_us = elapsed_us();
        return;
    }
    std::memcpy(trace.buffer + trace.used, text, size);
    trace.used += size;
}

// The "again" line of a repeated line, once it stops repeating.
void put_repeats() {
    if (trace.repeats == 0) return;
    char time[32];
    char text[LABEL_SIZE + 64];
    put_time(time, sizeof time, trace.repeat_us);
    const int n = std::snprintf(text, sizeof text, "%9s %s again %u\n", time,
                                trace.label[0] != '\0' ? trace.label : "-", trace.repeats);
    trace.repeats = 0;
    if (n > 0 && static_cast<size_t>(n) < sizeof text) append(text, static_cast<uint32_t>(n));
}

void end(uint64_t at_us) {
    const uint32_t body_length = trace.length - trace.body;
    if (trace.last_length != 0 && body_length == trace.last_length &&
        std::memcmp(trace.line + trace.body, trace.last, body_length) == 0) {
        ++trace.repeats;
        trace.repeat_us = at_us;
        return;
    }
    put_repeats();
    trace.last_length = 0;
    if (body_length < REPEAT_MAX) {
        std::memcpy(trace.last, trace.line + trace.body, body_length);
        trace.last_length = body_length;
    }
    trace.line[trace.length++] = '\n';  // room is kept: put stops one short
    append(trace.line, trace.length);
}

void stop_with(const char* reason) {
    (void)std::snprintf(trace.stop, sizeof trace.stop, "stopped at %.1f ms: %s",
                        static_cast<double>(elapsed_us()) / 1000.0, reason);
    trace.active = 0;
}

// Everything that waits goes to the file. A disk that is full ends the
// trace; the stop line is tried, as a few bytes may still go in.
void write_out() {
    if (!trace.active || trace.used == 0) return;
    put_repeats();
    const uint32_t size = trace.used;
    if (trace.written + size > TRACE_FILE_MAX) {
        stop_with("the trace reached its bound of 256 MiB");
    } else {
        const uint32_t went = file_write(trace.file, trace.buffer, size);
        trace.written += went;
        if (went != size) stop_with("the file could not be written (is the disk full?)");
    }
    trace.used = 0;
    trace.last_length = 0;  // a line after a write is never an "again"
    if (!trace.active) {
        char text[TRACE_STOP_TEXT_SIZE + 16];
        const int n = std::snprintf(text, sizeof text, "# trace %s\n", trace.stop);
        if (n > 0) (void)file_write(trace.file, text, static_cast<uint32_t>(n));
        return;
    }
    if (trace.dropped != 0) {
        begin(trace.dropped_from_us);
        put("dropped %u lines: the trace's buffer was full", trace.dropped);
        trace.dropped = 0;
        end(trace.dropped_from_us);
    }
}

void write_out_when_full() {
    if (trace.used >= TRACE_FLUSH_AT) write_out();
}

// A message line as text: printable ASCII as it came, the rest escaped.
void put_text(const uint8_t* text, uint32_t count) {
    put(" \"");
    for (uint32_t i = 0; i < count && trace.length + 8 < LINE_MAX; ++i) {
        const uint8_t c = text[i];
        if (c == '"' || c == '\\') put("\\%c", c);
        else if (c == '\r') put("\\r");
        else if (c == '\n') put("\\n");
        else if (c < ' ' || c >= 0x7F) put("\\x%02X", c);
        else put("%c", c);
    }
    put("\"");
}

const char* failure_name(int32_t failure) {
    switch (failure) {
        case PORT_FAILURE_PERMISSION: return "permission";
        case PORT_FAILURE_IN_USE: return "in use";
        default: return "other";
    }
}

}  // namespace

bool trace_open(const char* path) {
    trace.file = file_create(path);
    if (trace.file < 0) return false;
    trace.path = path;
    trace.active = 1;
    trace.start_us = timer_now_us();
    char started[32];
    clock_utc_text(started, sizeof started);
    const int n = std::snprintf(trace.buffer, sizeof trace.buffer,
                                "# ofwu %s wire trace, format %u\n"
                                "# started %s; ms since then, port, event; bytes in hex after \":\"\n",
                                OFWU_VERSION, TRACE_FORMAT, started);
    trace.used = n > 0 ? static_cast<uint32_t>(n) : 0;
    // A disk already full ends the trace at once; the run goes on.
    write_out();
    return true;
}

int32_t trace_active() {
    return trace.active;
}

void trace_port_open(const char* label, uint32_t baud, int32_t opened, int32_t failure) {
    if (!trace.active) return;
    // A name with spaces or odd characters stays one field.
    uint32_t at = 0;
    for (const char* c = label; *c != '\0' && at + 5 < sizeof trace.label; ++c) {
        const auto byte = static_cast<uint8_t>(*c);
        if (byte > ' ' && byte < 0x7F && byte != '\\') {
            trace.label[at++] = *c;
        } else {
            at += static_cast<uint32_t>(std::snprintf(trace.label + at, sizeof trace.label - at, "\\x%02X", byte));
        }
    }
    trace.label[at] = '\0';
    const uint64_t now = elapsed_us();
    begin(now);
    if (opened) put("open %u ok", baud);
    else put("open %u failed: %s", baud, failure_name(failure));
    end(now);
}

void trace_port_rate(uint32_t baud, int32_t changed) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("rate %u %s", baud, changed ? "ok" : "failed");
    end(now);
}

void trace_port_write(const uint8_t* data, int32_t count, int32_t written) {
    if (!trace.active) return;
    Discard* d = &trace.discard;
    if (d->active) {
        // A flush writes nothing but idle fill, one byte at a time.
        d->zeros_asked += static_cast<uint32_t>(count);
        d->zeros_written += static_cast<uint32_t>(written);
        return;
    }
    const uint64_t now = elapsed_us();
    begin(now);
    put("write %d/%d", written, count);
    put_bytes(data, static_cast<uint32_t>(written));
    end(now);
}

void trace_port_read(const uint8_t* data, int32_t count, int32_t got, uint64_t spent_us, int32_t still_open,
                     uint32_t limit_ms) {
    if (!trace.active) return;
    Discard* d = &trace.discard;
    if (d->active) {
        for (int32_t i = 0; i < got; ++i, ++d->discarded) {
            if (d->discarded < DISCARD_KEPT) d->kept[d->discarded] = data[i];
        }
        return;
    }
    const uint64_t now = elapsed_us();
    begin(now);
    put("read %d/%d", got, count);
    if (got > 0) {
        put_bytes(data, static_cast<uint32_t>(got));
    } else {
        // Within the one wait of a read: a hang-up or failure; the whole
        // wait: a time-out.
        const bool whole_wait = spent_us + 500u >= static_cast<uint64_t>(PORT_WAIT_MS) * 1000u;
        if (!still_open) put(" failed: the port is closed");
        else if (whole_wait) put(" time-out after %.1f ms (wait %u ms", static_cast<double>(spent_us) / 1000.0, PORT_WAIT_MS);
        else put(" hang-up (wait %u ms", PORT_WAIT_MS);
        if (still_open && limit_ms != 0) put(", limit %u ms)", limit_ms);
        else if (still_open) put(")");
    }
    end(now);
}

void trace_port_hang_up() {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("hang-up");
    end(now);
}

void trace_port_close(const uint8_t* waiting, int32_t count) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    if (count > 0) {
        put("close, %d waiting", count);
        put_bytes(waiting, static_cast<uint32_t>(count));
    } else {
        put("close");
    }
    end(now);
    write_out();
}

void trace_discard_begin(const char* kind) {
    if (!trace.active) return;
    Discard* d = &trace.discard;
    std::memset(d, 0, sizeof *d);
    d->active = 1;
    d->kind = kind;
    d->start_us = elapsed_us();
}

void trace_discard_end() {
    Discard* d = &trace.discard;
    if (!trace.active || !d->active) return;
    d->active = 0;
    begin(d->start_us);
    put("%s", d->kind);
    if (d->zeros_asked != 0) put(" zeros %u/%u", d->zeros_written, d->zeros_asked);
    put(" discarded %u in %.1f ms", d->discarded, static_cast<double>(elapsed_us() - d->start_us) / 1000.0);
    put_bytes(d->kept, d->discarded < DISCARD_KEPT ? d->discarded : DISCARD_KEPT);
    end(d->start_us);
}

void trace_packet_sent(const uint8_t* data, uint8_t length, uint8_t checksum) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("packet sent: length %u, checksum 0x%02X", static_cast<unsigned>(static_cast<uint8_t>(length + 2u)),
        static_cast<unsigned>(checksum));
    if (length > 0 && data[0] > ' ' && data[0] < 0x7F) put(", command '%c'", data[0]);
    end(now);
}

void trace_packet_received(uint8_t length_byte, uint8_t checksum, const uint8_t* data, uint8_t announced,
                           int32_t checksum_good) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("packet received: length %u, checksum 0x%02X %s, %u data bytes", length_byte, checksum,
        checksum_good ? "good" : "wrong", announced);
    if (announced == 1 && data[0] > ' ' && data[0] < 0x7F) put(", status '%c'", data[0]);
    end(now);
}

void trace_answer(int32_t byte) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    if (byte == PACKET_ACK) put("answer ACK");
    else if (byte == PACKET_NAK) put("answer NAK");
    else if (byte < 0) put("answer none");
    else put("answer 0x%02X: neither ACK nor NAK", static_cast<unsigned>(byte));
    end(now);
}

void trace_text(const char* line) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("text");
    put_text(reinterpret_cast<const uint8_t*>(line), static_cast<uint32_t>(std::strlen(line)));
    end(now);
}

void trace_sleep(uint32_t ms) {
    if (trace.active) {
        const uint64_t now = elapsed_us();
        begin(now);
        put("sleep %u", ms);
        end(now);
        if (ms > 1) write_out_when_full();
    }
    sleep_ms(ms);
}

void trace_step(const char* format, ...) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("step ");
    va_list arguments;
    va_start(arguments, format);
    put_list(format, arguments);
    va_end(arguments);
    end(now);
    write_out_when_full();
}

void trace_mark(const char* step) {
    if (!trace.active) return;
    const uint64_t now = elapsed_us();
    begin(now);
    put("step %s", step);
    end(now);
}

void trace_write_out() {
    write_out();
}

void trace_write_out_when_full() {
    write_out_when_full();
}

void trace_end(const char* outcome) {
    if (trace.path == nullptr || trace.file < 0) return;
    if (!trace.active) {  // stopped early: the file is only closed
        file_close(trace.file);
        trace.file = -1;
        return;
    }
    const uint64_t now = elapsed_us();
    trace.label[0] = '\0';
    begin(now);
    put("end %s", outcome);
    end(now);
    write_out();
    file_close(trace.file);
    trace.file = -1;
    trace.active = 0;
}

void trace_on_signal(int32_t number) {
    if (!trace.active) return;
    trace.active = 0;
    // Only async-signal-safe work: the waiting bytes as they are, then a
    // line made without the formatting library.
    if (trace.written + trace.used <= TRACE_FILE_MAX) (void)file_write(trace.file, trace.buffer, trace.used);
    char text[] = "# ended by signal 00\n";
    text[sizeof text - 4] = static_cast<char>('0' + number / 10 % 10);
    text[sizeof text - 3] = static_cast<char>('0' + number % 10);
    (void)file_write(trace.file, text, sizeof text - 1);
}

const char* trace_stop_reason() {
    return trace.stop;
}

const char* trace_path() {
    return trace.path;
}
