// The program's only access to the serial line: one COM port, opened for
// bounded reads and writes, and the millisecond timer behind every time limit
// that is not a port wait.
//
// One header, two implementations chosen by the build:
// serial_port_win32.cpp (overlapped Win32 I/O) and serial_port_posix.cpp
// (termios and poll). port_read_timed and the timer arithmetic are shared
// (serial_port_common.cpp).
#ifndef OFWU_SERIAL_SERIAL_PORT_H
#define OFWU_SERIAL_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"
#include "state/serial_port_record.h"

constexpr uint32_t PORT_WAIT_MS = 4000;        // bound on every single read or write
constexpr uint32_t PORT_INTERBYTE_MS = 10;     // a read ends after this much silence once a byte came
constexpr uint32_t PORT_QUEUE_BYTES = 10000;   // driver queue asked for, each direction
constexpr uint32_t PORT_NAME_SIZE = PORT_LABEL_SIZE;  // room for a device name or a path
constexpr uint32_t SCAN_PORTS_MAX = 16;        // COM1 to COM16, or at most this many Linux ports
constexpr uint32_t PORT_COM_MAX = 99;          // the highest COM number the program uses
// Room in the scan's list: on Windows COM1 to COM16, then every other COM
// port up to COM99 that the system lists.
constexpr uint32_t SCAN_LIST_MAX = PORT_COM_MAX;

// How long one wait serves a device that keeps it going without answering:
// idle fill before a length byte or acknowledge, a message line restarted
// with "^", empty lines and "+$" before a version reply. Each of these earns
// a fresh per-byte limit, so the protocol sets no end of its own; this is
// how long the program serves a babbling device (a bootloader idles while
// it erases or writes flash) before it gives it up as a silent one.
constexpr uint32_t BABBLE_LIMIT_MS = 10000;

// Why the last port_open of a record failed, where the system can tell.
enum PortFailure : int32_t {
    PORT_FAILURE_NONE = 0,
    PORT_FAILURE_OTHER = 1,       // missing, not a terminal, settings refused, ...
    PORT_FAILURE_PERMISSION = 2,  // the user may not open the device
    PORT_FAILURE_IN_USE = 3,      // another program holds it (failure_pid names it when known)
};

// One port the program may try: the device to open and how messages name it.
struct PortCandidate {
    uint32_t number;              // its COM number; 0 for a port named by its path
    char device[PORT_NAME_SIZE];  // what port_open_device opens
    char label[PORT_NAME_SIZE];   // "COM3", or the path it was named by
};

// Opens COM `number` at `baud`, 8 data bits, no flow control, DTR raised.
// 1 when open (also when it already was: then only a message is printed), 0 on failure.
int32_t port_open(SerialPort* port, uint32_t number, uint32_t baud);
// The same for any candidate.
int32_t port_open_candidate(SerialPort* port, const PortCandidate* candidate, uint32_t baud);
// 1 on success; 0 on failure, after which the port is closed.
int32_t port_set_baud(SerialPort* port, uint32_t baud);
// Always 1; harmless on a closed port.
int32_t port_close(SerialPort* port);
// Bytes written (they have left the port when this returns); 0 on any failure.
int32_t port_write(SerialPort* port, const uint8_t* data, int32_t count);
// Waits up to PORT_WAIT_MS for the first byte, then returns once `count` bytes
// came or PORT_INTERBYTE_MS passed without another. Bytes read; 0 on any failure.
int32_t port_read(SerialPort* port, uint8_t* buffer, int32_t count);
// Received bytes waiting to be read; 0 when not open or the query fails.
int32_t port_pending(SerialPort* port);
// Repeats port_read until `count` bytes came or `limit` ticks passed; the limit
// is looked at only between reads, so at least one read is made when count > 0.
int32_t port_read_timed(SerialPort* port, uint8_t* buffer, int32_t count, uint32_t limit);

// The platform half of port_open: opens and configures the device `name`
// on a closed port. 1 when open, 0 on failure with nothing left open and
// the record's failure set.
int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud);
// The platform halves of port_set_baud, port_close, port_write, port_read
// and port_pending, which do as those say; the shared halves add the wire
// trace (serial/wire_trace.h).
int32_t port_device_set_baud(SerialPort* port, uint32_t baud);
int32_t port_device_close(SerialPort* port);
int32_t port_device_write(SerialPort* port, const uint8_t* data, int32_t count);
int32_t port_device_read(SerialPort* port, uint8_t* buffer, int32_t count);
int32_t port_device_pending(SerialPort* port);
// Non-zero once the system has said that the device hung up (Linux; never
// on Windows, which tells of it only as transfers that fail).
int32_t port_device_hung_up(const SerialPort* port);

// Whether a command line argument names a port by its path rather than by
// its number: on Linux an argument that contains "/"; never on Windows.
int32_t port_argument_is_path(const char* argument);
// The candidate for COM `number`, or for a port named by `path`. 0 when the
// name does not fit PORT_NAME_SIZE (nothing is then to be opened).
int32_t port_candidate_number(uint32_t number, PortCandidate* candidate);
int32_t port_candidate_path(const char* path, PortCandidate* candidate);
// The ports the scan tries without an argument, in order, at most `most`:
// on Windows COM1 to COM16, then the other COM ports up to COM99 that the
// system lists (serial/port_discovery_win32.cpp); COM1 to COM16 on Linux
// where OFWU_COM_DIR is set; else at most SCAN_PORTS_MAX of the serial
// ports the Linux machine has (serial/port_discovery_posix.cpp).
uint32_t port_scan_list(PortCandidate* list, uint32_t most);
// Prints one line for each port the machine has, in the scan's order, with
// what the system tells of it (--ports); opens none. The number of lines.
uint32_t port_list_print();
// One line that tells the user what to do about the last failed open of
// `port`, for `device`: 1 with the text in `text`, 0 when there is none.
int32_t port_failure_hint(const SerialPort* port, const char* device, char* text, size_t size);
// One line about `port`, open on `device`, that other serial programs are
// not kept off: no lock file could be made (Linux). 1 with the text in
// `text`, 0 when there is none (always on Windows, which has no lock files).
int32_t port_open_note(const SerialPort* port, const char* device, char* text, size_t size);
#ifdef _WIN32
// The line port_failure_hint gives on Windows for the system error `error`
// of opening `device`: another program holds the port (ERROR_ACCESS_DENIED);
// nothing for a port that is not there (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND), the usual answer in a scan; else the system's own
// text, in English where the system has it, on one line. 1 with the line,
// 0 when there is none.
int32_t port_error_text(uint32_t error, const char* device, char* text, size_t size);
#endif

// The device name port_open uses for COM `number`, NUL-terminated in `name`.
// Windows: \\.\COMn. Elsewhere: $OFWU_COM_DIR/COMn when that variable is set,
// otherwise /dev/ttyS<n-1>. 1 when it fitted, 0 when not.
int32_t port_device_name(uint32_t number, char* name, size_t size);

#endif
