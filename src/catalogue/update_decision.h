// Before every transfer: whether the selected image may go into the device
// at all, and, when it may, the device's version beside the update's version
// and the user's Y/N answer.
#ifndef OFWU_CATALOGUE_UPDATE_DECISION_H
#define OFWU_CATALOGUE_UPDATE_DECISION_H

#include <cstdint>

#include "catalogue/firmware_image.h"
#include "state/device_identity.h"

enum Compatibility : int32_t {
    COMPATIBLE = 0,
    IMAGE_UNKNOWN = 1,       // the product table has no name for the image's pair
    DEVICE_UNKNOWN = 2,      // the product table has no name for the device's pair
    PRODUCT_MISMATCH = 3,    // different product codes
    REVISION_MISMATCH = 4,   // same product code, different hardware revisions
};

enum UpdateAnswer : int32_t {
    ANSWER_NO = 0,
    ANSWER_YES = 1,
    ANSWER_END_OF_INPUT = 2,  // no key can come any more: the caller ends the program
    ANSWER_SAME = 3,          // unattended: the device runs this version already, nothing to do
    ANSWER_OLDER = 4,         // unattended: the image is older and --allow-older was not given
};

constexpr uint32_t VERSION_TEXT_SIZE = 32;  // "255.255.255z(Beta)" and its NUL, with room

// The web page named at the end of every incompatibility report.
inline constexpr char SUPPORT_ADDRESS[] = "https://www.ostrel.example/support";

// The device is examined before the image.
Compatibility check_compatibility(const DeviceIdentity* device, const FirmwareImage* image);

// Prints why the image does not fit (nothing for an unknown code), then the
// advice to look for other firmware, which every code gets.
void report_incompatibility(Compatibility code, const DeviceIdentity* device, const FirmwareImage* image);

// Columns print_version takes before its comma, counting two digits for the
// minor and the sub and at most two for the major, whatever their values.
int32_t version_width(uint32_t version);

// The version as print_version shows it before its comma ("None" for 0).
void version_text(uint32_t version, char* text, uint32_t size);

// Prints the version ("None" for 0), a comma and `pad` spaces (none when pad <= 0).
void print_version(uint32_t version, int32_t pad);

// Prints the device's and the image's version lines, padded so that their
// "Model" texts start in the same column when the widths are exact.
void print_versions(const DeviceIdentity* device, const FirmwareImage* image);

// Shows the verdict (same, newer, older) with both versions and waits for Y
// or N, ignoring every other key. At the end of key input no answer can
// come: ANSWER_END_OF_INPUT, with nothing more printed.
UpdateAnswer confirm_update(const DeviceIdentity* device, const FirmwareImage* image);

// The unattended answer (--batch): the same verdict and version lines, then
// the rule instead of a key: newer, or a device in its bootloader (an update
// cut off earlier: it runs no application), ANSWER_YES; the same version
// ANSWER_SAME; older ANSWER_OLDER, or ANSWER_YES with `allow_older`.
UpdateAnswer decide_update(const DeviceIdentity* device, const FirmwareImage* image, int32_t in_bootloader,
                           int32_t allow_older);

#endif
