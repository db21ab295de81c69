// Program entry. The port scan and the update follow in later work; for now
// the program prints its banner and ends as every run of it will: after a key.
#include "control/program_state.h"
#include "platform/console.h"

int main() {
    print_message("\n");
    print_message("Ostrel firmware update utility. Version 2.08");
    print_message("\nCopyright Ostrel. Use only with Ostrel devices.\n");
    port_close(&port);
    print_message("\nPress any key to exit...");
    if (key_read() == 0) (void)key_read();
    print_message("\n");
    return 1;
}
