// The PGM RBA database of a device: the RBA text reader.
#pragma once

#include "context/build_context.h"

#include "bit_matrix.h"
#include "pgm_family_tables.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <string>
#include <vector>

class BRIX_DEVICE_INFO;

// Reads an RBA text (".rba", or ".rbaz" which is first decompressed beside it to the name without the final
// "z") in the given format version (0 or 1) into a list of blocks in order of first appearance.
BRIX_RBA_BLOCK_LIST parse_rba_file(const BRIX_BUILD_CONTEXT& context, const std::string& rba_file,
                                   uint32_t version);

// Adds one RBA entry: a new run of a block name starts a new block (each block type at most once in the
// list); later entries of the run must agree with its type, frame_size and bit_size.
void add_rba_location(const BRIX_PROGRESS& progress, BRIX_RBA_BLOCK_LIST& block_list,
                      BRIX_RBA_BLOCK*& current_block, std::string& last_block_name, const std::string& block,
                      uint32_t frame_size, uint32_t bit_size, uint32_t frame_index, uint32_t bit_index,
                      uint32_t frame_mirror, uint32_t bit_mirror);
