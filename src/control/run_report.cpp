// --report FILE: one JSON object per run appended to FILE (JSON Lines), so
// that a station's runs, many at once among them, can be gathered and read
// by any tool. The line is made in a fixed buffer and goes in with one
// write on a descriptor opened for appending: parallel runs sharing the
// file never interleave.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "catalogue/firmware_image.h"
#include "catalogue/update_decision.h"
#include "control/program.h"
#include "platform/file.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

constexpr uint32_t REPORT_LINE_SIZE = 16384;  // every field at its longest fits, escaped
constexpr int64_t NO_REPORT = -1;

int64_t report_file = NO_REPORT;
const char* image_source = "built-in";  // the --image file's name, when one was given
bool image_given = false;

const char* outcome_name(RunOutcome outcome) {
    switch (outcome) {
        case OUTCOME_UPDATED: return "updated";
        case OUTCOME_USAGE: return "usage_error";
        case OUTCOME_NO_DEVICE: return "no_device";
        case OUTCOME_NO_IMAGE: return "no_image";
        case OUTCOME_OLDER: return "older";
        case OUTCOME_FAILED: return "failed";
        case OUTCOME_NOT_VERIFIED: return "not_verified";
        case OUTCOME_BAD_IMAGE: return "bad_image";
        case OUTCOME_IN_USE: return "port_in_use";
        case OUTCOME_NOT_SIGNED: return "not_signed";
    }
    return "";
}

// Appends to the line at `*at` without passing `end`.
void put(char** at, const char* end, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void put(char** at, const char* end, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(*at, static_cast<size_t>(end - *at), format, args);
    va_end(args);
    if (n > 0) *at += n < end - *at ? n : end - *at - 1;
}

// "name": "text" with the text as a JSON string: quotes and backslashes
// escaped, control characters as \u00XX, and bytes past ASCII (a device's
// name need not be UTF-8) as "?", so that the line is always valid JSON.
void put_string(char** at, const char* end, const char* name, const char* text) {
    put(at, end, "\"%s\":\"", name);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') put(at, end, "\\%c", *c);
        else if (*c < 0x20) put(at, end, "\\u%04x", *c);
        else if (*c >= 0x7F) put(at, end, "?");
        else put(at, end, "%c", *c);
    }
    put(at, end, "\",");
}

// What vouches for the image: "built-in", "key:<id>" of the key that signed
// the --image file, "unsigned" (--allow-unsigned), or nothing while the
// file has not been vouched for (it was refused).
void put_image_signature(char** at, const char* end) {
    if (!image_given) return put_string(at, end, "image_signature", "built-in");
    if (image_trust.trust == IMAGE_TRUST_UNSIGNED) return put_string(at, end, "image_signature", "unsigned");
    if (image_trust.trust != IMAGE_TRUST_KEY) return put_string(at, end, "image_signature", "");
    char text[KEY_ID_TEXT_SIZE + 4];
    (void)std::snprintf(text, sizeof text, "key:%s", image_trust.key_id);  // always fits
    put_string(at, end, "image_signature", text);
}

}  // namespace

bool run_report_open(const char* path, const char* image_path) {
    if (image_path != nullptr) image_source = image_path;
    image_given = image_path != nullptr;
    report_file = file_append_open(path);
    return report_file != NO_REPORT;
}

void run_report_write(RunOutcome outcome, int32_t exit_status) {
    if (report_file == NO_REPORT) return;
    char line[REPORT_LINE_SIZE];
    char* at = line;
    const char* end = line + sizeof line - 2;  // room for "}\n"
    char text[64];
    clock_utc_text(text, sizeof text);
    put(&at, end, "{");
    put_string(&at, end, "time", text);
    machine_name(text, sizeof text);
    put_string(&at, end, "host", text);
    put_string(&at, end, "program_version", OFWU_VERSION);
    put_string(&at, end, "port", port_label);
    const bool identified = batch.device_name[0] != '\0';
    put(&at, end, "\"product_code\":%d,", identified ? static_cast<int>(device.product_code) : 0);
    put_string(&at, end, "product_name", batch.device_name);
    put(&at, end, "\"hardware_revision\":%d,", identified ? static_cast<int>(device.hardware_revision) : 0);
    version_text(batch.version_before, text, sizeof text);
    put_string(&at, end, "version_before", identified ? text : "");
    if (selected_image != nullptr) {
        version_text(selected_image->version, text, sizeof text);
        put_string(&at, end, "image_version", text);
        const uint32_t crc = image_u32(selected_image->bytes, selected_image->image_length - IMAGE_TRAILER_SIZE);
        (void)std::snprintf(text, sizeof text, "0x%08" PRIX32, crc);
        put_string(&at, end, "image_crc32", text);
    } else {
        put_string(&at, end, "image_version", "");
        put_string(&at, end, "image_crc32", "");
    }
    put_string(&at, end, "image_source", image_source);
    put_image_signature(&at, end);
    if (batch.transferred && device.version != 0) {
        version_text(device.version, text, sizeof text);
        put_string(&at, end, "version_announced", text);
    } else {
        put_string(&at, end, "version_announced", "");
    }
    put_string(&at, end, "outcome", outcome_name(outcome));
    put(&at, end, "\"exit_status\":%d,", static_cast<int>(exit_status));
    put(&at, end, "\"duration_ms\":%" PRIu32 ",", timer_start() - batch.start_ticks);
    put(&at, end, "\"attempts\":%" PRIu32 ",", batch.attempts);
    put_string(&at, end, "last_error", batch.last_error);
    put_string(&at, end, "trace", trace_path() != nullptr ? trace_path() : "");
    put_string(&at, end, "trace_stopped", trace_stop_reason());
    at[-1] = '}';  // in place of the last field's comma
    *at++ = '\n';
    // A report that cannot be written changes nothing of the run's outcome.
    (void)file_append_write(report_file, line, static_cast<uint32_t>(at - line));
    report_file = NO_REPORT;
}
