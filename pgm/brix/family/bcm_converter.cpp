// The option-bit BCM converter: the ob_val lines of a family XML from an option-bit description.
#define BRIX_SOURCE_NAME "brix_helper"

#include "cli/brix_operations.h"

#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "records/brix_data_manager.h"
#include "xml/brix_xml.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

using xercesc::DOMElement;

namespace {

// Condition text of the report that ends a conversion which printed one of its own failure messages, so the
// run ends with a failure status.
const char* const CONVERSION_FAILED = "Option-bit BCM conversion failed";

std::vector<DOMElement*> children(const DOMElement* element, const char* tag) {
    return BRIX_DOM::get_elements_by_tag_name(element, tag);
}

// Text of the only child with this tag, without leading and trailing blanks.
std::string child_text(const DOMElement* element, const char* tag) {
    return gen_remove_leading_and_trailing_spaces(
        BRIX_DOM::get_text_from_dom_node(children(element, tag)[0]));
}

// One option-bit range of a sub-attribute name: "op_bit[H:L]" or "op_bit[N]". False for other names.
bool parse_op_bit_range(const std::string& sub_name, unsigned& high, unsigned& low) {
    const std::string prefix = "op_bit[";
    if (sub_name.size() < 9 || sub_name.compare(0, prefix.size(), prefix) != 0 || sub_name.back() != ']')
        return false;
    std::string range = sub_name.substr(prefix.size(), sub_name.size() - prefix.size() - 1);
    size_t colon = range.find(':');
    std::string high_text = colon == std::string::npos ? range : range.substr(0, colon);
    std::string low_text = colon == std::string::npos ? range : range.substr(colon + 1);
    high = BRIX_MANAGER::convert_string_to_value(high_text, false, nullptr, nullptr);
    low = BRIX_MANAGER::convert_string_to_value(low_text, false, nullptr, nullptr);
    return true;
}

struct BCM_RESULT {
    bool failed = false;          // a structural error that stops the conversion and the name report
    bool attribute_error = false; // the attribute-level structural error: the name report still runs
    std::vector<std::string> emitted_names;
};

// A CONFIGURATION or ConfValue element, read once: every attribute walks them all.
struct BCM_ENTRY {
    const DOMElement* element = nullptr;
    bool shape_ok = false; // each child used occurs exactly once
    std::string conf_id;
    std::string name;    // CONFIGURATION: AttrName; ConfValue: SubAttrName
    std::string setting; // CONFIGURATION: AttrSetting; ConfValue: SubAttrSetting
};

std::vector<BCM_ENTRY> read_configurations(const std::vector<DOMElement*>& elements) {
    std::vector<BCM_ENTRY> entries(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        const DOMElement* element = elements[i];
        BCM_ENTRY& entry = entries[i];
        entry.element = element;
        entry.shape_ok = children(element, "ConfID").size() == 1 &&
                         children(element, "AttrName").size() == 1 &&
                         children(element, "AttrSetting").size() == 1;
        if (!entry.shape_ok)
            continue;
        entry.conf_id = child_text(element, "ConfID");
        entry.name = child_text(element, "AttrName");
        entry.setting = child_text(element, "AttrSetting");
    }
    return entries;
}

std::vector<BCM_ENTRY> read_values(const std::vector<DOMElement*>& elements) {
    std::vector<BCM_ENTRY> entries(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        const DOMElement* element = elements[i];
        BCM_ENTRY& entry = entries[i];
        entry.element = element;
        std::vector<DOMElement*> assigns = children(element, "SubAttrAssign");
        entry.shape_ok = children(element, "ConfID").size() == 1 && assigns.size() == 1 &&
                         children(assigns[0], "SubAttrName").size() == 1 &&
                         children(assigns[0], "SubAttrSetting").size() == 1;
        if (!entry.shape_ok)
            continue;
        entry.conf_id = child_text(element, "ConfID");
        entry.name = child_text(assigns[0], "SubAttrName");
        entry.setting = child_text(assigns[0], "SubAttrSetting");
    }
    return entries;
}

// Prints the ob_val lines of the attribute's default configuration (ConfID conf_id).
void print_default_configuration(const std::string& name, bool numeric_default, uint64_t default_value,
                                 const std::string& default_text, const std::string& conf_id,
                                 const std::vector<BCM_ENTRY>& values, BCM_RESULT& result) {
    for (const BCM_ENTRY& value : values) {
        if (!value.shape_ok) {
            std::cout << "   ConfID and SubAttrAssign size within ConfValue must be 1\n\n";
            std::cout << "   SubAttrName and SubAttrSetting size within SubAttrAssign must be 1\n\n";
            result.failed = true;
            return;
        }
        if (value.conf_id != conf_id)
            continue;
        INPUT_CONTEXT here(BRIX_DOM::describe_element(value.element));
        const std::string& sub_name = value.name;
        unsigned high = 0;
        unsigned low = 0;
        if (!parse_op_bit_range(sub_name, high, low))
            continue;
        // A reversed range would wrap the length to about 2^32 bits; a full 2^32-bit range wraps it to 0.
        BRIX_CHECK(high >= low, "Option-bit range " + sub_name + " has its high bit below its low bit");
        uint64_t length64 = uint64_t(high) - low + 1;
        BRIX_CHECK(length64 <= UINT32_MAX, "Option-bit range " + sub_name + " is longer than 2^32 - 1 bits");
        auto length = static_cast<unsigned>(length64);

        uint64_t bits = default_value;
        if (!numeric_default) {
            std::string setting = value.setting;
            if (setting.find("'b") == std::string::npos && setting.find("'d") == std::string::npos &&
                setting.find("'h") == std::string::npos)
                setting = "'b" + setting;
            std::string message;
            if (!PGM_COMMON::convert_scientific_string_to_qword(setting, bits, message))
                BRIX_REPORT(default_text + " or " + setting + ". Last failure: " + message);
        }
        std::cout << "<ob_val name=\"" << stl_upper(name) << "\" bit_index=\"" << low
                  << "\" bit_offset=\"40\" length=\"" << length << "\" hex_value=\""
                  << PGM_COMMON::convert_qword_to_hex_string(bits, (length + 3) / 4, false) << "\"/>\n";
        result.emitted_names.push_back(stl_lower(name));
    }
}

void convert_document(const DOMElement* root, BCM_RESULT& result) {
    const xercesc::DOMDocument* document = root->getOwnerDocument();
    std::vector<DOMElement*> attributes = BRIX_DOM::get_elements_by_tag_name(document, "ATTRIBUTE");
    std::vector<DOMElement*> configuration_elements =
        BRIX_DOM::get_elements_by_tag_name(document, "CONFIGURATION");
    std::vector<DOMElement*> value_elements = BRIX_DOM::get_elements_by_tag_name(document, "ConfValue");
    if (attributes.empty() || configuration_elements.empty() || value_elements.empty()) {
        std::cout << "   ATTRIBUTE, CONFIGURATION and/or ConfValue is NULL\n\n";
        result.failed = true;
        return;
    }
    const std::vector<BCM_ENTRY> configurations = read_configurations(configuration_elements);
    const std::vector<BCM_ENTRY> values = read_values(value_elements);
    for (const DOMElement* attribute : attributes) {
        if (result.failed)
            break;
        INPUT_CONTEXT here(BRIX_DOM::describe_element(attribute));
        if (children(attribute, "AttrName").size() != 1 || children(attribute, "AttrDefault").size() != 1) {
            std::cout << "   AttrName and AttrDefault size within ATTRIBUTE must be 1\n\n";
            result.attribute_error = true;
            break;
        }
        std::string name = child_text(attribute, "AttrName");
        std::string default_text = child_text(attribute, "AttrDefault");
        uint64_t default_value = 0;
        std::string message;
        bool numeric_default =
            PGM_COMMON::convert_scientific_string_to_qword(default_text, default_value, message);

        for (const BCM_ENTRY& configuration : configurations) {
            if (!configuration.shape_ok) {
                std::cout << "   AttrName and ConfID size within CONFIGURATION must be 1\n\n";
                result.failed = true;
                break;
            }
            if (configuration.name != name || (!numeric_default && configuration.setting != default_text))
                continue;
            print_default_configuration(name, numeric_default, default_value, default_text,
                                        configuration.conf_id, values, result);
            break;
        }
    }
}

void print_missing_names(const std::vector<std::string>& emitted_names) {
    std::cout << "\nMissing OB database name:\n";
    std::vector<std::string> missing;
    for (const std::string& name : emitted_names) {
        if (!BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_OB_DATA, name, nullptr, nullptr)) {
            std::cout << "   " << name << "\n";
            missing.push_back(name);
        }
    }
    if (missing.empty())
        return;
    std::cout << "\nOB UTST Enum to String:\n\n";
    for (const std::string& name : missing) {
        std::string upper = stl_upper(name);
        std::cout << "UTST_ASSERT(BRIX_MANAGER::check_type_enum_supported(tested_brix_type, BRIX_OB_DATA_"
                  << upper << ", &name, checked_list));\n"
                  << "UTST_ASSERT(BRIX_MANAGER::compare_string(name, \"" << upper << "\", true));\n"
                  << "checked_num++;\n\n";
    }
    std::cout << "OB UTST String to Enum:\n\n";
    for (const std::string& name : missing) {
        std::string upper = stl_upper(name);
        std::cout << "UTST_ASSERT(BRIX_MANAGER::check_type_name_supported(tested_brix_type, \"" << upper
                  << "\", &type, checked_list));\n"
                  << "UTST_ASSERT(type == BRIX_OB_DATA_" << upper << ");\n"
                  << "checked_num++;\n\n";
    }
}

} // namespace

void parse_ob_bcm(const BRIX_BUILD_CONTEXT&, const std::string& bcm_file) {
    INPUT_CONTEXT file_here(bcm_file);
    if (!(bcm_file.size() > 8 && stl_ends_with(bcm_file, ".bcm.xml") && FIO_FILE_SYSTEM::exists(bcm_file))) {
        std::cout << "\nInvalid file extension (.bcm.xml) or file does not exist\n\n";
        BRIX_REPORT(CONVERSION_FAILED);
    }

    BCM_RESULT result;
    {
        BRIX_DOM dom;
        const DOMElement* root = dom.load_document(bcm_file);
        std::cout << "\n\nParse Option Bits BCM XML ...\n\n";
        INPUT_CONTEXT root_here(BRIX_DOM::describe_element(root));
        convert_document(root, result);
    } // the document goes with the loader

    if (!result.failed && !result.emitted_names.empty())
        print_missing_names(result.emitted_names);
    if (result.failed || result.attribute_error)
        BRIX_REPORT(CONVERSION_FAILED);
}
