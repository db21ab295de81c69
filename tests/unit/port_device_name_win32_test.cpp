// The Windows device name of a COM port, and the line that says why one
// could not be opened. Windows only: elsewhere the name comes from
// OFWU_COM_DIR or the kernel's ttyS numbering.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "serial/serial_port.h"
#include "wine_host.h"

namespace {

TEST(PortDeviceName, IsTheWin32DeviceNamespacePathOfTheComPort) {
    struct Case { uint32_t number; const char* name; };
    const Case cases[] = {
        {1, "\\\\.\\COM1"},
        {7, "\\\\.\\COM7"},
        {12, "\\\\.\\COM12"},   // two digits: only the \\.\ form reaches COM10 and up
        {99, "\\\\.\\COM99"},
        {100, "\\\\.\\COM100"},
    };
    for (const Case& c : cases) {
        char name[PORT_NAME_SIZE] = {};
        EXPECT_EQ(port_device_name(c.number, name, sizeof name), 1) << c.number;
        EXPECT_EQ(std::string(name), c.name) << c.number;
    }
}

TEST(PortDeviceName, RefusesARoomTooSmallAndWritesNothingThen) {
    // "\\.\COM12" is 9 characters: it needs 10 bytes with the NUL.
    char name[16];
    std::string(sizeof name - 1, '#').copy(name, sizeof name);
    name[sizeof name - 1] = '\0';
    EXPECT_EQ(port_device_name(12, name, 9), 0);
    EXPECT_EQ(std::string(name), std::string(sizeof name - 1, '#'));
    EXPECT_EQ(port_device_name(12, name, 10), 1);
    EXPECT_EQ(std::string(name), "\\\\.\\COM12");
}

// The system's own texts differ between Windows and Wine; nullptr: no line.
TEST(PortErrorText, OneLineForEachSystemError) {
    const char* in_use = "COM23 is in use by another program. Close that program, then try again.";
    struct Case { uint32_t error; const char* windows; const char* wine; };
    const Case cases[] = {
        {ERROR_ACCESS_DENIED, in_use, in_use},
        {ERROR_FILE_NOT_FOUND, nullptr, nullptr},
        {ERROR_PATH_NOT_FOUND, nullptr, nullptr},
        {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.",
         "Sharing violation."},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.", "General failure."},
        {0x12345, "Windows error 74565.", "Windows error 74565."},  // no text in the system
    };
    for (const Case& c : cases) {
        const char* line = running_under_wine() ? c.wine : c.windows;
        char text[PORT_NAME_SIZE] = "#";
        EXPECT_EQ(port_error_text(c.error, "\\\\.\\COM23", text, sizeof text), line != nullptr ? 1 : 0) << c.error;
        EXPECT_EQ(std::string(text), line != nullptr ? line : "") << c.error;
    }
    // A refused open keeps the system's reason for that line: a folder is
    // refused as a port another program holds is.
    SerialPort port{};
    EXPECT_EQ(port_open_device(&port, "C:\\windows", 19200), 0);
    char text[PORT_NAME_SIZE] = "";
    EXPECT_EQ(port_failure_hint(&port, "C:\\windows", text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "C:\\windows is in use by another program. Close that program, then try again.");
}

}  // namespace

#endif
