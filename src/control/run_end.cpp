// The ways a run ends: the exit path that waits for a key, and the closing
// line and exit status of an unattended run.
#include <cstdlib>

#include "catalogue/update_decision.h"
#include "control/program.h"
#include "platform/console.h"
#include "serial/serial_port.h"
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
    }
    return "";
}

// "Result: SND44 on COM3, 2.58 -> 2.59: the device runs the update's
// version (exit status 0)." The device part only once one was identified.
void print_closing_line(RunOutcome outcome) {
    print_message("\nResult: ");
    const bool identified = batch.device_name[0] != '\0' && port_label[0] != '\0' && outcome != OUTCOME_NO_DEVICE &&
                            outcome != OUTCOME_USAGE && outcome != OUTCOME_BAD_IMAGE;
    if (identified) {
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

}  // namespace

void exit_path(int32_t status) {
    port_close(&port);  // harmless when the port is not open
    print_message("\nPress any key to exit...");
    // One whole key; at the end of key input none can come: end without waiting.
    (void)key_take();
    print_message("\n");
    std::exit(status);
}

void program_end(RunOutcome outcome) {
    if (!batch.active) exit_path(EXIT_STATUS);
    port_close(&port);  // harmless when the port is not open
    print_closing_line(outcome);
    std::exit(outcome);
}
