// The CRAM map database of a family.
#pragma once

#include "context/build_context.h"

#include "bit_matrix.h"
#include "pgm_family_tables.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <string>
#include <vector>

class BRIX_DEVICE_INFO;

// Reads a text CRAM map: one row per non-empty line of '0' and '1' characters (blanks and comments are
// removed first; a line with nothing left is skipped). Without keep_column_order a line is the row written
// highest bit first, so it is stored reversed; without keep_row_order the file is read bottom-up. Every row
// must have the same, non-zero length: cram_map_row rows of cram_map_col characters.
void read_cram_map_text(const std::string& path, std::vector<std::string>& rows, bool keep_column_order,
                        bool keep_row_order, uint32_t& cram_map_col, uint32_t& cram_map_row);

// Path of the text CRAM map of one block type: <unshipped>/pgm_db/<family pcf>_<type name>_cram.map, in
// lower case.
std::string get_cram_map_text_file(const std::string& family_pcf, uint32_t block_type);

// The map of one block type of the family in row family_index of PGM_CRAM_MAP_FAMILY_DATABASE: frame_size
// rows of bit_size bits from its text file. With col_as_frame the text's columns are the frames, otherwise
// its rows. GRANITE's RT_VIO_MLAB map is drawn in two files (RT_VIO_MLAB's, then RT_VIO_M_LAB's) whose
// frames follow each other.
PGM_BYTE_ROWS build_cram_map_for_type(const BRIX_PROGRESS& progress, uint32_t family_index, uint32_t type,
                                      uint32_t frame_size, uint32_t bit_size, bool col_as_frame);

// Adds the maps of the block types of one device (its BRIX database and PGM RBA database) that no earlier
// device of the build has used; a type already seen must have the same block size. The first device
// (not_first false) sets bit 0 of flags to its COL_AS_FRAME; every later device must agree with it.
// frame_count_list and bit_count_list hold PGM_RBA_MAX sizes, 0 for a type not seen yet.
void merge_device_cram_maps(const BRIX_PROGRESS& progress, const std::string& device, uint32_t family_index,
                            bool not_first, unsigned char& flags, BRIX_CRAM_MAP_LIST& cram_map_list,
                            uint32_t* frame_count_list, uint32_t* bit_count_list);
