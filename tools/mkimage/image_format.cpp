#include "image_format.h"

#include <algorithm>
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
