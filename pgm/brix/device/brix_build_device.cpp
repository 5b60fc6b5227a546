// Device build driver: one device name (or, in test mode, one base path) into one device database. Reads the
// device XML, settles the CRAM algorithm version, asks the device database for the geometry and the RBA
// file, unpacks and parses the RBA and RIF files, runs the one architecture builder the version selects and
// writes the database last, so a failing check leaves no new database behind.
#include "device/brix_build_device.h"

#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "dev_db.h"
#include "device/rif_parser.h"
#include "fio.h"
#include "gen.h"
#include "kestrel/brix_build_ks_device.h"
#include "msg_internal_error.h"
#include "pgmdev.h"
#include "records/brix_data_manager.h"
#include "talon/brix_build_tl_device.h"
#include "xml/brix_xml.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const BRIX_DEVICE_GENERATION GENERATIONS[] = {
    // version, skip bit, builder, RBA parser, rereads RBA, device database geometry, needs CRAM geometry
    {0, BRIX_CRAM_MINOR_SKIP_TALON, build_tl_device, nullptr, false, false, true},
    {1, 0, build_hr_device, parse_hr_rba, true, true, true},
    {2, BRIX_CRAM_MINOR_SKIP_LEGACY, build_legacy_device, parse_legacy_rba, false, true, true},
    {3, 0, build_ks_device, nullptr, false, false, false},
};

} // namespace

const BRIX_DEVICE_GENERATION* brix_device_generation(uint32_t cram_algo_version) {
    for (const BRIX_DEVICE_GENERATION& generation : GENERATIONS)
        if (generation.cram_algo_version == cram_algo_version)
            return &generation;
    return nullptr;
}

// ---- Appending results
// -------------------------------------------------------------------------------------

void add_argument_rows(BRIX_DEVICE_BUILD_STATE&, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, std::vector<BRIX_ROW_BUFFER> rows) {
    BRIX_CHECK(BRIX_MANAGER::search_argument_from_list(arg_type, arg_list, block_type) == nullptr,
               "BRIX_MANAGER::search_argument_from_list(arg_type, arg_list, block_type) == NULL");
    OWNED_LIST<BRIX_ARG_DATA> data;
    data.reserve(rows.size());
    for (BRIX_ROW_BUFFER& row : rows)
        data.push_back(row.hand_over());
    auto arg = std::make_unique<BRIX_ARG>(arg_type, block_type, brix_hand_over_list(data));
    arg_list->push_back(arg.get());
    arg.release();
    BRIX_CHECK(BRIX_MANAGER::search_argument_from_list(arg_type, arg_list) != nullptr,
               "BRIX_MANAGER::search_argument_from_list(arg_type, arg_list) != NULL");
}

void add_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                  BRIX_BLOCK_TYPE block_type, BRIX_ROW_BUFFER row) {
    std::vector<BRIX_ROW_BUFFER> rows;
    rows.push_back(std::move(row));
    add_argument_rows(state, arg_list, arg_type, block_type, std::move(rows));
}

void add_uint_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, const std::vector<uint32_t>& values) {
    BRIX_ROW_BUFFER row(static_cast<unsigned>(values.size()), 4);
    std::memcpy(row.data(), values.data(), row.size());
    add_argument(state, arg_list, arg_type, block_type, std::move(row));
}

void add_byte_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, const std::vector<uint8_t>& values) {
    BRIX_ROW_BUFFER row(static_cast<unsigned>(values.size()), 1);
    std::memcpy(row.data(), values.data(), row.size());
    add_argument(state, arg_list, arg_type, block_type, std::move(row));
}

void overwrite_parameter(BRIX_DEVICE_BUILD_STATE& state, BRIX_PARAMETER_TYPE parameter_type,
                         BRIX_PARAMETER_LIST* parameter_list, uint32_t value, unsigned block_type) {
    BRIX_PARAMETER* param = BRIX_MANAGER::search_parameter_from_list(parameter_type, parameter_list);
    if (param == nullptr) {
        auto values = std::make_unique<BRIX_CONST_DATA_LIST>();
        values->push_back(new BRIX_CONST_DATA(value, 0));
        auto fresh = std::make_unique<BRIX_PARAMETER>(parameter_type, 1, block_type, values.get());
        values.release();
        parameter_list->push_back(fresh.get());
        fresh.release();
        return;
    }
    BRIX_CONST_DATA_LIST* const_list = param->get_const_values();
    BRIX_CHECK(const_list != nullptr && const_list->size() == 1, "const_list->size() == 1");
    BRIX_CHECK(param->get_block_type() == block_type, "param->get_block_type() == block_type");
    std::string name;
    BRIX_CHECK(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_PARAMETER, parameter_type, &name),
               "BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_PARAMETER, type, &name)");
    BRIX_CONST_DATA* constant = const_list->at(0);
    state.progress().sub("Overwrite parameter " + name + " from " +
                         BRIX_MANAGER::convert_value_to_string(constant->get_value(), 4, true) + " to " +
                         BRIX_MANAGER::convert_value_to_string(value, 4, true) + "\n");
    constant->set_value(value);
}

// ---- Device database
// ---------------------------------------------------------------------------------------

std::string read_ddb_device_data(BRIX_DEVICE_BUILD_STATE& state, uint32_t part) {
    BRIX_CHECK(part != DEV_PART_INVALID, "part_enum != DEV_PART_INVALID");
    BRIX_CHECK(DMGR_UTILITY::create_device(static_cast<DEV_PART_ENUM>(part)),
               "DMGR_UTILITY::create_device(part_enum)");
    // The loaded device is released on every path, also when a check below fails.
    struct UNLOAD {
        ~UNLOAD() { DMGR_UTILITY::destroy_device(); }
    } unload;
    const DEV_DEVICE* device = DMGR_UTILITY::get_current_device();
    BRIX_CHECK(device != nullptr, "device != NULL");
    const DEV_BASIC_INFO& info = device->get_basic_info();
    if (info.is_valid_int_enum(DEV_BASIC_INFO_INT_CRAM_COLUMNS))
        state.m_col_count = info.get_int_data(DEV_BASIC_INFO_INT_CRAM_COLUMNS);
    if (info.is_valid_int_enum(DEV_BASIC_INFO_INT_CRAM_ROWS))
        state.m_row_count = info.get_int_data(DEV_BASIC_INFO_INT_CRAM_ROWS);
    if (info.is_valid_int_enum(DEV_BASIC_INFO_INT_CFF_BITS))
        state.m_cff_bits = info.get_int_data(DEV_BASIC_INFO_INT_CFF_BITS);
    std::string rba_file;
    if (info.is_valid_string_enum(DEV_BASIC_INFO_STRING_RBA_FILE))
        rba_file = info.get_string_data(DEV_BASIC_INFO_STRING_RBA_FILE);
    state.progress().detail("RBA file: " + rba_file + "\n\n");
    return rba_file;
}

// ---- LUTRAM and MRAM
// ---------------------------------------------------------------------------------------

namespace {

// The unpacked RBA file written beside the build has landed; a failure to write it is reported as the
// unpacking's own.
void wait_for_unpacked_file(BRIX_DEVICE_BUILD_STATE& state) {
    const bool pending = !state.m_rba_writer.target().empty();
    BRIX_BUILD_CONTEXT::finish_unpacking(state.m_rba_writer.target() + "z", state.m_rba_writer);
    if (pending)
        state.m_rba_written = true;
}

// Stores the info list and the column and row sizes of one kind (LUTRAM or MRAM).
void store_lutram_mram(BRIX_PARAMETER_LIST* parameter_list,
                       std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>>& info,
                       const std::vector<uint32_t>& columns, const std::vector<uint32_t>& rows,
                       BRIX_PARAMETER_TYPE col_param, BRIX_PARAMETER_TYPE row_param, uint32_t col_size,
                       uint32_t row_size, const char* empty_text, const char* size_text,
                       const char* col_absent_text, const char* row_absent_text,
                       LUTRAM_MRAM_INFO_LIST*& out_list) {
    out_list = nullptr;
    if (columns.empty()) {
        BRIX_CHECK(info.empty() && rows.empty(), empty_text);
        return;
    }
    BRIX_CHECK(info.size() == columns.size(), size_text);
    BRIX_CHECK(BRIX_MANAGER::search_parameter_from_list(col_param, parameter_list) == nullptr,
               col_absent_text);
    BRIX_CHECK(BRIX_MANAGER::search_parameter_from_list(row_param, parameter_list) == nullptr,
               row_absent_text);
    for (auto [type, value] : {std::pair<unsigned, uint32_t>{col_param, col_size}, {row_param, row_size}}) {
        auto values = std::make_unique<BRIX_CONST_DATA_LIST>();
        values->push_back(new BRIX_CONST_DATA(value, 0));
        auto param = std::make_unique<BRIX_PARAMETER>(type, 1, BRIX_BLOCK_CRAM, values.get());
        values.release();
        parameter_list->push_back(param.get());
        param.release();
    }
    out_list = new LUTRAM_MRAM_INFO_LIST();
    out_list->reserve(info.size());
    for (auto& entry : info)
        out_list->push_back(entry.release());
    info.clear();
}

} // namespace

void print_lutram_mram_debug(const std::string& title, const LUTRAM_MRAM_INFO_LIST* list) {
    if (list == nullptr)
        return;
    std::ostringstream out;
    out << "\n";
    for (const LUTRAM_MRAM_INFO* info : *list) {
        out << "         " << title << ": " << info->get_col() << "\n\t\t{\n\t\t\t";
        std::vector<unsigned> rows = info->get_rows();
        for (size_t i = 0; i < rows.size(); ++i) {
            out << rows[i];
            if (i + 1 < rows.size()) {
                out << ", ";
                if ((i + 1) % 8 == 0)
                    out << "\n\t\t\t";
            }
        }
        out << "\n\t\t}\n";
    }
    std::cout << out.str();
}

bool is_rba_block_line(std::string_view line) {
    const std::string_view blanks = " \t\r\n\v\f";
    size_t words = 0;
    for (size_t at = line.find_first_not_of(blanks); at != std::string_view::npos;
         at = line.find_first_not_of(blanks, at)) {
        if (words == 0 && (line[at] == '#' || line[at] == '$'))
            return false;
        if (++words == 8)
            return true;
        at = line.find_first_of(blanks, at);
        if (at == std::string_view::npos)
            break;
    }
    return false;
}

void group_rba_positions(const std::vector<uint32_t>& cols, const std::vector<uint32_t>& rows,
                         std::vector<uint32_t>& simplified_col, std::vector<uint32_t>& simplified_row,
                         std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>>& info) {
    BRIX_CHECK(cols.size() == rows.size(), "cols.size() == rows.size()");
    auto sorted_distinct = [](std::vector<uint32_t> values) {
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        return values;
    };
    simplified_col = sorted_distinct(cols);
    simplified_row = sorted_distinct(rows);
    info.clear();
    info.reserve(simplified_col.size());
    for (uint32_t col : simplified_col)
        info.push_back(std::make_unique<LUTRAM_MRAM_INFO>(col));
    for (size_t i = 0; i < cols.size(); ++i) {
        auto at = std::lower_bound(simplified_col.begin(), simplified_col.end(), cols[i]);
        info[static_cast<size_t>(at - simplified_col.begin())]->update_row(rows[i]);
    }
}

void build_lutram_mram_parameters(BRIX_DEVICE_BUILD_STATE& state, BRIX_DEVICE_INFO* device_info,
                                  BRIX_PARAMETER_LIST* parameter_list, const std::string& rba_file,
                                  const BRIX_DEVICE_GENERATION* generation) {
    BRIX_CHECK(device_info != nullptr, "pcf_device_info != NULL");
    const std::string zipped = rba_file + "z";
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(zipped), "Zipped RBA source file does not exist");
    BRIX_CHECK(state.test() || state.m_cff_bits > 0, "m_test || m_cff_bits > 0");
    const BRIX_PROGRESS& progress = state.progress();
    progress.sub("Running CMD: " + BRIX_BUILD_CONTEXT::gunzip_command(zipped, rba_file) + "\n\n");
    // A generation that reads the text twice (a HARRIER build: its MRAM lines here, its blocks for the
    // phantomless map) keeps the unpacked bytes beside the file it writes.
    state.m_rba_writer.wait();
    state.m_rba_text = LARGE_TEXT();
    state.m_rba_written = false;
    // The text is bounded by the device's CRAM, in the larger of the two geometries known here.
    const uint64_t limit = BRIX_BUILD_CONTEXT::text_unpack_limit(
        std::max(state.m_frame_count, state.m_col_count), std::max(state.m_bit_count, state.m_row_count));
    if (generation != nullptr && generation->rereads_rba) {
        BRIX_BUILD_CONTEXT::unpack_in_background(zipped, rba_file, limit, state.m_rba_text,
                                                 state.m_rba_writer);
    } else {
        BRIX_BUILD_CONTEXT::unpack(zipped, rba_file, limit);
        state.m_rba_written = true;
    }
    // A file still being written from the text counts as there: its failure is reported before the end.
    BRIX_CHECK(state.m_rba_writer.target() == rba_file || FIO_FILE_SYSTEM::exists(rba_file),
               "FIO_FILE_SYSTEM::exists(rba_file.c_str())");
    state.m_unpacked_rba = rba_file;
    progress.sub("Parsing RBA file ... \n");

    if (generation == nullptr || generation->rba_parser == nullptr)
        BRIX_REPORT("Unsupported CRAM algorithm flow");
    BRIX_RBA_INFO info;
    generation->rba_parser(state, rba_file, info);

    LUTRAM_MRAM_INFO_LIST* lutram_list = nullptr;
    store_lutram_mram(
        parameter_list, info.lutram_info, state.m_simplified_lutram_col, info.simplified_lutram_row,
        BRIX_PARAMETER_LUTRAM_COL_SIZE, BRIX_PARAMETER_LUTRAM_ROW_SIZE, info.lutram_col_size,
        info.lutram_row_size, "lutram_info->size() == 0 && simplified_lutram_row.size() == 0",
        "lutram_info->size() == m_simplified_lutram_col.size()",
        "BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_LUTRAM_COL_SIZE, parameter_list) "
        "== NULL",
        "BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_LUTRAM_ROW_SIZE, parameter_list) "
        "== NULL",
        lutram_list);
    if (lutram_list != nullptr) {
        device_info->set_lutram_info(lutram_list);
        device_info->set_simplified_lutram(state.m_simplified_lutram_col, info.simplified_lutram_row);
    }
    LUTRAM_MRAM_INFO_LIST* mram_list = nullptr;
    store_lutram_mram(
        parameter_list, info.mram_info, state.m_simplified_mram_col, info.simplified_mram_row,
        BRIX_PARAMETER_MRAM_COL_SIZE, BRIX_PARAMETER_MRAM_ROW_SIZE, info.mram_col_size, info.mram_row_size,
        "mram_info->size() == 0 && simplified_mram_row.size() == 0",
        "mram_info->size() == m_simplified_mram_col.size()",
        "BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_MRAM_COL_SIZE, parameter_list) "
        "== NULL",
        "BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_MRAM_ROW_SIZE, parameter_list) "
        "== NULL",
        mram_list);
    if (mram_list != nullptr) {
        device_info->set_mram_info(mram_list);
        device_info->set_simplified_mram(state.m_simplified_mram_col, info.simplified_mram_row);
    }
    if (state.m_context.options().debug) {
        print_lutram_mram_debug("LUTRAM", device_info->get_lutram_info());
        print_lutram_mram_debug("MRAM", device_info->get_mram_info());
    }
    progress.text("\n");
}

// ---- The driver
// --------------------------------------------------------------------------------------------

namespace {

// The CRAM_ALGO value of the device XML: the version in its value, the minor version bits in its offset.
BRIX_CONST_DATA* cram_algo_value(BRIX_PARAMETER_LIST* parameter_list) {
    BRIX_PARAMETER* param =
        BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_CRAM_ALGO, parameter_list, BRIX_BLOCK_MAX);
    BRIX_CHECK(param != nullptr && param->get_length() == 1 && param->get_const_values() != nullptr &&
                   !param->get_const_values()->empty() && param->get_const_values()->at(0) != nullptr,
               "param != NULL && param->get_length() == 1 && param->get_const_values()->at(0) != NULL");
    return param->get_const_values()->at(0);
}

// The MRAM valid range of the device XML (four values), or zeros without one.
std::array<uint32_t, 4> mram_valid_range(BRIX_ARG_LIST* argument_list) {
    std::array<uint32_t, 4> range{};
    if (BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_MRAM_VALID_RANGE, argument_list,
                                                                BRIX_BLOCK_MAX)) {
        unsigned mram_arg_width = 0;
        std::vector<uint32_t*> uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, mram_arg_width);
        BRIX_CHECK(mram_arg_width == 4 && uint_arg_list.size() == 1,
                   "mram_arg_width == 4 && uint_arg_list.size() == 1");
        std::copy(uint_arg_list[0], uint_arg_list[0] + 4, range.begin());
    }
    return range;
}

// The CRAM geometry of the device database replaces the device XML's (not in test mode), and its CFF bits
// are stored.
void apply_ddb_geometry(BRIX_DEVICE_BUILD_STATE& state, BRIX_PARAMETER_LIST* parameter_list) {
    if (!state.test()) {
        if (state.m_frame_count != state.m_col_count) {
            overwrite_parameter(state, BRIX_PARAMETER_CRAM_FRAME_COUNT, parameter_list, state.m_col_count,
                                BRIX_BLOCK_CRAM);
            state.m_frame_count = state.m_col_count;
        }
        if (state.m_bit_count != state.m_row_count) {
            overwrite_parameter(state, BRIX_PARAMETER_CRAM_BIT_COUNT, parameter_list, state.m_row_count,
                                BRIX_BLOCK_CRAM);
            state.m_bit_count = state.m_row_count;
        }
    }
    overwrite_parameter(state, BRIX_PARAMETER_CFF_BITS, parameter_list, state.m_cff_bits, BRIX_BLOCK_IOCSR);
}

// The device's RIF file into its G2 list, one slot per DRA from RIF version 1 on.
void read_rif(BRIX_DEVICE_BUILD_STATE& state, BRIX_DEVICE_INFO* device_info, const std::string& directory) {
    uint32_t dra_count = 1;
    if (state.m_rif_version == 1) {
        const BRIX_PARAMETER* dras = BRIX_MANAGER::search_parameter_from_list(
            BRIX_PARAMETER_DRAS, device_info->get_parameter_list(), BRIX_BLOCK_MAX);
        BRIX_CHECK(dras != nullptr, "dras != NULL");
        dra_count = dras->get_length();
        // One slot per DRA in every RIF entry: more DRAs than the frame has bits describe no device.
        INPUT_CONTEXT here("DRAS length " + std::to_string(dra_count) + ", CRAM_BIT_COUNT " +
                           std::to_string(state.m_bit_count));
        BRIX_CHECK(state.m_bit_count == 0 || dra_count <= state.m_bit_count, "DRAS length <= CRAM_BIT_COUNT");
    }
    // The frame and bit counts bound the RIF's frame and bit numbers where the device has them.
    // The text is this build's once it is written: unless the unpacking itself failed (which writes nothing).
    const std::string unpacked = directory + state.m_rif_file + ".rif";
    G2_SII_LIST* g2_s2_list = nullptr;
    try {
        g2_s2_list = parse_rif(state.m_context, state.m_rif_file, directory, state.m_rif_version, dra_count,
                               state.m_frame_count, state.m_bit_count);
    } catch (const BRIX_INTERNAL_ERROR& error) {
        if (!BRIX_BUILD_CONTEXT::is_command_failure(error))
            state.m_unpacked_rif = unpacked;
        throw;
    }
    state.m_unpacked_rif = unpacked;
    BRIX_CHECK(g2_s2_list != nullptr, "g2_s2_list != NULL");
    device_info->set_g2_s2_list(g2_s2_list, true, true);
}

void build_device_steps(BRIX_DEVICE_BUILD_STATE& state, const std::string& device_name) {
    const BRIX_BUILD_CONTEXT& context = state.m_context;
    const bool test = context.test();
    const bool full = context.options().full;
    const BRIX_PROGRESS& progress = context.progress();

    std::string name = device_name;
    if (name.size() > 4 && stl_ends_with(name, ".xml"))
        name.erase(name.size() - 4);

    std::string output_name, rba_file, xml_file;
    uint32_t part = DEV_PART_INVALID;
    if (test) {
        output_name = name;
        rba_file = name + ".rba";
        xml_file = name + ".xml";
    } else {
        const BRIX_DEVICE_IDENTITY identity = context.identify_device(name);
        part = identity.part;
        output_name = identity.pcf;
        xml_file = identity.pcf + ".xml";
    }
    const size_t slash = name.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    progress.detail("Device XML file: " + xml_file + "\n");

    // The device record owns its parameter and argument lists from the start: a failing check anywhere below
    // releases them with it.
    auto device_info = std::make_unique<BRIX_DEVICE_INFO>();
    device_info->set_parameter_list(new BRIX_PARAMETER_LIST(), false);
    device_info->set_argument_list(new BRIX_ARG_LIST(), false);
    BRIX_PARAMETER_LIST* parameter_list = device_info->get_parameter_list();
    BRIX_ARG_LIST* argument_list = device_info->get_argument_list();
    auto info = std::make_unique<BRIX_INFO>();
    parse_device_xml(state, device_info.get(), parameter_list, argument_list, xml_file, name, test);

    BRIX_CONST_DATA* algo = cram_algo_value(parameter_list);
    const uint32_t cram_algo_version = algo->get_value();
    const uint32_t sub_cram_algo_version = algo->get_offset();
    BRIX_CHECK(
        cram_algo_version <= 3 && (sub_cram_algo_version & ~BRIX_CRAM_SUPPORTED_MINOR_VERSION) == 0,
        "( cram_algo_version == 0 || cram_algo_version == 1 || cram_algo_version == 2 || "
        "cram_algo_version == 3 ) && ( ((sub_cram_algo_version & ~BRIX_CRAM_SUPPORTED_MINOR_VERSION) == "
        "0) )");
    // Both dispatch points (the RBA parser and the builder) read this one row.
    const BRIX_DEVICE_GENERATION* generation = brix_device_generation(cram_algo_version);

    if (!test && (sub_cram_algo_version & BRIX_CRAM_MINOR_NO_DDB) == 0)
        rba_file = read_ddb_device_data(state, part);

    // The minor version is not written to the database.
    algo->set_offset(0);

    BRIX_DEVICE_BUILD_INPUT input;
    input.device_info = device_info.get();
    input.parameter_list = parameter_list;
    input.argument_list = argument_list;
    input.xml_file = xml_file;

    input.mram_valid_range = mram_valid_range(argument_list);

    if (full) {
        if (sub_cram_algo_version & BRIX_CRAM_MINOR_RUN_RBA)
            build_lutram_mram_parameters(state, device_info.get(), parameter_list, rba_file, generation);
        BRIX_CHECK(test || (state.m_col_count > 0 && state.m_row_count > 0 && state.m_cff_bits > 0),
                   "test || (m_col_count > 0 && m_row_count > 0 && m_cff_bits > 0)");
        if (generation != nullptr && generation->ddb_geometry)
            apply_ddb_geometry(state, parameter_list);
    }
    if (generation == nullptr || generation->needs_cram_geometry)
        BRIX_CHECK(state.m_frame_count > 0 && state.m_bit_count > 0, "m_frame_count > 0 && m_bit_count > 0");

    if (!state.m_rif_file.empty())
        read_rif(state, device_info.get(), directory);
    input.g2_list = device_info->get_g2_s2_list();

    if (generation == nullptr)
        BRIX_REPORT("Unsupported CRAM algorithm flow");
    if ((sub_cram_algo_version & generation->skip_minor_bit) == 0)
        generation->builder(state, input);

    if (full && state.m_phantomless_algo != 0) {
        BRIX_CHECK(state.m_phantomless_algo == 1, "Unsupported PhantomLess flow version");
        std::vector<BRIX_ROW_BUFFER> phantomless_map =
            build_phantomless_cram_rows(state, state.m_family_type, rba_file, state.m_frame_count,
                                        state.m_bit_count, input.mram_valid_range, 0xFFFFFFFFu, !test);
        BRIX_CHECK(!phantomless_map.empty(), "phantomless_map != NULL");
        add_argument_rows(state, argument_list, BRIX_ARGUMENT_PHANTOMLESS_MAP, BRIX_BLOCK_CRAM,
                          std::move(phantomless_map));
    }

    wait_for_unpacked_file(state);
    state.m_rba_text = LARGE_TEXT();
    info->set_device_info(device_info.release());
    BRIX_DATA_SERVER::write_brix_info(output_name, info.get(), test);
    info.reset();
    progress.text("\n");
}

} // namespace

void build_device(const BRIX_BUILD_CONTEXT& context, const std::string& device_name) {
    BRIX_DEVICE_BUILD_STATE state;
    state.m_context = context;
    // The texts a failed build unpacked go with it: a hostile input leaves nothing large behind.
    // (A text whose write failed was never this build's: the previous file, if any, stays.)
    struct REMOVE_UNPACKED {
        const BRIX_DEVICE_BUILD_STATE& state;
        bool failed = true;
        ~REMOVE_UNPACKED() {
            if (!failed)
                return;
            if (state.m_rba_written && !state.m_unpacked_rba.empty())
                FIO_FILE_SYSTEM::remove_file(state.m_unpacked_rba);
            if (!state.m_unpacked_rif.empty())
                FIO_FILE_SYSTEM::remove_file(state.m_unpacked_rif);
        }
    } remove_unpacked{state};
    try {
        build_device_steps(state, device_name);
    } catch (...) {
        // The RBA file is written while the build goes on, but it was unpacked before any later step: when
        // its write failed too, that failure is the one reported, as if it had been written at once.
        wait_for_unpacked_file(state);
        throw;
    }
    remove_unpacked.failed = false;
}
