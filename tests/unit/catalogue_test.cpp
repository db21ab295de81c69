#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "catalogue/image_signature.h"
#include "image_damage.h"

namespace {

// The catalogue's slots: an SND44 of hardware revision 1, then 2. Whatever
// image files the build took in, each must keep every rule of the format.
TEST(Catalogue, BuiltInImagesFillTheirSlotsAndKeepTheRules) {
    for (uint32_t slot = 0; slot < IMAGE_SLOTS; ++slot) {
        SCOPED_TRACE(slot);
        const FirmwareImage* image = image_catalogue[slot];
        if (slot >= 2) {
            EXPECT_EQ(image, nullptr);
            continue;
        }
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->product_code, 59u);
        EXPECT_EQ(image->hardware_revision, slot + 1);
        EXPECT_EQ(image_first_broken_rule(image->bytes, image->image_length), IMAGE_VALID);
    }
}

// The walk hands out block_count records, each right after the one before,
// none longer than max_block_length and one that long, and ends on the trailer.
TEST(Catalogue, BlockWalkVisitsEveryRecordAndStopsOnTheTrailer) {
    for (uint32_t slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(slot);
        const FirmwareImage* image = image_catalogue[slot];
        BlockWalk walk = image_blocks(image);
        ImageBlock block{};
        uint32_t visited = 0;
        uint32_t longest = 0;
        const uint8_t* next_body = image->bytes + IMAGE_HEADER_SIZE + 2;
        while (block_next(&walk, &block)) {
            ++visited;
            EXPECT_EQ(block.body, next_body) << "record " << visited;
            next_body = block.body + block.length;
            longest = std::max<uint32_t>(longest, block.length);
        }
        EXPECT_EQ(visited, image->block_count);
        EXPECT_EQ(longest, image->max_block_length);
        EXPECT_EQ(static_cast<uint32_t>(walk.cursor - image->bytes), image->image_length - IMAGE_TRAILER_SIZE);
        EXPECT_FALSE(block_next(&walk, &block)) << "the walk stays ended";
    }
}

// The run-time check of an image file: each damage breaks its rule, and a
// file cut short anywhere in its header is too short.
TEST(ImageRules, EachDamageIsFoundAsTheRuleItBreaks) {
    const ImageBytes original(image_catalogue[0]->bytes, image_catalogue[0]->bytes + image_catalogue[0]->image_length);
    for (const ImageDamage& c : IMAGE_DAMAGE) {
        ImageBytes damaged = original;
        c.damage(damaged);
        EXPECT_EQ(image_first_broken_rule(damaged.data(), static_cast<uint32_t>(damaged.size())), c.rule) << c.label;
    }
    for (uint32_t size = 0; size < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE; size += 4) {
        EXPECT_EQ(image_first_broken_rule(original.data(), size), RULE_HEADER) << size;
    }
    EXPECT_STREQ(image_rule_text(RULE_CRC), "CRC-32 does not match the contents");
}

TEST(Catalogue, FindImageMatchesProductAndRevisionExactly) {
    EXPECT_EQ(find_image(59, 1), image_catalogue[0]);
    EXPECT_EQ(find_image(59, 2), image_catalogue[1]);
    EXPECT_EQ(find_image(59, 3), nullptr);
    EXPECT_EQ(find_image(59, 0), nullptr);
    EXPECT_EQ(find_image(56, 1), nullptr);
    EXPECT_EQ(find_image(0, 0), nullptr);
}

TEST(Catalogue, EmptySlotsNeverMatchAndTheLowerSlotWins) {
    FirmwareImage empty{};  // image_length 0, product 0, revision 0
    FirmwareImage first{};
    first.image_length = 100;
    first.product_code = 59;
    first.hardware_revision = 1;
    FirmwareImage second = first;
    FirmwareImage zero_pair{};
    zero_pair.image_length = 100;
    const FirmwareImage* slots[] = {nullptr, &empty, &first, &second, &zero_pair};
    EXPECT_EQ(catalogue_find(slots, 5, 59, 1), &first);
    EXPECT_EQ(catalogue_find(slots, 2, 0, 0), nullptr) << "an empty slot must not match 0/0";
    EXPECT_EQ(catalogue_find(slots, 5, 0, 0), &zero_pair);
    const FirmwareImage* swapped[] = {&second, &first};
    EXPECT_EQ(catalogue_find(swapped, 2, 59, 1), &second);
}

// ---- Signatures of image files ----

// The tree's development key (keys/development.pem) and the second pair of
// tests/keys, as openssl pkey -pubout writes them.
constexpr char DEVELOPMENT_PEM[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEz7y5UopyJ5+xvN7IkVr9R0oKZrni\n"
    "cmUOS9+2vec08QPDbMJq7D7jMQP3uFW8dlBOFD6xaNoO2lq6kXzRTSZojg==\n"
    "-----END PUBLIC KEY-----\n";
constexpr char SECOND_PEM[] =
    "-----BEGIN PUBLIC KEY-----\r\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE9CLNj2ewqqAPqYXJNfPCsiZe5SwO\r\n"
    "KbesmF1FXH1j4OeQ8JonZ5FubH8I93qeMj2JFXTelBNuH6WD/Kw2vemvCA==\r\n"
    "-----END PUBLIC KEY-----";

KeyPem key_of(const std::string& text) {
    return key_from_pem(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

std::vector<uint8_t> hex_bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A key file is taken only as one PEM P-256 public key, uncompressed (the
// build's check, image_build_check_test.cpp, meets a private key and a
// compressed point).
TEST(ImageKeys, KeyFilesAreReadStrictly) {
    const std::string body = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEz7y5UopyJ5+xvN7IkVr9R0oKZrni\n"
                             "cmUOS9+2vec08QPDbMJq7D7jMQP3uFW8dlBOFD6xaNoO2lq6kXzRTSZojg==\n";
    const std::string begin = "-----BEGIN PUBLIC KEY-----\n", end = "-----END PUBLIC KEY-----\n";
    const struct { const char* name; std::string text; KeyPemRule rule; } cases[] = {
        {"lf", DEVELOPMENT_PEM, KEY_PEM_VALID},
        {"crlf, no last line end", SECOND_PEM, KEY_PEM_VALID},
        {"text after the end", std::string(DEVELOPMENT_PEM) + "x\n", KEY_PEM_ARMOUR},
        {"no end", begin + body, KEY_PEM_ARMOUR},
        {"not base64", begin + body.substr(0, 10) + "*" + body.substr(11) + end, KEY_PEM_BASE64},
        {"padding bits set", begin + body.substr(0, body.size() - 4) + "h==\n" + end, KEY_PEM_BASE64},
        {"longer than a P-256 key", begin + body.substr(0, body.size() - 3) + "AA\n" + end, KEY_PEM_NOT_P256},
    };
    for (const auto& c : cases) EXPECT_EQ(key_of(c.text).rule, c.rule) << c.name;
    // The id of a key, made by the system's SHA-256 (as sha256sum of its DER shows it).
    const ImageKey development = {key_of(DEVELOPMENT_PEM), 1};
    char id[KEY_ID_TEXT_SIZE];
    SignatureFailure failure{};
    ASSERT_TRUE(image_key_id(&development, id, &failure)) << failure.text;
    EXPECT_STREQ(id, "3fc84277b2c44dfe");
}

// A signature vouches for the bytes only when a key of the list made it
// over exactly them: each row a key list, the bytes, the signature file,
// and the verdict (the key that made it, or the rule a broken file breaks;
// an empty, cut or overlong file meets the program in
// program_signature_test.cpp). ECDSA under the system's own cryptography:
// libcrypto, or CNG under Wine.
TEST(ImageSignature, OnlyAKeyOfTheListOverTheseBytesVouches) {
    const std::string message = "ofwu signature check\n";  // openssl dgst -sha256 -sign KEY -out SIG
    const std::string by_development =
        "304502203613b3a6358493bffeffd5bd4cd5105592c73119b45a8b2199d9ecf8831482b1"
        "022100a9ad68cecf2dbe9b1635690ff0537e8d0ca35d4bd87a1efa102f6a1c979de4a7";
    const std::string by_second =
        "3045022100cee28cefd229e86a7e0e72b666211f6caad79e389dcd6548cf4dbbf54ea07b02"
        "02200102028cf9f445efdcb0c02c172a444a139145aa7e5747f5c6b4abd775700908";
    const ImageKey development = {key_of(DEVELOPMENT_PEM), 1}, second = {key_of(SECOND_PEM), 0};
    const std::vector<ImageKey> both = {development, second}, only_development = {development},
                                only_second = {second}, none;
    const std::string s_past_the_order = "3045" + by_development.substr(4, 68) + "022100" + std::string(64, 'f');
    const struct {
        const char* name;
        const std::vector<ImageKey>& keys;
        std::string bytes;
        std::string signature;  // in hex
        SignatureVerdict verdict;
        uint32_t key;
        SignatureDerRule rule;
    } cases[] = {
        {"the only key", only_development, message, by_development, SIGNATURE_GOOD, 0, SIGNATURE_DER_VALID},
        {"the second of two", both, message, by_second, SIGNATURE_GOOD, 1, SIGNATURE_DER_VALID},
        {"a key not built in", only_second, message, by_development, SIGNATURE_NO_KEY, 0, SIGNATURE_DER_VALID},
        {"bytes changed after", both, "ofwu signature check!", by_development, SIGNATURE_NO_KEY, 0, SIGNATURE_DER_VALID},
        {"no key at all", none, message, by_development, SIGNATURE_NO_KEY, 0, SIGNATURE_DER_VALID},
        {"s not below the order", both, message, s_past_the_order, SIGNATURE_NO_KEY, 0, SIGNATURE_DER_VALID},
        {"no sequence", both, message, "31" + by_development.substr(2), SIGNATURE_NOT_DER, 0, SIGNATURE_DER_NOT_SEQUENCE},
        {"long-form length", both, message, "308145" + by_development.substr(4), SIGNATURE_NOT_DER, 0, SIGNATURE_DER_LENGTH},
        {"r zero", both, message, "3006020100020101", SIGNATURE_NOT_DER, 0, SIGNATURE_DER_INTEGER},
        {"r negative", both, message, "3006020180020101", SIGNATURE_NOT_DER, 0, SIGNATURE_DER_INTEGER},
        {"r padded needlessly", both, message, "300702020001020101", SIGNATURE_NOT_DER, 0, SIGNATURE_DER_INTEGER},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> signature = hex_bytes(c.signature);
        const SignatureOutcome outcome = signature_verify(
            c.keys.data(), static_cast<uint32_t>(c.keys.size()), reinterpret_cast<const uint8_t*>(c.bytes.data()),
            static_cast<uint32_t>(c.bytes.size()), signature.data(), static_cast<uint32_t>(signature.size()));
        EXPECT_EQ(outcome.verdict, c.verdict) << c.name << ": " << outcome.failure.text;
        EXPECT_EQ(outcome.rule, c.rule) << c.name;
        EXPECT_EQ(outcome.key, c.key) << c.name;
    }
}

}  // namespace
