// Consistency check of a device database's own maps: every SOF-to-bitstream map against its reverse and every
// frame map against its inverse. A wrong builder is caught here before a device is programmed with its maps.
#pragma once

#include "brix_data_export.h"

#include <string>

struct BRIX_MAP_CHECK_RESULT {
    bool ok = true;
    unsigned pairs_checked = 0; // map pairs found and compared
    std::string failure;        // the first disagreement, with its indices
};

// Map pairs (forward, reverse), each in the same block: SOF_TO_RBF_MAP / RBF_TO_SOF_MAP,
// G2_SOF_TO_RBF_MAP / G2_RBF_TO_SOF_MAP, CRAM_SOF_FRAME_TO_BS_FRAME_MAP / CRAM_BS_FRAME_TO_SOF_FRAME_MAP, the
// ERAM frame maps and the EDCRC maps (SOF_TO_EDCRC_MAP / EDCRC_TO_SOF_MAP). For every entry of either map
// that is not a marker value (0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF) the mapped index lies inside the other map
// and maps back to the entry. A pair with only one of its maps present is a failure.
BRIX_MAP_CHECK_RESULT check_device_maps(const BRIX_DEVICE_INFO* device_info);

// The u32 entries of a map argument, its rows one after the other. False when the rows are not u32 rows.
bool brix_map_u32_values(const BRIX_ARG* arg, std::vector<uint32_t>& values);
