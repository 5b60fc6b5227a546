#include "pgm_family_tables.h"

const PGM_FAMILY_INFO PGM_FAMILY_INFO_DATABASE[] = {
    // family, rba_version, fid_version, constant 1, constant 2, lutram_frame_offset, constant 3,
    // lutram_frame_size, constant 4
    {"GRANITE", 0, 0, 2, 41, 3, 0, 16, 86}, {"BASALT", 0, 1, 42, 43, 7, 0, 32, 86},
    {"SLATE", 0, 1, 42, 43, 7, 0, 32, 86},  {"HARRIER", 0, 0, 0, 0, 0, 0, 0, 0},
    {"TALON", 1, 2, 50, 16, 0, 0, 92, 16},  {"", 0, 0, 0, 0, 0, 0, 0, 0},
};

uint32_t find_pgm_family_info(const std::string& family) {
    for (uint32_t i = 0; PGM_FAMILY_INFO_DATABASE[i].family[0] != '\0'; ++i)
        if (family == PGM_FAMILY_INFO_DATABASE[i].family)
            return i;
    return uint32_t(-1);
}

const PGM_CRAM_MAP_FAMILY PGM_CRAM_MAP_FAMILY_DATABASE[] = {
    // family, family PCF, keep_column_order, keep_row_order
    {"GRANITE", "GRANITE", false, true},
    {"BASALT", "BASALT", false, true},
    {"", "", false, false},
};

uint32_t find_pgm_cram_map_family(const std::string& family) {
    for (uint32_t i = 0; PGM_CRAM_MAP_FAMILY_DATABASE[i].family[0] != '\0'; ++i)
        if (family == PGM_CRAM_MAP_FAMILY_DATABASE[i].family)
            return i;
    return uint32_t(-1);
}

const PGM_SPARE_ROW PGM_SPARE_ROW_DATABASE[] = {
    // device, count_from_end, row_offset, region_count, rows_per_region, region_rows
    {"GRANITE_D1", true, 32, 4, 86, {1936, 3914, 5806, 7784}},
    {"GRANITE_D2", true, 32, 4, 86, {2280, 4688, 7096, 9418}},
    {"GRANITE_D3_ES", true, 32, 4, 86, {2968, 5978, 8902, 11740}},
    {"GRANITE_D3", true, 32, 4, 86, {2968, 5978, 8902, 11740}},
    {"GRANITE_D4_ES", true, 32, 4, 86, {2796, 5634, 8472, 11310}},
    {"GRANITE_D4", true, 32, 4, 86, {2796, 5634, 8472, 11310}},
    {"GRANITE_D5", true, 32, 4, 86, {3312, 6666, 9934, 13288}},
    {"GRANITE_D6", true, 32, 4, 86, {3828, 7698, 11568, 15438}},
    {"", false, 0, 0, 0, {0, 0, 0, 0}},
};

const PGM_SPARE_ROW& find_pgm_spare_row(const std::string& pcf) {
    uint32_t i = 0;
    for (; PGM_SPARE_ROW_DATABASE[i].device[0] != '\0'; ++i)
        if (pcf == PGM_SPARE_ROW_DATABASE[i].device)
            return PGM_SPARE_ROW_DATABASE[i];
    return PGM_SPARE_ROW_DATABASE[i];
}
