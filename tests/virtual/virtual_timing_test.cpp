// The program's own times, judged exactly on the virtual clock.
#include "program_e2e.h"
