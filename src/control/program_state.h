// The program-wide state shared by the subsystems, declared in one place.
// Everything is zero at start unless said otherwise.
#ifndef OFWU_CONTROL_PROGRAM_STATE_H
#define OFWU_CONTROL_PROGRAM_STATE_H

#include <cstdint>

#include "identify/bootloader_info.h"
#include "identify/device_identity.h"
#include "serial/serial_port.h"

struct FirmwareImage;

// What the last detection found.
enum LinkState : int32_t {
    LINK_NONE = 0,         // nothing answered, or a detection is under way
    LINK_APPLICATION = 1,  // the application answered; port at 19200 baud
    LINK_BOOTLOADER = 2,   // the bootloader answered; port at 115200 baud
};

constexpr uint32_t APPLICATION_BAUD = 19200;
constexpr uint32_t BOOTLOADER_BAUD = 115200;

extern SerialPort port;                      // the one serial port
extern uint32_t current_baud;                // rate the port is set to; 0: not usable
extern int32_t link_state;                   // a LinkState
extern DeviceIdentity device;                // identity of the attached device
extern BootloaderInfo bootloader_info;       // last reply to the bootloader probe
extern const FirmwareImage* selected_image;  // chosen by the scan, never changed after
extern int32_t update_done;                  // a transfer has completed
extern int32_t ready;                        // the device reported that it is ready
extern uint32_t watch_timer;                 // start of the post-update watch, in ticks
extern uint32_t port_number;                 // COM port being scanned, then the device's

// Every packet of the firmware transfer is built here. Never cleared: bytes a
// packet does not overwrite keep what an earlier packet left, and a block
// packet sends three of them.
constexpr uint32_t PACKET_BUFFER_SIZE = 256;
extern uint8_t packet_buffer[PACKET_BUFFER_SIZE];

#endif
