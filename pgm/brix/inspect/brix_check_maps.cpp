#include "inspect/brix_check_maps.h"

#include "brix_map_markers.h"

#include "records/brix_data_manager.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct MAP_PAIR {
    BRIX_ARGUMENT_TYPE forward;
    BRIX_ARGUMENT_TYPE reverse;
};

const MAP_PAIR PAIRS[] = {
    {BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_ARGUMENT_RBF_TO_SOF_MAP},
    {BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP, BRIX_ARGUMENT_G2_RBF_TO_SOF_MAP},
    {BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP},
    {BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP},
    {BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP},
};

bool is_marker(uint32_t value) {
    return brix_is_map_marker(value);
}

std::string name_of(unsigned arg_type) {
    std::string name;
    BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_ARGUMENT, arg_type, &name);
    return name;
}

std::string block_name(unsigned block_type) {
    std::string name;
    if (!BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_BLOCK, block_type, &name))
        name = std::to_string(block_type);
    return name;
}

// Checks that every non-marker entry of `from` points inside `to` and back; the first disagreement goes to
// failure.
bool check_direction(const std::string& from_name, const std::vector<uint32_t>& from,
                     const std::string& to_name, const std::vector<uint32_t>& to, std::string& failure) {
    for (size_t i = 0; i < from.size(); ++i) {
        const uint32_t target = from[i];
        if (is_marker(target))
            continue;
        if (target >= to.size()) {
            failure = from_name + "[" + std::to_string(i) + "] = " + std::to_string(target) +
                      " lies outside " + to_name + " (" + std::to_string(to.size()) + " entries)";
            return false;
        }
        if (to[target] != i) {
            failure = from_name + "[" + std::to_string(i) + "] = " + std::to_string(target) + " but " +
                      to_name + "[" + std::to_string(target) + "] = " + std::to_string(to[target]);
            return false;
        }
    }
    return true;
}

} // namespace

// The u32 entries of a map argument, its rows one after the other. False when the rows are not u32 rows.
bool brix_map_u32_values(const BRIX_ARG* arg, std::vector<uint32_t>& values) {
    values.clear();
    const BRIX_ARG_DATA_LIST* rows = arg->get_data();
    if (rows == nullptr)
        return false;
    for (const BRIX_ARG_DATA* row : *rows) {
        unsigned width = 0, unit_size = 0;
        const unsigned char* data = row != nullptr ? row->get_data(&width, &unit_size) : nullptr;
        if (data == nullptr || unit_size != 4)
            return false;
        const size_t at = values.size();
        values.resize(at + width);
        std::memcpy(values.data() + at, data, size_t(width) * 4);
    }
    return true;
}

BRIX_MAP_CHECK_RESULT check_device_maps(const BRIX_DEVICE_INFO* device_info) {
    BRIX_MAP_CHECK_RESULT result;
    const BRIX_ARG_LIST* args = device_info != nullptr ? device_info->get_argument_list() : nullptr;
    if (args == nullptr)
        return result;
    auto fail = [&](std::string text) {
        result.ok = false;
        result.failure = std::move(text);
        return result;
    };
    std::vector<uint32_t> forward_values, reverse_values;
    for (const MAP_PAIR& pair : PAIRS) {
        for (const BRIX_ARG* forward : *args) {
            if (forward == nullptr || forward->get_arg_type() != pair.forward)
                continue;
            const unsigned block = forward->get_block_type();
            const std::string forward_name = name_of(pair.forward) + " (block " + block_name(block) + ")";
            const std::string reverse_name = name_of(pair.reverse) + " (block " + block_name(block) + ")";
            const BRIX_ARG* reverse = nullptr;
            for (const BRIX_ARG* candidate : *args)
                if (candidate != nullptr && candidate->get_arg_type() == pair.reverse &&
                    candidate->get_block_type() == block)
                    reverse = candidate;
            if (reverse == nullptr)
                return fail(forward_name + " has no " + reverse_name);
            if (!brix_map_u32_values(forward, forward_values))
                return fail(forward_name + " is not a table of u32 entries");
            if (!brix_map_u32_values(reverse, reverse_values))
                return fail(reverse_name + " is not a table of u32 entries");
            std::string failure;
            if (!check_direction(forward_name, forward_values, reverse_name, reverse_values, failure) ||
                !check_direction(reverse_name, reverse_values, forward_name, forward_values, failure))
                return fail(failure);
            ++result.pairs_checked;
        }
        // A reverse map without its forward map.
        for (const BRIX_ARG* reverse : *args) {
            if (reverse == nullptr || reverse->get_arg_type() != pair.reverse)
                continue;
            if (BRIX_MANAGER::search_argument_from_list(
                    pair.forward, args, static_cast<BRIX_BLOCK_TYPE>(reverse->get_block_type())) == nullptr)
                return fail(name_of(pair.reverse) + " (block " + block_name(reverse->get_block_type()) +
                            ") has no " + name_of(pair.forward));
        }
    }
    return result;
}
