#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catalogue/product_table.h"
#include "identify/version_query.h"

namespace {

// A record as query_version leaves it before parsing: reset values, and a
// display_name left over from an earlier identification.
DeviceIdentity fresh_identity() {
    DeviceIdentity identity{};
    identity.option_word = NO_OPTION_WORD;
    identity.display_name = "left over";
    return identity;
}

struct ReplyCase {
    const char* line;
    int32_t result;
    uint32_t version;
    uint16_t product_code;
    uint16_t hardware_revision;
    uint32_t option_word;
    const char* reported_name;
};

TEST(VersionReply, ParsesEveryFieldOfTheGrammar) {
    const ReplyCase cases[] = {
        {"=V \"\" 2.58,59,1,0$", 0, 0x023A0000, 59, 1, 0, ""},
        {"=V \"SND44\" 1.05.03c(Beta)$", 0, 0x01050303, 56, 1, NO_OPTION_WORD, "SND44"},
        {"=V \"X\" 2.300$", 0, 0x032C0000, 56, 1, NO_OPTION_WORD, "X"},      // minor carries into major
        {"=V \"X\" 300.1$", 0, 0x2C010000, 56, 1, NO_OPTION_WORD, "X"},      // only 8 bits of major survive
        {"=V \"X\" 2.58.300$", 0, 0x023B2C00, 56, 1, NO_OPTION_WORD, "X"},   // sub carries into minor
        {"=V \"X\"2.58$", 0, 0x003A0000, 56, 1, NO_OPTION_WORD, "X"},        // "2" taken as the separator
        {"=V \"X\" 2.58z$", 0, 0x023A001A, 56, 1, NO_OPTION_WORD, "X"},
        {"=V \"X\" 2.58Z$", 3, 0x023A0000, 56, 1, NO_OPTION_WORD, "X"},       // upper case is no letter
        {"=V \"X\" 2.58(rc$", 3, 0x023A0000, 56, 1, NO_OPTION_WORD, "X"},     // remark never closed
        {"=V \"X\" 2.58,59,1,1F#", 3, 0x023A0000, 59, 1, 0x1F, "X"},         // tail stored, then no "$"
        {"=V \"X\" 2.58,59,1,0x1F$", 0, 0x023A0000, 59, 1, 0x1F, "X"},
        {"=V \"X\" 2.58,65595,2,FFFFFFFF$", 0, 0x023A0000, 59, 2, 0xFFFFFFFF, "X"},
        {"=V \"X\" 2.58,59$", 3, 0x023A0000, 59, 0, 0, "X"},                  // a skip swallows the "$"
        {"=V \"X\" $", 3, 0, 56, 1, NO_OPTION_WORD, "X"},                   // the separator skip takes the "$"
        {"=V \"X\" 2.58$junk after the end", 0, 0x023A0000, 56, 1, NO_OPTION_WORD, "X"},
    };
    for (const ReplyCase& c : cases) {
        DeviceIdentity identity = fresh_identity();
        EXPECT_EQ(parse_version_reply(&identity, c.line), c.result) << c.line;
        EXPECT_EQ(identity.version, c.version) << c.line;
        EXPECT_EQ(identity.product_code, c.product_code) << c.line;
        EXPECT_EQ(identity.hardware_revision, c.hardware_revision) << c.line;
        EXPECT_EQ(identity.option_word, c.option_word) << c.line;
        EXPECT_STREQ(identity.reported_name, c.reported_name) << c.line;
    }
}

TEST(VersionReply, DisplayNameIsReportedNameOrTableName) {
    DeviceIdentity identity = fresh_identity();
    ASSERT_EQ(parse_version_reply(&identity, "=V \"\" 2.58,59,1,0$"), 0);
    EXPECT_EQ(identity.display_name, product_name(59, 1));

    identity = fresh_identity();
    ASSERT_EQ(parse_version_reply(&identity, "=V \"SND44\" 1.05$"), 0);
    EXPECT_EQ(identity.display_name, identity.reported_name);

    identity = fresh_identity();
    ASSERT_EQ(parse_version_reply(&identity, "=V \"\" 1.05,57,1,0$"), 0);
    EXPECT_EQ(identity.display_name, nullptr);  // a product the table does not know

    // A reply that fails leaves display_name where an earlier success put it.
    identity = fresh_identity();
    EXPECT_EQ(parse_version_reply(&identity, "=V \"\" 1.05#"), 3);
    EXPECT_STREQ(identity.display_name, "left over");
}

TEST(VersionReply, NameOf31CharactersFitsAnd32DoesNot) {
    const std::string name31(31, 'N');
    const std::string name32(32, 'N');

    DeviceIdentity identity = fresh_identity();
    EXPECT_EQ(parse_version_reply(&identity, ("=V \"" + name31 + "\" 2.59$").c_str()), 0);
    EXPECT_EQ(std::string(identity.reported_name), name31);

    identity = fresh_identity();
    EXPECT_EQ(parse_version_reply(&identity, ("=V \"" + name32 + "\" 2.59$").c_str()), 2);
    EXPECT_EQ(std::string(identity.reported_name), name31);  // the copied part stays

    identity = fresh_identity();
    EXPECT_EQ(parse_version_reply(&identity, "=V \"unclosed"), 2);
    EXPECT_STREQ(identity.reported_name, "unclosed");
}

TEST(VersionReply, LineWithoutThePrefixLeavesTheRecordAlone) {
    const char* lines[] = {"=V X", "", "=V", "=v \"X\" 2.58$", "!100,1,0$"};
    for (const char* line : lines) {
        DeviceIdentity identity = fresh_identity();
        std::strcpy(identity.reported_name, "kept");
        identity.version = 0x12345678;
        EXPECT_EQ(parse_version_reply(&identity, line), 1) << line;
        EXPECT_STREQ(identity.reported_name, "kept") << line;
        EXPECT_EQ(identity.version, 0x12345678u) << line;
    }
}

}  // namespace
