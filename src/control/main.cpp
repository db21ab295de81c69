#include "control/program.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    console_start();
    program_main(argc, argv);
}
