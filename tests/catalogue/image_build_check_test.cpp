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

namespace {

using Bytes = std::vector<uint8_t>;

Bytes load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void put_u32(Bytes& image, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void fix_crc(Bytes& image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    put_u32(image, size - 4, image_checks::crc32(image.data(), size - 4));
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

struct DamageCase {
    const char* label;
    void (*damage)(Bytes&);
    const char* rule;
};

const DamageCase CASES[] = {
    {"body-byte.img", [](Bytes& b) { b[1000] ^= 0x55; }, "image_crc is not the CRC-32 of the image"},
    {"block-count.img", [](Bytes& b) { put_u32(b, IMAGE_BLOCK_COUNT_AT, 859); fix_crc(b); },
     "the block_count records (3 to 252 bytes each) do not end on the CRC trailer"},
    {"record-length.img", [](Bytes& b) { b[IMAGE_HEADER_SIZE] = 2; b[IMAGE_HEADER_SIZE + 1] = 0; fix_crc(b); },
     "the block_count records (3 to 252 bytes each) do not end on the CRC trailer"},
    {"name.img", [](Bytes& b) { b[IMAGE_NAME_AT + 4] = '5'; fix_crc(b); }, "name is not the product table's name"},
    {"revision.img", [](Bytes& b) { put_u32(b, IMAGE_HARDWARE_REVISION_AT, 3); fix_crc(b); },
     "name is not the product table's name"},
    {"flash-end.img", [](Bytes& b) { put_u32(b, IMAGE_FLASH_END_AT, 0x2FE48); fix_crc(b); },
     "flash_length is not flash_end - flash_start + 1"},
    {"max-block.img", [](Bytes& b) { put_u32(b, IMAGE_MAX_BLOCK_LENGTH_AT, 237); fix_crc(b); },
     "max_block_length or flash_length does not agree"},
    {"length.img", [](Bytes& b) { put_u32(b, IMAGE_LENGTH_AT, 202457); fix_crc(b); },
     "image_length is not the size of the file"},
    {"format.img", [](Bytes& b) { put_u32(b, IMAGE_FORMAT_VERSION_AT, 0x02000000); fix_crc(b); },
     "format_version is not 1.00"},
};

TEST(ImageBuildCheck, SampleImageBuilds) {
    const BuildResult result = build_image("intact.img", load(std::string(OFWU_SOURCE_DIR) + "/firmware/snd44_rev1.img"));
    EXPECT_EQ(result.status, 0) << result.output;
}

TEST(ImageBuildCheck, EveryBrokenRuleFailsTheBuildAndIsNamed) {
    const Bytes original = load(std::string(OFWU_SOURCE_DIR) + "/firmware/snd44_rev1.img");
    ASSERT_EQ(original.size(), 202456u);
    for (const DamageCase& c : CASES) {
        SCOPED_TRACE(c.label);
        Bytes damaged = original;
        c.damage(damaged);
        const BuildResult result = build_image(c.label, damaged);
        EXPECT_NE(result.status, 0) << "a damaged image must not build";
        EXPECT_NE(result.output.find(std::string(c.label) + ": " + c.rule), std::string::npos) << result.output;
    }
}

}  // namespace
