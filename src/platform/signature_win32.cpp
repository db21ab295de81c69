// The system's cryptography on Windows: CNG in bcrypt.dll, a DLL of Windows
// itself, so ofwu.exe stays one file. Every handle opened here is closed
// before the call returns.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstdio>

#include "platform/signature.h"

namespace {

// NTSTATUS of a signature that is well formed but not this key's over these bytes.
constexpr NTSTATUS STATUS_SIGNATURE_DIFFERS = static_cast<NTSTATUS>(0xC000A000L);  // STATUS_INVALID_SIGNATURE
// BCRYPT_ECCPUBLIC_BLOB: magic and coordinate size (little-endian u32 each), then X and Y.
constexpr uint32_t KEY_BLOB_SIZE = 8 + 2 * SIGNATURE_COORDINATE_SIZE;

void failure_note(SignatureFailure* failure, const char* call, NTSTATUS status) {
    (void)std::snprintf(failure->text, sizeof failure->text, "%s failed: NTSTATUS 0x%08lX", call,
                        static_cast<unsigned long>(status));  // always fits
}

void put_u32(uint8_t* at, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The SHA-256 of the bytes through a hash object (every Windows since 7;
// BCryptHash alone needs 10).
NTSTATUS digest_make(const uint8_t* bytes, uint32_t size, uint8_t* digest, const char** call) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    *call = "BCryptOpenAlgorithmProvider(SHA256)";
    // Every BCrypt call returns an NTSTATUS, >= 0 (BCRYPT_SUCCESS) on success.
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        *call = "BCryptCreateHash";
        status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    }
    if (BCRYPT_SUCCESS(status)) {
        *call = "BCryptHashData";
        status = BCryptHashData(hash, const_cast<PUCHAR>(bytes), size, 0);  // only read
    }
    if (BCRYPT_SUCCESS(status)) {
        *call = "BCryptFinishHash";
        status = BCryptFinishHash(hash, digest, DIGEST_SIZE, 0);
    }
    // Closing what was opened cannot change the digest already made.
    if (hash != nullptr) (void)BCryptDestroyHash(hash);
    if (algorithm != nullptr) (void)BCryptCloseAlgorithmProvider(algorithm, 0);
    return status;
}

// Imports the key's point and checks r||s over the digest.
NTSTATUS verify_digest(const uint8_t* key_der, const uint8_t* digest, const SignatureValue* signature,
                       const char** call) {
    uint8_t blob[KEY_BLOB_SIZE];
    put_u32(blob, BCRYPT_ECDSA_PUBLIC_P256_MAGIC);
    put_u32(blob + 4, SIGNATURE_COORDINATE_SIZE);
    for (uint32_t i = 0; i < 2 * SIGNATURE_COORDINATE_SIZE; ++i) blob[8 + i] = key_der[SIGNATURE_KEY_POINT_AT + i];
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    *call = "BCryptOpenAlgorithmProvider(ECDSA_P256)";
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) {
        *call = "BCryptImportKeyPair";
        status = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0);
    }
    if (BCRYPT_SUCCESS(status)) {
        *call = "BCryptVerifySignature";
        // The digest and r||s are only read.
        status = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), DIGEST_SIZE,
                                       const_cast<PUCHAR>(signature->rs), SIGNATURE_RS_SIZE, 0);
    }
    // Closing what was opened cannot change the verdict already given.
    if (key != nullptr) (void)BCryptDestroyKey(key);
    if (algorithm != nullptr) (void)BCryptCloseAlgorithmProvider(algorithm, 0);
    return status;
}

}  // namespace

SignatureCheck signature_check(const uint8_t* key_der, const uint8_t* bytes, uint32_t size,
                               const SignatureValue* signature, SignatureFailure* failure) {
    uint8_t digest[DIGEST_SIZE];
    if (!signature_digest(bytes, size, digest, failure)) return SIGNATURE_UNCHECKED;
    const char* call = "";
    const NTSTATUS status = verify_digest(key_der, digest, signature, &call);
    if (BCRYPT_SUCCESS(status)) return SIGNATURE_MATCHES;
    if (status == STATUS_SIGNATURE_DIFFERS) return SIGNATURE_DIFFERS;
    failure_note(failure, call, status);
    return SIGNATURE_UNCHECKED;
}

bool signature_digest(const uint8_t* bytes, uint32_t size, uint8_t* digest, SignatureFailure* failure) {
    const char* call = "";
    const NTSTATUS status = digest_make(bytes, size, digest, &call);
    if (BCRYPT_SUCCESS(status)) return true;
    failure_note(failure, call, status);
    return false;
}
