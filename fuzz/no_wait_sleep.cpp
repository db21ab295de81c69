// The fuzz build's sleep: the time passes on the byte source's clock at once,
// so the waits between reads and before retries cost no real time; and no files.
#include "byte_source_port.h"
#include "platform/console.h"
#include "platform/file.h"

void sleep_ms(uint32_t ms) {
    byte_source_pass_time(ms);
}

// No run under the fuzzer writes a trace: a trace file can never be made.
int64_t file_create(const char* path) {
    (void)path;
    return -1;
}

uint32_t file_write(int64_t file, const char* bytes, uint32_t size) {
    (void)file;
    (void)bytes;
    (void)size;
    return 0;
}

void file_close(int64_t file) {
    (void)file;
}

void clock_utc_text(char* text, uint32_t size) {
    if (size > 0) text[0] = '\0';
}
