// BRIX_MANAGER: vocabulary lookups over the enumeration descriptor table, conversions, searches and paths.
#include "records/brix_data_manager.h"

#include "gen.h"
#include "msg_internal_error.h"

#include <charconv>
#include <iostream>
#include <memory>

namespace {
const BRIX_ENUM_DESCRIPTOR& descriptor(BRIX_ENUM_TYPE brix_type) {
    BRIX_CHECK(brix_type < BRIX_ENUM_TYPE_MAX, "brix_type < BRIX_ENUM_TYPE_MAX");
    return BRIX_ENUM_DESCRIPTORS[brix_type];
}
} // namespace

bool BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE brix_type, unsigned value, std::string* name,
                                             bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    if (value >= table.count)
        return false;
    if (name != nullptr)
        *name = table.names[value];
    if (seen != nullptr) {
        if (seen[value])
            BRIX_REPORT(table.names[value]);
        seen[value] = true;
    }
    return true;
}

bool BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE brix_type, const std::string& name,
                                             unsigned* value, bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    const unsigned found = brix_find_enum_name(table, name);
    if (found == table.count)
        return false;
    if (value != nullptr)
        *value = found;
    if (seen != nullptr) {
        if (seen[found])
            BRIX_REPORT(name);
        seen[found] = true;
    }
    return true;
}

bool BRIX_MANAGER::compare_string(const std::string& a, const std::string& b, bool case_sensitive) {
    return (case_sensitive ? gen_strcmp(a, b) : gen_stricmp(a, b)) == 0;
}

bool BRIX_MANAGER::utst_print_missing_enum(BRIX_ENUM_TYPE brix_type, const bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    bool complete = true;
    for (unsigned i = 0; i < table.count; ++i) {
        if (seen[i])
            continue;
        std::cout << "\nMissing " << table.names[i];
        complete = false;
    }
    if (!complete)
        std::cout << "\n";
    return complete;
}

// ---- Conversions ----------------------------------------------------------------------------------------

namespace {
// Value of a hex digit (upper case only) or a decimal digit in base 10; -1 for anything else.
int digit_value(char c, unsigned base) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (base == 16 && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

unsigned BRIX_MANAGER::convert_string_to_value(std::string_view string, bool no_empty, bool* ok,
                                               const unsigned* default_value) {
    BRIX_CHECK(!no_empty || !string.empty(), "!no_empty || !string.empty()");
    unsigned result = default_value != nullptr ? *default_value : 0;
    // The digits are read in place: the converter runs once per number of inputs with millions of them.
    std::string_view digits = string;
    unsigned base = 10;
    bool valid = true;
    if (digits.size() >= 2 && digits[0] == '0' && digits[1] == 'x') {
        digits.remove_prefix(2);
        base = 16;
        valid = !digits.empty(); // "0x" alone is no number
    }
    // Digits are read in 64 bits, so a value beyond 32 bits is refused instead of wrapping into a different
    // number. Only digits of the base (hex digits in either case) make a number: no sign, no blanks.
    uint64_t value = 0;
    if (valid && !digits.empty()) {
        const char* end = digits.data() + digits.size();
        const std::from_chars_result read = std::from_chars(digits.data(), end, value, int(base));
        valid = read.ec == std::errc() && read.ptr == end && value <= 0xFFFFFFFFu;
    }
    if (ok != nullptr)
        *ok = valid;
    if (!valid) {
        BRIX_CHECK(ok != nullptr, "Invalid string to integer conversion");
        return result;
    }
    return digits.empty() ? result : static_cast<unsigned>(value);
}

unsigned char* BRIX_MANAGER::convert_hex_string_to_byte_array(const std::string& hex_string,
                                                              unsigned byte_size, bool no_empty) {
    BRIX_CHECK(!no_empty || !hex_string.empty(), "!no_empty || !hex_string.empty()");
    BRIX_CHECK(BRIX_N_UNITS(hex_string.size(), size_t(2)) <= byte_size,
               "BRIX_N_UNITS(hex_string.size(), 2) <= byte_size");
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[byte_size]());
    size_t size = hex_string.size();
    for (size_t k = 0; k < size; ++k) {
        int digit = digit_value(hex_string[size - 1 - k], 16);
        BRIX_CHECK(digit >= 0, "Invalid hex string to BYTE array conversion");
        bytes[k / 2] |= static_cast<unsigned char>(digit << ((k & 1) ? 4 : 0));
    }
    return bytes.release();
}

std::string BRIX_MANAGER::convert_value_to_string(unsigned value, unsigned byte_count, bool prefix) {
    BRIX_CHECK(byte_count != 0 && byte_count <= 4, "count != 0 && count <= 8");
    std::string text;
    stl_sprintf(text, "%08X", value);
    text.erase(0, 8 - 2 * byte_count);
    return prefix ? "0x" + text : text;
}

// ---- Argument rows --------------------------------------------------------------------------------------

std::vector<unsigned char*> BRIX_MANAGER::get_unknown_arg_list(const BRIX_ARG* arg, unsigned& width,
                                                               unsigned& unit_size) {
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    const BRIX_ARG_DATA_LIST* data_list = arg->get_data();
    BRIX_CHECK(data_list != nullptr && data_list->size() > 0, "data_list != NULL && data_list->size() > 0");
    std::vector<unsigned char*> arg_list;
    arg_list.reserve(data_list->size());
    for (const BRIX_ARG_DATA* data : *data_list) {
        unsigned internal_width = 0;
        unsigned internal_unit_size = 0;
        unsigned char* byte_data =
            data != nullptr ? data->get_data(&internal_width, &internal_unit_size) : nullptr;
        BRIX_CHECK(
            byte_data != nullptr && internal_width > 0 &&
                (internal_unit_size == 1 || internal_unit_size == 2 || internal_unit_size == 4),
            "byte_data != NULL && internal_width > 0 && (internal_unit_size == 1 || internal_unit_size == 2 "
            "|| internal_unit_size == 4)");
        if (arg_list.empty()) {
            width = internal_width;
            unit_size = internal_unit_size;
        }
        BRIX_CHECK(width == internal_width, "width == internal_width");
        // Callers read every row with the first row's unit size; a narrower row would be read past its end.
        BRIX_CHECK(unit_size == internal_unit_size, "unit_size == internal_unit_size");
        arg_list.push_back(byte_data);
    }
    BRIX_CHECK(arg_list.size() > 0, "arg_list.size() > 0");
    return arg_list;
}

namespace {
// Byte rows reinterpreted as rows of units. Row arrays come from new[], so they are aligned for any unit.
template <typename T> std::vector<T*> typed_rows(const std::vector<unsigned char*>& rows) {
    std::vector<T*> typed;
    typed.reserve(rows.size());
    for (unsigned char* row : rows)
        typed.push_back(reinterpret_cast<T*>(row));
    return typed;
}
} // namespace

std::vector<uint8_t*> BRIX_MANAGER::get_byte_arg_list(const BRIX_ARG* arg, unsigned& width) {
    unsigned unit_size = 0;
    std::vector<unsigned char*> byte_arg_list = get_unknown_arg_list(arg, width, unit_size);
    BRIX_CHECK(unit_size == 1, "unit_size == 1");
    return byte_arg_list;
}

std::vector<uint16_t*> BRIX_MANAGER::get_word_arg_list(const BRIX_ARG* arg, unsigned& width) {
    unsigned unit_size = 0;
    std::vector<unsigned char*> rows = get_unknown_arg_list(arg, width, unit_size);
    BRIX_CHECK(unit_size == 2, "unit_size == 2");
    std::vector<uint16_t*> word_arg_list = typed_rows<uint16_t>(rows);
    BRIX_CHECK(word_arg_list.size() > 0, "word_arg_list.size() > 0");
    return word_arg_list;
}

std::vector<uint32_t*> BRIX_MANAGER::get_uint_arg_list(const BRIX_ARG* arg, unsigned& width) {
    unsigned unit_size = 0;
    std::vector<unsigned char*> rows = get_unknown_arg_list(arg, width, unit_size);
    BRIX_CHECK(unit_size == 4, "unit_size == 4");
    std::vector<uint32_t*> uint_arg_list = typed_rows<uint32_t>(rows);
    BRIX_CHECK(uint_arg_list.size() > 0, "uint_arg_list.size() > 0");
    return uint_arg_list;
}

// ---- Spare rows -----------------------------------------------------------------------------------------

namespace {
std::vector<uint32_t*> spare_pairs(const BRIX_ARG* spare_rows) {
    if (spare_rows == nullptr)
        return {};
    unsigned width = 0;
    std::vector<uint32_t*> pairs = BRIX_MANAGER::get_uint_arg_list(spare_rows, width);
    BRIX_CHECK(width == 2, "width == 2");
    return pairs;
}
} // namespace

unsigned BRIX_MANAGER::convert_bs_frame_to_sof_frame(const BRIX_ARG* spare_rows, unsigned bs_frame) {
    unsigned frame = bs_frame;
    for (const uint32_t* pair : spare_pairs(spare_rows)) {
        if (pair[0] > frame)
            break;
        frame += pair[1];
    }
    return frame;
}

unsigned BRIX_MANAGER::convert_sof_frame_to_bs_frame(const BRIX_ARG* spare_rows, unsigned sof_frame) {
    unsigned spare = 0;
    for (const uint32_t* pair : spare_pairs(spare_rows)) {
        if (pair[0] > sof_frame)
            break;
        // A SOF frame inside the range has no bitstream frame. In 64 bits, an empty range contains nothing.
        BRIX_CHECK(uint64_t(sof_frame) >= uint64_t(pair[0]) + pair[1],
                   "sof_frame > ((*iter)[0] + (*iter)[1] - 1)");
        spare += pair[1];
    }
    return sof_frame - spare;
}

unsigned BRIX_MANAGER::get_total_spare_row(const BRIX_ARG* spare_rows) {
    unsigned total = 0;
    for (const uint32_t* pair : spare_pairs(spare_rows))
        total += pair[1];
    return total;
}

uint64_t BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_TYPE ob_data_type, const BRIX_OB_DATA_LIST* ob_data_list) {
    BRIX_CHECK(ob_data_list != nullptr, "ob_data_list != NULL");
    uint64_t value = 0;
    unsigned position = 0;
    for (const BRIX_OB_DATA* ob_data : *ob_data_list) {
        if (ob_data == nullptr || ob_data->get_ob_data_type() != ob_data_type)
            continue;
        BRIX_CHECK(ob_data_type < BRIX_OB_DATA_MAX, "ob_data_type < BRIX_OB_DATA_MAX");
        unsigned length = 0;
        const unsigned char* bits = ob_data->get_data(length);
        for (unsigned i = 0; i < length; ++i, ++position)
            if ((bits[i / 8] >> (i % 8)) & 1)
                value |= uint64_t(1) << (position % 64);
    }
    return value;
}

// ---- Searches -------------------------------------------------------------------------------------------

namespace {
// The first record whose type matches (and whose block matches, for records that have one); the record
// found must carry a type of its vocabulary.
template <typename T, typename MATCH>
T* search_list(const std::vector<T*>* list, const char* list_text, MATCH match,
               unsigned (T::*get_type)() const, unsigned max, const char* type_text) {
    BRIX_CHECK(list != nullptr, list_text);
    for (T* record : *list) {
        if (record == nullptr || !match(record))
            continue;
        BRIX_CHECK((record->*get_type)() < max, type_text);
        return record;
    }
    return nullptr;
}

bool block_matches(BRIX_BLOCK_TYPE wanted, unsigned block_type) {
    return wanted == BRIX_BLOCK_MAX || wanted == block_type;
}
} // namespace

BRIX_BLOCK* BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_TYPE block_type,
                                                 const BRIX_BLOCK_LIST* block_list) {
    return search_list(
        block_list, "block_list != NULL",
        [&](const BRIX_BLOCK* b) { return b->get_block_type() == block_type; }, &BRIX_BLOCK::get_block_type,
        BRIX_BLOCK_MAX, "block->get_block_type() < BRIX_BLOCK_MAX");
}

BRIX_DYN_DATA* BRIX_MANAGER::search_dyn_data_from_list(BRIX_DYN_DATA_TYPE dyn_data_type,
                                                       const BRIX_DYN_DATA_LIST* dyn_data_list) {
    return search_list(
        dyn_data_list, "dyn_data_list != NULL",
        [&](const BRIX_DYN_DATA* d) { return d->get_dyn_data_type() == dyn_data_type; },
        &BRIX_DYN_DATA::get_dyn_data_type, BRIX_DYN_DATA_MAX,
        "dyn_data->get_dyn_data_type() < BRIX_DYN_DATA_MAX");
}

BRIX_INSTRUCTION* BRIX_MANAGER::search_instruction_from_list(BRIX_INSTRUCTION_TYPE instruction_type,
                                                             const BRIX_INSTRUCTION_LIST* instruction_list) {
    return search_list(
        instruction_list, "instruction_list != NULL",
        [&](const BRIX_INSTRUCTION* i) { return i->get_instruction_type() == instruction_type; },
        &BRIX_INSTRUCTION::get_instruction_type, BRIX_INSTRUCTION_MAX,
        "instr->get_instruction_type() < BRIX_INSTRUCTION_MAX");
}

BRIX_OB_DATA* BRIX_MANAGER::search_ob_data_from_list(BRIX_OB_DATA_TYPE ob_data_type,
                                                     const BRIX_OB_DATA_LIST* ob_data_list) {
    return search_list(
        ob_data_list, "ob_data_list != NULL",
        [&](const BRIX_OB_DATA* o) { return o->get_ob_data_type() == ob_data_type; },
        &BRIX_OB_DATA::get_ob_data_type, BRIX_OB_DATA_MAX, "ob_data->get_ob_data_type() < BRIX_OB_DATA_MAX");
}

BRIX_ARG* BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_TYPE arg_type,
                                                  const BRIX_ARG_LIST* argument_list,
                                                  BRIX_BLOCK_TYPE block_type) {
    return search_list(
        argument_list, "argument_list != NULL",
        [&](const BRIX_ARG* a) {
            return a->get_arg_type() == arg_type && block_matches(block_type, a->get_block_type());
        },
        &BRIX_ARG::get_arg_type, BRIX_ARGUMENT_MAX, "arg->get_arg_type() < BRIX_ARGUMENT_MAX");
}

BRIX_PARAMETER* BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_TYPE parameter_type,
                                                         const BRIX_PARAMETER_LIST* parameter_list,
                                                         BRIX_BLOCK_TYPE block_type) {
    return search_list(
        parameter_list, "parameter_list != NULL",
        [&](const BRIX_PARAMETER* p) {
            return p->get_parameter_type() == parameter_type &&
                   block_matches(block_type, p->get_block_type());
        },
        &BRIX_PARAMETER::get_parameter_type, BRIX_PARAMETER_MAX,
        "parameter->get_parameter_type() < BRIX_PARAMETER_MAX");
}

// ---- Paths ----------------------------------------------------------------------------------------------

std::string BRIX_MANAGER::get_programmer_directory() {
    return gen_get_device_db_fullpath() + "/programmer/";
}

std::string BRIX_MANAGER::get_programmer_fid_directory() {
    return get_programmer_directory() + "fid/";
}

std::string BRIX_MANAGER::get_pgm_db_directory() {
    std::string directory = gen_get_unshipped_data_fullpath();
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    return directory + "pgm_db/";
}

namespace {
std::string family_prefix(BRIX_FAMILY_TYPE family) {
    std::string temp;
    BRIX_CHECK(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, family, &temp),
               "check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, family, &temp)");
    return BRIX_MANAGER::get_pgm_db_directory() + stl_lower(temp);
}
} // namespace

std::string BRIX_MANAGER::get_vantrel_cram_map_path(BRIX_FAMILY_TYPE family, BRIX_RBA_CRAM_TYPE cram_type) {
    std::string path = family_prefix(family);
    std::string temp;
    BRIX_CHECK(check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, cram_type, &temp),
               "check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, block, &temp)");
    return path + "_" + stl_lower(temp) + "_cram.map";
}

std::string BRIX_MANAGER::get_vantrel_phantomless_path(BRIX_FAMILY_TYPE family, const std::string& name,
                                                       const std::string& extension) {
    std::string path = family_prefix(family) + "_phantomless_" + name;
    return extension.empty() ? path : path + "." + extension;
}
