// The maker's signature on an image file given with --image: the keys built
// into the program, the check of a signature file against them, and what
// the run, --list and --version say of it. An image is flashed only when one
// of the built-in keys signed the whole file (or, with --allow-unsigned,
// when it comes with no signature file at all).
#ifndef OFWU_CATALOGUE_IMAGE_SIGNATURE_H
#define OFWU_CATALOGUE_IMAGE_SIGNATURE_H

#include <cstdint>

#include "catalogue/signature_format.h"
#include "platform/file.h"
#include "platform/signature.h"
#include "state/program_state.h"

constexpr uint32_t KEY_ID_SIZE = 8;  // bytes of the SHA-256 of the key's DER
static_assert(KEY_ID_TEXT_SIZE == 2 * KEY_ID_SIZE + 1, "a key id is its bytes in hex, NUL-terminated");

// The built-in keys, from OFWU_IMAGE_KEYS; the build refuses an empty list.
// `development` marks the tree's development key, whose private half is in
// the tests.
struct ImageKey {
    KeyPem key;
    int32_t development;
};
extern const ImageKey image_keys[];
extern const uint32_t image_key_count;

enum SignatureVerdict : int32_t {
    SIGNATURE_GOOD = 0,         // a key of the list signed exactly these bytes
    SIGNATURE_NO_FILE = 1,      // there is no signature file
    SIGNATURE_UNREADABLE = 2,   // the signature file is there but cannot be read
    SIGNATURE_NOT_DER = 3,      // it is no DER ECDSA signature (`rule` says why)
    SIGNATURE_NO_KEY = 4,       // no key of the list made it over these bytes
    SIGNATURE_NOT_CHECKED = 5,  // the system's cryptography failed (`failure` says why)
};

// One check's answer.
struct SignatureOutcome {
    SignatureVerdict verdict;
    FileRead read;           // SIGNATURE_UNREADABLE: why
    SignatureDerRule rule;   // SIGNATURE_NOT_DER: the rule broken
    uint32_t key;            // SIGNATURE_GOOD: which key of the list
    SignatureFailure failure;
};

// Checks the signature file's `signature_size` bytes against the `size`
// bytes of an image, key by key. Only SIGNATURE_GOOD vouches for the image:
// no key in the list, an empty or broken file, or a failed check never does.
SignatureOutcome signature_verify(const ImageKey* keys, uint32_t key_count, const uint8_t* image, uint32_t size,
                                  const uint8_t* signature, uint32_t signature_size);

// A key's id: the first 8 bytes of the SHA-256 of its DER, in lower-case
// hex into KEY_ID_TEXT_SIZE characters. False, and `failure` filled, when
// the system cannot make the digest.
bool image_key_id(const ImageKey* key, char* text, SignatureFailure* failure);

// The loaded --image file (image_file_bytes) against the built-in keys,
// with its signature at `signature_path`, or beside it as FILE.sig when
// that is nullptr. Prints one line: the key that signed it; the warning of
// an unsigned image taken with `allow_unsigned`; or the refusal naming the
// file and the cause, and then returns false. Fills image_trust.
bool image_signature_check(const char* image_path, const char* signature_path, bool allow_unsigned);
// --list: the signature's state and key, one line under the image's.
void image_signature_print(const char* image_path, const char* signature_path);
// --version: one line a built-in key, its id, and whether it is the development key.
void image_keys_print();

#endif
