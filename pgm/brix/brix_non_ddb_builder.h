// Builders of the programmer databases that are not BRIX databases: the PGM RBA database of a device (and,
// sharing the family table below, the CRAM map and FID builders).
#pragma once

#include "pgm_ddb_struct_inout_auto_export.h"

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

// Reads an RBA text (".rba", or ".rbaz" which is first decompressed beside it to the name without the final
// "z") in the given format version (0 or 1) into a list of blocks in order of first appearance.
BRIX_RBA_BLOCK_LIST parse_rba_file(const std::string& rba_file, uint32_t version);

// Adds one RBA entry: a new run of a block name starts a new block (each block type at most once in the
// list); later entries of the run must agree with its type, frame_size and bit_size.
void add_rba_location(BRIX_RBA_BLOCK_LIST& block_list, BRIX_RBA_BLOCK*& current_block,
                      std::string& last_block_name, const std::string& block, uint32_t frame_size,
                      uint32_t bit_size, uint32_t frame_index, uint32_t bit_index, uint32_t frame_mirror,
                      uint32_t bit_mirror);
