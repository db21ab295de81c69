// The maker's signature on an --image file: read beside the image (or where
// --signature names it), checked against every built-in key, and told in
// one line. The cryptography is the system's (platform/signature.h).
#include "catalogue/image_signature.h"

#include <cstdio>

#include "platform/console.h"
#include "state/program_state.h"

namespace {

// Far more than the 72 bytes of the longest DER P-256 signature: a larger
// file is none, and is not read past this.
constexpr uint32_t SIGNATURE_FILE_MAX = 1024;
// FILE.sig beside any image path the system could open: Linux opens at most
// 4095 characters, Windows' long paths 32767.
constexpr uint32_t SIGNATURE_PATH_SIZE = 32768 + sizeof ".sig";
// After the id of the tree's development key, whose private half anyone has.
constexpr char DEVELOPMENT_NOTE[] = " (the development key: for tests only, it proves nothing of the maker)";
constexpr char DEVELOPMENT_BUILD_NOTE[] = " (the development key: this build is for tests, not for release)";

uint8_t signature_file_bytes[SIGNATURE_FILE_MAX];
char beside_path[SIGNATURE_PATH_SIZE];

// What a signature file that could not be read is, after its name.
const char* read_failure_text(FileRead result) {
    switch (result) {
        case FILE_READ_MISSING: return "does not exist";
        case FILE_READ_DIRECTORY: return "is a folder, not a signature file";
        case FILE_READ_UNREADABLE: return "cannot be read";
        case FILE_READ_PERMISSION: return "cannot be read: permission denied";
        case FILE_READ_LINK_LOOP: return "cannot be read: too many symbolic links";
        case FILE_READ_STALLED: return "cannot be read: nothing came from it for 30 s";
        case FILE_READ_TOO_LARGE: return "is larger than any DER ECDSA signature";
        case FILE_READ_OK: break;
    }
    return "";
}

// The signature's path: the one --signature named, or FILE.sig.
const char* signature_path_of(const char* image_path, const char* named) {
    if (named != nullptr) return named;
    // Fits: the image at `image_path` has been opened (SIGNATURE_PATH_SIZE).
    (void)std::snprintf(beside_path, sizeof beside_path, "%s.sig", image_path);
    return beside_path;
}

// The loaded image file against the built-in keys.
SignatureOutcome image_file_verify(const char* signature_path) {
    uint32_t size = 0;
    const FileRead read = file_read_whole(signature_path, signature_file_bytes, SIGNATURE_FILE_MAX, &size);
    if (read != FILE_READ_OK) {
        SignatureOutcome outcome{};
        outcome.verdict = read == FILE_READ_MISSING ? SIGNATURE_NO_FILE : SIGNATURE_UNREADABLE;
        outcome.read = read;
        return outcome;
    }
    return signature_verify(image_keys, image_key_count, image_file_bytes, image_file.image_length,
                            signature_file_bytes, size);
}

// The outcome's one line, `lead` before it: the key that signed the image,
// or the cause that it cannot be flashed.
void outcome_print(const char* lead, const char* image, const char* signature, const SignatureOutcome& outcome) {
    switch (outcome.verdict) {
        case SIGNATURE_GOOD: {
            char id[KEY_ID_TEXT_SIZE];
            SignatureFailure failure{};
            const ImageKey& key = image_keys[outcome.key];
            if (!image_key_id(&key, id, &failure)) {
                print_message("%s%s: signature good, key id unknown: %s\n", lead, image, failure.text);
                return;
            }
            print_message("%s%s: signature good, key %s%s\n", lead, image, id, key.development ? DEVELOPMENT_NOTE : "");
            return;
        }
        case SIGNATURE_NO_FILE:
            print_message("%s%s: not signed: there is no signature file %s\n", lead, image, signature);
            return;
        case SIGNATURE_UNREADABLE:
            print_message("%s%s: the signature file %s %s\n", lead, image, signature, read_failure_text(outcome.read));
            return;
        case SIGNATURE_NOT_DER:
            print_message("%s%s: %s is not a DER ECDSA signature: %s\n", lead, image, signature,
                          signature_der_rule_text(outcome.rule));
            return;
        case SIGNATURE_NO_KEY:
            print_message("%s%s: the signature in %s matches none of the built-in keys: the image was changed after it "
                          "was signed, or a key this program does not know made it (a DER ECDSA signature does not "
                          "name its key)\n",
                          lead, image, signature);
            return;
        case SIGNATURE_NOT_CHECKED:
            print_message("%s%s: the signature in %s cannot be checked: %s\n", lead, image, signature,
                          outcome.failure.text);
            return;
    }
}

}  // namespace

SignatureOutcome signature_verify(const ImageKey* keys, uint32_t key_count, const uint8_t* image, uint32_t size,
                                  const uint8_t* signature, uint32_t signature_size) {
    SignatureOutcome outcome{};
    SignatureValue value{};
    outcome.rule = signature_from_der(signature, signature_size, &value);
    if (outcome.rule != SIGNATURE_DER_VALID) {
        outcome.verdict = SIGNATURE_NOT_DER;
        return outcome;
    }
    // Until a key is found that made it, the signature vouches for nothing:
    // also with no key at all. A check the system could not make is told
    // only when no other key made the signature.
    outcome.verdict = SIGNATURE_NO_KEY;
    for (uint32_t k = 0; k < key_count; ++k) {
        if (keys[k].key.rule != KEY_PEM_VALID) continue;
        SignatureFailure failure{};
        const SignatureCheck check = signature_check(keys[k].key.der, image, size, &value, &failure);
        if (check == SIGNATURE_MATCHES) {
            outcome.verdict = SIGNATURE_GOOD;
            outcome.key = k;
            return outcome;
        }
        if (check == SIGNATURE_UNCHECKED) {
            outcome.verdict = SIGNATURE_NOT_CHECKED;
            outcome.failure = failure;
        }
    }
    return outcome;
}

bool image_key_id(const ImageKey* key, char* text, SignatureFailure* failure) {
    uint8_t digest[DIGEST_SIZE];
    text[0] = '\0';
    if (!signature_digest(key->key.der, SIGNATURE_KEY_DER_SIZE, digest, failure)) return false;
    for (uint32_t i = 0; i < KEY_ID_SIZE; ++i) {
        (void)std::snprintf(text + 2 * static_cast<size_t>(i), 3, "%02x", digest[i]);  // two digits and the NUL: fits
    }
    return true;
}

bool image_signature_check(const char* image_path, const char* signature_path, bool allow_unsigned) {
    const char* path = signature_path_of(image_path, signature_path);
    const SignatureOutcome outcome = image_file_verify(path);
    if (outcome.verdict == SIGNATURE_NO_FILE && allow_unsigned) {
        image_trust.trust = IMAGE_TRUST_UNSIGNED;
        print_message("\nWarning: %s is not signed (there is no signature file %s): it is flashed all the same "
                      "(--allow-unsigned), for development only\n",
                      image_path, path);
        return true;
    }
    outcome_print("\n", image_path, path, outcome);
    if (outcome.verdict != SIGNATURE_GOOD) return false;
    SignatureFailure failure{};
    // Without an id the report says "key:" alone; the line above told why.
    (void)image_key_id(&image_keys[outcome.key], image_trust.key_id, &failure);
    image_trust.trust = IMAGE_TRUST_KEY;
    return true;
}

void image_signature_print(const char* image_path, const char* signature_path) {
    const char* path = signature_path_of(image_path, signature_path);
    outcome_print("", image_path, path, image_file_verify(path));
}

void image_keys_print() {
    for (uint32_t k = 0; k < image_key_count; ++k) {
        char id[KEY_ID_TEXT_SIZE];
        SignatureFailure failure{};
        if (!image_key_id(&image_keys[k], id, &failure)) {
            print_message("Image key: id unknown: %s\n", failure.text);
            continue;
        }
        print_message("Image key: %s%s\n", id, image_keys[k].development ? DEVELOPMENT_BUILD_NOTE : "");
    }
}
