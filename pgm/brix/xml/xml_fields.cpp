#include "xml/xml_fields.h"

#include "records/brix_data_manager.h"
#include "xml/brix_xml.h"

std::string xml_attribute(const xercesc::DOMElement* element, const char* name) {
    return BRIX_DOM::get_attribute_string_from_dom_node(element, name);
}

unsigned xml_number(const xercesc::DOMElement* element, const std::string& name, bool mandatory,
                    unsigned default_value) {
    std::string text = xml_attribute(element, name.c_str());
    INPUT_CONTEXT here("attribute " + name + "=\"" + INPUT_CONTEXT::excerpt(text) + "\"");
    return BRIX_MANAGER::convert_string_to_value(text, mandatory, nullptr, &default_value);
}

std::vector<xercesc::DOMElement*> xml_elements(const xercesc::DOMNode* root, const char* tag) {
    return BRIX_DOM::get_elements_by_tag_name(root, tag);
}

bool xml_lookup_name(BRIX_ENUM_TYPE selector, const std::string& name, unsigned& value) {
    return !name.empty() && BRIX_MANAGER::check_type_name_supported(selector, name, &value, nullptr);
}

BRIX_OB_FIELDS xml_read_ob_fields(const xercesc::DOMElement* element, BRIX_CALLER caller) {
    BRIX_OB_FIELDS fields;
    const std::string name = xml_attribute(element, "name");
    if (!xml_lookup_name(BRIX_ENUM_TYPE_OB_DATA, name, fields.type))
        BRIX_REPORT_FOR(caller, "Unrecognized Option Bit data name: " + name);
    fields.bit_index = xml_number(element, "bit_index", true);
    fields.bit_offset = xml_number(element, "bit_offset", true);
    fields.length = xml_number(element, "length", true);
    fields.link_block = xml_number(element, "link_block", false);
    fields.hex_value = xml_attribute(element, "hex_value");
    return fields;
}

std::unique_ptr<BRIX_OB_DATA> xml_make_ob_data(const BRIX_OB_FIELDS& fields, BRIX_CALLER caller) {
    const uint64_t expected_hex_length = (uint64_t(fields.length) + 3) / 4;
    if (fields.hex_value.size() > expected_hex_length)
        BRIX_REPORT_FOR(caller, "hex_value.size() <= expected_hex_length");
    std::unique_ptr<unsigned char[]> bytes(BRIX_MANAGER::convert_hex_string_to_byte_array(
        fields.hex_value, static_cast<unsigned>((uint64_t(fields.length) + 7) / 8), true));
    auto record = std::make_unique<BRIX_OB_DATA>(fields.type, fields.bit_index, fields.bit_offset,
                                                 fields.length, fields.link_block, bytes.get());
    bytes.release();
    return record;
}
