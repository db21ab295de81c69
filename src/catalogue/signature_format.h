// The two formats an image's signature rests on, read strictly and nothing
// more: a maker's public key as the build takes it in (PEM
// SubjectPublicKeyInfo of a P-256 key, as `openssl pkey -pubout` writes
// it), and a signature file (DER ECDSA-Sig-Value, as `openssl dgst -sha256
// -sign` writes it). No cryptography here: the system checks the signature
// (platform/signature.h). Both readers are constexpr: the build reads each
// built-in key while it compiles (a file that is no such key is a build
// error naming it), and the program reads signature files with the same code.
#ifndef OFWU_CATALOGUE_SIGNATURE_FORMAT_H
#define OFWU_CATALOGUE_SIGNATURE_FORMAT_H

#include <cstdint>

#include "platform/signature.h"

// ---- The maker's public key, PEM ----

// Name, then the text after the key file's name (the build's static_assert
// messages are made from this table).
#define OFWU_KEY_PEM_RULES(RULE)                                                                              \
    RULE(KEY_PEM_ARMOUR, "is not one PEM public key: exactly a line -----BEGIN PUBLIC KEY-----, base64 lines " \
                         "and a line -----END PUBLIC KEY----- (a private key never goes into the build)")     \
    RULE(KEY_PEM_BASE64, "the lines between BEGIN and END are not base64 of one whole DER value")              \
    RULE(KEY_PEM_NOT_P256, "is not the SubjectPublicKeyInfo of a P-256 key with an uncompressed point "         \
                           "(as openssl pkey -pubout writes it)")

#define OFWU_KEY_PEM_RULE_NAME(name, text) name,
enum KeyPemRule : int32_t {
    KEY_PEM_VALID = 0,
    OFWU_KEY_PEM_RULES(OFWU_KEY_PEM_RULE_NAME)
};
#undef OFWU_KEY_PEM_RULE_NAME

// A key as the build took it in: its DER, and the rule its file broke.
struct KeyPem {
    KeyPemRule rule;
    uint8_t der[SIGNATURE_KEY_DER_SIZE];
};

namespace signature_format {

constexpr char PEM_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
constexpr char PEM_END[] = "-----END PUBLIC KEY-----";
constexpr uint32_t PEM_LINE_MAX = 76;  // the longest base64 line PEM allows
// Everything of a P-256 SubjectPublicKeyInfo before X and Y: SEQUENCE {
// SEQUENCE { OID id-ecPublicKey, OID prime256v1 }, BIT STRING { 0x04 ... } }.
constexpr uint8_t P256_KEY_HEAD[SIGNATURE_KEY_POINT_AT] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

// The value of a base64 character, -1 for any other.
constexpr int32_t base64_value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The end of the line that starts at `at` (its "\n" or "\r\n" left out), and
// where the next one starts; false when the line has no end of line and
// `last` does not allow that.
struct PemLine {
    uint32_t start;
    uint32_t end;
    uint32_t next;
};

constexpr PemLine pem_line(const uint8_t* text, uint32_t size, uint32_t at) {
    uint32_t end = at;
    while (end < size && text[end] != '\n') ++end;
    const uint32_t next = end < size ? end + 1 : end;
    if (end > at && text[end - 1] == '\r' && end < size) --end;
    return PemLine{at, end, next};
}

constexpr bool line_is(const uint8_t* text, const PemLine& line, const char* words) {
    uint32_t i = 0;
    for (; words[i] != '\0'; ++i) {
        if (line.start + i >= line.end || text[line.start + i] != static_cast<uint8_t>(words[i])) return false;
    }
    return line.start + i == line.end;
}

// Base64 lines from `line` up to the END line, decoded into key->der: at
// most SIGNATURE_KEY_DER_SIZE bytes (a longer value is no P-256 key), with
// "=" only at the very end and no bits left over. *decoded is their count;
// *end_line the END line.
constexpr KeyPemRule pem_body(const uint8_t* text, uint32_t size, PemLine line, KeyPem* key, uint32_t* decoded,
                              PemLine* end_line) {
    uint32_t bits = 0;     // decoded bits not yet a whole byte
    uint32_t pending = 0;  // how many
    uint32_t chars = 0;    // base64 characters, "=" among them
    uint32_t padding = 0;  // "=" seen
    for (; line.start < size && !line_is(text, line, PEM_END); line = pem_line(text, size, line.next)) {
        if (line.end == line.start || line.end - line.start > PEM_LINE_MAX) return KEY_PEM_BASE64;
        for (uint32_t i = line.start; i < line.end; ++i, ++chars) {
            if (text[i] == '=') {
                ++padding;
                continue;
            }
            const int32_t value = base64_value(text[i]);
            if (value < 0 || padding > 0) return KEY_PEM_BASE64;
            bits = (bits << 6) | static_cast<uint32_t>(value);
            pending += 6;
            if (pending < 8) continue;
            pending -= 8;
            if (*decoded == SIGNATURE_KEY_DER_SIZE) return KEY_PEM_NOT_P256;
            key->der[(*decoded)++] = static_cast<uint8_t>(bits >> pending);
            bits &= (1u << pending) - 1u;
        }
    }
    if (line.start >= size) return KEY_PEM_ARMOUR;
    *end_line = line;
    // Whole groups of four, the padding they need and no more, no bits left over.
    if (chars % 4 != 0 || padding > 2 || bits != 0 || (padding != 0 && padding != 3 - (*decoded % 3))) {
        return KEY_PEM_BASE64;
    }
    return KEY_PEM_VALID;
}

}  // namespace signature_format

// Reads a key file: the BEGIN line, base64 lines of at most 76 characters,
// the END line, and nothing after it but its end of line; "\r\n" or "\n".
constexpr KeyPem key_from_pem(const uint8_t* text, uint32_t size) {
    using namespace signature_format;
    KeyPem key{};
    const PemLine begin = pem_line(text, size, 0);
    if (!line_is(text, begin, PEM_BEGIN) || begin.next == begin.end) {
        key.rule = KEY_PEM_ARMOUR;
        return key;
    }
    uint32_t decoded = 0;
    PemLine end{};
    key.rule = pem_body(text, size, pem_line(text, size, begin.next), &key, &decoded, &end);
    if (key.rule != KEY_PEM_VALID) return key;
    if (end.next != size) {
        key.rule = KEY_PEM_ARMOUR;
        return key;
    }
    bool p256 = decoded == SIGNATURE_KEY_DER_SIZE;
    for (uint32_t i = 0; p256 && i < SIGNATURE_KEY_POINT_AT; ++i) p256 = key.der[i] == P256_KEY_HEAD[i];
    if (!p256) key.rule = KEY_PEM_NOT_P256;
    return key;
}

// ---- A signature file, DER ----

#define OFWU_SIGNATURE_DER_RULES(RULE)                                                                        \
    RULE(SIGNATURE_DER_EMPTY, "the file is empty")                                                          \
    RULE(SIGNATURE_DER_NOT_SEQUENCE, "it does not begin with a DER SEQUENCE (0x30)")                        \
    RULE(SIGNATURE_DER_TRUNCATED, "it ends before the length its SEQUENCE gives: the file is cut short")   \
    RULE(SIGNATURE_DER_TRAILING, "bytes follow the end of its SEQUENCE")                                    \
    RULE(SIGNATURE_DER_LENGTH, "a length field is wrong: r and s do not fill the SEQUENCE exactly, or a "   \
                               "length is not in DER's short form")                                        \
    RULE(SIGNATURE_DER_INTEGER, "r or s is not a positive INTEGER of at most 32 bytes in DER's shortest form")

#define OFWU_SIGNATURE_DER_RULE_NAME(name, text) name,
enum SignatureDerRule : int32_t {
    SIGNATURE_DER_VALID = 0,
    OFWU_SIGNATURE_DER_RULES(OFWU_SIGNATURE_DER_RULE_NAME)
};
#undef OFWU_SIGNATURE_DER_RULE_NAME

namespace signature_format {

// One INTEGER of the SEQUENCE at `*at` (before `end`), right-aligned into
// its 32 bytes of `rs`; *at moves past it.
constexpr SignatureDerRule der_integer(const uint8_t* der, uint32_t end, uint32_t* at, uint8_t* rs) {
    if (*at + 2 > end) return SIGNATURE_DER_LENGTH;
    if (der[*at] != 0x02) return SIGNATURE_DER_INTEGER;  // the INTEGER tag
    const uint32_t length = der[*at + 1];
    if ((length & 0x80u) != 0) return SIGNATURE_DER_LENGTH;  // no INTEGER of P-256 needs the long form
    const uint32_t value = *at + 2;
    if (value + length > end) return SIGNATURE_DER_LENGTH;
    *at = value + length;
    if (length == 0 || (der[value] & 0x80u) != 0) return SIGNATURE_DER_INTEGER;  // none, or negative
    // A leading zero only where the next byte's top bit would read as a sign.
    const bool padded = der[value] == 0 && length > 1;
    if (padded && (der[value + 1] & 0x80u) == 0) return SIGNATURE_DER_INTEGER;
    if (length == 1 && der[value] == 0) return SIGNATURE_DER_INTEGER;  // zero
    const uint32_t digits = padded ? length - 1 : length;
    if (digits > SIGNATURE_COORDINATE_SIZE) return SIGNATURE_DER_INTEGER;
    for (uint32_t i = 0; i < SIGNATURE_COORDINATE_SIZE; ++i) rs[i] = 0;
    for (uint32_t i = 0; i < digits; ++i) rs[SIGNATURE_COORDINATE_SIZE - digits + i] = der[*at - digits + i];
    return SIGNATURE_DER_VALID;
}

}  // namespace signature_format

// Reads a signature file's bytes: SEQUENCE { INTEGER r, INTEGER s }, every
// length in DER's short form (a P-256 signature is at most 72 bytes) and
// nothing after it. `value` points at the bytes and holds r||s.
constexpr SignatureDerRule signature_from_der(const uint8_t* der, uint32_t size, SignatureValue* value) {
    value->der = der;
    value->der_size = size;
    if (size == 0) return SIGNATURE_DER_EMPTY;
    if (der[0] != 0x30) return SIGNATURE_DER_NOT_SEQUENCE;
    if (size < 2) return SIGNATURE_DER_TRUNCATED;
    const uint32_t length = der[1];
    if ((length & 0x80u) != 0) return SIGNATURE_DER_LENGTH;
    if (length + 2 > size) return SIGNATURE_DER_TRUNCATED;
    if (length + 2 < size) return SIGNATURE_DER_TRAILING;
    uint32_t at = 2;
    SignatureDerRule rule = signature_format::der_integer(der, size, &at, value->rs);
    if (rule == SIGNATURE_DER_VALID) {
        rule = signature_format::der_integer(der, size, &at, value->rs + SIGNATURE_COORDINATE_SIZE);
    }
    if (rule == SIGNATURE_DER_VALID && at != size) rule = SIGNATURE_DER_LENGTH;
    return rule;
}

// What a broken rule of either format says, after the file's name.
const char* key_pem_rule_text(KeyPemRule rule);
const char* signature_der_rule_text(SignatureDerRule rule);

#endif
