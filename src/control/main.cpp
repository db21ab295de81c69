#include "control/program.h"

int main(int argc, char** argv) {
    program_main(argc, argv);
}
