// Program entry: banner, the port argument, the port scan, and the exit path.
#include <cstdlib>
#include <cstring>

#include "catalogue/firmware_image.h"
#include "control/program.h"
#include "identify/detect.h"
#include "platform/console.h"
#include "platform/number_text.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr uint32_t PORT_HINT_SIZE = 1024;  // one line of advice after "Could not open port."
constexpr char BANNER[] = "Ostrel firmware update utility. Version 2.08";
constexpr char NOTICE[] = "\nCopyright (C) Ostrel. For Ostrel devices only; keep the device powered during an update.\n";

void print_usage() {
    print_message("\nUse: OFWU [x]\n");
    print_message("\nWhere:");
    print_message("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    print_message("\n          otherwise searches COM1 - COM16.");
}

// After "Could not open port.", a line that says what the user can do about
// it, where the system can tell (Linux: no permission, or another program
// holds the port).
void print_open_hint(const PortCandidate* candidate) {
    char hint[PORT_HINT_SIZE];
    if (port_failure_hint(&port, candidate->device, hint, sizeof hint)) print_message("\n  %s", hint);
}

// Opens and identifies one port. true when a device that a built-in image
// fits answered: the port then stays open at the rate detection left it.
bool scan_port(const PortCandidate* candidate) {
    port_number = candidate->number;
    std::memcpy(port_label, candidate->label, sizeof port_label);
    print_message("\n%s: ", port_label);
    if (!port_open_candidate(&port, candidate, APPLICATION_BAUD)) {
        current_baud = 0;
        print_message("Could not open port.");
        print_open_hint(candidate);
        return false;
    }
    current_baud = APPLICATION_BAUD;
    drain_input();
    if (detect_device() != DETECT_OK) {
        print_message("No Ostrel devices detected.");
        port_close(&port);
        return false;
    }
    selected_image = find_image(device.product_code, device.hardware_revision);
    if (selected_image == nullptr) {
        print_message("A Ostrel device was found, but it does not match this firmware.");
        port_close(&port);
        return false;
    }
    // "firmwware" is the text users and their scripts know: kept as it is.
    print_message("A Ostrel device compatible with this firmwware was found.");
    return true;
}

// The ports the one argument names: a path (on Linux, an argument with a
// "/"), COM `x` for 1 to 99, or the scan for 0. A number past 99 or a path
// too long to open as given ends the program here.
uint32_t port_of_argument(const char* argument, PortCandidate* candidates) {
    if (port_argument_is_path(argument)) {
        if (port_candidate_path(argument, &candidates[0])) return 1;
        print_message("\nThe port name given is too long: at most %u characters.\n",
                      static_cast<unsigned>(PORT_NAME_SIZE - 1));
        exit_path(EXIT_STATUS);
    }
    // Read as the primary platform's strtoul reads it: text that is no number
    // is 0, and "-1" is 4294967295.
    const uint32_t requested = text_to_u32(argument, nullptr, 10);
    if (requested > PORT_NUMBER_MAX) {
        print_message("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                      requested);
        exit_path(EXIT_STATUS);
    }
    if (requested == 0) return port_scan_list(candidates, SCAN_PORTS_MAX);
    // COM99 always fits the device name.
    (void)port_candidate_number(requested, &candidates[0]);
    return 1;
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

void program_main(int argc, char** argv) {
    print_message("\n");
    print_message("%s", BANNER);
    print_message("%s", NOTICE);
    if (argc > 2) {
        print_usage();
        exit_path(EXIT_STATUS);
    }
    PortCandidate candidates[SCAN_PORTS_MAX];
    const uint32_t count = argc == 2 ? port_of_argument(argv[1], candidates) : port_scan_list(candidates, SCAN_PORTS_MAX);
    if (count == 0) print_message("\nNo serial port was found on this machine.");
    for (uint32_t i = 0; i < count; ++i) {
        if (scan_port(&candidates[i])) {
            print_message("\n");
            run_main_loop();
        }
    }
    print_message("\n\nNo updatable Ostrel devices found.\n");
    exit_path(EXIT_STATUS);
}
