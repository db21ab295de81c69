// The record of the one open COM port. It lives on the ground floor with the
// rest of the program-wide state; the operations on it are the serial port's
// (serial/serial_port.h), and its fields are the platform's own handles.
#ifndef OFWU_STATE_SERIAL_PORT_RECORD_H
#define OFWU_STATE_SERIAL_PORT_RECORD_H

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

constexpr uint32_t PORT_LABEL_SIZE = 512;      // room for a port's device name, path or label
constexpr uint32_t PORT_LOCK_PATH_SIZE = 512;  // room for a lock file's path

// All fields zero is a closed port; is_open alone says whether the handle
// may be used.
struct SerialPort {
#ifdef _WIN32
    HANDLE handle;
    OVERLAPPED read_overlapped;   // every read; hEvent is the read event
    OVERLAPPED write_overlapped;  // every write; hEvent is the write event
    DWORD open_error;             // GetLastError of the last open that CreateFileA refused; else 0
#else
    int handle;                   // file descriptor of the open device
    // The lock file this port holds for other serial programs, empty when
    // none. Removed when the port closes, and on the signals that end the
    // program (the platform's handlers read it from the program's port).
    char lock_path[PORT_LOCK_PATH_SIZE];
#endif
    int32_t is_open;              // 1 while open and configured, else 0
    int32_t failure;              // why the last open failed (a PortFailure, serial/serial_port.h)
    int32_t failure_pid;          // the program holding the port, when that is known; else 0
};

#endif
