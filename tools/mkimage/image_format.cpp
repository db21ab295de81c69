#include "image_format.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

// splitmix64: small, fast and the same on every platform, so one seed always
// gives the same image file.
uint64_t next_random(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void fill_random(uint8_t* out, size_t count, uint64_t* state) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(next_random(state) >> 56);
}

void put_u32(std::vector<uint8_t>* image, uint32_t offset, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) (*image)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put_u16(std::vector<uint8_t>* image, uint32_t offset, uint32_t value) {
    (*image)[offset] = static_cast<uint8_t>(value);
    (*image)[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// The memory a chain of records covers: each record carries 12 bytes that are
// not device memory. Signed, so records shorter than that show as a deficit.
int64_t covered_bytes(const std::vector<uint32_t>& lengths) {
    int64_t total = 0;
    for (uint32_t length : lengths) total += static_cast<int64_t>(length) - BLOCK_OVERHEAD;
    return total;
}

std::string params_problem(const ImageParams& params) {
    if (params.name.size() >= IMAGE_NAME_SIZE) return "name longer than 32 characters";
    for (uint32_t length : params.record_lengths) {
        if (length < BLOCK_LENGTH_MIN || length > BLOCK_LENGTH_MAX) return "record length out of range";
    }
    if (covered_bytes(params.record_lengths) <= 0) return "records cover no device memory";
    return "";
}

void write_header(std::vector<uint8_t>* image, const ImageParams& params, uint64_t* random) {
    const uint32_t flash_length = static_cast<uint32_t>(covered_bytes(params.record_lengths));
    const uint32_t longest =
        *std::max_element(params.record_lengths.begin(), params.record_lengths.end());
    put_u32(image, IMAGE_LENGTH_AT, static_cast<uint32_t>(image->size()));
    put_u32(image, IMAGE_FORMAT_VERSION_AT, IMAGE_FORMAT);
    put_u32(image, IMAGE_PRODUCT_CODE_AT, params.product_code);
    put_u32(image, IMAGE_HARDWARE_REVISION_AT, params.hardware_revision);
    put_u32(image, IMAGE_VERSION_AT, params.version);
    put_u32(image, IMAGE_MAX_BLOCK_LENGTH_AT, longest);
    put_u32(image, IMAGE_BLOCK_COUNT_AT, static_cast<uint32_t>(params.record_lengths.size()));
    put_u32(image, IMAGE_FLASH_LENGTH_AT, flash_length);
    put_u32(image, IMAGE_FLASH_START_AT, params.flash_start);
    put_u32(image, IMAGE_FLASH_END_AT, params.flash_start + flash_length - 1);
    put_u32(image, IMAGE_RESERVED_AT, 0);
    fill_random(image->data() + IMAGE_START_BYTES_AT, START_BYTES_SIZE, random);
    // The name field is already zero past the name: NUL-terminated, zero-filled.
    std::copy(params.name.begin(), params.name.end(), image->begin() + IMAGE_NAME_AT);
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void expect_equal(std::vector<std::string>* problems, const char* what, uint32_t found,
                  uint32_t wanted) {
    if (found != wanted) problems->push_back(std::string(what) + " is " + hex(found) +
                                             ", should be " + hex(wanted));
}

void check_records(const std::vector<uint8_t>& image, const std::vector<ImageRecord>& records,
                   std::vector<std::string>* problems) {
    uint32_t longest = 0;
    int64_t covered = 0;
    for (const ImageRecord& record : records) {
        if (record.length < BLOCK_LENGTH_MIN || record.length > BLOCK_LENGTH_MAX) {
            problems->push_back("record at " + hex(record.offset) + " has length " +
                                std::to_string(record.length));
        }
        longest = std::max(longest, record.length);
        covered += static_cast<int64_t>(record.length) - BLOCK_OVERHEAD;
    }
    expect_equal(problems, "max_block_length", image_read_u32(image, IMAGE_MAX_BLOCK_LENGTH_AT), longest);
    expect_equal(problems, "flash_length", image_read_u32(image, IMAGE_FLASH_LENGTH_AT),
                 static_cast<uint32_t>(covered));
    const uint32_t end_of_chain = records.empty() ? IMAGE_HEADER_SIZE
                                                  : records.back().offset + records.back().length;
    expect_equal(problems, "image_length", image_read_u32(image, IMAGE_LENGTH_AT),
                 end_of_chain + IMAGE_TRAILER_SIZE);
}

void check_header(const std::vector<uint8_t>& image, const std::string& expected_name,
                  std::vector<std::string>* problems) {
    expect_equal(problems, "format_version", image_read_u32(image, IMAGE_FORMAT_VERSION_AT), IMAGE_FORMAT);
    expect_equal(problems, "reserved", image_read_u32(image, IMAGE_RESERVED_AT), 0);
    const uint32_t start = image_read_u32(image, IMAGE_FLASH_START_AT);
    const uint32_t end = image_read_u32(image, IMAGE_FLASH_END_AT);
    expect_equal(problems, "flash_length (from flash_end)", image_read_u32(image, IMAGE_FLASH_LENGTH_AT),
                 end - start + 1);
    const auto name_begin = image.begin() + IMAGE_NAME_AT;
    const auto name_end = name_begin + IMAGE_NAME_SIZE;
    const auto nul = std::find(name_begin, name_end, 0);
    if (nul == name_end) problems->push_back("name is not NUL-terminated");
    if (std::any_of(nul, name_end, [](uint8_t b) { return b != 0; })) {
        problems->push_back("name field is not zero-filled after the name");
    }
    const std::string name(name_begin, nul);
    if (!expected_name.empty() && name != expected_name) {
        problems->push_back("name is \"" + name + "\", should be \"" + expected_name + "\"");
    }
}

}  // namespace

uint32_t image_read_u32(const std::vector<uint8_t>& image, uint32_t offset) {
    if (offset + 4 > image.size()) return 0;
    return static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
           static_cast<uint32_t>(image[offset + 2]) << 16 |
           static_cast<uint32_t>(image[offset + 3]) << 24;
}

uint32_t image_read_u16(const std::vector<uint8_t>& image, uint32_t offset) {
    if (offset + 2 > image.size()) return 0;
    return static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8;
}

std::vector<uint32_t> image_record_lengths(uint32_t full_count, uint32_t full_length,
                                           uint32_t last_length) {
    std::vector<uint32_t> lengths(full_count, full_length);
    if (last_length != 0) lengths.push_back(last_length);
    return lengths;
}

std::vector<uint8_t> image_build(const ImageParams& params, std::string* error) {
    *error = params_problem(params);
    if (!error->empty()) return {};
    uint32_t size = IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE;
    for (uint32_t length : params.record_lengths) size += length;
    std::vector<uint8_t> image(size, 0);
    uint64_t random = params.seed;
    write_header(&image, params, &random);
    uint32_t offset = IMAGE_HEADER_SIZE;
    for (uint32_t length : params.record_lengths) {
        put_u16(&image, offset, length);
        fill_random(image.data() + offset + 2, length - 2, &random);
        offset += length;
    }
    put_u32(&image, offset, image_checks::crc32(image.data(), offset));
    return image;
}

std::vector<ImageRecord> image_records(const std::vector<uint8_t>& image) {
    if (image.size() < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE) return {};
    const uint32_t count = image_read_u32(image, IMAGE_BLOCK_COUNT_AT);
    const size_t limit = image.size() - IMAGE_TRAILER_SIZE;
    std::vector<ImageRecord> records;
    uint32_t offset = IMAGE_HEADER_SIZE;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t length = image_read_u16(image, offset);
        // A zero length would never move on; a long one would leave the image.
        if (length < 2 || offset + length > limit) return {};
        records.push_back({offset, length});
        offset += length;
    }
    return records;
}

std::vector<std::string> image_check(const std::vector<uint8_t>& image,
                                     const std::string& expected_name) {
    std::vector<std::string> problems;
    if (image.size() < IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE) return {"shorter than a header"};
    expect_equal(&problems, "image_length (file size)", image_read_u32(image, IMAGE_LENGTH_AT),
                 static_cast<uint32_t>(image.size()));
    const std::vector<ImageRecord> records = image_records(image);
    if (records.empty() && image_read_u32(image, IMAGE_BLOCK_COUNT_AT) != 0) {
        problems.push_back("record chain runs past the trailer");
    } else {
        check_records(image, records, &problems);
    }
    check_header(image, expected_name, &problems);
    const uint32_t crc_offset = static_cast<uint32_t>(image.size()) - IMAGE_TRAILER_SIZE;
    expect_equal(&problems, "image_crc", image_read_u32(image, crc_offset),
                 image_checks::crc32(image.data(), crc_offset));
    return problems;
}

bool image_load(const std::string& path, std::vector<uint8_t>* image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    image->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool image_save(const std::string& path, const std::vector<uint8_t>& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}
