// The system's cryptography, the third platform seam: an ECDSA P-256
// signature over SHA-256 checked against one public key, and SHA-256 alone.
// signature_posix.cpp (libcrypto) and signature_win32.cpp (CNG, bcrypt.dll)
// implement it; nothing here is computed by the program itself. What the
// bytes mean (keys, signature files) is read above this seam.
#ifndef OFWU_PLATFORM_SIGNATURE_H
#define OFWU_PLATFORM_SIGNATURE_H

#include <cstdint>

constexpr uint32_t SIGNATURE_KEY_DER_SIZE = 91;  // SubjectPublicKeyInfo of a P-256 key, uncompressed point
constexpr uint32_t SIGNATURE_KEY_POINT_AT = 27;  // X then Y, 32 bytes each, big-endian, after the 0x04
constexpr uint32_t SIGNATURE_COORDINATE_SIZE = 32;
constexpr uint32_t SIGNATURE_RS_SIZE = 64;       // r then s, 32 bytes each, big-endian
constexpr uint32_t DIGEST_SIZE = 32;             // SHA-256
constexpr uint32_t SIGNATURE_FAILURE_TEXT_SIZE = 160;

enum SignatureCheck : int32_t {
    SIGNATURE_MATCHES = 0,    // this key signed exactly these bytes
    SIGNATURE_DIFFERS = 1,    // it did not: another key made the signature, or it was made over other bytes
    SIGNATURE_UNCHECKED = 2,  // the system's cryptography failed: SignatureFailure says which call and why
};

// One signature, already read strictly: libcrypto takes it as the DER the
// file holds, CNG as r||s.
struct SignatureValue {
    const uint8_t* der;
    uint32_t der_size;
    uint8_t rs[SIGNATURE_RS_SIZE];
};

// Why the system's cryptography failed: the call and the system's own code
// or words, kept until the refusal line says it.
struct SignatureFailure {
    char text[SIGNATURE_FAILURE_TEXT_SIZE];
};

// Whether the key `key_der` signed the `size` bytes at `bytes` with
// `signature` (ECDSA P-256 over their SHA-256).
SignatureCheck signature_check(const uint8_t* key_der, const uint8_t* bytes, uint32_t size,
                               const SignatureValue* signature, SignatureFailure* failure);

// The SHA-256 of `size` bytes into `digest`; false, with `failure` filled,
// when the system cannot make it.
bool signature_digest(const uint8_t* bytes, uint32_t size, uint8_t* digest, SignatureFailure* failure);

#endif
