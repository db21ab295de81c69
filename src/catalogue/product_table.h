// Product code and hardware revision to product name: names devices that did
// not report a name, and tells which products this program knows at all.
// Constant data, usable at compile time (the build checks each built-in
// image's name against it).
#ifndef OFWU_CATALOGUE_PRODUCT_TABLE_H
#define OFWU_CATALOGUE_PRODUCT_TABLE_H

#include <cstdint>

struct ProductRow {
    uint32_t product_code;
    uint32_t name_count;          // hardware revisions 1..name_count are named
    const char* const* names;     // names[0] is hardware revision 1
};

struct ProductTable {
    const ProductRow* rows;
    uint32_t row_count;
};

namespace product_names {
// Each name is one constant, shared by every row and revision that uses it.
inline constexpr char MARLET[] = "Marlet";
inline constexpr char LUX22[] = "LUX22";
inline constexpr char LUXA22[] = "LUXA22";
inline constexpr char LUX44[] = "LUX44";
inline constexpr char SND44[] = "SND44";
inline constexpr char PQX31[] = "pQX31";
inline constexpr char LUXA13[] = "LUXA13";
inline constexpr char L9N22[] = "L9N22";
inline constexpr char L9A22[] = "L9A22";
inline constexpr char SND22[] = "SND22";
inline constexpr char LUXA44[] = "LUXA44";
inline constexpr char LUXA48[] = "LUXA48";
inline constexpr char PQX22[] = "pQX22";
inline constexpr char PQX44[] = "pQX44";
inline constexpr char SND88[] = "SND88";
inline constexpr char LUXA24[] = "LUXA24";
inline constexpr char SND89[] = "SND89";
inline constexpr char SND48[] = "SND48";
inline constexpr char SNX44[] = "SNX44";
inline constexpr char SNY44[] = "SNY44";
inline constexpr char SND86[] = "SND86";
inline constexpr char PQX22U[] = "pQX22U";
inline constexpr char L9A24[] = "L9A24";

// Names by hardware revision: entry 0 is revision 1.
inline constexpr const char* CODE_45[] = {MARLET, MARLET};
inline constexpr const char* CODE_56[] = {LUX22, LUX22, LUXA22, LUX44};
inline constexpr const char* CODE_59[] = {SND44, SND44};
inline constexpr const char* CODE_67[] = {PQX31, LUXA13, LUXA22, LUX22, LUX44, L9N22, L9A22, SND22};
inline constexpr const char* CODE_68[] = {LUXA44, LUX22, LUX44,  LUXA48, PQX22, PQX44,  SND88, LUXA24,
                                          SND89,  SND48, SNX44, SNY44,  L9N22, SND86, PQX22U, L9A24};
}  // namespace product_names

//                                   product code  revisions named  names
inline constexpr ProductRow PRODUCT_ROWS[] = {
    {45, 2,  product_names::CODE_45},
    {56, 4,  product_names::CODE_56},
    {59, 2,  product_names::CODE_59},
    {67, 8,  product_names::CODE_67},
    {68, 16, product_names::CODE_68},
};

inline constexpr ProductTable product_table = {PRODUCT_ROWS, sizeof PRODUCT_ROWS / sizeof PRODUCT_ROWS[0]};

// The product name for the pair, or nullptr for a product this program does
// not support. The first row with the code decides.
constexpr const char* product_name(int32_t product_code, int32_t hardware_revision) {
    for (uint32_t i = 0; i < product_table.row_count; ++i) {
        const ProductRow& row = product_table.rows[i];
        if (static_cast<int32_t>(row.product_code) != product_code) continue;
        if (hardware_revision < 1 || hardware_revision > static_cast<int32_t>(row.name_count)) {
            return nullptr;
        }
        return row.names[hardware_revision - 1];
    }
    return nullptr;
}

#endif
