# Turns the maker's public keys into a C++ source holding each key file as
# constant data, read and checked while it compiles: a file that is no PEM
# P-256 public key is a build error that names it and the rule. The tree's
# development key (keys/development.pem, its private half in tests/keys)
# is marked, and a build with it warns. An empty list is an error: with no
# key, no image file could ever be verified.
#
#   cmake -DKEYS=<a.pem;b.pem> -DROOT=<the tree's root> -DOUTPUT=<.cpp> -P embed_keys.cmake
# (or include()d with those variables set). Sets KEY_FILES, the files read.
foreach(var ROOT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_keys.cmake needs -D${var}=...")
  endif()
endforeach()
list(LENGTH KEYS key_count)
if(key_count EQUAL 0)
  message(FATAL_ERROR "OFWU_IMAGE_KEYS is empty: with no key no image file could ever be verified. "
    "Name the maker's public key (README.md, Signing image files).")
endif()

# The base64 of a PEM file without its line ends: the same text is the same key.
function(ofwu_key_text file out)
  file(READ ${file} text)
  string(REGEX REPLACE "[\r\n]" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

ofwu_key_text(${ROOT}/keys/development.pem development_text)
set(KEY_FILES "")
set(key_sources "")
set(key_entries "")
set(key 0)
foreach(key_file IN LISTS KEYS)
  get_filename_component(key_file ${key_file} ABSOLUTE BASE_DIR ${ROOT})
  if(NOT EXISTS ${key_file} OR IS_DIRECTORY ${key_file})
    message(FATAL_ERROR "OFWU_IMAGE_KEYS: ${key_file}: no such file")
  endif()
  list(APPEND KEY_FILES ${key_file})
  file(RELATIVE_PATH label ${ROOT} ${key_file})
  if(label MATCHES "^\\.\\./")
    set(label ${key_file})
  endif()
  file(READ ${key_file} hex HEX)
  if(hex STREQUAL "")
    message(FATAL_ERROR "OFWU_IMAGE_KEYS: ${label}: the key file is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  ofwu_key_text(${key_file} key_text)
  set(development 0)
  if(key_text STREQUAL development_text)
    set(development 1)
    message(WARNING "OFWU_IMAGE_KEYS holds the development key (${label}): its private half is in "
      "tests/keys, so anyone can sign an image file this build flashes. A release names the maker's key.")
  endif()
  string(APPEND key_sources "
namespace key_${key} {
constexpr uint8_t PEM[] = {${bytes}};
constexpr KeyPem KEY = key_from_pem(PEM, sizeof PEM);
#define OFWU_KEY_RULE_CHECK(broken, text) static_assert(KEY.rule != (broken), \"${label}: \" text);
OFWU_KEY_PEM_RULES(OFWU_KEY_RULE_CHECK)
#undef OFWU_KEY_RULE_CHECK
}  // namespace key_${key}
")
  string(APPEND key_entries "    {key_${key}::KEY, ${development}},  // ${label}\n")
  math(EXPR key "${key} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Made by the build from OFWU_IMAGE_KEYS; do not edit.
#include \"catalogue/image_signature.h\"

namespace {
${key_sources}
}  // namespace

const ImageKey image_keys[] = {
${key_entries}};
const uint32_t image_key_count = sizeof image_keys / sizeof image_keys[0];
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
