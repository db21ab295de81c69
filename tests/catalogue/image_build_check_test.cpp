// A broken image file must fail the build, naming the file and the rule it
// breaks. Each case writes a damaged copy of a sample image, turns it into
// source the way the build does, and compiles it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
#include "catalogue/image_checks.h"
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

}  // namespace
