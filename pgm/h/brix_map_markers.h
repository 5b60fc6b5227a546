// The marker values of the map arguments (SOF to bitstream, bitstream to SOF, EDCRC, frame maps), shared by
// the device builders, the FID builder and the map checks.
#pragma once

#include <cstdint>

// An entry not filled yet.
constexpr uint32_t SOF_TO_RBF_INVALID = 0xFFFFFFFDu;
// A SOF bit without a bitstream position.
constexpr uint32_t BRIX_SOF_BIT_WITHOUT_RBF = 0xFFFFFFFEu;
// No counterpart: a bitstream bit without a SOF bit; a spare frame in frame maps.
constexpr uint32_t SOF_FRAME_IS_SPARE_FRAME = 0xFFFFFFFFu;

// Whether an entry is one of the markers rather than an index.
constexpr bool brix_is_map_marker(uint32_t value) {
    return value >= SOF_TO_RBF_INVALID;
}
