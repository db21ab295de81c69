// A stand-in for the program in the harness's own tests: asks the device on
// one COM port for its version with the project's port code, prints what it
// heard, and ends like the program, after a key, with status 1.
#include <cstdlib>

#include "control/program_state.h"
#include "identify/version_query.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    const uint32_t number = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1u;
    print_message("\nCOM%u: ", number);
    if (port_open(&port, number, 19200) == 0) {
        print_message("Could not open port.");
    } else {
        const int32_t result = query_version(&device, 0);
        print_message("result %d, product %u, revision %u, version %08X, name \"%s\"", result,
                      device.product_code, device.hardware_revision, device.version, device.reported_name);
    }
    port_close(&port);
    print_message("\nPress any key to exit...");
    const int32_t key = key_read();
    print_message("\nkey %d\n", key);
    return 1;
}
