// The two readers of a signature's formats: a signature file given beside
// an --image file (or with --signature), and a key file as the build takes
// it in.
//
// Input: one mode byte (even: the rest is a signature file; odd: a key file),
// then the file's bytes.
//
// Properties: nothing outside the bytes is read (the copy on the heap is
// exactly their size); every rule broken has its text; a signature accepted
// is the one DER encoding of its r and s (encoded again here, the plain way,
// it gives the same bytes) and no shorter prefix of it is accepted; a key
// accepted is a P-256 SubjectPublicKeyInfo whose base64, encoded again here,
// is exactly the text between its BEGIN and END lines without line ends.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/signature_format.h"
#include "fuzz_check.h"

namespace {

// One INTEGER as DER writes it: no leading zero but the one before a top bit.
void put_integer(std::vector<uint8_t>* der, const uint8_t* digits) {
    uint32_t first = 0;
    while (first + 1 < SIGNATURE_COORDINATE_SIZE && digits[first] == 0) ++first;
    const bool sign = (digits[first] & 0x80u) != 0;
    der->push_back(0x02);
    der->push_back(static_cast<uint8_t>(SIGNATURE_COORDINATE_SIZE - first + (sign ? 1 : 0)));
    if (sign) der->push_back(0x00);
    der->insert(der->end(), digits + first, digits + SIGNATURE_COORDINATE_SIZE);
}

void check_signature(const uint8_t* bytes, uint32_t size) {
    SignatureValue value{};
    const SignatureDerRule rule = signature_from_der(bytes, size, &value);
    FUZZ_CHECK(signature_der_rule_text(rule) != nullptr);
    if (rule != SIGNATURE_DER_VALID) return;
    std::vector<uint8_t> integers;
    put_integer(&integers, value.rs);
    put_integer(&integers, value.rs + SIGNATURE_COORDINATE_SIZE);
    std::vector<uint8_t> der = {0x30, static_cast<uint8_t>(integers.size())};
    der.insert(der.end(), integers.begin(), integers.end());
    FUZZ_CHECK(der.size() == size && std::memcmp(der.data(), bytes, size) == 0);
    for (uint32_t shorter = 0; shorter < size; ++shorter) {
        SignatureValue cut{};
        FUZZ_CHECK(signature_from_der(bytes, shorter, &cut) != SIGNATURE_DER_VALID);
    }
}

std::string base64(const uint8_t* bytes, uint32_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (uint32_t i = 0; i < size; i += 3) {
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < size) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < size) group |= bytes[i + 2];
        for (uint32_t k = 0; k < 4; ++k) text += i + k <= size ? digits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

void check_key(const uint8_t* bytes, uint32_t size) {
    const KeyPem key = key_from_pem(bytes, size);
    FUZZ_CHECK(key_pem_rule_text(key.rule) != nullptr);
    if (key.rule != KEY_PEM_VALID) return;
    FUZZ_CHECK(std::memcmp(key.der, signature_format::P256_KEY_HEAD, SIGNATURE_KEY_POINT_AT) == 0);
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    const size_t begin = text.find('\n') + 1;
    const size_t end = text.find("-----END");
    FUZZ_CHECK(end != std::string::npos && begin <= end);
    std::string body;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] != '\r' && text[i] != '\n') body += text[i];
    }
    FUZZ_CHECK(body == base64(key.der, SIGNATURE_KEY_DER_SIZE));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 0xFFFFFFFFu) return 0;
    const size_t length = size - 1;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[length > 0 ? length : 1]);
    if (length > 0) std::memcpy(bytes.get(), data + 1, length);
    if ((data[0] & 1u) == 0) check_signature(bytes.get(), static_cast<uint32_t>(length));
    else check_key(bytes.get(), static_cast<uint32_t>(length));
    return 0;
}
