// The record of the one open COM port. It lives on the ground floor with the
// rest of the program-wide state; the operations on it are the serial port's
// (serial/serial_port.h), and its fields are the platform's own handles.
#ifndef OFWU_STATE_SERIAL_PORT_RECORD_H
#define OFWU_STATE_SERIAL_PORT_RECORD_H

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

constexpr uint32_t PORT_LABEL_SIZE = 512;      // room for a port's device name, path or label
constexpr uint32_t PORT_LOCK_PATH_SIZE = 512;  // room for a lock file's path
// Lock files one port may hold: serial programs derive their lock's name
// from the device, from the name they were given, or from its last part.
constexpr uint32_t PORT_LOCKS_MAX = 4;

#ifndef _WIN32
// What the program changed on a terminal line as it opened it, and what it
// found there before, so that the line is left as found when the program
// gives it up: another program (or the user's stty) finds its own settings.
struct PortFound {
    termios settings;         // the line settings found at open
    int32_t settings_changed; // ours replaced them: put `settings` back
    int32_t exclusive_set;    // the program set the exclusive flag, which was clear
    int32_t low_latency_set;  // the program set the driver's low-latency flag, which was clear
};
#endif

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
    // The lock files this port holds for other serial programs, empty when
    // none. Removed when the port closes, and on the signals that end the
    // program (the platform's handlers read them from the program's port).
    char lock_paths[PORT_LOCKS_MAX][PORT_LOCK_PATH_SIZE];
    int32_t unlocked;             // open without a lock file: the lock folder could not be used
    int32_t hung_up;              // the device hung up or failed: never waited on again
    PortFound found;              // what the line was like at open
#endif
    int32_t is_open;              // 1 while open and configured, else 0
    int32_t failure;              // why the last open failed (a PortFailure, serial/serial_port.h)
    int32_t failure_pid;          // the program holding the port, when that is known; else 0
};

#endif
