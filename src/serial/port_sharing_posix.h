// Sharing a serial port with other programs as Linux serial tools do: the
// UUCP lock file (/run/lock/LCK..name), and a look at which other programs
// hold the device open. Used by serial_port_posix.cpp only.
#ifndef OFWU_SERIAL_PORT_SHARING_POSIX_H
#define OFWU_SERIAL_PORT_SHARING_POSIX_H

#include <cstdint>

#include "state/serial_port_record.h"

// Takes the lock file for `device` into port->lock_path. 1 when it is ours,
// or when there is no lock folder to take it in (the other locks still
// hold); 0 when a live program holds it, with port->failure_pid set.
int32_t port_lock_take(SerialPort* port, const char* device);
// Removes the lock file the port holds, if any.
void port_lock_release(SerialPort* port);
// The process id of another program that has `device` open, or 0 when none
// is seen (only programs whose descriptors this user may look at can be seen).
int32_t port_other_opener(const char* device);

#endif
