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

file(WRITE "${OUTPUT}.tmp" "// Made by the build from ${LABEL}; do not edit.
#include \"catalogue/image_checks.h\"

namespace {

constexpr uint8_t IMAGE_BYTES[] = {
${bytes}};
constexpr uint32_t IMAGE_SIZE = sizeof IMAGE_BYTES;

// Every rule of the format, each with its own message naming the file and the rule.
constexpr ImageRule BROKEN = image_first_broken_rule(IMAGE_BYTES, IMAGE_SIZE);
#define OFWU_IMAGE_RULE_CHECK(rule, text) static_assert(BROKEN != rule, \"${LABEL}: \" text);
OFWU_IMAGE_RULES(OFWU_IMAGE_RULE_CHECK)

}  // namespace

extern const FirmwareImage image_slot_${SLOT};
const FirmwareImage image_slot_${SLOT} = image_from_bytes(IMAGE_BYTES);
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
