// What the simulated device says about itself: the application's version
// reply line and the bootloader's 65-byte information record.
#ifndef OFWU_DEVSIM_IDENTITY_H
#define OFWU_DEVSIM_IDENTITY_H

#include <cstdint>
#include <string>
#include <vector>

enum class InfoLayout {
    current,                // 65 bytes: header word, product, revision, version, name
    legacy,                 // 45 bytes: zero header word, version at 8, name at 12
    legacy_unterminated,    // legacy, with the 33-byte name field full to its last byte
};

struct Identity {
    uint32_t product_code = 59;
    uint32_t hardware_revision = 1;
    std::string version_text = "2.58";   // as the application writes it
    std::string name = "SND44";          // the name the device reports
    std::string option_word = "0";       // hexadecimal text of the identity tail
    bool identity_tail = true;
    std::string reply_override;          // when set, the reply line sent as it stands
    InfoLayout layout = InfoLayout::current;
};

// Offsets in the information record (current layout) and its legacy form.
constexpr uint32_t SIM_INFO_SIZE = 65;
constexpr uint32_t SIM_INFO_HEADER_WORD = 0;
constexpr uint32_t SIM_INFO_PRODUCT_CODE = 2;
constexpr uint32_t SIM_INFO_HARDWARE_REVISION = 6;
constexpr uint32_t SIM_INFO_VERSION = 28;
constexpr uint32_t SIM_INFO_NAME = 32;
constexpr uint32_t SIM_INFO_NAME_SIZE = 33;
constexpr uint32_t SIM_LEGACY_SIZE = 45;
constexpr uint32_t SIM_LEGACY_VERSION = 8;
constexpr uint32_t SIM_LEGACY_NAME = 12;
constexpr uint16_t SIM_INFO_CURRENT_HEADER = 2048;  // any non-zero value marks the current layout

// "major.minor[.sub][letter]" as a packed version: major in bits 31-24,
// minor 23-16, sub-version 15-8, letter 7-0 (1 for "a").
uint32_t version_pack(const std::string& text);
// The same the other way: "2.59", "1.05.03c".
std::string version_unpack(uint32_t packed);

// The version reply without its framing "^" and "$", e.g.
// =V "SND44" 2.58,59,1,0
std::string version_reply(const Identity& identity);

// The data bytes of the bootloader's reply to the probe.
std::vector<uint8_t> info_record(const Identity& identity);

#endif
