// Frame maps of the device builds.
#pragma once

#include "device/brix_build_device.h"

#include <cstdint>
#include <vector>

// SOF frame -> bitstream frame, spare frames SOF_FRAME_IS_SPARE_FRAME; reverse numbers the bitstream frames
// from the last.
std::vector<uint32_t> build_sof_frame_map(const BRIX_ARG* spare_rows, uint32_t frame_count, bool reverse);
// The inverse of a frame map, with `size` entries.
std::vector<uint32_t> invert_frame_map(const std::vector<uint32_t>& map, uint32_t size);
// A frame map and its inverse (frame_count - spare rows entries), appended in that order in block_type.
// Returns the map.
std::vector<uint32_t> append_frame_maps(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list,
                                        const BRIX_ARG* spare_rows, uint32_t frame_count, bool reverse,
                                        BRIX_ARGUMENT_TYPE map_type, BRIX_ARGUMENT_TYPE inverse_type,
                                        BRIX_BLOCK_TYPE block_type);
