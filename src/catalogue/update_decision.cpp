#include "catalogue/update_decision.h"

#include <cctype>
#include <cstdio>

#include "catalogue/product_table.h"
#include "platform/console.h"

namespace {

// Names are printed with "%.*s" and this bound: a name the device reported
// sits in a fixed field of 33 bytes that the device may have filled without a
// terminator, and no name the program knows is longer.
constexpr int NAME_SHOWN_MAX = static_cast<int>(REPORTED_NAME_SIZE) - 1;
static_assert(IMAGE_NAME_SIZE == REPORTED_NAME_SIZE, "one bound serves both name fields");

constexpr int32_t WIDTH_NONE = 4;          // "None"
constexpr int32_t WIDTH_ONE_DIGIT = 4;     // "9.99"
constexpr int32_t WIDTH_TWO_DIGITS = 5;    // "10.99"
constexpr int32_t WIDTH_BETA = 9;          // ".99(Beta)"
constexpr int32_t WIDTH_LETTER = 1;        // "a"
constexpr uint32_t LETTER_BASE = 96;       // letter 1 prints as "a"

uint32_t version_major(uint32_t version) { return version >> 24; }
uint32_t version_minor(uint32_t version) { return (version >> 16) & 0xFFu; }
uint32_t version_sub(uint32_t version) { return (version >> 8) & 0xFFu; }
uint32_t version_letter(uint32_t version) { return version & 0xFFu; }

// The device's record may lack a display name when a caller skipped the
// product table check; printf must not be handed a null pointer for "%s".
const char* shown(const char* name) {
    return name != nullptr ? name : "";
}

// Waits for a Y or an N, each key code judged on its own; every other code
// is dropped without a word. KEY_END_OF_INPUT when no key can come any more.
int32_t answer_read() {
    for (;;) {
        const int32_t key = key_read();
        if (key == KEY_END_OF_INPUT) return key;
        const int32_t code = std::toupper(key);  // key is 0 to 255 here
        if (code == 'Y' || code == 'N') return code;
    }
}

}  // namespace

Compatibility check_compatibility(const DeviceIdentity* device, const FirmwareImage* image) {
    if (product_name(device->product_code, device->hardware_revision) == nullptr) return DEVICE_UNKNOWN;
    // An image field past the signed range names no product either.
    if (product_name(static_cast<int32_t>(image->product_code), static_cast<int32_t>(image->hardware_revision)) ==
        nullptr) {
        return IMAGE_UNKNOWN;
    }
    if (static_cast<uint32_t>(device->product_code) != image->product_code) return PRODUCT_MISMATCH;
    if (static_cast<uint32_t>(device->hardware_revision) != image->hardware_revision) return REVISION_MISMATCH;
    return COMPATIBLE;
}

void report_incompatibility(Compatibility code, const DeviceIdentity* device, const FirmwareImage* image) {
    switch (code) {
        case IMAGE_UNKNOWN:
            // "not recognize" is the text users and their documents know: kept as it is.
            print_message("\nThe firmware file given is for a product not recognize by this program.\n");
            break;
        case DEVICE_UNKNOWN:
            print_message("\nThis program cannot update a \"%.*s\".", NAME_SHOWN_MAX, device->reported_name);
            break;
        case PRODUCT_MISMATCH:
            print_message("\nAttempting to update device: \"%.*s\".", NAME_SHOWN_MAX, shown(device->display_name));
            print_message("\nNew firmware is for device:  \"%.*s\".\n", NAME_SHOWN_MAX, image->name);
            print_message("\nIncompatible firmware, device not updated.\n");
            break;
        case REVISION_MISMATCH:
            print_message("\nUnsupported PCB Revision: Rev %u.\n", static_cast<uint32_t>(device->hardware_revision));
            print_message("This firmware won't work on this version of the %.*s,\ndevice not updated.\n",
                          NAME_SHOWN_MAX, shown(device->display_name));
            break;
        case COMPATIBLE:
            break;
    }
    print_message("\nPlease check the Ostrel website for the proper firmware for your product,\n"
                  "or for a more recent version of this program: %s\n\n",
                  SUPPORT_ADDRESS);
}

int32_t version_width(uint32_t version) {
    if (version == 0) return WIDTH_NONE;
    int32_t width = version_major(version) <= 9 ? WIDTH_ONE_DIGIT : WIDTH_TWO_DIGITS;
    if (version_sub(version) != 0) width += WIDTH_BETA;
    if (version_letter(version) != 0) width += WIDTH_LETTER;
    return width;
}

void version_text(uint32_t version, char* text, uint32_t size) {
    if (version == 0) {
        (void)std::snprintf(text, size, "None");
        return;
    }
    // Each field is one byte: the longest text is "255.255.255z(Beta)", which fits.
    int length = std::snprintf(text, size, "%u.%02u", version_major(version), version_minor(version));
    if (version_sub(version) != 0) length += std::snprintf(text + length, size - static_cast<uint32_t>(length), ".%02u", version_sub(version));
    if (version_letter(version) != 0) {
        length += std::snprintf(text + length, size - static_cast<uint32_t>(length), "%c",
                                static_cast<int>(version_letter(version) + LETTER_BASE));
    }
    if (version_sub(version) != 0) (void)std::snprintf(text + length, size - static_cast<uint32_t>(length), "(Beta)");
}

void print_version(uint32_t version, int32_t pad) {
    char text[VERSION_TEXT_SIZE];
    version_text(version, text, sizeof text);
    print_message("%s,", text);
    // A negative width would left-justify, so only a positive pad is passed.
    if (pad > 0) print_message("%*s", static_cast<int>(pad), "");
}

void print_versions(const DeviceIdentity* device, const FirmwareImage* image) {
    const int32_t current_width = version_width(device->version);
    const int32_t update_width = version_width(image->version);
    int32_t current_pad = 1;
    int32_t update_pad = 1;
    if (current_width > update_width) {
        update_pad = current_width - update_width + 1;
    } else {
        current_pad = update_width - current_width + 1;
    }
    print_message("\n Current Version: ");
    print_version(device->version, current_pad);
    print_message("Model: %.*s", NAME_SHOWN_MAX, shown(device->display_name));
    print_message("\n Update Version:  ");
    print_version(image->version, update_pad);
    print_message("Model: %.*s", NAME_SHOWN_MAX, image->name);
}

namespace {

// The verdict (same, newer, older) and both version lines; the question
// that goes with the verdict.
const char* print_verdict(const DeviceIdentity* device, const FirmwareImage* image) {
    const char* name = shown(device->display_name);
    const char* question;
    if (device->version == image->version) {
        print_message("\nThe firmware in the %.*s matches this update.\n", NAME_SHOWN_MAX, name);
        question = "\n\nUpdate anyway? (Y,N) ";
    } else if (device->version < image->version) {
        print_message("\n\nThis update is newer than the firmware inside the %.*s.\n", NAME_SHOWN_MAX, name);
        question = "\n\nContinue with update to newer version? (Y,N) ";
    } else {
        print_message("\n\nThis update is OLDER than the firmware inside the %.*s!\n", NAME_SHOWN_MAX, name);
        question = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
    }
    print_versions(device, image);
    return question;
}

}  // namespace

UpdateAnswer confirm_update(const DeviceIdentity* device, const FirmwareImage* image) {
    print_text(print_verdict(device, image));
    // A key typed ahead, before the question could be read, must not confirm
    // a firmware update: only keys pressed after it count.
    keys_discard();
    const int32_t answer = answer_read();
    if (answer == KEY_END_OF_INPUT) return ANSWER_END_OF_INPUT;
    print_message("%c\n", static_cast<int>(answer));  // the answer stands after the question
    if (answer == 'Y') return ANSWER_YES;
    print_message("\nUpdate cancelled.\n\n");
    return ANSWER_NO;
}

UpdateAnswer decide_update(const DeviceIdentity* device, const FirmwareImage* image, int32_t in_bootloader,
                           int32_t allow_older) {
    (void)print_verdict(device, image);
    // No question stands: the rule's answer, and why, in its place.
    if (in_bootloader) {
        print_message("\n\nUnattended: the device is in its bootloader; updating.\n");
        return ANSWER_YES;
    }
    if (device->version == image->version) {
        print_message("\n\nUnattended: the device runs this version already; nothing to do.\n");
        return ANSWER_SAME;
    }
    if (device->version < image->version) {
        print_message("\n\nUnattended: updating to the newer version.\n");
        return ANSWER_YES;
    }
    if (allow_older) {
        print_message("\n\nUnattended: updating to the older version (--allow-older).\n");
        return ANSWER_YES;
    }
    print_message("\n\nUnattended: not updating to an older version without --allow-older.\n");
    return ANSWER_OLDER;
}
