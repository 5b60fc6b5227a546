// The 28nm generation (GRANITE, BASALT, SLATE): the frame maps, the SOF-to-bitstream bit maps of one CRAM
// frame with their G2 variants, and the MRAM, LUTRAM and DRA frame information; and the RBA parser that
// collects the LUTRAM and MRAM positions.
//
// Every index a device's inputs can make the builder write to is checked against its table first, in 64
// bits, so no input can make it write outside an array or wrap a size.
#include "device/brix_build_device.h"
#include "device/frame_maps.h"

#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t BYTE_IS_INVALID = 255;

// The whole array of a parameter; empty when the device has none.
std::vector<uint32_t> const_uints(const BRIX_DEVICE_INFO* device_info, unsigned type) {
    unsigned length = 0;
    std::unique_ptr<unsigned[]> values(device_info->get_const_uints(type, length));
    if (!values)
        return {};
    return std::vector<uint32_t>(values.get(), values.get() + length);
}

// The declared length of a parameter (any block), or 0 without one.
uint32_t parameter_length(const BRIX_DEVICE_INFO* device_info, BRIX_PARAMETER_TYPE type) {
    const BRIX_PARAMETER* parameter =
        BRIX_MANAGER::search_parameter_from_list(type, device_info->get_parameter_list(), BRIX_BLOCK_MAX);
    return parameter != nullptr ? parameter->get_length() : 0;
}

bool required_boolean(const BRIX_DEVICE_INFO* device_info, unsigned type) {
    bool support = false;
    bool value = device_info->get_const_boolean(type, &support);
    BRIX_CHECK(support, "support");
    return value;
}

std::string describe(const char* what, uint64_t value) {
    return std::string(what) + " " + std::to_string(value);
}

// Sets bytes or bits [first, first + count) of a frame table; the range must lie inside the frame count.
void check_frame_range(uint64_t first, uint64_t count, uint32_t frame_count, const char* text) {
    INPUT_CONTEXT here("frames " + std::to_string(first) + " .. " + std::to_string(first + count) + " of " +
                       std::to_string(frame_count));
    BRIX_CHECK(first + count <= frame_count, text);
}

// Fills inverse (bitstream bit -> SOF bit) from forward (SOF bit -> bitstream bit): every entry must be
// filled, and one that has a bitstream position must lie inside inverse.
void invert_bit_map(const std::vector<uint32_t>& forward, std::vector<uint32_t>& inverse,
                    const char* filled_text, const char* inside_text) {
    for (size_t i = 0; i < forward.size(); ++i) {
        const uint32_t target = forward[i];
        BRIX_CHECK(target != SOF_TO_RBF_INVALID, filled_text);
        if (target == BRIX_SOF_BIT_WITHOUT_RBF)
            continue;
        BRIX_CHECK(target < inverse.size(), inside_text);
        inverse[target] = static_cast<uint32_t>(i);
    }
}

} // namespace

void build_sof_rbf_maps(BRIX_DEVICE_BUILD_STATE&, BRIX_SOF_RBF_MAPS& maps, uint32_t bit_count,
                        uint32_t padding, uint32_t g2_padding, uint32_t edcrc_bits, uint32_t data_width,
                        uint32_t parallel_frame_size, const std::vector<uint32_t>& dras, bool lowest_segment,
                        bool lowest_word, bool drop_dra_offset) {
    BRIX_CHECK(maps.sof_to_rbf.empty() && maps.g2_sof_to_rbf.empty(),
               "(*sof_to_rbf) == NULL && (*g2_sof_to_rbf) == NULL");
    const uint64_t N = bit_count, S = edcrc_bits, W = data_width, F = parallel_frame_size;
    {
        INPUT_CONTEXT here(describe("SOF_CRAM_INCLUDE_EDCRC_BITS", S) + ", " + describe("CRAM_BIT_COUNT", N));
        BRIX_CHECK(S <= N, "edcrc_bits <= bit_count");
    }
    BRIX_CHECK(dras.size() >= W, "dras.size() >= config_data_width");
    // The bitstream maps are sized from these: each is bounded by the SOF frame before anything is allocated
    // (a dataline longer than the frame, or padding longer than it, describes no device).
    const std::pair<const char*, uint64_t> sizes[] = {
        {"CRAM_PARALLEL_FRAME_SIZE", F}, {"CRAM_RBF_PADDING", padding}, {"CRAM_G2_RBF_PADDING", g2_padding}};
    for (const auto& [name, value] : sizes) {
        INPUT_CONTEXT here(describe(name, value) + ", " + describe("CRAM_BIT_COUNT", N));
        BRIX_CHECK(value <= N, std::string(name) + " <= CRAM_BIT_COUNT");
    }
    for (uint64_t d = 0; d < W; ++d) {
        INPUT_CONTEXT here("DRAS[" + std::to_string(d) + "] = " + std::to_string(dras[d]) + ", " +
                           describe("CRAM_PARALLEL_FRAME_SIZE", F));
        BRIX_CHECK(dras[d] <= F, "dras[d] <= parallel_frame_size");
    }
    // Every size and every bitstream index must fit below the marker values.
    const uint64_t M = S + (N - S) * 2;
    const uint64_t B = (uint64_t(padding) + F) * W;
    const uint64_t B2 = (uint64_t(g2_padding) + 2 * F) * W;
    {
        INPUT_CONTEXT here("G2 SOF bits " + std::to_string(M) + ", bitstream frame bits " +
                           std::to_string(B) + ", G2 bitstream frame bits " + std::to_string(B2));
        BRIX_CHECK(M < SOF_TO_RBF_INVALID && B < SOF_TO_RBF_INVALID && B2 < SOF_TO_RBF_INVALID,
                   "map sizes < SOF_TO_RBF_INVALID");
    }
    maps.sof_to_rbf.assign(N, SOF_TO_RBF_INVALID);
    maps.g2_sof_to_rbf.assign(M, SOF_TO_RBF_INVALID);
    maps.rbf_to_sof.assign(B, SOF_FRAME_IS_SPARE_FRAME);
    maps.g2_rbf_to_sof.assign(B2, SOF_FRAME_IS_SPARE_FRAME);

    // The SOF bits after the error-detection bits fill the datalines in fill order, each dataline's data rows
    // one after the other; walk the datalines once instead of searching for each bit.
    uint64_t k = 0;
    for (uint64_t i = 0; i < S; ++i) {
        maps.sof_to_rbf[i] = BRIX_SOF_BIT_WITHOUT_RBF;
        maps.g2_sof_to_rbf[k++] = BRIX_SOF_BIT_WITHOUT_RBF;
    }
    uint64_t n = 0; // position of the current dataline in fill order
    uint64_t x = 0; // data row within it
    for (uint64_t i = S; i < N; ++i) {
        while (n < W) {
            const uint64_t d = lowest_segment ? n : W - 1 - n;
            if (x < F - dras[d])
                break;
            ++n;
            x = 0;
        }
        if (n >= W)
            BRIX_REPORT("SOF to Bitstream conversion error");
        const uint64_t d = lowest_segment ? n : W - 1 - n;
        const uint64_t D = drop_dra_offset ? 0 : dras[d];
        const uint64_t r = lowest_word ? x + D : F - D - 1 - x;
        BRIX_CHECK(r < F, "row_index >= 0 && row_index < parallel_frame_size");
        BRIX_CHECK(d < W, "dataline >= 0 && dataline < config_data_width");
        maps.sof_to_rbf[i] = static_cast<uint32_t>(padding * W + r * W + d);
        maps.g2_sof_to_rbf[k] = static_cast<uint32_t>(g2_padding * W + 2 * r * W + d);
        maps.g2_sof_to_rbf[k + 1] = static_cast<uint32_t>((2 * r + 1 + g2_padding) * W + d);
        k += 2;
        ++x;
    }

    invert_bit_map(maps.sof_to_rbf, maps.rbf_to_sof, "(*sof_to_rbf)[i] != SOF_TO_RBF_INVALID",
                   "(*sof_to_rbf)[i] < bs_frame_bits");
    invert_bit_map(maps.g2_sof_to_rbf, maps.g2_rbf_to_sof, "(*g2_sof_to_rbf)[i] != SOF_TO_RBF_INVALID",
                   "(*g2_sof_to_rbf)[i] < bs_g2_frame_bits");
}

void build_legacy_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input) {
    BRIX_DEVICE_INFO* device_info = input.device_info;
    BRIX_ARG_LIST* arg_list = input.argument_list;
    const G2_SII_LIST* g2_list = input.g2_list;
    BRIX_CHECK(device_info != nullptr, "pcf_device_info != NULL");
    const uint32_t edcrc_bits = device_info->get_const_uint(BRIX_PARAMETER_SOF_CRAM_INCLUDE_EDCRC_BITS);
    const uint32_t parallel_frame_size = device_info->get_const_uint(BRIX_PARAMETER_CRAM_PARALLEL_FRAME_SIZE);
    const uint32_t padding = device_info->get_const_uint(BRIX_PARAMETER_CRAM_RBF_PADDING);
    const uint32_t g2_padding = device_info->get_const_uint(BRIX_PARAMETER_CRAM_G2_RBF_PADDING);
    // The lengths of DRAS and LUTRAM_MAPPING size their value arrays: both are bounded before they are read.
    const uint32_t dras_length = parameter_length(device_info, BRIX_PARAMETER_DRAS);
    BRIX_CHECK(dras_length == 8 || dras_length == 32,
               "dras != NULL && (config_data_width == 8 || config_data_width == 32)");
    const uint32_t mapping_length = parameter_length(device_info, BRIX_PARAMETER_LUTRAM_MAPPING);
    {
        INPUT_CONTEXT here(describe("LUTRAM_MAPPING length", mapping_length) + ", " +
                           describe("CRAM_FRAME_COUNT", state.m_frame_count));
        BRIX_CHECK(mapping_length <= state.m_frame_count, "LUTRAM_MAPPING length <= CRAM_FRAME_COUNT");
    }
    const std::vector<uint32_t> dras = const_uints(device_info, BRIX_PARAMETER_DRAS);
    const uint32_t config_data_width = static_cast<uint32_t>(dras.size());
    BRIX_CHECK(!dras.empty() && (config_data_width == 8 || config_data_width == 32),
               "dras != NULL && (config_data_width == 8 || config_data_width == 32)");
    const bool lowest_segment =
        required_boolean(device_info, BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT);
    const bool lowest_word = required_boolean(device_info, BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_WORD);
    const uint32_t mapping_offset = device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_MAPPING_OFFSET);
    const std::vector<uint32_t> mapping = const_uints(device_info, BRIX_PARAMETER_LUTRAM_MAPPING);
    const uint32_t frame_count = state.m_frame_count;

    std::vector<uint32_t> lutram_col, lutram_row, mram_col, mram_row;
    device_info->get_simplified_lutram(lutram_col, lutram_row);
    device_info->get_simplified_mram(mram_col, mram_row);

    // Frame maps: the identity, permuted inside every LUTRAM column by LUTRAM_MAPPING.
    std::vector<uint32_t> frame_map = build_sof_frame_map(nullptr, frame_count, false);
    if (!mapping.empty()) {
        for (uint32_t c : lutram_col) {
            for (size_t k = 0; k < mapping.size(); ++k) {
                const uint64_t from = uint64_t(c) + mapping_offset + k;
                const uint64_t to = uint64_t(c) + mapping_offset + mapping[k];
                INPUT_CONTEXT here("LUTRAM column " + std::to_string(c) + ", LUTRAM_MAPPING_OFFSET " +
                                   std::to_string(mapping_offset) + ", LUTRAM_MAPPING[" + std::to_string(k) +
                                   "] = " + std::to_string(mapping[k]) + ", frame count " +
                                   std::to_string(frame_count));
                BRIX_CHECK(from < frame_count && to < frame_count, "LUTRAM_MAPPING frame < m_frame_count");
                frame_map[from] = static_cast<uint32_t>(to);
            }
        }
        std::vector<bool> checked(frame_count, false);
        for (uint32_t target : frame_map)
            checked[target] = true;
        for (uint32_t i = 0; i < frame_count; ++i) {
            INPUT_CONTEXT here("frame " + std::to_string(i));
            BRIX_CHECK(checked[i], "checked[i]");
        }
    }
    std::vector<uint32_t> inverse = invert_frame_map(frame_map, frame_count);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM,
                      frame_map);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM,
                      inverse);

    BRIX_SOF_RBF_MAPS maps;
    build_sof_rbf_maps(state, maps, state.m_bit_count, padding, g2_padding, edcrc_bits, config_data_width,
                       parallel_frame_size, dras, lowest_segment, lowest_word, false);
    BRIX_CHECK(!maps.sof_to_rbf.empty(), "sof_to_rbf != NULL");
    BRIX_CHECK(!maps.g2_sof_to_rbf.empty(), "g2_sof_to_rbf != NULL");
    BRIX_CHECK(!maps.rbf_to_sof.empty(), "rbf_to_sof != NULL");
    BRIX_CHECK(!maps.g2_rbf_to_sof.empty(), "g2_rbf_to_sof != NULL");
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, maps.sof_to_rbf);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, maps.g2_sof_to_rbf);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM, maps.rbf_to_sof);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_G2_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM, maps.g2_rbf_to_sof);

    // MRAM frames: one bit per frame, lowest bit first.
    std::vector<uint8_t> mram_info(BRIX_N_UNITS(uint64_t(frame_count), 8), 0);
    if (!mram_col.empty() && !mram_row.empty()) {
        const uint64_t col_offset = device_info->get_const_uint(BRIX_PARAMETER_MRAM_COL_OFFSET);
        const uint64_t real_col_size = device_info->get_const_uint(BRIX_PARAMETER_MRAM_REAL_COL_SIZE);
        const uint64_t col_size = device_info->get_const_uint(BRIX_PARAMETER_MRAM_COL_SIZE);
        BRIX_CHECK((col_offset + real_col_size) <= col_size, "(col_offset + real_col_size) <= col_size");
        for (uint32_t c : mram_col) {
            check_frame_range(c + col_offset, real_col_size, frame_count, "MRAM_INFO frame < m_frame_count");
            for (uint64_t f = c + col_offset; f < c + col_offset + real_col_size; ++f)
                mram_info[f / 8] |= static_cast<uint8_t>(1u << (f % 8));
        }
    }
    add_byte_argument(state, arg_list, BRIX_ARGUMENT_MRAM_INFO, BRIX_BLOCK_CRAM, mram_info);

    // LUTRAM frames: the index of the frame's LUTRAM column, BYTE_IS_INVALID elsewhere.
    std::vector<uint8_t> lutram_info(frame_count, BYTE_IS_INVALID);
    if (!lutram_col.empty() && !lutram_row.empty()) {
        const uint64_t col_offset = device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET);
        const uint64_t real_col_size = device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE);
        const uint64_t col_size = device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_SIZE);
        BRIX_CHECK((col_offset + real_col_size) <= col_size, "(col_offset + real_col_size) <= col_size");
        for (size_t index = 0; index < lutram_col.size(); ++index) {
            BRIX_CHECK(index < uint32_t(BYTE_IS_INVALID), "index < DWORD(BYTE_IS_INVALID)");
            const uint64_t first = lutram_col[index] + col_offset;
            check_frame_range(first, real_col_size, frame_count, "LUTRAM_INFO frame < m_frame_count");
            std::fill(lutram_info.begin() + first, lutram_info.begin() + first + real_col_size,
                      static_cast<uint8_t>(index));
        }
    }
    add_byte_argument(state, arg_list, BRIX_ARGUMENT_LUTRAM_INFO, BRIX_BLOCK_CRAM, lutram_info);

    // Frames with G2 information.
    std::vector<uint8_t> dra_g2_info(BRIX_N_UNITS(uint64_t(frame_count), 8), 0);
    if (g2_list != nullptr) {
        for (size_t i = 0; i < g2_list->size(); ++i) {
            if ((*g2_list)[i] == nullptr)
                continue;
            INPUT_CONTEXT here("G2 list entry " + std::to_string(i));
            BRIX_CHECK(i < frame_count, "i < m_frame_count");
            dra_g2_info[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    add_byte_argument(state, arg_list, BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM, dra_g2_info);
}

void parse_legacy_rba(BRIX_DEVICE_BUILD_STATE& state, const std::string& rba_file, BRIX_RBA_INFO& info) {
    LINE_READER reader(rba_file); // lines of any length, each failure naming the file and the line
    BRIX_CHECK(reader.is_open(), "rba_infile.good()");
    const QTL_TOKENIZER tokenizer(" \t\n");

    // One kind of position (LUTRAM or MRAM): its size texts as first written, and its positions.
    struct KIND {
        const std::string& tag;
        bool seen = false;
        std::string col_size_string, row_size_string;
        uint32_t col_size = 0, row_size = 0;
        std::vector<uint32_t> cols, rows;
        const char* col_text;
        const char* row_text;
    };
    KIND lutram{state.m_rba_lutram_string,
                false,
                {},
                {},
                0,
                0,
                {},
                {},
                "lutram_col_size_string == STL_STRING(svec.at(2))",
                "lutram_row_size_string == STL_STRING(svec.at(3))"};
    KIND mram{state.m_rba_mram_string,
              false,
              {},
              {},
              0,
              0,
              {},
              {},
              "mram_col_size_string == STL_STRING(svec.at(2))",
              "mram_row_size_string == STL_STRING(svec.at(3))"};

    std::string line;
    std::vector<std::string_view> svec;
    bool has_block_line = false;
    while (reader.next(line)) {
        // Most lines are other tiles: only a LUTRAM or MRAM line is split into its tokens.
        const std::string_view text = LINE_READER::trim_view(line);
        has_block_line = has_block_line || is_rba_block_line(text);
        const std::string_view first = tokenizer.first(text);
        if (first.empty())
            continue;
        KIND* kind = nullptr;
        if (!lutram.tag.empty() && lutram.tag == first)
            kind = &lutram;
        else if (!mram.tag.empty() && mram.tag == first)
            kind = &mram;
        if (kind == nullptr)
            continue;
        tokenizer.tokenize(text, svec);
        BRIX_CHECK(svec.size() == 8, "svec.size() == 8");
        if (!kind->seen) {
            kind->seen = true;
            kind->col_size_string = svec[2];
            kind->row_size_string = svec[3];
            kind->col_size = BRIX_MANAGER::convert_string_to_value(svec[2], false);
            kind->row_size = BRIX_MANAGER::convert_string_to_value(svec[3], false);
        } else {
            BRIX_CHECK(kind->col_size_string == svec[2], kind->col_text);
            BRIX_CHECK(kind->row_size_string == svec[3], kind->row_text);
        }
        kind->cols.push_back(BRIX_MANAGER::convert_string_to_value(svec[4], false));
        kind->rows.push_back(BRIX_MANAGER::convert_string_to_value(svec[5], false));
    }
    BRIX_CHECK(!reader.failed(), "rba_infile.good()");
    reader.set_location("end of file");
    BRIX_CHECK(has_block_line, "RBA file has no block line");

    group_rba_positions(lutram.cols, lutram.rows, state.m_simplified_lutram_col, info.simplified_lutram_row,
                        info.lutram_info);
    group_rba_positions(mram.cols, mram.rows, state.m_simplified_mram_col, info.simplified_mram_row,
                        info.mram_info);
    info.lutram_col_size = lutram.col_size;
    info.lutram_row_size = lutram.row_size;
    info.mram_col_size = mram.col_size;
    info.mram_row_size = mram.row_size;
}
