// The fuzz build's sleep: the time passes on the byte source's clock at once,
// so the waits between reads and before retries cost no real time.
#include "byte_source_port.h"
#include "platform/console.h"

void sleep_ms(uint32_t ms) {
    byte_source_pass_time(ms);
}
