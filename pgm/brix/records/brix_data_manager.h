// BRIX_MANAGER: the vocabulary lookups, number and hex conversions, argument-row extraction, spare-row
// frame conversions, record searches and side-file paths shared by every builder and by the readers of a
// database. Static operations only.
#pragma once

#include "brix_data_export.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class BRIX_MANAGER {
  public:
    BRIX_MANAGER() = delete;

    // ---- Vocabulary lookups --------------------------------------------------------------------------
    // A seen list is a bool array with one entry per value of the selected enumeration: a lookup given one
    // marks the value it finds, and finding a value already marked is an internal error (each value may be
    // taken at most once).

    // True when value exists for the selector; then fills name and marks seen when given. Otherwise touches
    // nothing.
    static bool check_type_enum_supported(BRIX_ENUM_TYPE brix_type, unsigned value,
                                          std::string* name = nullptr, bool* seen = nullptr);
    // True when name (case ignored) is in the selector's table; then fills value and marks seen when given.
    static bool check_type_name_supported(BRIX_ENUM_TYPE brix_type, const std::string& name,
                                          unsigned* value = nullptr, bool* seen = nullptr);
    static bool compare_string(const std::string& a, const std::string& b, bool case_sensitive);
    // True when every value of the selector is marked; otherwise prints "\nMissing <name>" for each unmarked
    // value, then "\n", and returns false.
    static bool utst_print_missing_enum(BRIX_ENUM_TYPE brix_type, const bool* seen);

    // ---- Conversions ---------------------------------------------------------------------------------

    // A number as written in the inputs: decimal, or hexadecimal after "0x" (lower-case x). The empty text
    // gives *default_value (0 when not given). A text that is not a number, or a number that does not fit in
    // 32 bits, is invalid: with ok given, *ok turns false and the default is returned; without it, it is an
    // internal error. no_empty makes the empty text an internal error.
    static unsigned convert_string_to_value(std::string_view string, bool no_empty, bool* ok = nullptr,
                                            const unsigned* default_value = nullptr);
    // byte_size bytes (new[], owned by the caller) from upper-case hex digits, the last two digits forming
    // byte 0.
    static unsigned char* convert_hex_string_to_byte_array(const std::string& hex_string, unsigned byte_size,
                                                           bool no_empty);
    // The low byte_count bytes (1 to 4) of value as upper-case hex digits, optionally after "0x".
    static std::string convert_value_to_string(unsigned value, unsigned byte_count, bool prefix);

    // ---- Argument rows -------------------------------------------------------------------------------
    // One pointer per row of the argument, into the record's own storage. Every row has the same width
    // (units per row) and unit size.

    static std::vector<unsigned char*> get_unknown_arg_list(const BRIX_ARG* arg, unsigned& width,
                                                            unsigned& unit_size);
    static std::vector<uint8_t*> get_byte_arg_list(const BRIX_ARG* arg, unsigned& width);
    static std::vector<uint16_t*> get_word_arg_list(const BRIX_ARG* arg, unsigned& width);
    static std::vector<uint32_t*> get_uint_arg_list(const BRIX_ARG* arg, unsigned& width);

    // ---- Spare rows ----------------------------------------------------------------------------------
    // A spare-row table holds (first frame, frame count) pairs in ascending order: frames that exist in the
    // SOF image and not in the bitstream. A null table means no spare rows.

    static unsigned convert_bs_frame_to_sof_frame(const BRIX_ARG* spare_rows, unsigned bs_frame);
    static unsigned convert_sof_frame_to_bs_frame(const BRIX_ARG* spare_rows, unsigned sof_frame);
    static unsigned get_total_spare_row(const BRIX_ARG* spare_rows);

    // The bits of every option-bit record of that type, in list order, packed from bit 0 on.
    static uint64_t get_ob_value(BRIX_OB_DATA_TYPE ob_data_type, const BRIX_OB_DATA_LIST* ob_data_list);

    // ---- Searches: the first record of that type, or null -------------------------------------------
    // For arguments and parameters the block must match too; BRIX_BLOCK_MAX matches any block.

    static BRIX_BLOCK* search_block_from_list(BRIX_BLOCK_TYPE block_type, const BRIX_BLOCK_LIST* block_list);
    static BRIX_DYN_DATA* search_dyn_data_from_list(BRIX_DYN_DATA_TYPE dyn_data_type,
                                                    const BRIX_DYN_DATA_LIST* dyn_data_list);
    static BRIX_INSTRUCTION* search_instruction_from_list(BRIX_INSTRUCTION_TYPE instruction_type,
                                                          const BRIX_INSTRUCTION_LIST* instruction_list);
    static BRIX_OB_DATA* search_ob_data_from_list(BRIX_OB_DATA_TYPE ob_data_type,
                                                  const BRIX_OB_DATA_LIST* ob_data_list);
    static BRIX_ARG* search_argument_from_list(BRIX_ARGUMENT_TYPE arg_type,
                                               const BRIX_ARG_LIST* argument_list,
                                               BRIX_BLOCK_TYPE block_type = BRIX_BLOCK_MAX);
    static BRIX_PARAMETER* search_parameter_from_list(BRIX_PARAMETER_TYPE parameter_type,
                                                      const BRIX_PARAMETER_LIST* parameter_list,
                                                      BRIX_BLOCK_TYPE block_type = BRIX_BLOCK_MAX);

    // ---- Installation directories, each ending with '/' ---------------------------------------------

    // <device database>/programmer/: the BRIX databases.
    static std::string get_programmer_directory();
    // <device database>/programmer/fid/: the PGM RBA, CRAM map and FID containers.
    static std::string get_programmer_fid_directory();
    // <unshipped data>/pgm_db/: text CRAM maps, phantom images and the phantomless inputs.
    static std::string get_pgm_db_directory();

    // ---- Paths of the programmer's side files under the unshipped-data directory ---------------------

    // <dir>pgm_db/<family>_<cram type>_cram.map, names in lower case.
    static std::string get_vantrel_cram_map_path(BRIX_FAMILY_TYPE family, BRIX_RBA_CRAM_TYPE cram_type);
    // <dir>pgm_db/<family>_phantomless_<name>[.<extension>], the family name in lower case.
    static std::string get_vantrel_phantomless_path(BRIX_FAMILY_TYPE family, const std::string& name,
                                                    const std::string& extension);
};
