// Field readers shared by the XML builders (family XML, device XML): attributes, numbers, vocabulary names,
// child elements, and the ob_val option-bit records both documents carry.
#pragma once

#include "brix_data_export.h"
#include "brix_vocabulary.h"
#include "msg_internal_error.h"

#include <xercesc/dom/DOM.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An attribute's text; empty when the element has none.
std::string xml_attribute(const xercesc::DOMElement* element, const char* name);
// A number attribute: a mandatory one may not be empty; an optional one reads as default_value when empty.
// A failing conversion names the attribute and its text.
unsigned xml_number(const xercesc::DOMElement* element, const std::string& name, bool mandatory,
                    unsigned default_value = 0);
// The elements of a tag below root, in document order.
std::vector<xercesc::DOMElement*> xml_elements(const xercesc::DOMNode* root, const char* tag);

// The value of a vocabulary name (case ignored), as the vocabulary's own type. The empty name, which the
// tables hold at value 0 (no type), names nothing here.
bool xml_lookup_name(BRIX_ENUM_TYPE selector, const std::string& name, unsigned& value);
template <typename E> bool xml_lookup(BRIX_ENUM_TYPE selector, const std::string& name, E& value) {
    unsigned found = 0;
    if (!xml_lookup_name(selector, name, found))
        return false;
    value = static_cast<E>(found);
    return true;
}

// The fields of one ob_val element. Reading them checks the name against the option-bit vocabulary
// ("Unrecognized Option Bit data name: <name>") and that the numbers are numbers; the caller checks the bit
// range against what holds the field, then makes the record.
struct BRIX_OB_FIELDS {
    unsigned type = 0;
    unsigned bit_index = 0;
    unsigned bit_offset = 0;
    unsigned length = 0;
    unsigned link_block = 0;
    std::string hex_value;
};
BRIX_OB_FIELDS xml_read_ob_fields(const xercesc::DOMElement* element, BRIX_CALLER caller = BRIX_CALLER_HERE);
// The record of checked fields: its hex value may not be longer than its length needs
// ("hex_value.size() <= expected_hex_length").
std::unique_ptr<BRIX_OB_DATA> xml_make_ob_data(const BRIX_OB_FIELDS& fields,
                                               BRIX_CALLER caller = BRIX_CALLER_HERE);
