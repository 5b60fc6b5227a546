#include "records/pgm_brix__pdb.h"

#include "msg_internal_error.h"

#include <cstdint>

namespace {
// Resolves the overload of the serialise operation for T.
template <class T> void serialize_of(PDB_SEGMENT& s, T& o) {
    BRIX_PDB::serialize(s, o);
}
template <class T> constexpr PDB_CLASS_THUNK thunk(uint32_t class_id, const char* name) {
    return pdb_make_thunk<T, serialize_of<T>>(class_id, name);
}
} // namespace

const PDB_CLASS_THUNK BRIX_PDB::INFO = thunk<BRIX_INFO>(0x897B4237, "BRIX_INFO");
const PDB_CLASS_THUNK BRIX_PDB::FAMILY_INFO = thunk<BRIX_FAMILY_INFO>(0xB8645316, "BRIX_FAMILY_INFO");
const PDB_CLASS_THUNK BRIX_PDB::BLOCK = thunk<BRIX_BLOCK>(0x102994CF, "BRIX_BLOCK");
const PDB_CLASS_THUNK BRIX_PDB::FRAME = thunk<BRIX_FRAME>(0xA3297E42, "BRIX_FRAME");
const PDB_CLASS_THUNK BRIX_PDB::INSTRUCTION = thunk<BRIX_INSTRUCTION>(0x3EE23B12, "BRIX_INSTRUCTION");
const PDB_CLASS_THUNK BRIX_PDB::CONST_DATA = thunk<BRIX_CONST_DATA>(0x89B1618E, "BRIX_CONST_DATA");
const PDB_CLASS_THUNK BRIX_PDB::DYN_DATA = thunk<BRIX_DYN_DATA>(0x8CEBCD44, "BRIX_DYN_DATA");
const PDB_CLASS_THUNK BRIX_PDB::OB_DATA = thunk<BRIX_OB_DATA>(0xC1271454, "BRIX_OB_DATA");
const PDB_CLASS_THUNK BRIX_PDB::DEVICE_INFO = thunk<BRIX_DEVICE_INFO>(0x882A9B5C, "BRIX_DEVICE_INFO");
const PDB_CLASS_THUNK BRIX_PDB::PARAMETER = thunk<BRIX_PARAMETER>(0x9CBDB978, "BRIX_PARAMETER");
const PDB_CLASS_THUNK BRIX_PDB::ARG = thunk<BRIX_ARG>(0xF1780A02, "BRIX_ARG");
const PDB_CLASS_THUNK BRIX_PDB::ARG_DATA = thunk<BRIX_ARG_DATA>(0xE7B91589, "BRIX_ARG_DATA");
const PDB_CLASS_THUNK BRIX_PDB::LUTRAM_MRAM = thunk<LUTRAM_MRAM_INFO>(0x37633E2E, "LUTRAM_MRAM_INFO");
const PDB_CLASS_THUNK BRIX_PDB::SIMPLIFIED_LUTRAM_MRAM =
    thunk<SIMPLIFIED_LUTRAM_MRAM_INFO>(0x842D003D, "SIMPLIFIED_LUTRAM_MRAM_INFO");
const PDB_CLASS_THUNK BRIX_PDB::G2_S1 = thunk<G2_SI>(0x3DE8332C, "G2_SI");
const PDB_CLASS_THUNK BRIX_PDB::G2_S2 = thunk<G2_SII>(0xF4F5B265, "G2_SII");
const PDB_CLASS_THUNK BRIX_PDB::G2_S2_BIT = thunk<G2_SII_BIT>(0x26FE5227, "G2_SII_BIT");

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_INFO& o) {
    s.record("m_family_info", o.m_family_info, FAMILY_INFO);
    s.record("m_device_info", o.m_device_info, DEVICE_INFO);
    const uint32_t cn = 32;
    uint32_t n = cn;
    s.byte_count("m_signature", o.m_signature, n);
    PDB_CHECK(s, n == cn, "n == cn");
    s.byte_data(o.m_signature, n);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_FAMILY_INFO& o) {
    s.u32("m_family_type", o.m_family_type);
    s.u32("m_config_data_width", o.m_config_data_width);
    s.list("m_block_list", o.m_block_list, BLOCK);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_BLOCK& o) {
    s.u32("m_block_type", o.m_block_type);
    s.boolean("m_static", o.m_static);
    s.u32("m_length", o.m_length);
    s.boolean("m_has_crc", o.m_has_crc);
    s.boolean("m_one_init", o.m_one_init);
    s.list("m_const_values", o.m_const_values, CONST_DATA);
    s.list("m_dyn_values", o.m_dyn_values, DYN_DATA);
    s.record("m_frame", o.m_frame, FRAME);
    s.list("m_instruction_list", o.m_instruction_list, INSTRUCTION);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_FRAME& o) {
    s.u32("m_frame_type", o.m_frame_type);
    s.u32("m_size", o.m_size);
    s.u32("m_header_size", o.m_header_size);
    s.u32("m_core_size", o.m_core_size);
    s.u32("m_edcrc_size", o.m_edcrc_size);
    s.u32("m_crc_size", o.m_crc_size);
    s.u32("m_crc_mask", o.m_crc_mask);
    s.u32("m_end_padding_bits", o.m_end_padding_bits);
    s.boolean("m_crc_include_header", o.m_crc_include_header);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_INSTRUCTION& o) {
    s.u32("m_instruction_type", o.m_instruction_type);
    s.u32("m_opcode", o.m_opcode);
    s.boolean("m_has_flc", o.m_has_flc);
    s.u32("m_core_size", o.m_core_size);
    s.boolean("m_core_default_zero", o.m_core_default_zero);
    s.u32("m_padding_size", o.m_padding_size);
    s.boolean("m_padding_default_zero", o.m_padding_default_zero);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_CONST_DATA& o) {
    s.u32("m_value", o.m_value);
    s.u32("m_offset", o.m_offset);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_DYN_DATA& o) {
    s.u32("m_dyn_data_type", o.m_dyn_data_type);
    s.u32("m_word_offset", o.m_word_offset);
    s.u32("m_bit_offset", o.m_bit_offset);
    s.u32("m_length", o.m_length);
    s.u32("m_mask", o.m_mask);
    s.boolean("m_xflip", o.m_xflip);
    s.boolean("m_end_padding", o.m_end_padding);
    s.list("m_ob_datas", o.m_ob_datas, OB_DATA);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_OB_DATA& o) {
    s.u32("m_ob_data_type", o.m_ob_data_type);
    s.u32("m_bit_index", o.m_bit_index);
    s.u32("m_bit_offset", o.m_bit_offset);
    s.u32("m_length", o.m_length);
    s.u32("m_data_size", o.m_data_size);
    s.u32("m_link_block", o.m_link_block);
    // The count is m_data_size itself. A stored value must hold exactly the bytes its length needs, or the
    // readers of the value (which go by m_length) would run past the array.
    s.byte_count("m_data", o.m_data, o.m_data_size);
    if (s.reading()) {
        const uint32_t cn = BRIX_N_UNITS(uint64_t(o.m_length), 8u);
        const uint32_t n = o.m_data_size;
        PDB_CHECK(s, n == cn, "n == cn");
    }
    s.byte_data(o.m_data, o.m_data_size);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_DEVICE_INFO& o) {
    s.u32("m_family_type", o.m_family_type);
    s.u32("m_device_type", o.m_device_type);
    s.list("m_parameters", o.m_parameters, PARAMETER);
    s.list("m_arguments", o.m_arguments, ARG);
    s.list("m_lutram_info", o.m_lutram_info, LUTRAM_MRAM);
    s.list("m_mram_info", o.m_mram_info, LUTRAM_MRAM);
    s.u32_vector("m_simplified_lutram_col", o.m_simplified_lutram_col);
    s.u32_vector("m_simplified_lutram_row", o.m_simplified_lutram_row);
    s.u32_vector("m_simplified_mram_col", o.m_simplified_mram_col);
    s.u32_vector("m_simplified_mram_row", o.m_simplified_mram_row);
    s.list("m_g2_s2_list", o.m_g2_s2_list, G2_S2);
    s.u32("m_g2_s2_list_size", o.m_g2_s2_list_size);
    s.u32("m_g2_s2_thread_size", o.m_g2_s2_thread_size);
    s.list("m_ob_datas", o.m_ob_datas, OB_DATA);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_PARAMETER& o) {
    s.u32("m_parameter_type", o.m_parameter_type);
    s.u32("m_length", o.m_length);
    s.u32("m_block_type", o.m_block_type);
    s.list("m_const_values", o.m_const_values, CONST_DATA);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_ARG& o) {
    s.u32("m_arg_type", o.m_arg_type);
    s.u32("m_block_type", o.m_block_type);
    s.list("m_data", o.m_data, ARG_DATA);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, BRIX_ARG_DATA& o) {
    s.u32("m_data_size", o.m_data_size);
    s.u32("m_unit_size", o.m_unit_size);
    // 64-bit product: a forged pair of sizes must not wrap around to the stored count.
    const uint64_t cn = uint64_t(o.m_data_size) * o.m_unit_size;
    uint32_t n = static_cast<uint32_t>(cn);
    s.byte_count("m_data", o.m_data, n);
    PDB_CHECK(s, n == cn, "n == cn");
    s.byte_data(o.m_data, n);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, LUTRAM_MRAM_INFO& o) {
    s.u32("m_col", o.m_col);
    s.u32_vector("m_rows", o.m_rows);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, SIMPLIFIED_LUTRAM_MRAM_INFO& o) {
    s.u32_vector("m_values", o.m_values);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, G2_SI& o) {
    s.u32("m_frame", o.m_frame);
    s.u32("m_bit", o.m_bit);
    s.boolean("m_dir", o.m_dir);
    s.u8("m_dist", o.m_dist);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, G2_SII& o) {
    s.list_of_lists("m_g2_s2_bits_list", o.m_g2_s2_bits_list, G2_S2_BIT);
}

void BRIX_PDB::serialize(PDB_SEGMENT& s, G2_SII_BIT& o) {
    s.u32("m_bit", o.m_bit);
    s.list("m_g2_s1_list", o.m_g2_s1_list, G2_S1);
}
