// The system's cryptography on POSIX systems: OpenSSL's libcrypto (libssl3
// on Debian). The library allocates its key and digest contexts itself;
// each is freed before the call returns.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

#include "platform/signature.h"

namespace {

// "EVP_DigestVerifyInit: error:...", the call and libcrypto's first queued
// reason; the queue is emptied so that a later check starts clean.
void failure_note(SignatureFailure* failure, const char* call) {
    char reason[SIGNATURE_FAILURE_TEXT_SIZE / 2] = "no reason given";
    const unsigned long code = ERR_get_error();
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    (void)std::snprintf(failure->text, sizeof failure->text, "%s failed: %s", call, reason);  // cut, never overrun
}

}  // namespace

SignatureCheck signature_check(const uint8_t* key_der, const uint8_t* bytes, uint32_t size,
                               const SignatureValue* signature, SignatureFailure* failure) {
    const unsigned char* cursor = key_der;
    // d2i_PUBKEY returns nullptr when the bytes are no public key or the
    // point is not on its curve.
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, SIGNATURE_KEY_DER_SIZE);
    if (key == nullptr) {
        failure_note(failure, "d2i_PUBKEY");
        return SIGNATURE_UNCHECKED;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    SignatureCheck result = SIGNATURE_UNCHECKED;
    if (context == nullptr) {
        failure_note(failure, "EVP_MD_CTX_new");
    } else if (EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) != 1) {  // 1 on success
        failure_note(failure, "EVP_DigestVerifyInit");
    } else {
        // EVP_DigestVerify: 1 when the signature is good, 0 when it is not,
        // negative when the check itself failed.
        const int verified = EVP_DigestVerify(context, signature->der, signature->der_size, bytes, size);
        if (verified == 1) result = SIGNATURE_MATCHES;
        else if (verified == 0) result = SIGNATURE_DIFFERS;
        else failure_note(failure, "EVP_DigestVerify");
        // A signature that does not match leaves its reason queued: not a failure.
        if (verified == 0) ERR_clear_error();
    }
    EVP_MD_CTX_free(context);  // both take nullptr
    EVP_PKEY_free(key);
    return result;
}

bool signature_digest(const uint8_t* bytes, uint32_t size, uint8_t* digest, SignatureFailure* failure) {
    unsigned int length = 0;
    // EVP_Digest returns 1 on success.
    if (EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != DIGEST_SIZE) {
        failure_note(failure, "EVP_Digest");
        return false;
    }
    return true;
}
