# Turns one image file into a C++ source holding the image as constant data,
# with compile-time checks of every rule of the image format, so that a
# broken image file is a build error that names the file and the rule.
#
#   cmake -DIMAGE=<file> -DLABEL=<name in messages> -DSLOT=<n> -DOUTPUT=<.cpp> -P embed_image.cmake
foreach(var IMAGE LABEL SLOT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_image.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${IMAGE}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "${LABEL}: the image file is empty")
endif()
# 16 bytes a line, each as 0xNN.
string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")

set(check "static_assert")
file(WRITE "${OUTPUT}.tmp" "// Made by the build from ${LABEL}; do not edit.
#include \"catalogue/image_checks.h\"

namespace {

constexpr uint8_t IMAGE_BYTES[] = {
${bytes}};
constexpr uint32_t IMAGE_SIZE = sizeof IMAGE_BYTES;

using namespace image_checks;
${check}(header_fits(IMAGE_SIZE), \"${LABEL}: shorter than a header and a trailer\");
${check}(length_is_file_size(IMAGE_BYTES, IMAGE_SIZE), \"${LABEL}: image_length is not the size of the file\");
${check}(format_is_known(IMAGE_BYTES), \"${LABEL}: format_version is not 1.00 or reserved is not 0\");
constexpr bool CHAIN_OK = blocks_end_on_trailer(IMAGE_BYTES, IMAGE_SIZE);
${check}(CHAIN_OK, \"${LABEL}: the block_count records (3 to 252 bytes each) do not end on the CRC trailer\");
${check}(!CHAIN_OK || block_sizes_agree(IMAGE_BYTES), \"${LABEL}: max_block_length or flash_length does not agree with the block records\");
${check}(flash_range_agrees(IMAGE_BYTES), \"${LABEL}: flash_length is not flash_end - flash_start + 1\");
${check}(crc_matches(IMAGE_BYTES, IMAGE_SIZE), \"${LABEL}: image_crc is not the CRC-32 of the image\");
${check}(name_matches_product_table(IMAGE_BYTES), \"${LABEL}: name is not the product table's name for the image's product code and hardware revision\");

}  // namespace

extern const FirmwareImage image_slot_${SLOT};
const FirmwareImage image_slot_${SLOT} = image_from_bytes(IMAGE_BYTES);
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
