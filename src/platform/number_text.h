// Numbers read from text the way the C runtime of the program's primary
// platform reads them, where long is 32 bits wide: strtoul and strtol
// semantics in 32 bits, whatever the width of long on this machine.
#ifndef OFWU_PLATFORM_NUMBER_TEXT_H
#define OFWU_PLATFORM_NUMBER_TEXT_H

#include <cstdint>

// strtoul in 32 bits: leading white space skipped, a sign accepted ("-"
// negates modulo 2^32), "0x"/"0X" accepted in base 16, a value past 32 bits
// reads as 0xFFFFFFFF. With no digit the value is 0 and *end is `text`.
// base is 10 or 16.
uint32_t text_to_u32(const char* text, const char** end, int base);

// strtol in 32 bits, base 10: a value outside the signed 32-bit range reads
// as the nearest limit. With no digit the value is 0 and *end is `text`.
int32_t text_to_i32(const char* text, const char** end);

// Passes over one character of a field separator; at the end of the text
// the cursor stays.
inline const char* text_pass_one(const char* cursor) {
    return *cursor != '\0' ? cursor + 1 : cursor;
}

#endif
