// Program entry: banner, the port argument, the port scan, and the exit path.
#include <cstdlib>

#include "catalogue/firmware_image.h"
#include "control/program.h"
#include "identify/detect.h"
#include "platform/console.h"
#include "platform/number_text.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

constexpr char BANNER[] = "Ostrel firmware update utility. Version 2.08";
constexpr char NOTICE[] = "\nCopyright (C) Ostrel. For Ostrel devices only; keep the device powered during an update.\n";

void print_usage() {
    print_message("\nUse: OFWU [x]\n");
    print_message("\nWhere:");
    print_message("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    print_message("\n          otherwise searches COM1 - COM16.");
}

// Opens and identifies one port. true when a device that a built-in image
// fits answered: the port then stays open at the rate detection left it.
bool scan_port(uint32_t number) {
    port_number = number;
    print_message("\nCOM%u: ", number);
    if (!port_open(&port, number, APPLICATION_BAUD)) {
        current_baud = 0;
        print_message("Could not open port.");
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

}  // namespace

void exit_path(int32_t status) {
    port_close(&port);  // harmless when the port is not open
    print_message("\nPress any key to exit...");
    // A key whose first code is 0 (a function or arrow key) has a second code.
    // At the end of key input no key can come: end without waiting.
    if (key_read() == 0) (void)key_read();
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
    // Read as the primary platform's strtoul reads it: text that is no number
    // is 0, and "-1" is 4294967295.
    const uint32_t requested = argc == 2 ? text_to_u32(argv[1], nullptr, 10) : 0;
    if (requested > PORT_NUMBER_MAX) {
        print_message("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                      requested);
        exit_path(EXIT_STATUS);
    }
    const uint32_t first = requested != 0 ? requested : SCAN_FIRST_PORT;
    const uint32_t last = requested != 0 ? requested : SCAN_LAST_PORT;
    for (uint32_t number = first; number <= last; ++number) {
        if (scan_port(number)) {
            print_message("\n");
            run_main_loop();
        }
    }
    print_message("\n\nNo updatable Ostrel devices found.\n");
    exit_path(EXIT_STATUS);
}
