// An image file given on the command line: read once, whole, and checked
// by the same rules as the built-in images before it becomes this run's
// catalogue; and the catalogue listed.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "catalogue/update_decision.h"
#include "platform/console.h"
#include "platform/file.h"
#include "state/program_state.h"

namespace {

// What a file that could not be read is, after its name.
const char* read_failure_text(FileRead result) {
    switch (result) {
        case FILE_READ_MISSING: return "no such file";
        case FILE_READ_DIRECTORY: return "is a folder, not an image file";
        case FILE_READ_UNREADABLE: return "cannot be read";
        case FILE_READ_PERMISSION: return "cannot be read: permission denied";
        case FILE_READ_LINK_LOOP: return "cannot be read: too many symbolic links";
        case FILE_READ_STALLED: return "cannot be read: nothing came from it for 30 s";
        case FILE_READ_TOO_LARGE: return "is larger than the largest image the program takes (16 MiB)";
        case FILE_READ_OK: break;
    }
    return "";
}

// One catalogue line: what the image is for, its version as the program
// shows it, its size and its CRC-32.
void print_image_line(const char* label, const FirmwareImage* image) {
    if (image == nullptr || image->image_length == 0) {
        print_message("%s: empty\n", label);
        return;
    }
    char version[VERSION_TEXT_SIZE];
    version_text(image->version, version, sizeof version);
    const uint32_t crc = image_u32(image->bytes, image->image_length - IMAGE_TRAILER_SIZE);
    print_message("%s: %.32s, product %" PRIu32 ", revision %" PRIu32 ", version %s, %" PRIu32 " blocks, %" PRIu32
                  " bytes, CRC-32 0x%08" PRIX32 "\n",
                  label, image->name, image->product_code, image->hardware_revision, version, image->block_count,
                  image->image_length, crc);
}

}  // namespace

bool image_file_load(const char* path) {
    uint32_t size = 0;
    const FileRead read = file_read_whole(path, image_file_bytes, IMAGE_FILE_MAX, &size);
    if (read != FILE_READ_OK) {
        print_message("\n%s: %s\n", path, read_failure_text(read));
        return false;
    }
    const ImageRule broken = image_first_broken_rule(image_file_bytes, size);
    if (broken != IMAGE_VALID) {
        print_message("\n%s: %s\n", path, image_rule_text(broken));
        return false;
    }
    image_file = image_from_bytes(image_file_bytes);
    return true;
}

void catalogue_print(const char* file_label) {
    if (image_file.image_length != 0) {
        print_image_line(file_label, &image_file);
        return;
    }
    for (uint32_t slot = 0; slot < IMAGE_SLOTS; ++slot) {
        char label[16];
        (void)std::snprintf(label, sizeof label, "slot %" PRIu32, slot);  // always fits
        print_image_line(label, image_catalogue[slot]);
    }
}
