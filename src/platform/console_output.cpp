#include "platform/console.h"

#include <cstdarg>
#include <cstdio>

void print_message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // A console write that fails has nowhere better to be reported.
    (void)std::vprintf(format, args);
    va_end(args);
    (void)std::fflush(stdout);
}

void print_text(const char* text) {
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
}
