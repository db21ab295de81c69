// The Windows device name of a COM port. Windows only: elsewhere the name
// comes from OFWU_COM_DIR or the kernel's ttyS numbering.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "serial/serial_port.h"

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

}  // namespace

#endif
