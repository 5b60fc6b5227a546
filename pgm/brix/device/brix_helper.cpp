// Option-bit BCM XML converter: prints one ob_val line per option-bit range of every attribute's default
// configuration, then the attribute names the option-bit vocabulary does not know yet, with the unit-test
// lines that extend it.
//
// RIF file parser: reads a device's RIF file into its G2 list.
#include "device/brix_helper.h"

#include "brix_owned_list.h"
#include "cli/brix_operations.h"
#include "device/brix_build_device.h"
#include "fio.h"
#include "gen.h"
#include "large_block.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"
#include "xml/brix_xml.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using xercesc::DOMElement;

namespace {

// Condition text of the report that ends a conversion which printed one of its own failure messages, so the
// run ends with a failure status.
const char* const CONVERSION_FAILED = "Option-bit BCM conversion failed";

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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

void parse_ob_bcm(const std::string& bcm_file) {
    INPUT_CONTEXT file_here(bcm_file);
    if (!(bcm_file.size() > 8 && ends_with(bcm_file, ".bcm.xml") && FIO_FILE_SYSTEM::exists(bcm_file))) {
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

// ---- Shell steps done in-process ------------------------------------------------------------------------

void brix_report_command_failure(const std::string& where, const BRIX_INTERNAL_ERROR& error) {
    INPUT_CONTEXT cause(where + ": " + error.condition());
    BRIX_REPORT("thr_system(cmd.c_str()) == 0");
}

// ---- RIF file parser ----------------------------------------------------------------------------------

namespace {

// One reference of a RIF line. A line's fields are all read before any record is made for it.
struct RIF_REFERENCE {
    unsigned frame;
    unsigned bit;
    bool dir;
    unsigned dist;
};

unsigned rif_number(std::string_view field) {
    return BRIX_MANAGER::convert_string_to_value(field, false);
}

// Unpacks the compressed RIF file in-process into memory.
void unpack_rif(const std::string& rif_src, LARGE_TEXT& text, const std::string& cmd) {
    try {
        FIO_FILE_SYSTEM::gunzip_to_memory(rif_src, text);
    } catch (const BRIX_INTERNAL_ERROR& error) {
        brix_report_command_failure(cmd, error);
    }
}

// Waits for the writer of the RIF text; a failed write is reported as the unpacking command's failure.
void finish_rif_text(FIO_BACKGROUND_FILE& writer, const std::string& cmd) {
    try {
        writer.wait();
    } catch (const BRIX_INTERNAL_ERROR& error) {
        brix_report_command_failure(cmd, error);
    }
}

// The slot of the bit in the entry of the frame. The entry is made (with dra_count null slots) when the first
// bit of its frame arrives, the slot when the first bit of its slot arrives.
G2_SII_BIT_LIST* rif_slot(OWNED_LIST<G2_SII>& list, unsigned frame, unsigned bit, unsigned dra_count) {
    if (frame >= list.size())
        list.resize(size_t(frame) + 1);
    std::unique_ptr<G2_SII>& entry = list[frame];
    if (entry == nullptr) {
        entry = std::make_unique<G2_SII>();
        entry->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST(dra_count, nullptr));
    }
    BRIX_CHECK(entry != nullptr, "g2_s2 != NULL");
    G2_SII_BIT_LIST_LIST* slots = entry->get_g2_s2_bit_list_list();
    BRIX_CHECK(slots != nullptr && slots->size() == dra_count,
               "g2_s2_bit_list_list != NULL && g2_s2_bit_list_list->size() == dra_count");
    G2_SII_BIT_LIST*& slot = (*slots)[bit % dra_count];
    if (slot == nullptr)
        slot = new G2_SII_BIT_LIST;
    BRIX_CHECK(slot != nullptr, "g2_s2_bit_list != NULL");
    return slot;
}

// Reads the entries of a RIF text held in memory (named rif in reports) into list.
void parse_rif_text(std::string_view text, const std::string& rif, unsigned rif_version, unsigned dra_count,
                    unsigned frame_count, OWNED_LIST<G2_SII>& list) {
    LINE_READER reader(text, rif);
    BRIX_CHECK(reader.is_open(), "rif_infile.good()");
    std::string_view line;
    const bool has_header = reader.next(line);
    BRIX_CHECK(has_header && LINE_READER::trim_view(line) == "$RIF", "First line of a RIF file must be $RIF");

    const QTL_TOKENIZER tokenizer(" \t\n");
    // One field vector for all lines, its fields views into the line.
    std::vector<std::string_view> fields;
    std::vector<RIF_REFERENCE> references;
    while (reader.next(line)) {
        tokenizer.tokenize(LINE_READER::trim_view(line), fields);
        if (fields.empty())
            continue;
        BRIX_CHECK(fields.size() >= 7, "svec.size() >= 7");
        BRIX_CHECK(rif_version == 0 || rif_version == 1 || rif_version == 2,
                   "Unsupported RIF parsing version");
        // Version 0 names frame, then bit; versions 1 and 2 bit, then frame (in the entry and in each
        // reference alike).
        const unsigned frame_field = rif_version == 0 ? 0 : 1;
        const unsigned frame = rif_number(fields[frame_field]);
        const unsigned bit = rif_number(fields[1 - frame_field]);
        // Entries are kept dense by frame number, so a frame number must be bounded before it sizes the
        // list: by the device's frame count where it has one, else by a limit far above any real device.
        const unsigned frame_bound = frame_count != 0 ? frame_count : RIF_FRAME_LIMIT;
        BRIX_CHECK(frame < frame_bound, "RIF frame " + std::to_string(frame) + " is not below the frame " +
                                            (frame_count != 0 ? "count " : "limit ") +
                                            std::to_string(frame_bound));
        G2_SII_BIT_LIST* slot = rif_slot(list, frame, bit, dra_count);

        const unsigned n = rif_number(fields[2]);
        BRIX_CHECK(n > 0, "temp > 0");
        // In 64 bits: a count near 2^30 would wrap 4n + 3 around to the number of fields of a short line.
        BRIX_CHECK(uint64_t(fields.size()) == uint64_t(n) * 4 + 3, "DWORD(svec.size()) == ((temp * 4) + 3)");
        references.clear();
        for (size_t k = 0; k < n; ++k) {
            const size_t at = 3 + 4 * k;
            const unsigned ref_frame = rif_number(fields[at + frame_field]);
            const unsigned ref_bit = rif_number(fields[at + 1 - frame_field]);
            const bool dir = fields[at + 2] == "1";
            references.push_back({ref_frame, ref_bit, dir, rif_number(fields[at + 3])});
        }

        // The bit record owns its reference list from the start, so a failing allocation part way releases
        // the references made so far with it.
        auto g2_bit = std::make_unique<G2_SII_BIT>(bit);
        auto g2_s1_list = std::make_unique<G2_SI_LIST>();
        g2_s1_list->reserve(references.size());
        G2_SI_LIST* owned = g2_s1_list.release();
        g2_bit->set_g2_s1_list(owned);
        for (const RIF_REFERENCE& r : references)
            owned->push_back(new G2_SI(r.frame, r.bit, r.dir, r.dist));
        slot->push_back(g2_bit.get());
        g2_bit.release();
    }
    BRIX_CHECK(!reader.failed(), "rif_infile.good()");
}

} // namespace

G2_SII_LIST* parse_rif(const std::string& rif_file, bool verbose, const std::string& directory_prefix,
                       unsigned rif_version, unsigned dra_count, unsigned frame_count) {
    BRIX_CHECK(!rif_file.empty() && dra_count > 0, "!rif_file.empty() && dra_count > 0");
    const std::string rif_src = directory_prefix + rif_file + "_rif";
    const std::string rif = directory_prefix + rif_file + ".rif";
    {
        INPUT_CONTEXT here(rif_src);
        BRIX_CHECK(FIO_FILE_SYSTEM::exists(rif_src), "FIO_FILE_SYSTEM::exists(rif_src.c_str())");
    }
    const std::string cmd = "gunzip -dcSf " + rif_src + " > " + rif;
    if (verbose)
        std::cout << "      RIF file: " << rif_src << " (" << rif << ")\n\n"
                  << "         Running CMD: " << cmd << "\n\n";
    LARGE_TEXT text;
    unpack_rif(rif_src, text, cmd);
    // The text file is written on a worker while the text is parsed; without a worker thread it is written
    // first.
    FIO_BACKGROUND_FILE writer;
    try {
        writer.start(rif, text.view().data(), text.size());
    } catch (const BRIX_INTERNAL_ERROR& error) {
        brix_report_command_failure(cmd, error);
    }
    OWNED_LIST<G2_SII> list;
    try {
        if (verbose)
            std::cout << "         Parsing RIF file ... \n" << std::endl;
        parse_rif_text(text.view(), rif, rif_version, dra_count, frame_count, list);
    } catch (...) {
        // The write started before the parse, so its failure is the one reported.
        finish_rif_text(writer, cmd);
        throw;
    }
    finish_rif_text(writer, cmd);
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(rif), "FIO_FILE_SYSTEM::exists(rif.c_str())");
    return brix_hand_over_list(list);
}

// ---- Frame maps
// ---------------------------------------------------------------------------------------------

std::vector<uint32_t> build_sof_frame_map(const BRIX_ARG* spare_rows, uint32_t frame_count, bool reverse) {
    std::vector<bool> spare(frame_count, false);
    uint64_t spare_count = 0;
    if (spare_rows != nullptr) {
        unsigned width = 0;
        std::vector<uint32_t*> rows = BRIX_MANAGER::get_uint_arg_list(spare_rows, width);
        BRIX_CHECK(width == 2, "width == 2");
        for (const uint32_t* row : rows) {
            const uint64_t start = row[0], count = row[1];
            INPUT_CONTEXT here("spare rows " + std::to_string(start) + " + " + std::to_string(count) +
                               " of " + std::to_string(frame_count) + " frames");
            BRIX_CHECK(start + count <= frame_count, "spare_start + spare_count <= frame_count");
            for (uint64_t f = start; f < start + count; ++f) {
                BRIX_CHECK(!spare[f], "spare rows do not overlap");
                spare[f] = true;
            }
            spare_count += count;
        }
    }
    std::vector<uint32_t> map(frame_count, SOF_FRAME_IS_SPARE_FRAME);
    uint32_t bs_index = reverse ? static_cast<uint32_t>(frame_count - spare_count - 1) : 0;
    for (uint32_t f = 0; f < frame_count; ++f) {
        if (spare[f])
            continue;
        map[f] = bs_index;
        bs_index = reverse ? bs_index - 1 : bs_index + 1;
    }
    if (reverse)
        BRIX_CHECK(bs_index == uint32_t(-1), "bs_index == DWORD(-1)");
    return map;
}

std::vector<uint32_t> invert_frame_map(const std::vector<uint32_t>& map, uint32_t size) {
    std::vector<uint32_t> out(size, SOF_FRAME_IS_SPARE_FRAME);
    std::vector<bool> checked(size, false);
    for (size_t i = 0; i < map.size(); ++i) {
        const uint32_t target = map[i];
        if (target == SOF_FRAME_IS_SPARE_FRAME)
            continue;
        INPUT_CONTEXT here("frame map entry " + std::to_string(i) + " = " + std::to_string(target) + " of " +
                           std::to_string(size));
        BRIX_CHECK(target < size, "map[i] < size");
        BRIX_CHECK(!checked[target], "!checked[map[i]]");
        checked[target] = true;
        out[target] = static_cast<uint32_t>(i);
    }
    for (uint32_t i = 0; i < size; ++i) {
        if (!checked[i]) {
            INPUT_CONTEXT here("inverse frame map entry " + std::to_string(i));
            BRIX_REPORT("checked[i]");
        }
    }
    return out;
}
