#include "catalogue/product_table.h"

namespace {

// Each name is one constant, shared by every row and revision that uses it.
const char MARLET[] = "Marlet";
const char LUX22[] = "LUX22";
const char LUXA22[] = "LUXA22";
const char LUX44[] = "LUX44";
const char SND44[] = "SND44";
const char PQX31[] = "pQX31";
const char LUXA13[] = "LUXA13";
const char L9N22[] = "L9N22";
const char L9A22[] = "L9A22";
const char SND22[] = "SND22";
const char LUXA44[] = "LUXA44";
const char LUXA48[] = "LUXA48";
const char PQX22[] = "pQX22";
const char PQX44[] = "pQX44";
const char SND88[] = "SND88";
const char LUXA24[] = "LUXA24";
const char SND89[] = "SND89";
const char SND48[] = "SND48";
const char SNX44[] = "SNX44";
const char SNY44[] = "SNY44";
const char SND86[] = "SND86";
const char PQX22U[] = "pQX22U";
const char L9A24[] = "L9A24";

// Names by hardware revision: entry 0 is revision 1.
const char* const NAMES_45[] = {MARLET, MARLET};
const char* const NAMES_56[] = {LUX22, LUX22, LUXA22, LUX44};
const char* const NAMES_59[] = {SND44, SND44};
const char* const NAMES_67[] = {PQX31, LUXA13, LUXA22, LUX22, LUX44, L9N22, L9A22, SND22};
const char* const NAMES_68[] = {LUXA44, LUX22,  LUX44, LUXA48, PQX22, PQX44, SND88,  LUXA24,
                                SND89,  SND48,  SNX44, SNY44,  L9N22, SND86, PQX22U, L9A24};

template <typename T, uint32_t N>
constexpr uint32_t count_of(T (&)[N]) {
    return N;
}

//  product code  revisions named       names
const ProductRow ROWS[] = {
    {45,          count_of(NAMES_45),   NAMES_45},
    {56,          count_of(NAMES_56),   NAMES_56},
    {59,          count_of(NAMES_59),   NAMES_59},
    {67,          count_of(NAMES_67),   NAMES_67},
    {68,          count_of(NAMES_68),   NAMES_68},
};

}  // namespace

const ProductTable product_table = {ROWS, count_of(ROWS)};

const char* product_name(int32_t product_code, int32_t hardware_revision) {
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
