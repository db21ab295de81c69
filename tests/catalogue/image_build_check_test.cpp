// A broken image file must fail the build, naming the file and the rule it
// breaks. Each case writes a damaged copy of a sample image, turns it into
// source the way the build does, and compiles it. So must a key list that
// is empty or holds a file that is no public key.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
#include "catalogue/signature_format.h"
#include "image_damage.h"

namespace {

using Bytes = ImageBytes;

Bytes load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct BuildResult {
    int status;
    std::string output;
};

// Embeds `image` as the build does and compiles the result.
BuildResult build_image(const std::string& label, const Bytes& image) {
    const std::string dir = ::testing::TempDir();
    const std::string file = dir + label;
    const std::string source = file + ".cpp";
    const std::string log = file + ".log";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    const std::string command = std::string("\"") + OFWU_CMAKE + "\" -DIMAGE=" + file + " -DLABEL=" + label +
                                " -DSLOT=0 -DOUTPUT=" + source + " -P " + OFWU_SOURCE_DIR +
                                "/src/catalogue/embed_image.cmake > " + log + " 2>&1 && \"" + OFWU_CXX +
                                "\" -std=c++17 -fsyntax-only -I" + OFWU_SOURCE_DIR + "/src " + source + " >> " +
                                log + " 2>&1";
    BuildResult result{std::system(command.c_str()), ""};
    std::ifstream in(log);
    result.output.assign(std::istreambuf_iterator<char>(in), {});
    std::remove(file.c_str());
    std::remove(source.c_str());
    std::remove(log.c_str());
    return result;
}

TEST(ImageBuildCheck, SampleImageBuilds) {
    const BuildResult result = build_image("intact.img", load(std::string(OFWU_SOURCE_DIR) + "/firmware/snd44_rev1.img"));
    EXPECT_EQ(result.status, 0) << result.output;
}

// The build evaluates the same rules as the program does at run time (the
// run-time check meets every rule in the unit tests): a few of them here, the
// first, the last, and some between, each a build error naming file and rule.
TEST(ImageBuildCheck, BrokenRulesFailTheBuildAndAreNamed) {
    const Bytes original = load(std::string(OFWU_SOURCE_DIR) + "/firmware/snd44_rev1.img");
    ASSERT_FALSE(original.empty());
    for (const ImageDamage& c : IMAGE_DAMAGE) {
        if (c.rule != RULE_HEADER && c.rule != RULE_CHAIN && c.rule != RULE_FLASH_INVERTED && c.rule != RULE_CRC &&
            c.rule != RULE_NAME) {
            continue;
        }
        SCOPED_TRACE(c.label);
        Bytes damaged = original;
        c.damage(damaged);
        const BuildResult result = build_image(c.label, damaged);
        EXPECT_NE(result.status, 0) << "a damaged image must not build";
        EXPECT_NE(result.output.find(std::string(c.label) + ": " + image_rule_text(c.rule)), std::string::npos)
            << result.output;
    }
}

// Embeds the key files `keys` (";" between them) as the build does and compiles the result.
BuildResult build_keys(const std::string& keys) {
    const std::string file = ::testing::TempDir() + "image_keys";
    const std::string command = std::string("\"") + OFWU_CMAKE + "\" \"-DKEYS=" + keys + "\" -DROOT=" + OFWU_SOURCE_DIR +
                                " -DOUTPUT=" + file + ".cpp -P " + OFWU_SOURCE_DIR +
                                "/src/catalogue/embed_keys.cmake > " + file + ".log 2>&1 && \"" + OFWU_CXX +
                                "\" -std=c++17 -fsyntax-only -I" + OFWU_SOURCE_DIR + "/src " + file + ".cpp >> " + file +
                                ".log 2>&1";
    BuildResult result{std::system(command.c_str()), ""};
    std::ifstream in(file + ".log");
    result.output.assign(std::istreambuf_iterator<char>(in), {});
    std::remove((file + ".cpp").c_str());
    std::remove((file + ".log").c_str());
    return result;
}

// Each key list: whether it builds, and what the build says.
TEST(ImageKeysBuildCheck, OnlyPublicP256KeysBuildAndTheDevelopmentKeyWarns) {
    const std::string compressed = ::testing::TempDir() + "compressed.pem";
    std::ofstream(compressed) << "-----BEGIN PUBLIC KEY-----\n"
                                 "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgACz7y5UopyJ5+xvN7IkVr9R0oKZrni\n"
                                 "cmUOS9+2vec08QM=\n-----END PUBLIC KEY-----\n";
    const struct { std::string keys; bool builds; std::string said; } cases[] = {
        {"keys/development.pem", true, "holds the development key (keys/development.pem)"},
        {"tests/keys/second.pem;keys/development.pem", true, "holds the development key (keys/development.pem)"},
        {"", false, "OFWU_IMAGE_KEYS is empty"},
        {"tests/keys/development-private.pem", false,
         std::string("tests/keys/development-private.pem: ") + key_pem_rule_text(KEY_PEM_ARMOUR)},
        {compressed, false, compressed + ": " + key_pem_rule_text(KEY_PEM_NOT_P256)},
    };
    for (const auto& c : cases) {
        const BuildResult result = build_keys(c.keys);
        EXPECT_EQ(result.status == 0, c.builds) << c.keys << "\n" << result.output;
        EXPECT_NE(result.output.find(c.said), std::string::npos) << c.keys << "\n" << result.output;
    }
    const BuildResult other = build_keys("tests/keys/second.pem");
    EXPECT_EQ(other.status, 0) << other.output;
    EXPECT_EQ(other.output.find("development key"), std::string::npos) << other.output;
    std::remove(compressed.c_str());
}

}  // namespace
