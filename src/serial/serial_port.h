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

#include "state/serial_port_record.h"

constexpr uint32_t PORT_WAIT_MS = 4000;        // bound on every single read or write
constexpr uint32_t PORT_INTERBYTE_MS = 10;     // a read ends after this much silence once a byte came
constexpr uint32_t PORT_QUEUE_BYTES = 10000;   // driver queue asked for, each direction
constexpr uint32_t PORT_NAME_SIZE = 512;       // room for any device name port_open forms

// Opens COM `number` at `baud`, 8 data bits, no flow control, DTR raised.
// 1 when open (also when it already was: then only a message is printed), 0 on failure.
int32_t port_open(SerialPort* port, uint32_t number, uint32_t baud);
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
// on a closed port. 1 when open, 0 on failure with nothing left open.
int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud);

// The device name port_open uses for COM `number`, NUL-terminated in `name`.
// Windows: \\.\COMn. Elsewhere: $OFWU_COM_DIR/COMn when that variable is set,
// otherwise /dev/ttyS<n-1>. 1 when it fitted, 0 when not.
int32_t port_device_name(uint32_t number, char* name, size_t size);

// Current tick count in milliseconds of real elapsed time, modulo 2^32.
uint32_t timer_start();
// 1 when more than `limit` ticks have passed since `start`, else 0.
int32_t timer_expired(uint32_t start, uint32_t limit);
// The arithmetic of timer_expired for a given `now`: the unsigned 32-bit
// difference, strictly greater than the limit.
int32_t ticks_exceed(uint32_t now, uint32_t start, uint32_t limit);

#endif
