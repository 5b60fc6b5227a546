// Builders of the programmer databases that are not BRIX databases: the PGM RBA database of a device, the
// CRAM map database of a family and the FID of a device.
#pragma once

#include "bit_matrix.h"
#include "pgm_family_tables.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <string>
#include <vector>

class BRIX_DEVICE_INFO;

// Reads an RBA text (".rba", or ".rbaz" which is first decompressed beside it to the name without the final
// "z") in the given format version (0 or 1) into a list of blocks in order of first appearance.
BRIX_RBA_BLOCK_LIST parse_rba_file(const std::string& rba_file, uint32_t version);

// Adds one RBA entry: a new run of a block name starts a new block (each block type at most once in the
// list); later entries of the run must agree with its type, frame_size and bit_size.
void add_rba_location(BRIX_RBA_BLOCK_LIST& block_list, BRIX_RBA_BLOCK*& current_block,
                      std::string& last_block_name, const std::string& block, uint32_t frame_size,
                      uint32_t bit_size, uint32_t frame_index, uint32_t bit_index, uint32_t frame_mirror,
                      uint32_t bit_mirror);

// ---- CRAM map of a family
// -----------------------------------------------------------------------------------

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
PGM_BYTE_ROWS build_cram_map_for_type(uint32_t family_index, uint32_t type, uint32_t frame_size,
                                      uint32_t bit_size, bool col_as_frame);

// Adds the maps of the block types of one device (its BRIX database and PGM RBA database) that no earlier
// device of the build has used; a type already seen must have the same block size. The first device
// (not_first false) sets bit 0 of flags to its COL_AS_FRAME; every later device must agree with it.
// frame_count_list and bit_count_list hold PGM_RBA_MAX sizes, 0 for a type not seen yet.
void merge_device_cram_maps(const std::string& device, uint32_t family_index, bool not_first,
                            unsigned char& flags, BRIX_CRAM_MAP_LIST& cram_map_list,
                            uint32_t* frame_count_list, uint32_t* bit_count_list);

// ---- FID of a device
// ---------------------------------------------------------------------------------------

// Block 0 of a phantom image, read whole: img_cram_row rows of img_cram_col bits, row r at
// data[first_row + r * row_stride].
struct PHANTOM_IMAGE {
    std::vector<unsigned char> data;
    size_t first_row = 0;
    size_t row_stride = 0;
    uint32_t img_cram_col = 0;
    uint32_t img_cram_row = 0;
};

// Exit status of a FID build whose phantom image disagrees with the CRAM rebuilt from the RBA placements and
// the family's CRAM maps: the FID is written, the differences are printed, and the run ends with this status.
constexpr int BRIX_EXIT_PHANTOM_MISMATCH = 7;

// Reads and checks a phantom image file and prints its header (nothing when quiet).
PHANTOM_IMAGE parse_phantom_image(const std::string& file, bool quiet = false);

// The image's RMF: cram frames x bits without the spare rows of spare_row. With col_as_frame the image's
// columns are frames and its rows bits, otherwise its rows are frames.
BIT_MATRIX build_phantom_image_rmf(const std::string& file, bool col_as_frame, uint32_t frame_size,
                                   uint32_t bit_size, const PGM_SPARE_ROW& spare_row);

// Keeps only the RMF bits inside a placed RBA block, inverted (a phantom bit is 0 where the CRAM holds a
// configuration bit). A placement reaching past the CRAM is refused.
void mask_undefined_rba_region(BIT_MATRIX& rmf, const BRIX_RBA_BLOCK_LIST& blocks, uint32_t cram_frame,
                               uint32_t cram_bit);

// The CRAM rebuilt from the RBA placements: every block's CRAM map, mirrored as placed, ORed in.
BIT_MATRIX build_rba_cram_map_rmf(const BRIX_RBA_BLOCK_LIST& blocks, const BRIX_CRAM_MAP_LIST& cram_maps,
                                  uint32_t cram_frame, uint32_t cram_bit);

// All ones except the whole columns of the memory blocks (M20K/M10K at the MRAM offset and size, MLAB at the
// LUTRAM offset and size), whose content the phantom image cannot know.
BIT_MATRIX build_memory_mask(const BRIX_RBA_BLOCK_LIST& blocks, bool col_as_frame, uint32_t cram_frame,
                             uint32_t cram_bit, uint32_t lutram_col_offset, uint32_t lutram_real_col_size,
                             uint32_t mram_col_offset, uint32_t mram_real_col_size);

// True when the two RMFs agree on every bit of the mask.
bool check_phantom_image_against_rba_rmf(const BIT_MATRIX& rba_rmf, const BIT_MATRIX& image_rmf,
                                         const BIT_MATRIX& mask, uint32_t cram_frame, uint32_t cram_bit);

// The two difference reports printed after a failed check: each placement's CRAM map pattern, then the
// rebuilt RMF, against the image under the mask.
void print_phantom_image_differences(const BRIX_RBA_BLOCK_LIST& blocks, const BRIX_CRAM_MAP_LIST& cram_maps,
                                     const BIT_MATRIX& rba_rmf, const BIT_MATRIX& image_rmf,
                                     const BIT_MATRIX& mask);

// Frame and bit mappings of the FID from the device's argument tables; fid.fid_version selects the rules.
void build_fid_mappings(BRIX_FID& fid, const BRIX_DEVICE_INFO* device);

// The EDCRC RMF: EDCRC bit (e, k) is set where the image RMF has its image frame and bit set.
void generate_edcrc_rmf(BRIX_FID& fid, const BIT_MATRIX& image_rmf);

// The frame type word of every EDCRC frame. g2_info holds g2_info_size bytes (a bit per image frame below
// fid_version 2, a byte per frame from 2 on); lutram_block may be null.
void finalize_fid(BRIX_FID& fid, const unsigned char* g2_info, size_t g2_info_size,
                  const BRIX_RBA_BLOCK* lutram_block, uint32_t lutram_frame_offset,
                  uint32_t lutram_frame_size, uint32_t edcrc_detectable_frame_count);
