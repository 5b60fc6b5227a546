// The FID of a device.
#pragma once

#include "context/build_context.h"

#include "bit_matrix.h"
#include "pgm_family_tables.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <string>
#include <vector>

class BRIX_DEVICE_INFO;

// Exit status of a FID build whose phantom image disagrees with the CRAM rebuilt from the RBA placements and
// the family's CRAM maps: the FID is written, the differences are printed, and the run ends with this status.
constexpr int BRIX_EXIT_PHANTOM_MISMATCH = 7;

// Frame and bit mappings of the FID from the device's argument tables; fid.fid_version selects the rules.
void build_fid_mappings(BRIX_FID& fid, const BRIX_DEVICE_INFO* device);

// The EDCRC RMF: EDCRC bit (e, k) is set where the image RMF has its image frame and bit set.
void generate_edcrc_rmf(const BRIX_PROGRESS& progress, BRIX_FID& fid, const BIT_MATRIX& image_rmf);

// The frame type word of every EDCRC frame. g2_info holds g2_info_size bytes (a bit per image frame below
// fid_version 2, a byte per frame from 2 on); lutram_block may be null.
void finalize_fid(const BRIX_PROGRESS& progress, BRIX_FID& fid, const unsigned char* g2_info,
                  size_t g2_info_size, const BRIX_RBA_BLOCK* lutram_block, uint32_t lutram_frame_offset,
                  uint32_t lutram_frame_size, uint32_t edcrc_detectable_frame_count);
