// KESTREL generation: frame maps for CRAM (twice: CRAM and CRAM_HIPI) and ERAM, the DRA G2 masks and the
// word-reversing bit map.
#include "kestrel/brix_build_ks_device.h"

#include "device/frame_maps.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"
#include "talon/brix_build_tl_device.h"

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

void build_ks_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input) {
    BRIX_PARAMETER_LIST* parameter_list = input.parameter_list;
    BRIX_ARG_LIST* arg_list = input.argument_list;
    BRIX_CHECK(parameter_list != nullptr && arg_list != nullptr,
               "parameter_list != NULL && arg_list != NULL");

    const BRIX_ARG* eram_spare_rows =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_ERAM_SPARE_ROWS, arg_list);
    const BRIX_PARAMETER* eram_row_count =
        BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_ERAM_ROW_COUNT, parameter_list);
    if (eram_spare_rows != nullptr && eram_row_count != nullptr) {
        const std::vector<uint32_t> values =
            brix_parameter_values(parameter_list, BRIX_PARAMETER_ERAM_ROW_COUNT);
        const uint32_t eram_rows = values.empty() ? 0 : values[0];
        // No frame map can be made of no frames.
        BRIX_CHECK(eram_rows > 0, "frame_count > 0");
        const std::vector<uint32_t> map = build_sof_frame_map(eram_spare_rows, eram_rows, false);
        const uint32_t bs_frames = eram_rows - BRIX_MANAGER::get_total_spare_row(eram_spare_rows);
        BRIX_CHECK(bs_frames > 0, "frame_count > get_total_spare_row(spare_rows)");
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_ERAM,
                          map);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_ERAM,
                          invert_frame_map(map, bs_frames));
    }

    const BRIX_ARG* cram_spare_rows =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_CRAM_SPARE_ROWS, arg_list);
    if (cram_spare_rows != nullptr) {
        const uint32_t frames = state.m_frame_count;
        BRIX_CHECK(frames > 0, "frame_count > 0");
        const uint32_t bs_frames = frames - BRIX_MANAGER::get_total_spare_row(cram_spare_rows);
        // The same map goes to both blocks; each copy is checked on its own inverse.
        const std::vector<uint32_t> map = build_sof_frame_map(cram_spare_rows, frames, false);
        const std::vector<uint32_t> hipi_map = build_sof_frame_map(cram_spare_rows, frames, false);
        BRIX_CHECK(bs_frames > 0, "frame_count > get_total_spare_row(spare_rows)");
        const std::vector<uint32_t> inverse = invert_frame_map(map, bs_frames);
        const std::vector<uint32_t> hipi_inverse = invert_frame_map(hipi_map, bs_frames);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM,
                          map);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM_HIPI,
                          hipi_map);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM,
                          inverse);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM_HIPI,
                          hipi_inverse);
        add_byte_argument(state, arg_list, BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM,
                          build_dra_g2_info(input.g2_list, 1, frames, bs_frames, map));
    }

    if (BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_CRAM_BIT_COUNT, parameter_list) != nullptr) {
        const std::vector<uint32_t> values =
            brix_parameter_values(parameter_list, BRIX_PARAMETER_CRAM_BIT_COUNT);
        const uint32_t sof_frame_bit_count = values.empty() ? 0 : values[0];
        BRIX_CHECK(sof_frame_bit_count > 0, "sof_frame_bit_count > 0");
        std::vector<uint32_t> sof_to_rbf, rbf_to_sof, hipi_sof_to_rbf, hipi_rbf_to_sof;
        build_ks_sof_rbf_maps(sof_to_rbf, rbf_to_sof, sof_frame_bit_count);
        build_ks_sof_rbf_maps(hipi_sof_to_rbf, hipi_rbf_to_sof, sof_frame_bit_count);
        BRIX_CHECK(!sof_to_rbf.empty() && !hipi_sof_to_rbf.empty(), "sof_to_rbf != NULL");
        BRIX_CHECK(!rbf_to_sof.empty() && !hipi_rbf_to_sof.empty(), "rbf_to_sof != NULL");
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, sof_to_rbf);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM_HIPI,
                          hipi_sof_to_rbf);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM, rbf_to_sof);
        add_uint_argument(state, arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM_HIPI,
                          hipi_rbf_to_sof);
    }
}
