// The program-wide state shared by the subsystems, declared in one place on
// the ground floor, so that every subsystem may read and change it without
// reaching up to the program control that owns it. Everything is zero at
// start unless said otherwise.
#ifndef OFWU_STATE_PROGRAM_STATE_H
#define OFWU_STATE_PROGRAM_STATE_H

#include <cstdint>

#include "state/bootloader_info.h"
#include "state/device_identity.h"
#include "state/firmware_image_record.h"
#include "state/serial_port_record.h"

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
extern LinkState link_state;
extern DeviceIdentity device;                // identity of the attached device
extern BootloaderInfo bootloader_info;       // last reply to the bootloader probe
extern const FirmwareImage* selected_image;  // chosen by the scan, never changed after
extern int32_t update_done;                  // a transfer has completed
extern int32_t ready;                        // the device reported that it is ready
extern uint32_t watch_timer;                 // start of the post-update watch, in ticks
// How messages name that port: "COM3", or the path it was named by.
extern char port_label[PORT_LABEL_SIZE];


// The image file given with --image, read once at start: its bytes, and its
// header (image_length 0 while there is none; then the built-in images are
// the catalogue). The largest file taken: 80 times the built-in images, and
// more than any device of the family holds; the format itself could
// describe files of up to 4 GiB, which no fixed buffer can hold.
constexpr uint32_t IMAGE_FILE_MAX = 16u * 1024u * 1024u;
extern uint8_t image_file_bytes[IMAGE_FILE_MAX];
extern FirmwareImage image_file;

// What vouches for the --image file, for the run's report: a built-in key
// signed it (its id, 16 hex digits), or it was taken without a signature
// file (--allow-unsigned). Nothing until the signature has been checked.
enum ImageTrust : int32_t {
    IMAGE_TRUST_NONE = 0,
    IMAGE_TRUST_KEY = 1,
    IMAGE_TRUST_UNSIGNED = 2,
};
constexpr uint32_t KEY_ID_TEXT_SIZE = 17;
struct ImageTrustRecord {
    ImageTrust trust;
    char key_id[KEY_ID_TEXT_SIZE];
};
extern ImageTrustRecord image_trust;

constexpr uint32_t BATCH_CLOSING_HEAD_SIZE = PORT_LABEL_SIZE + 128;
constexpr uint32_t BATCH_ERROR_SIZE = 160;

// An unattended run (--batch), and what its closing line sums up.
struct BatchRun {
    int32_t active;           // --batch: no key is read, the question is answered by rule
    int32_t allow_older;      // --allow-older: an older image is flashed too
    int32_t progress_lines;   // progress as whole lines: standard output is no terminal
    uint32_t version_before;  // the device's version when it was last identified
    char device_name[REPORTED_NAME_SIZE];  // its name then, empty when none
    int32_t transferred;      // a transfer completed
    // The closing line as far as it is known ("\nResult: SND44 on COM3,
    // 2.58: "), kept ready for a signal that ends the run, whose handler
    // cannot format text.
    char closing_head[BATCH_CLOSING_HEAD_SIZE];
    // For the run's report line (--report), with or without --batch:
    uint32_t start_ticks;     // when the run started
    uint32_t attempts;        // transfers begun
    char last_error[BATCH_ERROR_SIZE];  // the last "Error: ..." the run printed, empty when none
};
extern BatchRun batch;

#endif
