// Phantom images: reading one, its RMF, and checking it against the RBA placements and the CRAM maps.
#pragma once

#include "context/build_context.h"

#include "bit_matrix.h"
#include "pgm_family_tables.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <string>
#include <vector>

class BRIX_DEVICE_INFO;

// Block 0 of a phantom image, read whole: img_cram_row rows of img_cram_col bits, row r at
// data[first_row + r * row_stride].
struct PHANTOM_IMAGE {
    std::vector<unsigned char> data;
    size_t first_row = 0;
    size_t row_stride = 0;
    uint32_t img_cram_col = 0;
    uint32_t img_cram_row = 0;
};

// Reads and checks a phantom image file and prints its header.
PHANTOM_IMAGE parse_phantom_image(const BRIX_PROGRESS& progress, const std::string& file);

// The image's RMF: cram frames x bits without the spare rows of spare_row. With col_as_frame the image's
// columns are frames and its rows bits, otherwise its rows are frames.
BIT_MATRIX build_phantom_image_rmf(const BRIX_PROGRESS& progress, const std::string& file, bool col_as_frame,
                                   uint32_t frame_size, uint32_t bit_size, const PGM_SPARE_ROW& spare_row);

// Keeps only the RMF bits inside a placed RBA block, inverted (a phantom bit is 0 where the CRAM holds a
// configuration bit). A placement reaching past the CRAM is refused.
void mask_undefined_rba_region(const BRIX_PROGRESS& progress, BIT_MATRIX& rmf,
                               const BRIX_RBA_BLOCK_LIST& blocks, uint32_t cram_frame, uint32_t cram_bit);

// The CRAM rebuilt from the RBA placements: every block's CRAM map, mirrored as placed, ORed in.
BIT_MATRIX build_rba_cram_map_rmf(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                                  const BRIX_CRAM_MAP_LIST& cram_maps, uint32_t cram_frame,
                                  uint32_t cram_bit);

// All ones except the whole columns of the memory blocks (M20K/M10K at the MRAM offset and size, MLAB at the
// LUTRAM offset and size), whose content the phantom image cannot know.
BIT_MATRIX build_memory_mask(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                             bool col_as_frame, uint32_t cram_frame, uint32_t cram_bit,
                             uint32_t lutram_col_offset, uint32_t lutram_real_col_size,
                             uint32_t mram_col_offset, uint32_t mram_real_col_size);

// True when the two RMFs agree on every bit of the mask.
bool check_phantom_image_against_rba_rmf(const BRIX_PROGRESS& progress, const BIT_MATRIX& rba_rmf,
                                         const BIT_MATRIX& image_rmf, const BIT_MATRIX& mask,
                                         uint32_t cram_frame, uint32_t cram_bit);

// The two difference reports printed after a failed check: each placement's CRAM map pattern, then the
// rebuilt RMF, against the image under the mask.
void print_phantom_image_differences(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                                     const BRIX_CRAM_MAP_LIST& cram_maps, const BIT_MATRIX& rba_rmf,
                                     const BIT_MATRIX& image_rmf, const BIT_MATRIX& mask);
