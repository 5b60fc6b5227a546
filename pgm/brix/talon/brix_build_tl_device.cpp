// TALON generation: the bit maps of one CRAM frame, the EDCRC maps, the DRA G2 masks and the LUTRAM
// address-line wiring.
//
// A bitstream frame is made of dra_count DRAs of dra0 bits each; the SOF frame interleaves them bit by bit
// (SOF bit i on DRA i % dra_count). Every index that a map entry is computed from is checked before it is
// used, so a DRA info that is too short for the SOF bits, or a DRAS_ORDER value past the DRAs, ends in a
// report instead of reading or writing past a table.
#include "talon/brix_build_tl_device.h"

#include "brix_common_function.h"
#include "device/frame_maps.h"
#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

bool is_inserted_row(unsigned char value) {
    return value == BRIX_DRA_INFO_PHANTOM4 || value == BRIX_DRA_INFO_PHANTOM5;
}

} // namespace

unsigned remap_lutram_addrline(unsigned addrline) {
    BRIX_CHECK(addrline < 92, "addrline >= 0 && addrline < 92");
    // Address lines come in runs of eight whose wiring is reversed or moved as a whole.
    if (addrline < 16)
        return addrline;
    if (addrline < 24)
        return 39 - addrline;
    if (addrline < 32)
        return 63 - addrline;
    if (addrline < 40)
        return addrline - 8;
    if (addrline < 60)
        return addrline;
    if (addrline < 68)
        return 151 - addrline;
    if (addrline < 76)
        return addrline + 8;
    if (addrline < 84)
        return addrline - 16;
    return 159 - addrline;
}

std::vector<uint32_t> build_lutram_remap_addrlines(unsigned n_frame_per_row) {
    BRIX_CHECK(n_frame_per_row > 0, "n_frame_per_row > 0");
    std::vector<uint32_t> entries(n_frame_per_row);
    std::vector<bool> addrlines(n_frame_per_row, false);
    for (unsigned a = 0; a < n_frame_per_row; ++a) {
        entries[a] = remap_lutram_addrline(a);
        if (entries[a] < n_frame_per_row)
            addrlines[entries[a]] = true;
    }
    for (unsigned addr = 0; addr < n_frame_per_row; ++addr) {
        INPUT_CONTEXT here("address line " + std::to_string(addr));
        BRIX_CHECK(addrlines[addr], "addrlines[addr]");
    }
    return entries;
}

void build_tl_sof_rbf_maps(const unsigned char* dra_info, unsigned dra0, unsigned dra_count,
                           const uint32_t* dras_order, unsigned sof_frame_bits,
                           std::vector<uint32_t>& sof_to_rbf, std::vector<uint32_t>& rbf_to_sof) {
    BRIX_CHECK(dra_info != nullptr && dra0 > 0 && (dra0 % 32) == 0 && dra_count > 0 &&
                   dras_order != nullptr && sof_frame_bits > 0 && (sof_frame_bits % dra_count) == 0,
               "dra_info != NULL && dra0 > 0 && (dra0 % 32) == 0 && dra_count > 0 && dras_order != NULL && "
               "sof_frame_bits > 0 && (sof_frame_bits % dra_count) == 0");
    BRIX_CHECK(sof_to_rbf.empty(), "(*sof_to_rbf) == NULL");
    BRIX_CHECK(rbf_to_sof.empty(), "(*rbf_to_sof) == NULL");
    const uint64_t rbf_bits = uint64_t(dra0) * dra_count;
    BRIX_CHECK(rbf_bits < BRIX_SOF_BIT_WITHOUT_RBF, "dra0 * dra_count < 0xFFFFFFFE");

    sof_to_rbf.assign(sof_frame_bits, SOF_TO_RBF_INVALID);
    rbf_to_sof.assign(size_t(rbf_bits), SOF_FRAME_IS_SPARE_FRAME);
    const unsigned edcrc = unsigned(std::count(dra_info, dra_info + dra0, BRIX_DRA_INFO_EDCRC));
    BRIX_CHECK(edcrc == 0 || edcrc == 32, "edcrc == 0 || edcrc == 32");
    BRIX_CHECK(sof_frame_bits >= edcrc, "sof_frame_bits >= edcrc");

    // Per DRA: the DRA info row it has reached, and the bitstream bits it has filled (inserted rows count).
    std::vector<unsigned> cursor(dra_count, 0);
    std::vector<unsigned> output(dra_count, 0);
    const unsigned data_bits = sof_frame_bits - edcrc;
    for (unsigned i = 0; i < data_bits; ++i) {
        const unsigned d = i % dra_count;
        while (cursor[d] < dra0 && is_inserted_row(dra_info[cursor[d]])) {
            ++cursor[d];
            ++output[d];
        }
        if (cursor[d] >= dra0)
            BRIX_REPORT("DRA " + std::to_string(d) + " has no row left for SOF bit " + std::to_string(i));
        const unsigned char t = dra_info[cursor[d]];
        if (d != 0 && t == BRIX_DRA_INFO_PHANTOM3) {
            sof_to_rbf[i] = SOF_FRAME_IS_SPARE_FRAME; // only DRA0 carries the MLAB rows
        } else {
            BRIX_CHECK(t == BRIX_DRA_INFO_DATA || (t == BRIX_DRA_INFO_PHANTOM3 && d == 0),
                       "Unsupported DRA INFO");
            const uint64_t position = uint64_t(dras_order[d]) * dra0 + output[d];
            BRIX_CHECK(position < rbf_bits, "(*sof_to_rbf)[i] < rbf_bits");
            sof_to_rbf[i] = uint32_t(position);
            ++output[d];
        }
        ++cursor[d];
    }
    for (unsigned i = data_bits; i < sof_frame_bits; ++i)
        sof_to_rbf[i] = BRIX_SOF_BIT_WITHOUT_RBF;

    for (unsigned i = 0; i < sof_frame_bits; ++i) {
        const uint32_t entry = sof_to_rbf[i];
        BRIX_CHECK(entry != SOF_TO_RBF_INVALID, "(*sof_to_rbf)[i] != SOF_TO_RBF_INVALID");
        if (entry >= BRIX_SOF_BIT_WITHOUT_RBF)
            continue;
        BRIX_CHECK(entry < rbf_bits, "(*sof_to_rbf)[i] < rbf_bits");
        // Two SOF bits on one bitstream bit (a DRAS_ORDER naming one DRA twice) would lose one of them.
        BRIX_CHECK(rbf_to_sof[entry] == SOF_FRAME_IS_SPARE_FRAME,
                   "(*rbf_to_sof)[(*sof_to_rbf)[i]] == UINT(-1)");
        rbf_to_sof[entry] = i;
    }
}

void build_tl_edcrc_maps(const unsigned char* dra_info, unsigned dra0, unsigned dra_count,
                         const uint32_t* dras_order, const std::vector<uint32_t>& sof_to_rbf,
                         std::vector<uint32_t>& sof_to_edcrc, std::vector<uint32_t>& edcrc_to_sof) {
    BRIX_CHECK(dra_info != nullptr && dra0 > 0 && dra_count > 0 && dras_order != nullptr,
               "dra_info != NULL && dra0 > 0 && dra_count > 0 && dras_order != NULL");
    const uint64_t bs_frame_bits = uint64_t(dra0) * dra_count;
    const uint64_t bits_per_group = 32 * uint64_t(dra_count);
    BRIX_CHECK((bs_frame_bits % bits_per_group) == 0, "(bs_frame_bits % bits_per_group) == 0");
    BRIX_CHECK(bs_frame_bits < SOF_FRAME_IS_SPARE_FRAME, "dra0 * dra_count < 0xFFFFFFFF");

    // EDCRC number of every DRA position: group by group, DRA by DRA in DRAS_ORDER, 32 rows each.
    std::vector<uint32_t> edcrc_of_position(size_t(bs_frame_bits), SOF_FRAME_IS_SPARE_FRAME);
    uint32_t next = 0;
    for (uint64_t g = 0; g < bs_frame_bits / bits_per_group; ++g) {
        for (unsigned d = 0; d < dra_count; ++d) {
            BRIX_CHECK(dras_order[d] < dra_count, "dras_order[d] < dra_count");
            for (uint64_t t = 0; t < 32; ++t)
                edcrc_of_position[size_t(g * bits_per_group + dras_order[d] + t * dra_count)] = next++;
        }
    }
    // DRA position of the SOF bits of every DRA row that holds SOF bits (inserted rows hold none).
    std::vector<uint32_t> sof_rows;
    sof_rows.reserve(dra0);
    for (unsigned row = 0; row < dra0; ++row)
        if (!is_inserted_row(dra_info[row]))
            sof_rows.push_back(row);

    sof_to_edcrc.assign(sof_to_rbf.size(), SOF_FRAME_IS_SPARE_FRAME);
    for (size_t k = 0; k < sof_to_rbf.size(); ++k) {
        if (sof_to_rbf[k] >= BRIX_SOF_BIT_WITHOUT_RBF)
            continue;
        const size_t r = k / dra_count;
        const uint32_t dest_index =
            r < sof_rows.size() ? uint32_t(uint64_t(sof_rows[r]) * dra_count + k % dra_count) : uint32_t(-1);
        BRIX_CHECK(dest_index != uint32_t(-1), "dest_index != UINT(-1)");
        sof_to_edcrc[k] = edcrc_of_position[dest_index];
        BRIX_CHECK(sof_to_edcrc[k] != uint32_t(-1), "dest_index != UINT(-1)");
    }
    edcrc_to_sof.assign(size_t(bs_frame_bits), SOF_FRAME_IS_SPARE_FRAME);
    for (size_t i = 0; i < sof_to_edcrc.size(); ++i) {
        if (sof_to_edcrc[i] == SOF_FRAME_IS_SPARE_FRAME)
            continue;
        BRIX_CHECK(sof_to_edcrc[i] < bs_frame_bits, "sof_to_edcrc_map[i] < bs_frame_bits");
        BRIX_CHECK(edcrc_to_sof[sof_to_edcrc[i]] == uint32_t(-1),
                   "edcrc_to_sof_map[sof_to_edcrc_map[i]] == UINT(-1)");
        edcrc_to_sof[sof_to_edcrc[i]] = uint32_t(i);
    }
}

std::vector<uint8_t> build_dra_g2_info(const G2_SII_LIST* g2_list, unsigned dra_count,
                                       unsigned sof_frame_count, unsigned bs_frame_count,
                                       const std::vector<uint32_t>& cram_map) {
    BRIX_CHECK(
        sof_frame_count > 0 && bs_frame_count > 0 && bs_frame_count <= sof_frame_count && dra_count > 0 &&
            dra_count <= 8,
        "sof_frame_count > 0 && bs_frame_count > 0 && bs_frame_count <= sof_frame_count && dra_count > 0 "
        "&& dra_count <= 8");
    BRIX_CHECK(cram_map.size() >= sof_frame_count, "cram_map.size() >= sof_frame_count");
    std::vector<uint8_t> info(sof_frame_count, 0);
    if (g2_list == nullptr)
        return info;
    for (size_t sof_frame = 0; sof_frame < g2_list->size(); ++sof_frame) {
        const G2_SII* entry = (*g2_list)[sof_frame];
        if (entry == nullptr)
            continue;
        INPUT_CONTEXT here("G2 entry of SOF frame " + std::to_string(sof_frame));
        BRIX_CHECK(sof_frame < sof_frame_count, "sof_frame < sof_frame_count");
        const G2_SII_BIT_LIST_LIST* s2_bits_list = entry->get_g2_s2_bit_list_list();
        BRIX_CHECK(
            s2_bits_list != nullptr && s2_bits_list->size() == dra_count,
            "s2_bits_list != NULL && dra_count > 0 && dra_count <= 8 && s2_bits_list->size() == dra_count");
        uint8_t mask = 0;
        for (unsigned d = 0; d < dra_count; ++d) {
            const G2_SII_BIT_LIST* dra_s2_bits_list = (*s2_bits_list)[d];
            if (dra_s2_bits_list == nullptr)
                continue;
            BRIX_CHECK(dra_s2_bits_list->size() > 0, "dra_s2_bits_list->size() > 0");
            mask = uint8_t(mask | (1u << d));
        }
        if (mask == 0)
            continue;
        info[sof_frame] = mask;
        const uint32_t bs_frame = cram_map[sof_frame];
        BRIX_CHECK(bs_frame != SOF_FRAME_IS_SPARE_FRAME && bs_frame < bs_frame_count,
                   "bs_frame != SOF_FRAME_IS_SPARE_FRAME && bs_frame < bs_frame_count");
    }
    return info;
}

// ---- The builder
// --------------------------------------------------------------------------------------------

std::vector<uint32_t> brix_parameter_values(const BRIX_PARAMETER_LIST* parameter_list,
                                            BRIX_PARAMETER_TYPE parameter_type) {
    const BRIX_PARAMETER* param = BRIX_MANAGER::search_parameter_from_list(parameter_type, parameter_list);
    if (param == nullptr)
        return {};
    std::vector<uint32_t> values(param->get_length(), 0);
    if (const BRIX_CONST_DATA_LIST* constants = param->get_const_values()) {
        for (const BRIX_CONST_DATA* constant : *constants) {
            BRIX_CHECK(constant != nullptr && constant->get_offset() < values.size(),
                       "(*i)->get_offset() < length");
            values[constant->get_offset()] = constant->get_value();
        }
    }
    return values;
}

namespace {

// The value of a one-value parameter (its entry 0; 0 when it has none), and whether the parameter exists.
uint32_t parameter_value(const BRIX_PARAMETER_LIST* parameter_list, BRIX_PARAMETER_TYPE parameter_type,
                         bool* found) {
    std::vector<uint32_t> values = brix_parameter_values(parameter_list, parameter_type);
    if (found != nullptr)
        *found = BRIX_MANAGER::search_parameter_from_list(parameter_type, parameter_list) != nullptr;
    return values.empty() ? 0 : values[0];
}

} // namespace

void build_tl_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input) {
    BRIX_PARAMETER_LIST* parameter_list = input.parameter_list;
    BRIX_ARG_LIST* arg_list = input.argument_list;
    BRIX_CHECK(parameter_list != nullptr && arg_list != nullptr,
               "parameter_list != NULL && arg_list != NULL");
    const std::string& xml_file = input.xml_file;
    BRIX_CHECK(xml_file.size() > 4 && stl_ends_with(xml_file, ".xml") && FIO_FILE_SYSTEM::exists(xml_file),
               "Invalid XML extension");
    const std::string row_stamp_file = xml_file.substr(0, xml_file.size() - 4) + "_row_stamp.def";
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(row_stamp_file), "FIO_FILE_SYSTEM::exists(row_stamp_file)");
    const BRIX_PROGRESS progress = state.progress();
    progress.detail("Device Row Stamp file: " + row_stamp_file + "\n");

    const BRIX_PARAMETER* dras =
        BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_DRAS_ORDER, parameter_list);
    BRIX_CHECK(dras != nullptr, "dras != NULL");
    const std::vector<uint32_t> dras_order = brix_parameter_values(parameter_list, BRIX_PARAMETER_DRAS_ORDER);
    const auto dra_count = unsigned(dras_order.size());
    BRIX_CHECK(dra_count > 0, "dra_count > 0");

    const BRIX_TALON_ROW_STAMP row_stamp = BRIX_COMMON::parse_talon_row_stamp(
        row_stamp_file, state.m_talon.phantom_bit_type4_division_blocks, false, state.m_bit_count);
    const unsigned dra0 = row_stamp.dra0;
    const unsigned dra123 = row_stamp.dra123;
    const unsigned sof_frame_bits = row_stamp.sof_frame_bits;
    const unsigned n_frame_per_row = row_stamp.n_frame_per_row;
    const unsigned char* const dra_info = row_stamp.dra_info.data();
    const std::vector<unsigned>& lutram_remap_datalines = row_stamp.lutram_remap_datalines;
    const auto lutram_remap_dataline_count = unsigned(lutram_remap_datalines.size());
    BRIX_CHECK(!row_stamp.dra_info.empty() && dra0 > 0 && dra123 > 0 && dra0 >= dra123 &&
                   sof_frame_bits > 0 && (sof_frame_bits % dra_count) == 0 && lutram_remap_dataline_count > 0,
               "dra_info != NULL && dra0 > 0 && dra123 > 0 && dra0 >= dra123 && sof_frame_bits > 0 && "
               "(sof_frame_bits % dra_count) == 0 && lutram_remap_datalines != NULL && "
               "lutram_remap_dataline_count > 0");

    std::vector<uint32_t> sof_to_rbf, rbf_to_sof;
    build_tl_sof_rbf_maps(dra_info, dra0, dra_count, dras_order.data(), sof_frame_bits, sof_to_rbf,
                          rbf_to_sof);
    BRIX_CHECK(!sof_to_rbf.empty(), "sof_to_rbf != NULL");
    BRIX_CHECK(!rbf_to_sof.empty(), "rbf_to_sof != NULL");
    add_byte_argument(state, arg_list, BRIX_ARGUMENT_DRA_BIT_INFO, BRIX_BLOCK_CRAM,
                      std::vector<uint8_t>(dra_info, dra_info + dra0));
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, sof_to_rbf);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM, rbf_to_sof);

    bool has_eram = false;
    const uint32_t eram_rows = parameter_value(parameter_list, BRIX_PARAMETER_ERAM_ROW_COUNT, &has_eram);
    if (has_eram) {
        BRIX_CHECK(eram_rows > 0, "frame_count > 0");
        append_frame_maps(
            state, arg_list, BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_ERAM_SPARE_ROWS, arg_list),
            eram_rows,
            parameter_value(parameter_list, BRIX_PARAMETER_ERAM_REVERSE_SOF_FRAME_ORDER, nullptr) != 0,
            BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP,
            BRIX_BLOCK_ERAM);
    }
    const BRIX_ARG* cram_spare_rows =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_CRAM_SPARE_ROWS, arg_list);
    const std::vector<uint32_t> cram_map = append_frame_maps(
        state, arg_list, cram_spare_rows, state.m_frame_count,
        parameter_value(parameter_list, BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER, nullptr) != 0,
        BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP,
        BRIX_BLOCK_CRAM);

    add_byte_argument(
        state, arg_list, BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM,
        build_dra_g2_info(input.g2_list, dra_count, state.m_frame_count,
                          state.m_frame_count - BRIX_MANAGER::get_total_spare_row(cram_spare_rows),
                          cram_map));
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_LUTRAM_DATALINES, BRIX_BLOCK_CRAM,
                      std::vector<uint32_t>(lutram_remap_datalines.begin(), lutram_remap_datalines.end()));
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, BRIX_BLOCK_CRAM,
                      build_lutram_remap_addrlines(n_frame_per_row));

    std::vector<uint32_t> sof_to_edcrc, edcrc_to_sof;
    build_tl_edcrc_maps(dra_info, dra0, dra_count, dras_order.data(), sof_to_rbf, sof_to_edcrc, edcrc_to_sof);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, BRIX_BLOCK_CRAM, sof_to_edcrc);
    add_uint_argument(state, arg_list, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, BRIX_BLOCK_CRAM, edcrc_to_sof);
    progress.text("\n");
}
