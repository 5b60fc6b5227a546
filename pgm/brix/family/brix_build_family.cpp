// Family XML builder: reads a family XML into a BRIX_INFO with a BRIX_FAMILY_INFO (the blocks of the
// configuration stream with their constants, dynamic fields, option-bit fields, frame and instructions) and
// writes it through the database server.
//
// Every check that fails while reading names the file and the element (tag, name attribute, line) through
// input-context frames. Range checks are computed in 64 bits so no sum or product of 32-bit fields can wrap.
#include "brix_data_server.h"
#include "brix_owned_list.h"
#include "cli/brix_operations.h"
#include "device/brix_build_device.h"
#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"
#include "xml/brix_xml.h"
#include "xml/xml_fields.h"

#include <cstdint>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using xercesc::DOMElement;

namespace {

const char* const WIDTH_CHECK =
    "config_data_width > 0 && (config_data_width % 8) == 0 && config_data_width <= 32";

// Flags compared exactly ("1" only) or ignoring case.
bool flag(const DOMElement* element, const char* name) {
    return xml_attribute(element, name) == "1";
}
bool flag_ignoring_case(const DOMElement* element, const char* name) {
    return BRIX_MANAGER::compare_string(xml_attribute(element, name), "1", false);
}

bool width_is_valid(unsigned width) {
    return width > 0 && (width % 8) == 0 && width <= 32;
}

// True when value has a bit at or above width (widths of 32 and more hold every 32-bit value).
bool exceeds_width(unsigned value, unsigned width) {
    return width < 32 && (value >> width) != 0;
}

class FAMILY_XML_READER {
  public:
    explicit FAMILY_XML_READER(unsigned config_data_width) : m_width(config_data_width) {}

    void read_bt_format(const DOMElement* root, OWNED_LIST<BRIX_BLOCK>& blocks);
    void read_block_info(const DOMElement* block_info, OWNED_LIST<BRIX_BLOCK>& blocks);

  private:
    void read_constants(BRIX_BLOCK* block, const std::vector<DOMElement*>& const_values);
    void read_dynamic_fields(BRIX_BLOCK* block, const std::vector<DOMElement*>& dyn_values);
    void read_option_bits(BRIX_DYN_DATA* dyn, const std::vector<DOMElement*>& obs);
    void read_frame(BRIX_BLOCK* block, const std::vector<DOMElement*>& frames);
    void read_instructions(BRIX_BLOCK* block, const std::vector<DOMElement*>& instructions);

    unsigned m_width;
};

void FAMILY_XML_READER::read_bt_format(const DOMElement* root, OWNED_LIST<BRIX_BLOCK>& blocks) {
    std::vector<DOMElement*> formats = xml_elements(root->getOwnerDocument(), "bt_format");
    BRIX_CHECK(formats.size() == 1, "bt_format is empty or defined multiple times");
    INPUT_CONTEXT format_here(BRIX_DOM::describe_element(formats[0]));
    std::vector<DOMElement*> block_elements = xml_elements(formats[0], "block");
    BRIX_CHECK(!block_elements.empty(), "No BLOCK element defined");
    std::set<unsigned> defined;
    for (const DOMElement* element : block_elements) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        std::string name = xml_attribute(element, "name");
        BRIX_CHECK(!name.empty(), "BLOCK element must associate with a name");
        std::string type = xml_attribute(element, "type");
        bool is_static = !type.empty();
        BRIX_CHECK(type.empty() || BRIX_MANAGER::compare_string(type, "Static", false),
                   "Unrecognized block type");
        unsigned block_type = 0;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_BLOCK, name, block_type), "Unrecognized block name");
        BRIX_CHECK(defined.insert(block_type).second, "Block is already defined");
        blocks.push_back(std::make_unique<BRIX_BLOCK>(block_type, is_static));
    }
}

void FAMILY_XML_READER::read_block_info(const DOMElement* block_info, OWNED_LIST<BRIX_BLOCK>& blocks) {
    INPUT_CONTEXT here(BRIX_DOM::describe_element(block_info));
    unsigned block_type = 0;
    BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_BLOCK, xml_attribute(block_info, "name"), block_type),
               "Unrecognized block name");
    BRIX_BLOCK* block = nullptr;
    for (auto& candidate : blocks)
        if (candidate->get_block_type() == block_type) {
            block = candidate.get();
            break;
        }
    BRIX_CHECK(block != nullptr, "Cannot match block_info with bt_format");
    unsigned length = xml_number(block_info, "length", false);
    BRIX_CHECK(!block->get_static() || length > 0, "block_length > 0");
    block->set_length(length);
    block->set_has_crc(flag_ignoring_case(block_info, "has_crc"));
    block->set_one_init(flag_ignoring_case(block_info, "init"));

    std::vector<DOMElement*> const_values = xml_elements(block_info, "const_val");
    std::vector<DOMElement*> dyn_values = xml_elements(block_info, "dyn_val");
    BRIX_CHECK(
        const_values.empty() || dyn_values.empty(),
        "(const_values->getLength() == 0 && dyn_values->getLength() > 0) || (const_values->getLength() > 0 "
        "&& dyn_values->getLength() == 0) || (const_values->getLength() == 0 && dyn_values->getLength() == "
        "0)");
    if (!const_values.empty())
        read_constants(block, const_values);
    if (!dyn_values.empty())
        read_dynamic_fields(block, dyn_values);
    std::vector<DOMElement*> frames = xml_elements(block_info, "frame");
    if (!frames.empty())
        read_frame(block, frames);
    std::vector<DOMElement*> instructions = xml_elements(block_info, "instruction");
    if (!instructions.empty())
        read_instructions(block, instructions);
}

void FAMILY_XML_READER::read_constants(BRIX_BLOCK* block, const std::vector<DOMElement*>& const_values) {
    BRIX_CHECK(block != nullptr, "block != NULL");
    BRIX_CHECK(block->get_length() > 0, "block_length > 0");
    // The one const_val reader, shared with the device XML reader.
    OWNED_LIST<BRIX_CONST_DATA> list = parse_const_values(const_values, block->get_length(), false, m_width);
    block->set_const_values(brix_hand_over_list(list), false);
}

void FAMILY_XML_READER::read_dynamic_fields(BRIX_BLOCK* block, const std::vector<DOMElement*>& dyn_values) {
    BRIX_CHECK(block != nullptr, "block != NULL && dyn_values != NULL");
    BRIX_CHECK(width_is_valid(m_width), WIDTH_CHECK);
    BRIX_CHECK(!dyn_values.empty(), "dyn_value_size > 0");
    const uint64_t total_bit = uint64_t(block->get_length()) * m_width;
    OWNED_LIST<BRIX_DYN_DATA> list;
    std::set<unsigned> defined;
    for (const DOMElement* element : dyn_values) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        unsigned type = 0;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_DYN_DATA, xml_attribute(element, "name"), type),
                   "Unrecognized dynamic data name");
        BRIX_CHECK(defined.insert(type).second, "Dynamic Data is already defined");
        unsigned word_offset = xml_number(element, "word_offset", true);
        unsigned bit_offset = xml_number(element, "bit_offset", true);
        unsigned length = xml_number(element, "length", true);
        unsigned mask = xml_number(element, "mask", true);
        bool xflip = flag(element, "xflip");
        bool end_padding = flag(element, "end_padding");
        if (total_bit > 0)
            BRIX_CHECK(length <= total_bit, "bit_length <= total_bit");
        else
            BRIX_CHECK(length == 0, "bit_length == 0");
        BRIX_CHECK(block->get_length() == 0 || word_offset < block->get_length(),
                   "Word offset exceeds block length");
        BRIX_CHECK(bit_offset < m_width, "Bit offset exceeds configuration data width");
        BRIX_CHECK(!exceeds_width(mask, m_width), "Dynamic mask exceeds configuration data width");
        auto dyn =
            std::make_unique<BRIX_DYN_DATA>(type, word_offset, bit_offset, length, mask, xflip, end_padding);
        std::vector<DOMElement*> obs = xml_elements(element, "ob_val");
        if (!obs.empty())
            read_option_bits(dyn.get(), obs);
        list.push_back(std::move(dyn));
    }
    block->set_dyn_values(brix_hand_over_list(list), false);
}

void FAMILY_XML_READER::read_option_bits(BRIX_DYN_DATA* dyn, const std::vector<DOMElement*>& obs) {
    BRIX_CHECK(dyn != nullptr, "dyn != NULL && obs != NULL");
    const uint64_t total_bit = dyn->get_length();
    BRIX_CHECK(!obs.empty() && total_bit > 0, "ob_data_size > 0 && total_bit > 0");
    // Bits taken by earlier fields, as disjoint ranges: first bit -> one past the last bit.
    std::map<uint64_t, uint64_t> taken;
    OWNED_LIST<BRIX_OB_DATA> list;
    for (const DOMElement* element : obs) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        const BRIX_OB_FIELDS fields = xml_read_ob_fields(element);
        const unsigned bit_index = fields.bit_index;
        const unsigned length = fields.length;
        const uint64_t end = uint64_t(bit_index) + length;
        BRIX_CHECK(length > 0 && bit_index < total_bit && end <= total_bit,
                   "(length > 0) && (bit_index < total_bit) && ((bit_index + length) <= total_bit)");
        const uint64_t expected_hex_length = (uint64_t(length) + 3) / 4;
        BRIX_CHECK(fields.hex_value.size() <= expected_hex_length, "hex_value.size() <= expected_hex_length");
        // The first range starting at or after bit_index, and the one before it, are the only candidates
        // for an overlap with [bit_index, end).
        auto next = taken.lower_bound(bit_index);
        bool overlaps = next != taken.end() && next->first < end;
        if (next != taken.begin())
            overlaps = overlaps || std::prev(next)->second > bit_index;
        BRIX_CHECK(!overlaps, "!checked[k]");
        taken[bit_index] = end;
        list.push_back(xml_make_ob_data(fields));
    }
    dyn->set_ob_datas(brix_hand_over_list(list), false);
}

void FAMILY_XML_READER::read_frame(BRIX_BLOCK* block, const std::vector<DOMElement*>& frames) {
    BRIX_CHECK(block != nullptr && frames.size() == 1,
               "block != NULL && frames != NULL && frames->getLength() == 1");
    const DOMElement* element = frames[0];
    INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
    unsigned type = 0;
    BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_FRAME, xml_attribute(element, "name"), type),
               "Unrecognized frame name");
    unsigned size = xml_number(element, "size", true);
    unsigned header_size = xml_number(element, "header_size", true);
    unsigned core_size = xml_number(element, "core_size", true);
    unsigned edcrc_size = xml_number(element, "edcrc_size", true);
    unsigned crc_size = xml_number(element, "crc_size", true);
    unsigned crc_mask = xml_number(element, "crc_mask", true);
    unsigned end_padding_bits = xml_number(element, "end_padding_bits", true);
    unsigned crc_include_header = xml_number(element, "crc_include_header", false, 1);
    if (block->get_has_crc())
        BRIX_CHECK(crc_size == 1, "crc_size == 1");
    else
        BRIX_CHECK(crc_size == 0, "crc_size == 0");
    BRIX_CHECK(edcrc_size == 0 || edcrc_size == 1, "edcrc_size == 0 || edcrc_size == 1");
    if (size != 0)
        BRIX_CHECK(uint64_t(size) == uint64_t(header_size) + core_size + edcrc_size + crc_size,
                   "size == (header_size + core_size + edcrc_size + crc_size)");
    else
        BRIX_CHECK(core_size == 0, "core_size == 0");
    if (crc_size != 0)
        BRIX_CHECK(crc_mask != 0, "crc_mask != 0");
    else
        BRIX_CHECK(crc_mask == 0, "crc_mask == 0");
    block->set_frame(new BRIX_FRAME(type, size, header_size, core_size, edcrc_size, crc_size, crc_mask,
                                    end_padding_bits, crc_include_header != 0),
                     false);
}

void FAMILY_XML_READER::read_instructions(BRIX_BLOCK* block, const std::vector<DOMElement*>& instructions) {
    BRIX_CHECK(block != nullptr, "block != NULL && instructions != NULL");
    BRIX_CHECK(!instructions.empty(), "instruction_size > 0");
    OWNED_LIST<BRIX_INSTRUCTION> list;
    std::set<unsigned> defined;
    for (const DOMElement* element : instructions) {
        INPUT_CONTEXT here(BRIX_DOM::describe_element(element));
        unsigned type = 0;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_INSTRUCTION, xml_attribute(element, "name"), type),
                   "Unrecognized instruction name");
        BRIX_CHECK(defined.insert(type).second, "Instruction is already defined");
        unsigned opcode = xml_number(element, "opcode", true);
        unsigned core_size = xml_number(element, "core_size", true);
        unsigned padding_size = xml_number(element, "padding_size", true);
        list.push_back(std::make_unique<BRIX_INSTRUCTION>(type, opcode, flag(element, "has_flc"), core_size,
                                                          flag(element, "core_default_zero"), padding_size,
                                                          flag(element, "padding_default_zero")));
    }
    block->set_instructions(brix_hand_over_list(list), false);
}

} // namespace

void build_family_xml(const BRIX_BUILD_CONTEXT& context, const std::string& xml_file) {
    const bool test = context.test();
    const BRIX_PROGRESS& progress = context.progress();
    INPUT_CONTEXT file_here(xml_file);
    std::string base_name;
    if (!test) {
        const std::string suffix = "_family.xml";
        if (!(xml_file.size() >= 12 && stl_ends_with(xml_file, suffix) &&
              FIO_FILE_SYSTEM::exists(xml_file))) {
            file_here.set(xml_file + FIO_FILE_SYSTEM::describe_missing(xml_file));
            BRIX_REPORT("Invalid family XML naming or file does not exist");
        }
        base_name = xml_file.substr(0, xml_file.size() - suffix.size());
        size_t separator = base_name.rfind('/');
        if (separator == std::string::npos)
            separator = base_name.rfind('\\');
        if (separator != std::string::npos)
            base_name.erase(0, separator + 1);
        progress.text("\n");
        progress.step("Family XML file: " + xml_file + "\n");
    } else {
        if (!(xml_file.size() > 4 && stl_ends_with(xml_file, ".xml") && FIO_FILE_SYSTEM::exists(xml_file))) {
            file_here.set(xml_file + FIO_FILE_SYSTEM::describe_missing(xml_file));
            BRIX_REPORT("Invalid XML extension");
        }
        base_name = xml_file.substr(0, xml_file.size() - 4);
    }

    auto info = std::make_unique<BRIX_INFO>();
    auto family = std::make_unique<BRIX_FAMILY_INFO>();
    OWNED_LIST<BRIX_BLOCK> blocks;
    {
        BRIX_DOM dom;
        const DOMElement* root = dom.load_document(xml_file);
        progress.text("\n");
        progress.detail("building " + base_name + " family PCF ...\n\n");

        INPUT_CONTEXT root_here(BRIX_DOM::describe_element(root));
        std::string family_name = xml_attribute(root, "name");
        if (!test)
            BRIX_CHECK(BRIX_MANAGER::compare_string(family_name, base_name, false),
                       "Cannot match XML family name");
        unsigned family_type = 0;
        BRIX_CHECK(xml_lookup(BRIX_ENUM_TYPE_FAMILY, family_name, family_type), "Unrecognized family name");
        family->set_family_type(family_type);

        unsigned width = xml_number(root, "config_data_width", false);
        BRIX_CHECK(width_is_valid(width), WIDTH_CHECK);
        family->set_config_data_width(width);

        FAMILY_XML_READER reader(width);
        reader.read_bt_format(root, blocks);
        for (const DOMElement* block_info : xml_elements(root->getOwnerDocument(), "block_info"))
            reader.read_block_info(block_info, blocks);
    } // the document goes with the loader

    family->set_block_info_list(brix_hand_over_list(blocks));
    info->set_family_info(family.release());
    if (test)
        BRIX_DATA_SERVER::write_brix_info(base_name, info.get(), true);
    else
        BRIX_DATA_SERVER::write_brix_info(base_name + "_family", info.get(), false);
    info.reset();
    progress.text("\n");
}
