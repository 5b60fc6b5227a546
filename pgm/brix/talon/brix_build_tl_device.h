// TALON generation: the bit maps of one CRAM frame built from the row stamp's DRA info, the EDCRC maps, the
// per-frame DRA G2 masks (shared with the KESTREL builder) and the LUTRAM address-line wiring.
#pragma once

#include "brix_data_export.h"
#include "device/brix_build_device.h"

#include <cstdint>
#include <vector>

// Builds the TALON arguments of a device (CRAM algorithm version 0) from its row-stamp file, the XML path
// without ".xml" plus "_row_stamp.def": the bit maps of one frame with the DRA info, the ERAM and CRAM frame
// maps, the DRA G2 masks, the LUTRAM tables and the EDCRC maps.
void build_tl_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input);

// The dense values of a parameter (any block): `length` entries, those without a constant 0. Empty when the
// list has no such parameter.
std::vector<uint32_t> brix_parameter_values(const BRIX_PARAMETER_LIST* parameter_list,
                                            BRIX_PARAMETER_TYPE parameter_type);

// The address line that LUTRAM address line addrline (0 to 91) is wired to.
unsigned remap_lutram_addrline(unsigned addrline);
// The LUTRAM_REMAP_ADDRLINES table of a row of n_frame_per_row frames: entry a is remap_lutram_addrline(a).
// Every address line below n_frame_per_row must be the wiring of some entry.
std::vector<uint32_t> build_lutram_remap_addrlines(unsigned n_frame_per_row);

// SOF-to-RBF (sof_frame_bits entries) and RBF-to-SOF (dra0 x dra_count entries) maps of one CRAM frame. SOF
// bit i belongs to DRA i % dra_count; DRA d occupies the bitstream bits dras_order[d] x dra0 onwards. Rows
// of type 4 and 5 are skipped (they hold inserted bits), type-3 rows hold a bit on DRA0 only (the other DRAs'
// SOF bits there get SOF_FRAME_IS_SPARE_FRAME), and the last 32 SOF bits are EDCRC bits
// (BRIX_SOF_BIT_WITHOUT_RBF) when the DRA info has EDCRC rows. Both outputs must be empty on entry.
void build_tl_sof_rbf_maps(const unsigned char* dra_info, unsigned dra0, unsigned dra_count,
                           const uint32_t* dras_order, unsigned sof_frame_bits,
                           std::vector<uint32_t>& sof_to_rbf, std::vector<uint32_t>& rbf_to_sof);

// SOF-to-EDCRC (one entry per SOF bit) and EDCRC-to-SOF (dra0 x dra_count entries) maps: the EDCRC
// numbers run over groups of 32 rows, DRA by DRA in the order of dras_order. Outputs are replaced.
void build_tl_edcrc_maps(const unsigned char* dra_info, unsigned dra0, unsigned dra_count,
                         const uint32_t* dras_order, const std::vector<uint32_t>& sof_to_rbf,
                         std::vector<uint32_t>& sof_to_edcrc, std::vector<uint32_t>& edcrc_to_sof);

// One byte per SOF frame: bit d set when the frame's G2 entry has a slot for DRA d. A frame with a mask must
// map (cram_map, one entry per SOF frame) to a bitstream frame that is not spare and below bs_frame_count.
std::vector<uint8_t> build_dra_g2_info(const G2_SII_LIST* g2_list, unsigned dra_count,
                                       unsigned sof_frame_count, unsigned bs_frame_count,
                                       const std::vector<uint32_t>& cram_map);
