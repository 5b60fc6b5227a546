// Frame maps of the device builds: SOF frame to bitstream frame with the spare frames, and the inverse.
#define BRIX_SOURCE_NAME "brix_helper"

#include "device/frame_maps.h"

#include "msg_internal_error.h"
#include "records/brix_data_manager.h"

#include <cstdint>
#include <string>
#include <vector>

using xercesc::DOMElement;

std::vector<uint32_t> build_sof_frame_map(const BRIX_ARG* spare_rows, uint32_t frame_count, bool reverse) {
    std::vector<bool> spare(frame_count, false);
    uint64_t spare_count = 0;
    if (spare_rows != nullptr) {
        unsigned width = 0;
        std::vector<uint32_t*> rows = BRIX_MANAGER::get_uint_arg_list(spare_rows, width);
        BRIX_CHECK(width == 2, "width == 2");
        for (const uint32_t* row : rows) {
            const uint64_t start = row[0], count = row[1];
            INPUT_CONTEXT here("spare rows " + std::to_string(start) + " + " + std::to_string(count) +
                               " of " + std::to_string(frame_count) + " frames");
            BRIX_CHECK(start + count <= frame_count, "spare_start + spare_count <= frame_count");
            for (uint64_t f = start; f < start + count; ++f) {
                BRIX_CHECK(!spare[f], "spare rows do not overlap");
                spare[f] = true;
            }
            spare_count += count;
        }
    }
    std::vector<uint32_t> map(frame_count, SOF_FRAME_IS_SPARE_FRAME);
    uint32_t bs_index = reverse ? static_cast<uint32_t>(frame_count - spare_count - 1) : 0;
    for (uint32_t f = 0; f < frame_count; ++f) {
        if (spare[f])
            continue;
        map[f] = bs_index;
        bs_index = reverse ? bs_index - 1 : bs_index + 1;
    }
    if (reverse)
        BRIX_CHECK(bs_index == uint32_t(-1), "bs_index == DWORD(-1)");
    return map;
}

std::vector<uint32_t> invert_frame_map(const std::vector<uint32_t>& map, uint32_t size) {
    std::vector<uint32_t> out(size, SOF_FRAME_IS_SPARE_FRAME);
    std::vector<bool> checked(size, false);
    for (size_t i = 0; i < map.size(); ++i) {
        const uint32_t target = map[i];
        if (target == SOF_FRAME_IS_SPARE_FRAME)
            continue;
        INPUT_CONTEXT here("frame map entry " + std::to_string(i) + " = " + std::to_string(target) + " of " +
                           std::to_string(size));
        BRIX_CHECK(target < size, "map[i] < size");
        BRIX_CHECK(!checked[target], "!checked[map[i]]");
        checked[target] = true;
        out[target] = static_cast<uint32_t>(i);
    }
    for (uint32_t i = 0; i < size; ++i) {
        if (!checked[i]) {
            INPUT_CONTEXT here("inverse frame map entry " + std::to_string(i));
            BRIX_REPORT("checked[i]");
        }
    }
    return out;
}

std::vector<uint32_t> append_frame_maps(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list,
                                        const BRIX_ARG* spare_rows, uint32_t frame_count, bool reverse,
                                        BRIX_ARGUMENT_TYPE map_type, BRIX_ARGUMENT_TYPE inverse_type,
                                        BRIX_BLOCK_TYPE block_type) {
    std::vector<uint32_t> map = build_sof_frame_map(spare_rows, frame_count, reverse);
    const uint32_t bs_frames = frame_count - BRIX_MANAGER::get_total_spare_row(spare_rows);
    // Every frame spare would leave an inverse map without entries, which no argument row can hold.
    BRIX_CHECK(bs_frames > 0, "frame_count > get_total_spare_row(spare_rows)");
    std::vector<uint32_t> inverse = invert_frame_map(map, bs_frames);
    add_uint_argument(state, arg_list, map_type, block_type, map);
    add_uint_argument(state, arg_list, inverse_type, block_type, inverse);
    return map;
}
