// Sharing a serial port with other programs as Linux serial tools do: the
// UUCP lock file (/run/lock/LCK..name), and a look at which other programs
// hold the device open. Used by serial_port_posix.cpp only.
#ifndef OFWU_SERIAL_PORT_SHARING_POSIX_H
#define OFWU_SERIAL_PORT_SHARING_POSIX_H

#include <cstddef>
#include <cstdint>

#include "state/serial_port_record.h"

// Takes the lock files for `device` into port->lock_paths: one for each name
// serial programs derive from `device` and from the device it leads to. 1
// when they are ours, or when there is no lock folder to take them in
// (port->unlocked says so; the other locks still hold); 0 when a live
// program holds any of them, with port->failure_pid set and none taken.
int32_t port_lock_take(SerialPort* port, const char* device);
// Removes the lock files the port holds, if any.
void port_lock_release(SerialPort* port);
// The name of process `pid` (its command, as ps shows it) in `name`;
// false when it cannot be read.
bool process_name(int32_t pid, char* name, size_t size);
// The process id of another program that has `device` open, or 0 when none
// is seen (only programs whose descriptors this user may look at can be seen).
int32_t port_other_opener(const char* device);

#endif
