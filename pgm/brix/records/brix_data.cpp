// The record classes of a BRIX database: construction, deep copies, setters with their ownership rules and
// the constant look-ups of the device side.
#include "brix_data_export.h"
#include "brix_owned_list.h"

#include "msg_internal_error.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Deep copy of a list through each element's copying constructor. A copy that fails releases what was
// copied so far before the report goes on.
template <typename T> std::vector<T*>* copy_list(const std::vector<T*>& list) {
    OWNED_LIST<T> copy;
    copy.reserve(list.size());
    for (const T* record : list)
        copy.push_back(record != nullptr ? std::make_unique<T>(record) : nullptr);
    return brix_hand_over_list(copy);
}

// The list-setter rule: release the current list, then take the new one (copy false) or deep-copy it (copy
// true, a non-empty list only). Passing the list the record already holds keeps it (copy false) or replaces
// it by a copy of itself (copy true) instead of releasing it under the caller's feet.
template <typename T>
void replace_list(std::vector<T*>*& field, std::vector<T*>* list, bool copy, const char* empty_text) {
    if (list != nullptr && list == field) {
        if (copy) {
            BRIX_CHECK(list->size() > 0, empty_text);
            std::vector<T*>* fresh = copy_list(*list);
            brix_release_list(field);
            field = fresh;
        }
        return;
    }
    brix_release_list(field);
    field = nullptr;
    if (list == nullptr)
        return;
    if (!copy) {
        field = list;
        return;
    }
    BRIX_CHECK(list->size() > 0, empty_text);
    field = copy_list(*list);
}

unsigned char* copy_bytes(const unsigned char* data, size_t size) {
    auto* bytes = new unsigned char[size];
    std::memcpy(bytes, data, size);
    return bytes;
}

} // namespace

// ---- BRIX_INFO ------------------------------------------------------------------------------------------

BRIX_INFO::~BRIX_INFO() {
    delete m_family_info;
    delete m_device_info;
    delete[] m_signature;
}

std::string BRIX_INFO::get_signature() const {
    BRIX_CHECK(m_signature != nullptr, "m_signature != NULL");
    return std::string(reinterpret_cast<const char*>(m_signature), 32);
}

void BRIX_INFO::set_signature(std::string signature) {
    BRIX_CHECK(signature.size() == 32 && m_signature == nullptr,
               "signature.size() == 32 && m_signature == NULL");
    m_signature = copy_bytes(reinterpret_cast<const unsigned char*>(signature.data()), 32);
}

// ---- BRIX_FAMILY_INFO -----------------------------------------------------------------------------------

BRIX_FAMILY_INFO::~BRIX_FAMILY_INFO() {
    brix_release_list(m_block_list);
}

// ---- BRIX_BLOCK -----------------------------------------------------------------------------------------

BRIX_BLOCK::BRIX_BLOCK(unsigned block_type, bool is_static) : m_block_type(block_type), m_static(is_static) {}

// Delegating to the default constructor makes the object complete before the copies start, so a copy that
// fails half-way still runs the destructor and releases what was copied.
BRIX_BLOCK::BRIX_BLOCK(const BRIX_BLOCK* other) : BRIX_BLOCK() {
    m_block_type = other->m_block_type;
    m_static = other->m_static;
    m_length = other->m_length;
    m_has_crc = other->m_has_crc;
    m_one_init = other->m_one_init;
    set_const_values(other->m_const_values, true);
    set_dyn_values(other->m_dyn_values, true);
    set_frame(other->m_frame, true);
    set_instructions(other->m_instruction_list, true);
}

BRIX_BLOCK::~BRIX_BLOCK() {
    brix_release_list(m_const_values);
    brix_release_list(m_dyn_values);
    delete m_frame;
    brix_release_list(m_instruction_list);
}

void BRIX_BLOCK::set_const_values(BRIX_CONST_DATA_LIST* const_data_list, bool copy) {
    replace_list(m_const_values, const_data_list, copy, "const_data_list->size() > 0");
}

void BRIX_BLOCK::set_dyn_values(BRIX_DYN_DATA_LIST* dyn_data_list, bool copy) {
    replace_list(m_dyn_values, dyn_data_list, copy, "dyn_data_list->size() > 0");
}

void BRIX_BLOCK::set_instructions(BRIX_INSTRUCTION_LIST* instruction_list, bool copy) {
    replace_list(m_instruction_list, instruction_list, copy, "instruction_list->size() > 0");
}

void BRIX_BLOCK::set_frame(BRIX_FRAME* frame, bool copy) {
    if (frame != nullptr && frame == m_frame)
        return; // already held; a copy of itself would be the same
    delete m_frame;
    m_frame = nullptr;
    if (frame == nullptr)
        return;
    m_frame = copy ? new BRIX_FRAME(frame) : frame;
}

// ---- BRIX_FRAME, BRIX_INSTRUCTION -----------------------------------------------------------------------

BRIX_FRAME::BRIX_FRAME(unsigned frame_type, unsigned size, unsigned header_size, unsigned core_size,
                       unsigned edcrc_size, unsigned crc_size, unsigned crc_mask, unsigned end_padding_bits,
                       bool crc_include_header)
    : m_frame_type(frame_type), m_size(size), m_header_size(header_size), m_core_size(core_size),
      m_edcrc_size(edcrc_size), m_crc_size(crc_size), m_crc_mask(crc_mask),
      m_end_padding_bits(end_padding_bits), m_crc_include_header(crc_include_header) {}

BRIX_INSTRUCTION::BRIX_INSTRUCTION(unsigned instruction_type, unsigned opcode, bool has_flc,
                                   unsigned core_size, bool core_default_zero, unsigned padding_size,
                                   bool padding_default_zero)
    : m_instruction_type(instruction_type), m_opcode(opcode), m_has_flc(has_flc), m_core_size(core_size),
      m_core_default_zero(core_default_zero), m_padding_size(padding_size),
      m_padding_default_zero(padding_default_zero) {}

// ---- BRIX_DYN_DATA --------------------------------------------------------------------------------------

BRIX_DYN_DATA::BRIX_DYN_DATA(unsigned dyn_data_type, unsigned word_offset, unsigned bit_offset,
                             unsigned length, unsigned mask, bool xflip, bool end_padding)
    : m_dyn_data_type(dyn_data_type), m_word_offset(word_offset), m_bit_offset(bit_offset), m_length(length),
      m_mask(mask), m_xflip(xflip), m_end_padding(end_padding) {}

BRIX_DYN_DATA::BRIX_DYN_DATA(const BRIX_DYN_DATA* other) : BRIX_DYN_DATA() {
    m_dyn_data_type = other->m_dyn_data_type;
    m_word_offset = other->m_word_offset;
    m_bit_offset = other->m_bit_offset;
    m_length = other->m_length;
    m_mask = other->m_mask;
    m_xflip = other->m_xflip;
    m_end_padding = other->m_end_padding;
    set_ob_datas(other->m_ob_datas, true);
}

BRIX_DYN_DATA::~BRIX_DYN_DATA() {
    brix_release_list(m_ob_datas);
}

void BRIX_DYN_DATA::set_length(unsigned v) {
    BRIX_CHECK(v > 0, "v > 0");
    m_length = v;
}

void BRIX_DYN_DATA::set_ob_datas(BRIX_OB_DATA_LIST* ob_data_list, bool copy) {
    replace_list(m_ob_datas, ob_data_list, copy, "ob_data_list->size() > 0");
}

// ---- BRIX_OB_DATA ---------------------------------------------------------------------------------------

BRIX_OB_DATA::BRIX_OB_DATA(unsigned ob_data_type, unsigned bit_index, unsigned bit_offset, unsigned length,
                           unsigned link_block, unsigned char* data)
    : m_ob_data_type(ob_data_type), m_bit_index(bit_index), m_bit_offset(bit_offset),
      m_link_block(link_block) {
    BRIX_CHECK(length > 0 && data != nullptr, "length > 0 && data != NULL");
    m_length = length;
    m_data_size = BRIX_N_UNITS(length, 8);
    m_data = data;
}

BRIX_OB_DATA::BRIX_OB_DATA(const BRIX_OB_DATA* other) : BRIX_OB_DATA() {
    m_ob_data_type = other->m_ob_data_type;
    m_bit_index = other->m_bit_index;
    m_bit_offset = other->m_bit_offset;
    m_link_block = other->m_link_block;
    BRIX_CHECK(other->m_length > 0 && other->m_data != nullptr, "m_length > 0 && m_data != NULL");
    set_data(other->m_length, other->m_data, true);
}

BRIX_OB_DATA::~BRIX_OB_DATA() {
    delete[] m_data;
}

unsigned char* BRIX_OB_DATA::get_data(unsigned& length) const {
    BRIX_CHECK(m_length > 0 && m_data != nullptr, "m_length > 0 && m_data != NULL");
    length = m_length;
    return m_data;
}

void BRIX_OB_DATA::set_data(unsigned length, unsigned char* data, bool copy) {
    // The current array goes in any case, but only after a copy of it (data may be the array itself).
    std::unique_ptr<unsigned char[]> old(m_data);
    m_data = nullptr;
    m_length = 0;
    m_data_size = 0;
    if (length == 0) {
        BRIX_CHECK(data == nullptr, "data == NULL");
        return;
    }
    BRIX_CHECK(data != nullptr, "data != NULL");
    unsigned data_size = BRIX_N_UNITS(length, 8);
    if (copy) {
        m_data = copy_bytes(data, data_size);
    } else {
        if (data == old.get())
            old.release();
        m_data = data;
    }
    m_length = length;
    m_data_size = data_size;
}

// ---- BRIX_PARAMETER -------------------------------------------------------------------------------------

BRIX_PARAMETER::BRIX_PARAMETER(unsigned parameter_type, unsigned length, unsigned block_type,
                               BRIX_CONST_DATA_LIST* const_values)
    : m_parameter_type(parameter_type), m_length(length), m_block_type(block_type),
      m_const_values(const_values) {}

BRIX_PARAMETER::BRIX_PARAMETER(const BRIX_PARAMETER* other) : BRIX_PARAMETER() {
    m_parameter_type = other->m_parameter_type;
    m_length = other->m_length;
    m_block_type = other->m_block_type;
    set_const_values(other->m_const_values, true);
}

BRIX_PARAMETER::~BRIX_PARAMETER() {
    brix_release_list(m_const_values);
}

void BRIX_PARAMETER::set_const_values(BRIX_CONST_DATA_LIST* const_data_list, bool copy) {
    replace_list(m_const_values, const_data_list, copy, "const_data_list->size() > 0");
}

const BRIX_CONST_DATA* BRIX_PARAMETER::const_at(unsigned index) const {
    BRIX_CHECK(index < m_length, "index < m_length");
    BRIX_CHECK(m_const_values != nullptr && index < m_const_values->size() &&
                   (*m_const_values)[index] != nullptr,
               "index < m_const_values->size()");
    return (*m_const_values)[index];
}

unsigned BRIX_PARAMETER::get_const_value(unsigned index) const {
    return const_at(index)->get_value();
}

unsigned BRIX_PARAMETER::get_const_offset(unsigned index) const {
    return const_at(index)->get_offset();
}

// ---- BRIX_ARG, BRIX_ARG_DATA ----------------------------------------------------------------------------

BRIX_ARG::BRIX_ARG(unsigned arg_type, unsigned block_type, BRIX_ARG_DATA_LIST* data)
    : m_arg_type(arg_type), m_block_type(block_type) {
    set_data(data, false);
}

BRIX_ARG::BRIX_ARG(const BRIX_ARG* other) : BRIX_ARG() {
    m_arg_type = other->m_arg_type;
    m_block_type = other->m_block_type;
    set_data(other->m_data, true);
}

BRIX_ARG::~BRIX_ARG() {
    brix_release_list(m_data);
}

void BRIX_ARG::set_data(BRIX_ARG_DATA_LIST* data, bool copy) {
    replace_list(m_data, data, copy, "data->size() > 0");
}

BRIX_ARG_DATA::BRIX_ARG_DATA(const BRIX_ARG_DATA* other) : BRIX_ARG_DATA() {
    set_data(other->m_data, other->m_data_size, other->m_unit_size, true);
}

BRIX_ARG_DATA::~BRIX_ARG_DATA() {
    delete[] m_data;
}

unsigned char* BRIX_ARG_DATA::get_data(unsigned* data_size, unsigned* unit_size) const {
    if (data_size != nullptr)
        *data_size = m_data_size;
    if (unit_size != nullptr)
        *unit_size = m_unit_size;
    return m_data;
}

void BRIX_ARG_DATA::set_data(unsigned char* data, unsigned data_size, unsigned unit_size, bool copy) {
    // The current array goes in any case, but only after a copy of it (data may be the array itself).
    std::unique_ptr<unsigned char[]> old(m_data);
    m_data = nullptr;
    m_data_size = 0;
    m_unit_size = 0;
    if (data == nullptr) {
        BRIX_CHECK(data_size == 0 && unit_size == 0, "data_size == 0 && unit_size == 0");
        return;
    }
    BRIX_CHECK(data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4),
               "data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4)");
    if (copy) {
        m_data = copy_bytes(data, size_t(data_size) * unit_size);
    } else {
        if (data == old.get())
            old.release();
        m_data = data;
    }
    m_data_size = data_size;
    m_unit_size = unit_size;
}

// ---- G2 records -----------------------------------------------------------------------------------------

G2_SII_BIT::~G2_SII_BIT() {
    brix_release_list(m_g2_s1_list);
}

G2_SII::~G2_SII() {
    if (m_g2_s2_bits_list == nullptr)
        return;
    for (G2_SII_BIT_LIST* bits : *m_g2_s2_bits_list)
        brix_release_list(bits);
    delete m_g2_s2_bits_list;
}

// ---- BRIX_DEVICE_INFO -----------------------------------------------------------------------------------

BRIX_DEVICE_INFO::~BRIX_DEVICE_INFO() {
    brix_release_list(m_parameters);
    brix_release_list(m_arguments);
    brix_release_list(m_lutram_info);
    brix_release_list(m_mram_info);
    brix_release_list(m_g2_s2_list);
    brix_release_list(m_ob_datas);
}

void BRIX_DEVICE_INFO::set_parameter_list(BRIX_PARAMETER_LIST* parameter_list, bool copy) {
    replace_list(m_parameters, parameter_list, copy, "parameter_list->size() > 0");
}

void BRIX_DEVICE_INFO::set_argument_list(BRIX_ARG_LIST* argument_list, bool copy) {
    replace_list(m_arguments, argument_list, copy, "argument_list->size() > 0");
}

void BRIX_DEVICE_INFO::set_ob_datas(BRIX_OB_DATA_LIST* ob_data_list, bool copy) {
    replace_list(m_ob_datas, ob_data_list, copy, "ob_data_list->size() > 0");
}

void BRIX_DEVICE_INFO::set_g2_s2_list(G2_SII_LIST* list, bool release_old, bool compute_threads) {
    if (m_g2_s2_list != nullptr && release_old && list != m_g2_s2_list)
        brix_release_list(m_g2_s2_list);
    m_g2_s2_list = list;
    m_g2_s2_list_size = 0;
    m_g2_s2_thread_size = 0;
    if (list == nullptr)
        return;
    m_g2_s2_list_size = static_cast<unsigned>(list->size());
    if (compute_threads) {
        BRIX_CHECK(m_g2_s2_list_size != 0, "m_g2_s2_list_size != 0");
        // One part file per started 2000 entries, at most eight.
        m_g2_s2_thread_size = std::min(BRIX_N_UNITS(m_g2_s2_list_size, 2000u), 8u);
    }
}

BRIX_PARAMETER* BRIX_DEVICE_INFO::get_parameter(unsigned parameter_type) const {
    if (m_parameters == nullptr)
        return nullptr;
    for (BRIX_PARAMETER* parameter : *m_parameters)
        if (parameter != nullptr && parameter->get_parameter_type() == parameter_type)
            return parameter;
    return nullptr;
}

BRIX_CONST_DATA_LIST* BRIX_DEVICE_INFO::get_const_values(unsigned parameter_type, unsigned& length) const {
    const BRIX_PARAMETER* parameter = get_parameter(parameter_type);
    length = parameter != nullptr ? parameter->get_length() : 0;
    return parameter != nullptr ? parameter->get_const_values() : nullptr;
}

namespace {
// The single constant of a scalar parameter (length 1, one constant at offset 0), or null.
const BRIX_CONST_DATA* scalar_constant(const BRIX_PARAMETER* parameter) {
    if (parameter == nullptr || parameter->get_length() != 1)
        return nullptr;
    const BRIX_CONST_DATA_LIST* constants = parameter->get_const_values();
    if (constants == nullptr || constants->size() != 1 || constants->front() == nullptr)
        return nullptr;
    return constants->front()->get_offset() == 0 ? constants->front() : nullptr;
}
} // namespace

bool BRIX_DEVICE_INFO::get_const_boolean(unsigned parameter_type, bool* is_supported) const {
    const BRIX_CONST_DATA* constant = scalar_constant(get_parameter(parameter_type));
    bool support = constant != nullptr && constant->get_value() <= 1;
    if (is_supported != nullptr)
        *is_supported = support;
    else
        BRIX_CHECK(support, "support != NULL || is_supported");
    return support && constant->get_value() == 1;
}

unsigned BRIX_DEVICE_INFO::get_const_uint(unsigned parameter_type, bool* is_supported) const {
    const BRIX_CONST_DATA* constant = scalar_constant(get_parameter(parameter_type));
    bool support = constant != nullptr;
    if (is_supported != nullptr)
        *is_supported = support;
    else
        BRIX_CHECK(support, "support != NULL || is_supported");
    return support ? constant->get_value() : 0;
}

unsigned* BRIX_DEVICE_INFO::get_const_uints(unsigned parameter_type, unsigned& length) const {
    const BRIX_CONST_DATA_LIST* contants = get_const_values(parameter_type, length);
    BRIX_CHECK((contants != nullptr && length > 0) || (contants == nullptr && length == 0),
               "(contants != NULL && length > 0) || (contants == NULL && length == 0)");
    if (contants == nullptr)
        return nullptr;
    BRIX_CHECK(contants->size() <= length, "contants->size() <= length");
    std::unique_ptr<unsigned[]> values(new unsigned[length]());
    for (const BRIX_CONST_DATA* constant : *contants) {
        BRIX_CHECK(constant != nullptr && constant->get_offset() < length, "(*i)->get_offset() < length");
        values[constant->get_offset()] = constant->get_value();
    }
    return values.release();
}
