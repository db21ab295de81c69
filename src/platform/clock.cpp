#include "platform/clock.h"

int32_t ticks_exceed(uint32_t now, uint32_t start, uint32_t limit) {
    // Unsigned subtraction is modulo 2^32, so a start taken just before the
    // tick count wraps still gives the elapsed time.
    return (now - start) > limit ? 1 : 0;
}

int32_t timer_expired(uint32_t start, uint32_t limit) {
    return ticks_exceed(timer_start(), start, limit);
}
