// Product code and hardware revision to product name: names devices that did
// not report a name, and tells which products this program knows at all.
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

extern const ProductTable product_table;

// The product name for the pair, or nullptr for a product this program does
// not support. The first row with the code decides.
const char* product_name(int32_t product_code, int32_t hardware_revision);

#endif
