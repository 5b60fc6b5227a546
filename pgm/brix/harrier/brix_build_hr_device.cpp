// The flash-based generation (HARRIER): the CRAM frame maps with the frames of each MRAM column optionally
// reversed, the SOF-to-bitstream bit maps of a frame sent over an 8-line data bus, the IOCSR leading-padding
// parameter; the RBA parser that collects the MRAM positions; and the phantomless map the driver stores.
//
// Every frame index the device's inputs make the builder exchange is checked against the frame count first,
// in 64 bits.
#include "device/brix_build_device.h"
#include "device/frame_maps.h"

#include "brix_common_function.h"
#include "brix_owned_list.h"
#include "fio.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t BUS_WIDTH = 8;

bool required_boolean(const BRIX_DEVICE_INFO* device_info, unsigned type) {
    bool support = false;
    bool value = device_info->get_const_boolean(type, &support);
    BRIX_CHECK(support, "support");
    return value;
}

// Exchanges the frames of every MRAM column inside the valid range: the whole column (MRAM_COL_SIZE frames)
// when the range is empty (first == last), else the frames first .. last of it.
void reverse_mram_frames(const BRIX_DEVICE_INFO* device_info, std::vector<uint32_t>& frame_map,
                         const std::array<uint32_t, 4>& mram_valid_range) {
    std::vector<uint32_t> mram_col, mram_row;
    device_info->get_simplified_mram(mram_col, mram_row);
    if (mram_col.empty())
        return;
    BRIX_CHECK(mram_row.size() > 0, "rows.size() > 0");
    const uint32_t mram_col_size = device_info->get_const_uint(BRIX_PARAMETER_MRAM_COL_SIZE);
    BRIX_CHECK(
        mram_col_size > 0 && mram_valid_range[0] < mram_col_size && mram_valid_range[1] < mram_col_size,
        "mram_col_size > 0 && mram_valid_range[0] < mram_col_size && mram_valid_range[1] < mram_col_size");
    uint64_t offset = 0;
    uint64_t span = mram_col_size;
    if (mram_valid_range[0] != mram_valid_range[1]) {
        BRIX_CHECK((mram_valid_range[1] - mram_valid_range[0]) < mram_col_size,
                   "(mram_valid_range[1] - mram_valid_range[0]) < mram_col_size");
        offset = mram_valid_range[0];
        span = uint64_t(mram_valid_range[1]) - mram_valid_range[0] + 1;
    }
    for (uint32_t c : mram_col) {
        // An MRAM column of the RBA too close to the end of the CRAM would exchange frames past the map.
        INPUT_CONTEXT here("MRAM column " + std::to_string(c) + ", frames " + std::to_string(c + offset) +
                           " .. " + std::to_string(c + offset + span - 1) + " of " +
                           std::to_string(frame_map.size()));
        BRIX_CHECK(c + offset + span <= frame_map.size(), "mram_col + offset + span <= m_frame_count");
        for (uint64_t j = 0; j < span / 2; ++j) {
            const uint64_t index = c + offset + j;
            const uint64_t swapped_index = c + offset + span - 1 - j;
            BRIX_CHECK(index != swapped_index, "index != swapped_index");
            std::swap(frame_map[index], frame_map[swapped_index]);
        }
    }
}

// IOCSR_CFF: eight values; when the largest is one above a multiple of 64 the IOCSR chain needs one leading
// padding bit.
void add_iocsr_leading_padding(BRIX_DEVICE_BUILD_STATE& state, BRIX_PARAMETER_LIST* parameter_list) {
    BRIX_CHECK(parameter_list != nullptr, "parameter_list != NULL");
    const BRIX_PARAMETER* iocsr =
        BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_IOCSR_CFF, parameter_list);
    {
        INPUT_CONTEXT here("parameter IOCSR_CFF");
        BRIX_CHECK(iocsr != nullptr, "iocsr != NULL");
        BRIX_CHECK(iocsr->get_length() == 8, "iocsr->get_length() == 8");
    }
    uint32_t largest = 0;
    if (iocsr->get_const_values() != nullptr)
        for (const BRIX_CONST_DATA* value : *iocsr->get_const_values())
            if (value != nullptr)
                largest = std::max(largest, value->get_value());
    if (largest % 64 != 1)
        return;
    // A device XML that already gives the count keeps its own value.
    if (BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_IOCSR_LEADING_PADDING_COUNT,
                                                 parameter_list) != nullptr)
        return;
    state.progress().always().detail("Insert IOCSR Leading Padding count: 1\n"); // in test mode too
    OWNED_LIST<BRIX_CONST_DATA> values;
    values.push_back(std::make_unique<BRIX_CONST_DATA>(1, 0));
    auto parameter = std::make_unique<BRIX_PARAMETER>(BRIX_PARAMETER_IOCSR_LEADING_PADDING_COUNT, 1,
                                                      BRIX_BLOCK_IOCSR, brix_hand_over_list(values));
    parameter_list->push_back(parameter.get());
    parameter.release();
}

} // namespace

void build_hr_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input) {
    BRIX_DEVICE_INFO* device_info = input.device_info;
    BRIX_PARAMETER_LIST* parameter_list = input.parameter_list;
    BRIX_ARG_LIST* arg_list = input.argument_list;
    const std::array<uint32_t, 4>& mram_valid_range = input.mram_valid_range;
    BRIX_CHECK(arg_list != nullptr, "arg_list != NULL");
    BRIX_CHECK(device_info != nullptr, "pcf_device_info != NULL");
    const uint32_t frame_count = state.m_frame_count;

    // Frame maps.
    bool has_reverse = false;
    const uint32_t reverse_order =
        device_info->get_const_uint(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER, &has_reverse);
    std::vector<uint32_t> frame_map =
        build_sof_frame_map(nullptr, frame_count, has_reverse && reverse_order != 0);
    if (state.m_harrier.reverse_mram)
        reverse_mram_frames(device_info, frame_map, mram_valid_range);
    std::vector<uint32_t> inverse = invert_frame_map(frame_map, frame_count);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM,
                      frame_map);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM,
                      inverse);

    // Bit maps: a frame of N bits over the 8 lines of the bus takes F = ceil(N / 8) rows; the last lines
    // carry one padding row each to fill the last row.
    const bool lowest_segment =
        required_boolean(device_info, BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT);
    const bool lowest_word = required_boolean(device_info, BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_WORD);
    const uint64_t bit_count = state.m_bit_count;
    const uint64_t parallel_frame_size = (bit_count + BUS_WIDTH - 1) / BUS_WIDTH;
    BRIX_CHECK((parallel_frame_size * 8) >= bit_count, "(cram_parallel_frame_size * 8) >= m_bit_count");
    const uint64_t paddings = parallel_frame_size * BUS_WIDTH - bit_count;
    BRIX_CHECK(paddings < 8, "paddings < 8");
    std::vector<uint32_t> dras(BUS_WIDTH, 0);
    for (uint64_t p = 0; p < paddings; ++p)
        dras[BUS_WIDTH - 1 - p] = 1;
    BRIX_SOF_RBF_MAPS maps;
    build_sof_rbf_maps(state, maps, state.m_bit_count, 0, 0, 0, BUS_WIDTH,
                       static_cast<uint32_t>(parallel_frame_size), dras, lowest_segment, lowest_word, false);
    BRIX_CHECK(!maps.sof_to_rbf.empty(), "sof_to_rbf != NULL");
    BRIX_CHECK(!maps.g2_sof_to_rbf.empty(), "g2_sof_to_rbf != NULL");
    BRIX_CHECK(!maps.rbf_to_sof.empty(), "rbf_to_sof != NULL");
    BRIX_CHECK(!maps.g2_rbf_to_sof.empty(), "g2_rbf_to_sof != NULL");
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, maps.sof_to_rbf);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM, maps.rbf_to_sof);

    add_iocsr_leading_padding(state, parameter_list);
}

void parse_hr_rba(BRIX_DEVICE_BUILD_STATE& state, const std::string& rba_file, BRIX_RBA_INFO& info) {
    const std::string& mram_string = state.m_rba_mram_string;
    BRIX_CHECK(!mram_string.empty(), "!mram_string.empty()");
    // The text this build unpacked, else the file's.
    std::vector<unsigned char> bytes;
    std::string_view text;
    if (state.m_unpacked_rba == rba_file && state.m_rba_text.size() > 0) {
        text = state.m_rba_text.view();
    } else {
        INPUT_CONTEXT here(rba_file);
        BRIX_CHECK(FIO_FILE_SYSTEM::read_file(rba_file, bytes), "rba_infile.good()");
        text = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    // An RBA has 100,000s of lines and a few thousand MRAM lines: the text is searched for the MRAM string,
    // and a hit is an MRAM line when it is its line's first word (only blanks before it on the line, a blank
    // or the line's end after it). Lines are counted only between hits, for the report frame.
    INPUT_CONTEXT file_frame(rba_file);
    {
        // An empty or all-blank text (a 0-byte file unpacks to one) describes no device.
        bool has_block_line = false;
        for (size_t at = 0; at < text.size() && !has_block_line;) {
            const size_t end = std::min(text.find('\n', at), text.size());
            has_block_line = is_rba_block_line(text.substr(at, end - at));
            at = end + 1;
        }
        INPUT_CONTEXT end_frame("end of file");
        BRIX_CHECK(has_block_line, "RBA file has no block line");
    }
    INPUT_CONTEXT line_frame("line 0");
    const std::string_view blanks = " \t\r\v\f";
    const bool searchable = mram_string.find_first_of(" \t\r\n\v\f") == std::string::npos;
    uint64_t line_number = 1; // of the line holding position counted
    size_t counted = 0;
    size_t line_start = 0;
    bool seen = false;
    std::vector<uint32_t> cols, rows;
    std::vector<std::string_view> svec;
    for (size_t hit = searchable ? text.find(mram_string) : std::string_view::npos;
         hit != std::string_view::npos; hit = text.find(mram_string, hit + 1)) {
        for (size_t nl = text.find('\n', counted); nl != std::string_view::npos && nl < hit;
             nl = text.find('\n', nl + 1)) {
            ++line_number;
            line_start = nl + 1;
        }
        counted = hit;
        const size_t after = hit + mram_string.size();
        if (text.find_first_not_of(blanks, line_start) != hit ||
            (after < text.size() && text[after] != '\n' &&
             blanks.find(text[after]) == std::string_view::npos))
            continue;
        const size_t line_end = std::min(text.find('\n', after), text.size());
        const std::string_view line = text.substr(line_start, line_end - line_start);
        line_frame.set_line(line_number);
        LINE_READER::words(line, svec);
        BRIX_CHECK(svec.size() == 9, "svec.size() == 9");
        const uint32_t start_row = BRIX_MANAGER::convert_string_to_value(svec[3], false);
        const uint32_t end_row = BRIX_MANAGER::convert_string_to_value(svec[4], false);
        const uint32_t start_column = BRIX_MANAGER::convert_string_to_value(svec[5], false);
        const uint32_t end_column = BRIX_MANAGER::convert_string_to_value(svec[6], false);
        if (!seen) {
            seen = true;
            info.mram_col_size = end_column - start_column + 1;
            info.mram_row_size = end_row - start_row + 1;
        } else {
            BRIX_CHECK(info.mram_col_size == (end_column - start_column + 1),
                       "mram_col_size == (end_column - start_column + 1)");
            BRIX_CHECK(info.mram_row_size == (end_row - start_row + 1),
                       "mram_row_size == (end_row - start_row + 1)");
        }
        cols.push_back(start_column);
        rows.push_back(start_row);
        hit = line_end == text.size() ? line_end : line_end - 1; // the search goes on after the line
    }

    group_rba_positions(cols, rows, state.m_simplified_mram_col, info.simplified_mram_row, info.mram_info);
}

std::vector<BRIX_ROW_BUFFER> build_phantomless_cram_rows(BRIX_DEVICE_BUILD_STATE& state, unsigned family_type,
                                                         const std::string& rba_file, uint32_t frame_count,
                                                         uint32_t bit_count,
                                                         const std::array<uint32_t, 4>& mram_valid_range,
                                                         uint32_t mask, bool verbose) {
    // The RBA parser of this build has unpacked the same file already: its text is current.
    const bool unpacked =
        !rba_file.empty() && state.m_unpacked_rba == rba_file && state.m_rba_text.size() > 0;
    return BRIX_COMMON::build_hr_phantomless_database(family_type, rba_file, frame_count, bit_count,
                                                      mram_valid_range, mask, verbose,
                                                      unpacked ? &state.m_rba_text : nullptr);
}
