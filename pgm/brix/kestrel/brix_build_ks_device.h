// KESTREL generation: a SOF frame and a bitstream frame hold the same bits with the order of their 32-bit
// words reversed; every CRAM table is written for block CRAM and again for block CRAM_HIPI.
#pragma once

#include "device/brix_build_device.h"

#include <cstdint>
#include <vector>

// Builds the KESTREL arguments of a device (CRAM algorithm version 3): the ERAM frame maps when the device
// has ERAM spare rows and an ERAM row count, the CRAM frame maps (CRAM and CRAM_HIPI) and DRA G2 masks when
// it has CRAM spare rows, and the bit maps (CRAM and CRAM_HIPI) when it has a CRAM bit count.
void build_ks_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input);

// SOF-to-RBF and RBF-to-SOF maps of one frame of sof_frame_bits bits (a multiple of 32): word w of the SOF
// frame is word (words - 1 - w) of the bitstream frame. Both outputs must be empty on entry.
void build_ks_sof_rbf_maps(std::vector<uint32_t>& sof_to_rbf, std::vector<uint32_t>& rbf_to_sof,
                           unsigned sof_frame_bits);
