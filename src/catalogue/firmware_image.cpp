#include "catalogue/firmware_image.h"

#include "state/program_state.h"

const FirmwareImage* catalogue_find(const FirmwareImage* const* slots, uint32_t count,
                                    uint16_t product_code, uint16_t hardware_revision) {
    for (uint32_t slot = 0; slot < count; ++slot) {
        const FirmwareImage* image = slots[slot];
        // Emptiness is decided before anything else, so an empty slot never
        // matches, not even a device that reports code 0 and revision 0.
        if (image == nullptr || image->image_length == 0) continue;
        if (image->product_code == product_code && image->hardware_revision == hardware_revision) {
            return image;
        }
    }
    return nullptr;
}

const FirmwareImage* find_image(uint16_t product_code, uint16_t hardware_revision) {
    if (image_file.image_length != 0) {
        const FirmwareImage* const file_catalogue[] = {&image_file};
        return catalogue_find(file_catalogue, 1, product_code, hardware_revision);
    }
    return catalogue_find(image_catalogue, IMAGE_SLOTS, product_code, hardware_revision);
}
