// The main loop. The update decision, the transfer and the message monitor
// join it in later work; until then a found device ends the run here.
#include "control/program.h"

void run_main_loop() {
    exit_path(EXIT_STATUS);
}
