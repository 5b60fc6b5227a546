// The programmer's per-family and per-device tables: RBA format and FID constants per family, the families
// that have text CRAM maps, and the devices whose phantom images carry spare rows. Each table ends with a
// row whose name is empty; look-ups compare names exactly.
#pragma once

#include <cstdint>
#include <string>

// Per family: the RBA text format and the constants the FID carries to the programmer.
struct PGM_FAMILY_INFO {
    const char* family; // the table ends with an empty name
    uint32_t rba_version;
    uint16_t fid_version;
    uint32_t family_constant_1;
    uint32_t family_constant_2;
    uint32_t lutram_frame_offset;
    uint32_t family_constant_3;
    uint32_t lutram_frame_size;
    uint32_t family_constant_4;
};

extern const PGM_FAMILY_INFO PGM_FAMILY_INFO_DATABASE[];

// Index of the first row whose family name equals family exactly, or uint32_t(-1) when there is none.
uint32_t find_pgm_family_info(const std::string& family);

// Families whose CRAM maps are drawn by hand as text files: the family PCF name used in the file names and
// how the text is laid out (a text line is written highest bit first unless keep_column_order; the file is
// read bottom-up unless keep_row_order).
struct PGM_CRAM_MAP_FAMILY {
    const char* family; // the table ends with an empty name
    const char* family_pcf;
    bool keep_column_order;
    bool keep_row_order;
};

extern const PGM_CRAM_MAP_FAMILY PGM_CRAM_MAP_FAMILY_DATABASE[];

// Index of the first row whose family name equals family exactly, or uint32_t(-1) when there is none.
uint32_t find_pgm_cram_map_family(const std::string& family);

// Devices whose phantom image holds spare (redundancy) rows that are not part of the CRAM: region_count
// regions of rows_per_region rows each. Region k starts at region_rows[k] (counted from the last image row
// when count_from_end), moved by row_offset.
struct PGM_SPARE_ROW {
    const char* device; // PCF name; the table ends with an all-zero row with an empty name
    bool count_from_end;
    uint32_t row_offset;
    uint32_t region_count; // at most 4
    uint32_t rows_per_region;
    uint32_t region_rows[4];
};

extern const PGM_SPARE_ROW PGM_SPARE_ROW_DATABASE[];

// The first row whose device name equals pcf exactly; the terminating row (no spare rows) when there is none.
const PGM_SPARE_ROW& find_pgm_spare_row(const std::string& pcf);
