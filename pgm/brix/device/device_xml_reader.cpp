// The device XML reader: a device XML into the parameter, argument and option-bit lists of the device info,
// and the parameters that steer the build into the build state.
#define BRIX_SOURCE_NAME "brix_build_device"

#include "device/brix_build_device.h"

#include "brix_owned_list.h"
#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"
#include "xml/brix_xml.h"
#include "xml/xml_fields.h"

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using xercesc::DOMElement;

// Parameters that go to the build state instead of the parameter list.
bool read_state_parameter(BRIX_DEVICE_BUILD_STATE& state, unsigned type, uint32_t length,
                          const std::vector<DOMElement*>& const_values) {
    switch (type) {
    case BRIX_PARAMETER_SUPPORT_RIF:
    case BRIX_PARAMETER_GENERATE_RMF:
    case BRIX_PARAMETER_PHANTOMLESS_ALGO:
    case BRIX_PARAMETER_RBA_MRAM_STRING:
    case BRIX_PARAMETER_RBA_LUTRAM_STRING:
    case BRIX_PARAMETER_REVERSE_MRAM: {
        BRIX_CHECK(const_values.size() == 1, "const_values->getLength() == 1");
        const DOMElement* value = const_values[0];
        INPUT_CONTEXT here(BRIX_DOM::describe_element(value));
        if (type == BRIX_PARAMETER_SUPPORT_RIF) {
            state.m_rif_file = xml_attribute(value, "value");
            state.m_rif_version = xml_number(value, "offset", false);
            BRIX_CHECK(state.m_rif_version <= 2, "m_rif_version <= 2");
        } else if (type == BRIX_PARAMETER_GENERATE_RMF) {
            xml_number(value, "value", false);
            xml_number(value, "offset", false);
        } else if (type == BRIX_PARAMETER_PHANTOMLESS_ALGO) {
            state.m_phantomless_algo = xml_number(value, "value", true);
            BRIX_CHECK(state.m_phantomless_algo == 0 || state.m_phantomless_algo == 1,
                       "m_phantomless_algo == 0 || m_phantomless_algo == 1");
        } else if (type == BRIX_PARAMETER_RBA_MRAM_STRING) {
            state.m_rba_mram_string = xml_attribute(value, "value");
        } else if (type == BRIX_PARAMETER_RBA_LUTRAM_STRING) {
            state.m_rba_lutram_string = xml_attribute(value, "value");
        } else {
            state.m_harrier.reverse_mram = xml_number(value, "value", true) != 0;
        }
        return true;
    }
    case BRIX_PARAMETER_PHANTOM_BIT_TYPE4_DIVISION_BLOCK: {
        BRIX_CHECK(state.m_talon.phantom_bit_type4_division_blocks.size() == 0,
                   "m_phantom_bit_type4_division_blocks.size() == 0");
        BRIX_CHECK(length == const_values.size(), "parameter_length == const_values->getLength()");
        for (uint32_t j = 0; j < const_values.size(); ++j) {
            INPUT_CONTEXT here(BRIX_DOM::describe_element(const_values[j]));
            BRIX_CHECK(
                BRIX_MANAGER::convert_string_to_value(xml_attribute(const_values[j], "offset"), true) == j,
                "BRIX_MANAGER::convert_string_to_value(get_attribute_string_from_dom_node(const_values->"
                "item(j), \"offset\"), true) == j");
            state.m_talon.phantom_bit_type4_division_blocks.push_back(
                xml_attribute(const_values[j], "value"));
        }
        return true;
    }
    default:
        return false;
    }
}

void parse_parameters(BRIX_DEVICE_BUILD_STATE& state, BRIX_PARAMETER_LIST* parameter_list,
                      const std::vector<DOMElement*>& parameters) {
    for (const DOMElement* element : parameters) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        BRIX_PARAMETER_TYPE type = BRIX_PARAMETER_INVALID;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_PARAMETER, xml_attribute(element, "name"), type),
                   "Unrecognized parameter name");
        std::string block_name = xml_attribute(element, "block");
        if (block_name.empty())
            block_name = "UNDEFINED";
        BRIX_BLOCK_TYPE block_type = BRIX_BLOCK_INVALID;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_BLOCK, block_name, block_type), "Unrecognized block name");
        const uint32_t length = xml_number(element, "length", true);
        BRIX_CHECK(length > 0, "parameter_length > 0");
        BRIX_CHECK(
            BRIX_MANAGER::search_parameter_from_list(type, parameter_list, block_type) == nullptr,
            "BRIX_MANAGER::search_parameter_from_list(parameter_type, parameter_list, block_type) == NULL");
        std::vector<DOMElement*> const_values = xml_elements(element, "const_val");
        if (read_state_parameter(state, type, length, const_values))
            continue;
        OWNED_LIST<BRIX_CONST_DATA> values =
            parse_const_values(const_values, length, type == BRIX_PARAMETER_CRAM_ALGO, 0xFFFFFFFFu);
        auto parameter =
            std::make_unique<BRIX_PARAMETER>(type, length, block_type, brix_hand_over_list(values));
        BRIX_PARAMETER* stored = parameter.get();
        parameter_list->push_back(parameter.release());
        switch (type) {
        case BRIX_PARAMETER_CRAM_FRAME_COUNT:
        case BRIX_PARAMETER_CRAM_BIT_COUNT:
        case BRIX_PARAMETER_LUTRAM_COL_OFFSET:
        case BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE:
        case BRIX_PARAMETER_MRAM_COL_OFFSET:
        case BRIX_PARAMETER_MRAM_REAL_COL_SIZE:
            BRIX_CHECK(stored->get_length() == 1 && stored->get_const_values()->at(0) != nullptr &&
                           stored->get_const_values()->at(0)->get_offset() == 0,
                       "parameter->get_length() == 1 && parameter->get_const_values()->at(0) != NULL && "
                       "parameter->get_const_values()->at(0)->get_offset() == 0");
            if (type == BRIX_PARAMETER_CRAM_FRAME_COUNT)
                state.m_frame_count = stored->get_const_value(0);
            else if (type == BRIX_PARAMETER_CRAM_BIT_COUNT)
                state.m_bit_count = stored->get_const_value(0);
            break;
        default:
            break;
        }
    }
}

// One argument row: `width` units of unit_size bytes from the attributes v0 .. v<width - 1>. The row grows
// one value at a time, so a width the element does not back with attributes fails at the first missing one
// instead of allocating width units up front.
OWNED_LIST<BRIX_ARG_DATA> parse_arg_data(const std::vector<DOMElement*>& arg_data_infos, uint32_t width,
                                         uint32_t unit_size) {
    BRIX_CHECK(width > 0 && arg_data_infos.size() > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4),
               "width > 0 && arg_data_infos != NULL && arg_data_infos->getLength() > 0 && (unit_size == 1 || "
               "unit_size == 2 || unit_size == 4)");
    const uint32_t mask = unit_size == 1 ? 0xFFFFFF00u : unit_size == 2 ? 0xFFFF0000u : 0;
    OWNED_LIST<BRIX_ARG_DATA> rows;
    std::vector<unsigned char> bytes;
    for (const DOMElement* element : arg_data_infos) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        bytes.clear();
        for (uint32_t d = 0; d < width; ++d) {
            uint32_t temp = xml_number(element, "v" + std::to_string(d), true);
            BRIX_CHECK((temp & mask) == 0, "(temp & mask) == 0");
            unsigned char unit[4];
            std::memcpy(unit, &temp, 4); // little-endian: the low unit_size bytes are the value
            bytes.insert(bytes.end(), unit, unit + unit_size);
        }
        BRIX_ROW_BUFFER row(width, unit_size);
        std::memcpy(row.data(), bytes.data(), row.size());
        rows.push_back(row.hand_over());
    }
    return rows;
}

// uint_argument (unit size 4), word_argument (2) or byte_argument (1) elements into the argument list.
void parse_arguments(BRIX_ARG_LIST* arg_list, const std::vector<DOMElement*>& arguments, uint32_t unit_size) {
    BRIX_CHECK(arg_list != nullptr, "arg_list != NULL");
    for (const DOMElement* element : arguments) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        BRIX_ARGUMENT_TYPE type = BRIX_ARGUMENT_INVALID;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_ARGUMENT, xml_attribute(element, "name"), type),
                   "Unrecognized Argu name");
        BRIX_BLOCK_TYPE block_type = BRIX_BLOCK_INVALID;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_BLOCK, xml_attribute(element, "block"), block_type),
                   "Unrecognized Block name");
        if (unit_size == 4)
            BRIX_CHECK(BRIX_MANAGER::search_argument_from_list(type, arg_list, block_type) == nullptr,
                       "BRIX_MANAGER::search_argument_from_list(type, arg_list, block_type) == NULL");
        else
            BRIX_CHECK(BRIX_MANAGER::search_argument_from_list(type, arg_list) == nullptr,
                       "BRIX_MANAGER::search_argument_from_list(type, arg_list) == NULL");
        const uint32_t width = xml_number(element, "width", true);
        OWNED_LIST<BRIX_ARG_DATA> rows = parse_arg_data(xml_elements(element, "arg_data"), width, unit_size);
        auto arg = std::make_unique<BRIX_ARG>(type, block_type, brix_hand_over_list(rows));
        arg_list->push_back(arg.get());
        arg.release();
    }
}

OWNED_LIST<BRIX_OB_DATA> parse_ob_values(const std::vector<DOMElement*>& ob_values) {
    OWNED_LIST<BRIX_OB_DATA> list;
    for (const DOMElement* element : ob_values) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        const BRIX_OB_FIELDS fields = xml_read_ob_fields(element);
        BRIX_CHECK(fields.length > 0, "length > 0");
        list.push_back(xml_make_ob_data(fields));
    }
    return list;
}

} // namespace

OWNED_LIST<BRIX_CONST_DATA> parse_const_values(const std::vector<DOMElement*>& const_values,
                                               uint32_t max_count, bool is_cram_algo,
                                               uint32_t config_data_width) {
    const bool width_ok = (config_data_width > 0 && config_data_width % 8 == 0 && config_data_width <= 32) ||
                          config_data_width == 0xFFFFFFFFu;
    BRIX_CHECK(max_count > 0 && width_ok,
               "(MAX_COUNT > 0) && ( (config_data_width > 0 && (config_data_width % 8) == 0 && "
               "config_data_width <= 32) || (config_data_width == UINT(-1)) )");
    BRIX_CHECK(!const_values.empty(), "const_value_size > 0");
    BRIX_CHECK(const_values.size() <= max_count, "const_value_size <= MAX_COUNT");
    if (is_cram_algo)
        BRIX_CHECK(const_values.size() == 1 && max_count == 1, "const_value_size == 1 && MAX_COUNT == 1");
    OWNED_LIST<BRIX_CONST_DATA> list;
    std::set<uint32_t> offsets;
    for (const DOMElement* element : const_values) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        const uint32_t value = xml_number(element, "value", true);
        const uint32_t offset = xml_number(element, "offset", true);
        if (!is_cram_algo) {
            BRIX_CHECK(offset < max_count, "Offset exceeds maximum length");
            BRIX_CHECK(offsets.insert(offset).second, "Found a duplicate constant value");
            BRIX_CHECK(config_data_width >= 32 || (value >> config_data_width) == 0,
                       "Constant value exceeds configuration data width");
        }
        list.push_back(std::make_unique<BRIX_CONST_DATA>(value, offset));
    }
    return list;
}

void parse_device_xml(BRIX_DEVICE_BUILD_STATE& state, BRIX_DEVICE_INFO* device_info,
                      BRIX_PARAMETER_LIST* parameter_list, BRIX_ARG_LIST* arg_list,
                      const std::string& xml_path, const std::string& device_name, bool test) {
    INPUT_CONTEXT file_here(xml_path);
    BRIX_CHECK(xml_path.size() > 4 && stl_ends_with(xml_path, ".xml") && FIO_FILE_SYSTEM::exists(xml_path),
               "Invalid XML extension");
    BRIX_DOM dom;
    const DOMElement* root = dom.load_document(xml_path);
    INPUT_CONTEXT root_here(BRIX_DOM::describe_element(root));
    unsigned device_type = 0;
    BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_DEVICE, xml_attribute(root, "name"), device_type),
               "Unrecognized device name");
    device_info->set_device_type(device_type);
    state.m_device_name = xml_attribute(root, "name");
    BRIX_PROGRESS(test || state.test())
        .text("\n         Parsing XML " + stl_lower(xml_path.substr(0, xml_path.size() - 4)) +
              " using device " + stl_upper(device_name) + " ...\n\n");
    unsigned family_type = 0;
    state.m_family_name = xml_attribute(root, "family");
    BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_FAMILY, state.m_family_name, family_type),
               "Unrecognized family name");
    device_info->set_family_type(family_type);
    state.m_family_type = family_type;

    const xercesc::DOMDocument* document = root->getOwnerDocument();
    std::vector<DOMElement*> parameters = xml_elements(document, "parameter");
    BRIX_CHECK(!parameters.empty(), "parameter is empty");
    parse_parameters(state, parameter_list, parameters);
    parse_arguments(arg_list, xml_elements(document, "uint_argument"), 4);
    parse_arguments(arg_list, xml_elements(document, "word_argument"), 2);
    parse_arguments(arg_list, xml_elements(document, "byte_argument"), 1);
    OWNED_LIST<BRIX_OB_DATA> ob_values = parse_ob_values(xml_elements(document, "ob_val"));
    if (!ob_values.empty())
        device_info->set_ob_datas(brix_hand_over_list(ob_values), false);
}
