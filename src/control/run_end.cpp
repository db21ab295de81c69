// The ways a run ends: the exit path that waits for a key, and the closing
// line and exit status of an unattended run.
#include <cstdio>
#include <cstdlib>

#include "catalogue/update_decision.h"
#include "control/program.h"
#include "platform/console.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

// What each outcome of an unattended run means, for its closing line.
const char* outcome_text(RunOutcome outcome) {
    switch (outcome) {
        case OUTCOME_UPDATED: return "the device runs the update's version";
        case OUTCOME_USAGE: return "usage error";
        case OUTCOME_NO_DEVICE: return "no device found";
        case OUTCOME_NO_IMAGE: return "no image fits the device";
        case OUTCOME_OLDER: return "not updated: the image is older (--allow-older flashes it)";
        case OUTCOME_FAILED: return "the update failed; a new run completes it";
        case OUTCOME_NOT_VERIFIED: return "updated, but the device did not announce the update's version";
        case OUTCOME_BAD_IMAGE: return "the image file is missing, unreadable or invalid";
        case OUTCOME_IN_USE: return "the port is in use by another program";
        case OUTCOME_NOT_SIGNED: return "the image file is not signed by the maker";
    }
    return "";
}

// Whether the closing line for `outcome` names the device: only once one
// was identified, and not for the outcomes that come before any device.
bool names_device(RunOutcome outcome) {
    return batch.device_name[0] != '\0' && port_label[0] != '\0' && outcome != OUTCOME_NO_DEVICE &&
           outcome != OUTCOME_USAGE && outcome != OUTCOME_BAD_IMAGE && outcome != OUTCOME_NOT_SIGNED;
}

// "Result: SND44 on COM3, 2.58 -> 2.59: the device runs the update's
// version (exit status 0)." The device part only once one was identified.
void print_closing_line(RunOutcome outcome) {
    print_message("\nResult: ");
    if (names_device(outcome)) {
        char before[VERSION_TEXT_SIZE];
        version_text(batch.version_before, before, sizeof before);
        print_message("%s on %s, %s", batch.device_name, port_label, before);
        if (batch.transferred && device.version == 0) {
            print_message(" -> no version announced");
        } else if (batch.transferred) {
            char after[VERSION_TEXT_SIZE];
            version_text(device.version, after, sizeof after);
            print_message(" -> %s", after);
        }
        print_message(": ");
    }
    print_message("%s (exit status %d).\n", outcome_text(outcome), static_cast<int>(outcome));
}

// Digits of `number` at `text`; the end of them.
char* put_number(char* text, uint32_t number) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10u);
        number /= 10u;
    } while (number != 0);
    while (count > 0) *text++ = digits[--count];
    return text;
}

// `words` at `text`; the end of them.
char* put_words(char* text, const char* words) {
    while (*words != '\0') *text++ = *words++;
    return text;
}

// The closing line of a run ended by a signal, from inside its handler:
// no stdio, no formatting library, only the head kept ready and two numbers.
void interrupted(int32_t number) {
    trace_on_signal(number);
    if (!batch.active) return;
    char tail[96];
    char* at = put_words(tail, "interrupted by signal ");
    at = put_number(at, static_cast<uint32_t>(number));
    at = put_words(at, " (exit status ");
    at = put_number(at, 128u + static_cast<uint32_t>(number));  // as the shell reports a run a signal ended
    at = put_words(at, ").\n");
    *at = '\0';
    print_now(batch.closing_head);
    print_now(tail);
}

// The closing line's head as far as it is known, kept ready for a signal.
void closing_head_update() {
    if (!names_device(OUTCOME_FAILED)) {  // any outcome that names the device once there is one
        (void)std::snprintf(batch.closing_head, sizeof batch.closing_head, "\nResult: ");
        return;
    }
    char before[VERSION_TEXT_SIZE];
    version_text(batch.version_before, before, sizeof before);
    (void)std::snprintf(batch.closing_head, sizeof batch.closing_head, "\nResult: %s on %s, %s: ", batch.device_name,
                        port_label, before);
}

}  // namespace

void batch_note_device() {
    batch.version_before = device.version;
    const char* name = device.display_name != nullptr ? device.display_name : "";
    (void)std::snprintf(batch.device_name, sizeof batch.device_name, "%s", name);
    if (batch.active) closing_head_update();
}

void batch_closing_on_signal() {
    closing_head_update();
    console_on_ending_signal(interrupted);
}

void exit_path(int32_t status) {
    port_close(&port);  // harmless when the port is not open
    print_message("\nPress any key to exit...");
    // One whole key; at the end of key input none can come: end without waiting.
    (void)key_take();
    print_message("\n");
    std::exit(status);
}

namespace {

// The trace's last lines: the port's close and how the run ended. A trace
// that stopped early says so on the console, where the user sees it.
void trace_finish(RunOutcome outcome) {
    if (trace_path() == nullptr) return;
    port_close(&port);  // harmless when the port is not open
    char text[160];
    (void)std::snprintf(text, sizeof text, "%s (outcome %d)", outcome_text(outcome), static_cast<int>(outcome));
    trace_end(text);
    if (trace_stop_reason()[0] != '\0') {
        print_message("\nNote: the wire trace %s %s.", trace_path(), trace_stop_reason());
    }
}

}  // namespace

void program_end(RunOutcome outcome) {
    trace_finish(outcome);
    run_report_write(outcome, batch.active ? outcome : EXIT_STATUS);
    if (!batch.active) exit_path(EXIT_STATUS);
    port_close(&port);  // harmless when the port is not open
    print_closing_line(outcome);
    std::exit(outcome);
}
