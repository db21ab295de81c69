// The serial port on Windows: one COM port opened exclusively for overlapped
// I/O. Overlapped I/O serves only to bound every transfer by PORT_WAIT_MS;
// each operation waits for its own transfer before it returns.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "serial/serial_port.h"

namespace {

// Queues asked of the driver; far more than the largest frame or text line.
constexpr DWORD INPUT_QUEUE_BYTES = PORT_QUEUE_BYTES;
constexpr DWORD OUTPUT_QUEUE_BYTES = PORT_QUEUE_BYTES;

bool port_usable(const SerialPort* port) {
    return port->is_open != 0 && port->handle != nullptr;
}

// Closes whichever of the two events and the port handle exist and marks the
// port closed.
void release(SerialPort* port) {
    HANDLE* handles[] = {&port->read_overlapped.hEvent, &port->write_overlapped.hEvent,
                         &port->handle};
    for (HANDLE* handle : handles) {
        if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
            // CloseHandle returns non-zero on success. A handle that will not
            // close is lost either way; the port is given up regardless.
            (void)CloseHandle(*handle);
        }
        *handle = nullptr;
    }
    port->is_open = 0;
}

// Reads the port's line settings, sets the rate and eight data bits, and
// (when `full`) the flow-control and DTR fields that port_open owns; every
// other field stays as the driver reports it. true when the driver took them.
bool line_apply(HANDLE handle, uint32_t baud, bool full) {
    DCB line{};
    line.DCBlength = sizeof line;  // the driver checks the record's size
    // GetCommState returns non-zero on success. A failed read would leave a
    // zeroed record whose other fields we must not write back: give up.
    if (!GetCommState(handle, &line)) return false;
    line.BaudRate = baud;
    line.ByteSize = 8;
    if (full) {
        line.fOutX = 0;         // no XON/XOFF on output
        line.fInX = 0;          // no XON/XOFF on input
        line.fOutxCtsFlow = 0;  // output does not wait for CTS
        line.fDtrControl = DTR_CONTROL_ENABLE;  // raise DTR, keep it raised
        line.fOutxDsrFlow = 0;  // output does not wait for DSR
    }
    // SetCommState returns non-zero on success.
    return SetCommState(handle, &line) != 0;
}

// Gives up a transfer whose wait ran out. The transfer is cancelled and the
// cancellation waited for, so that it can never complete later into (or read
// later from) a buffer the caller has given up, nor signal the record's event
// during the next transfer on the same record.
void transfer_abandon(HANDLE handle, OVERLAPPED* overlapped) {
    // CancelIoEx returns non-zero when it found the transfer; zero
    // (ERROR_NOT_FOUND) when the transfer completed after the wait ran out.
    // Either way the transfer has ended or is ending, so the result changes
    // nothing that follows.
    (void)CancelIoEx(handle, overlapped);
    DWORD moved = 0;
    // Waits until the transfer is over: FALSE with ERROR_OPERATION_ABORTED
    // when the cancellation took effect, non-zero when it finished first.
    // The bytes it moved are given up with it, so the result is not needed.
    (void)GetOverlappedResult(handle, overlapped, &moved, TRUE);
}

// Waits up to PORT_WAIT_MS for a pending transfer. false when the wait ran
// out; the transfer has then been cancelled.
bool transfer_wait(HANDLE handle, OVERLAPPED* overlapped) {
    // WaitForSingleObject returns WAIT_OBJECT_0 when the event is signalled,
    // WAIT_TIMEOUT when the time ran out, WAIT_FAILED on error. Only the
    // time-out abandons the transfer; otherwise its result is collected.
    if (WaitForSingleObject(overlapped->hEvent, PORT_WAIT_MS) == WAIT_TIMEOUT) {
        transfer_abandon(handle, overlapped);
        return false;
    }
    return true;
}

// The system's text for `error`, in English where the system has it, on one
// line without the line breaks and the spaces around it. false when the
// system has none.
bool system_text(uint32_t error, char* text, size_t size) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD room = static_cast<DWORD>(size);
    // FormatMessageA returns the characters it stored, 0 on failure (also
    // when the text is not there in that language: then the system's own
    // choice of language is asked for).
    const DWORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    DWORD length = FormatMessageA(flags, nullptr, error, english, text, room, nullptr);
    if (length == 0) length = FormatMessageA(flags, nullptr, error, 0, text, room, nullptr);
    if (length == 0 || length >= room) return false;
    text[length] = '\0';
    // One line: each run of line breaks, tabs and spaces becomes one space,
    // with none at either end.
    size_t out = 0;
    bool space = false;
    for (size_t in = 0; in < length; ++in) {
        const char c = text[in];
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            space = out > 0;
            continue;
        }
        if (space) text[out++] = ' ';
        space = false;
        text[out++] = c;
    }
    text[out] = '\0';
    return out > 0;
}

// The byte count of a transfer that has ended (or is about to).
int32_t transfer_count(HANDLE handle, OVERLAPPED* overlapped) {
    DWORD moved = 0;
    // GetOverlappedResult returns non-zero on success. On failure `moved`
    // still holds what the transfer moved before it failed (0 when nothing),
    // which is the count the caller gets.
    (void)GetOverlappedResult(handle, overlapped, &moved, TRUE);
    return static_cast<int32_t>(moved);
}

}  // namespace

int32_t port_device_name(uint32_t number, char* name, size_t size) {
    // wsprintfA has no size limit of its own: format into room for any
    // 32-bit number, then copy only what fits.
    char formed[32];
    // wsprintfA returns the number of characters stored, without the NUL.
    const int length = wsprintfA(formed, "\\\\.\\COM%d", static_cast<int>(number));
    if (length <= 0 || static_cast<size_t>(length) >= size) return 0;
    for (int i = 0; i <= length; ++i) name[i] = formed[i];
    return 1;
}

int32_t port_argument_is_path(const char* argument) {
    (void)argument;  // every argument is a COM number on Windows, as it always was
    return 0;
}

int32_t port_error_text(uint32_t error, const char* device, char* text, size_t size) {
    if (size == 0) return 0;
    text[0] = '\0';
    // No reason kept, or no such port (most numbers of a scan): said as it
    // always was.
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    if (error != ERROR_ACCESS_DENIED) {
        if (system_text(error, text, size)) return 1;
        return std::snprintf(text, size, "Windows error %lu.", static_cast<unsigned long>(error)) > 0 ? 1 : 0;
    }
    // What Windows answers while another program holds the port. Messages
    // name the port as the user does: COM23, not \\.\COM23.
    const char* name = std::strncmp(device, "\\\\.\\", 4) == 0 ? device + 4 : device;
    return std::snprintf(text, size, "%s is in use by another program. Close that program, then try again.", name) > 0
               ? 1
               : 0;
}

int32_t port_failure_hint(const SerialPort* port, const char* device, char* text, size_t size) {
    return port_error_text(port->open_error, device, text, size);
}

int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud) {
    port->open_error = 0;
    // CreateFileA returns INVALID_HANDLE_VALUE on failure. Share mode 0: the
    // open fails while any other program holds the port.
    port->handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port->handle == nullptr || port->handle == INVALID_HANDLE_VALUE) {
        // Why the system refused the port is kept for the message; a port
        // that opened but refused its settings below keeps none: it is told
        // as it always was.
        port->open_error = GetLastError();
        port->failure = port->open_error == ERROR_ACCESS_DENIED ? PORT_FAILURE_IN_USE : PORT_FAILURE_OTHER;
        port->handle = nullptr;  // nothing was created, so nothing is to be closed
        return 0;
    }
    port->read_overlapped = OVERLAPPED{};  // a COM port has no file position:
    port->write_overlapped = OVERLAPPED{}; // the offsets stay 0

    // A read waits without limit for its first byte, then ends after
    // PORT_INTERBYTE_MS ms of silence; writes have no time-out of their own.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = PORT_INTERBYTE_MS;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    // SetCommTimeouts returns non-zero on success. Its result is not
    // examined: the PORT_WAIT_MS wait bounds every transfer whatever the
    // driver's time-outs, and a driver that refuses these refuses the line
    // settings below, which do decide.
    (void)SetCommTimeouts(port->handle, &timeouts);

    // CreateEventA returns null on failure: manual reset, not signalled,
    // unnamed. A missing event is caught below, before the port counts as open.
    port->read_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port->write_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    // SetupComm returns non-zero on success; it is asked only once the line
    // settings are in force.
    if (line_apply(port->handle, baud, true) &&
        SetupComm(port->handle, INPUT_QUEUE_BYTES, OUTPUT_QUEUE_BYTES) &&
        port->read_overlapped.hEvent != nullptr && port->write_overlapped.hEvent != nullptr) {
        port->is_open = 1;
        return 1;
    }
    port->failure = PORT_FAILURE_OTHER;
    release(port);
    return 0;
}

int32_t port_device_set_baud(SerialPort* port, uint32_t baud) {
    if (!port_usable(port)) return 0;
    // Only the rate and the data bits change; flow control and DTR stay as
    // port_open set them.
    if (!line_apply(port->handle, baud, false)) {
        release(port);
        return 0;
    }
    return 1;
}

int32_t port_device_close(SerialPort* port) {
    if (port_usable(port)) release(port);
    port->is_open = 0;
    port->handle = nullptr;
    return 1;
}

int32_t port_device_write(SerialPort* port, const uint8_t* data, int32_t count) {
    if (!port_usable(port) || count <= 0) return 0;
    OVERLAPPED* overlapped = &port->write_overlapped;
    // WriteFile returns non-zero when the write completed at once; zero with
    // ERROR_IO_PENDING when it was started and goes on in the background.
    if (!WriteFile(port->handle, data, static_cast<DWORD>(count), nullptr, overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        if (!transfer_wait(port->handle, overlapped)) return 0;
    }
    // FlushFileBuffers returns non-zero on success, once the transmit buffer
    // is empty. Not examined: the byte count below is the write's own result.
    (void)FlushFileBuffers(port->handle);
    return transfer_count(port->handle, overlapped);
}

int32_t port_device_read(SerialPort* port, uint8_t* buffer, int32_t count) {
    if (!port_usable(port) || count <= 0) return 0;
    OVERLAPPED* overlapped = &port->read_overlapped;
    // ReadFile returns non-zero when the read completed at once; zero with
    // ERROR_IO_PENDING when it waits for bytes in the background.
    if (!ReadFile(port->handle, buffer, static_cast<DWORD>(count), nullptr, overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        if (!transfer_wait(port->handle, overlapped)) return 0;
    }
    return transfer_count(port->handle, overlapped);
}

int32_t port_device_hung_up(const SerialPort* port) {
    // Windows tells of a device that went away only as transfers that fail.
    (void)port;
    return 0;
}

int32_t port_device_pending(SerialPort* port) {
    if (!port_usable(port)) return 0;
    DWORD errors = 0;  // line errors are cleared by the call; which ones is of no interest
    COMSTAT status{};
    // ClearCommError returns non-zero on success.
    if (!ClearCommError(port->handle, &errors, &status)) return 0;
    return static_cast<int32_t>(status.cbInQue);
}

int32_t port_open_note(const SerialPort* port, const char* device, char* text, size_t size) {
    // Windows opens a port for one program only: nothing to add.
    (void)port;
    (void)device;
    if (size > 0) text[0] = '\0';
    return 0;
}
