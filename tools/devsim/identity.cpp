#include "identity.h"

#include <cstdio>

#include <cstdlib>

namespace {

void put_le(std::vector<uint8_t>* record, uint32_t offset, uint32_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) (*record)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Copies the name into a field of SIM_INFO_NAME_SIZE bytes at `offset`; the
// field is already zero, so a name of up to 32 characters ends in a NUL.
void put_name(std::vector<uint8_t>* record, uint32_t offset, const std::string& name, char fill) {
    for (uint32_t i = 0; i < SIM_INFO_NAME_SIZE; ++i) {
        if (i < name.size()) (*record)[offset + i] = static_cast<uint8_t>(name[i]);
        else if (fill != '\0') (*record)[offset + i] = static_cast<uint8_t>(fill);
    }
}

// Reads a decimal number at `*cursor` and moves the cursor past it.
uint32_t take_number(const char** cursor) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(*cursor, &end, 10);
    *cursor = end;
    return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t version_pack(const std::string& text) {
    const char* cursor = text.c_str();
    uint32_t packed = (take_number(&cursor) & 0xFFu) << 24;
    if (*cursor == '.') ++cursor;
    packed |= (take_number(&cursor) & 0xFFu) << 16;
    if (*cursor == '.') {
        ++cursor;
        packed |= (take_number(&cursor) & 0xFFu) << 8;
    }
    if (*cursor >= 'a' && *cursor <= 'z') packed |= static_cast<uint32_t>(*cursor - 'a' + 1);
    return packed;
}

std::string version_unpack(uint32_t packed) {
    char text[32];
    int length = std::snprintf(text, sizeof text, "%u.%02u", packed >> 24, (packed >> 16) & 0xFFu);
    if (((packed >> 8) & 0xFFu) != 0) {
        length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ".%02u", (packed >> 8) & 0xFFu);
    }
    if ((packed & 0xFFu) != 0) {
        (void)std::snprintf(text + length, sizeof text - static_cast<size_t>(length), "%c",
                            static_cast<char>('a' - 1 + (packed & 0xFFu)));
    }
    return text;
}

std::string version_reply(const Identity& identity) {
    if (!identity.reply_override.empty()) return identity.reply_override;
    std::string line = "=V \"" + identity.name + "\" " + identity.version_text;
    if (identity.identity_tail) {
        line += "," + std::to_string(identity.product_code) + "," +
                std::to_string(identity.hardware_revision) + "," + identity.option_word;
    }
    return line;
}

std::vector<uint8_t> info_record(const Identity& identity) {
    const uint32_t version = version_pack(identity.version_text);
    if (identity.layout == InfoLayout::current) {
        std::vector<uint8_t> record(SIM_INFO_SIZE, 0);
        put_le(&record, SIM_INFO_HEADER_WORD, SIM_INFO_CURRENT_HEADER, 2);
        put_le(&record, SIM_INFO_PRODUCT_CODE, identity.product_code, 2);
        put_le(&record, SIM_INFO_HARDWARE_REVISION, identity.hardware_revision, 2);
        put_le(&record, SIM_INFO_VERSION, version, 4);
        put_name(&record, SIM_INFO_NAME, identity.name.substr(0, SIM_INFO_NAME_SIZE - 1), '\0');
        return record;
    }
    // Legacy: a zero header word says so; product and revision are not sent.
    std::vector<uint8_t> record(SIM_LEGACY_SIZE, 0);
    put_le(&record, SIM_LEGACY_VERSION, version, 4);
    const bool full = identity.layout == InfoLayout::legacy_unterminated;
    put_name(&record, SIM_LEGACY_NAME, identity.name, full ? ' ' : '\0');
    if (!full) record[SIM_LEGACY_NAME + SIM_INFO_NAME_SIZE - 1] = 0;
    return record;
}
