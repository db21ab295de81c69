// The application's version query "^V$" and its reply line.
#ifndef OFWU_IDENTIFY_VERSION_QUERY_H
#define OFWU_IDENTIFY_VERSION_QUERY_H

#include <cstdint>

#include "state/device_identity.h"

constexpr uint32_t LINE_BYTE_LIMIT_MS = 2000;  // each byte of a message line must come within this
constexpr int32_t VERSION_LINE_CAPACITY = 100; // bytes, NUL included

enum LineResult : int32_t {
    LINE_OK = 0,
    LINE_TIMEOUT = 1,  // a byte did not arrive within LINE_BYTE_LIMIT_MS, or "^" past BABBLE_LIMIT_MS
};

enum VersionResult : int32_t {
    VERSION_OK = 0,
    VERSION_NO_REPLY = 1,    // no "=V \"" reply, or a byte of the line came too late
    VERSION_BAD_NAME = 2,    // the name is not closed by a quote within 31 characters
    VERSION_BAD_END = 3,     // the reply does not end in "$" where it should
};

// Reads one message line from the port: the text after the last "^" before
// the first "$", up to and including the "$", NUL-terminated. A line that
// fills capacity - 1 bytes ends there. A "^" that comes BABBLE_LIMIT_MS
// after `start` (a timer_start tick: when the wait for the line began) gives
// the line up as a silent device is, with LINE_TIMEOUT.
LineResult read_message_line(char* buffer, int32_t capacity, uint32_t start);

// Sets display_name: the name the device reported, or, when it reported
// none, the product table's name for its identity (nullptr when unknown).
void identity_choose_display_name(DeviceIdentity* identity);

// Parses a version reply (the line without its leading "^") into `identity`.
VersionResult parse_version_reply(DeviceIdentity* identity, const char* line);

// Sends "^V$" (unless listen_only) and parses the first line that is neither
// "$" nor "+$", skipping those until BABBLE_LIMIT_MS after the query began
// (restarted lines included). Works on the program's port.
VersionResult query_version(DeviceIdentity* identity, int32_t listen_only);

#endif
