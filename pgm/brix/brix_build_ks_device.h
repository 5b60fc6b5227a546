// KESTREL generation: a SOF frame and a bitstream frame hold the same bits with the order of their 32-bit
// words reversed; every CRAM table is written for block CRAM and again for block CRAM_HIPI.
#pragma once

#include <cstdint>
#include <vector>

// SOF-to-RBF and RBF-to-SOF maps of one frame of sof_frame_bits bits (a multiple of 32): word w of the SOF
// frame is word (words - 1 - w) of the bitstream frame. Both outputs must be empty on entry.
void build_ks_sof_rbf_maps(std::vector<uint32_t>& sof_to_rbf, std::vector<uint32_t>& rbf_to_sof,
                           unsigned sof_frame_bits);
