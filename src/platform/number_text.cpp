#include "platform/number_text.h"

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Reads the sign and digits shared by both conversions. Returns false when
// no digit follows; otherwise the magnitude saturates at `ceiling`.
bool read_magnitude(const char* text, int base, uint64_t ceiling, bool* negative,
                    uint64_t* magnitude, const char** end) {
    const char* p = text;
    while (is_space(*p)) ++p;
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = (*p == '-');
        ++p;
    }
    // "0x" counts as a prefix only when a hex digit follows it; "0xg" reads as 0.
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
        p += 2;
    }
    if (digit_value(*p) >= base) return false;
    uint64_t value = 0;
    while (digit_value(*p) < base) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit_value(*p));
        if (value > ceiling) value = ceiling + 1;  // saturate; more digits cannot bring it back
        ++p;
    }
    *magnitude = value;
    *end = p;
    return true;
}

}  // namespace

uint32_t text_to_u32(const char* text, const char** end, int base) {
    bool negative = false;
    uint64_t magnitude = 0;
    const char* stop = text;
    if (!read_magnitude(text, base, 0xFFFFFFFFu, &negative, &magnitude, &stop)) {
        if (end) *end = text;
        return 0;
    }
    if (end) *end = stop;
    if (magnitude > 0xFFFFFFFFu) return 0xFFFFFFFFu;  // out of range, sign not applied
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

int32_t text_to_i32(const char* text, const char** end) {
    bool negative = false;
    uint64_t magnitude = 0;
    const char* stop = text;
    if (!read_magnitude(text, 10, 0x80000000u, &negative, &magnitude, &stop)) {
        if (end) *end = text;
        return 0;
    }
    if (end) *end = stop;
    if (negative) {
        if (magnitude >= 0x80000000u) return INT32_MIN;
        return -static_cast<int32_t>(magnitude);
    }
    if (magnitude > 0x7FFFFFFFu) return INT32_MAX;
    return static_cast<int32_t>(magnitude);
}
