// KESTREL generation: frame maps for CRAM (twice: CRAM and CRAM_HIPI) and ERAM, the DRA G2 masks and the
// word-reversing bit map.
#include "brix_build_ks_device.h"

#include "msg_internal_error.h"

#include <cstdint>
#include <vector>

void build_ks_sof_rbf_maps(std::vector<uint32_t>& sof_to_rbf, std::vector<uint32_t>& rbf_to_sof,
                           unsigned sof_frame_bits) {
    BRIX_CHECK(
        sof_frame_bits > 0 && ((sof_frame_bits % 32) == 0) && sof_to_rbf.empty() && rbf_to_sof.empty(),
        "sof_frame_bits > 0 && ((sof_frame_bits % 32) == 0) && (*sof_to_rbf) == NULL && (*rbf_to_sof) == "
        "NULL");
    const unsigned words = sof_frame_bits / 32;
    sof_to_rbf.resize(sof_frame_bits);
    rbf_to_sof.resize(sof_frame_bits);
    for (unsigned i = 0; i < sof_frame_bits; ++i) {
        const unsigned position = (words - i / 32 - 1) * 32 + (i % 32);
        sof_to_rbf[i] = position;
        rbf_to_sof[position] = i;
    }
}
