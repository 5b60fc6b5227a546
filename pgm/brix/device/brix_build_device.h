// Device builds: the build state shared by the driver and the architecture builders, the ways a builder
// appends its results, and the table of architecture generations.
//
// How a generation's builder plugs in
// -----------------------------------
// build_device (brix_build_device.cpp) reads the device XML, settles the CRAM algorithm version and looks the
// version up in the generation table (brix_device_generation) once. The row is everything the driver does
// differently for a generation: its builder, the minor version bit that skips it, the RBA parser of the
// LUTRAM/MRAM step, and where the CRAM geometry comes from. To add a generation:
//   1. write its folder (talon/, harrier/, kestrel/, g28/) with its builder, of the BRIX_DEVICE_BUILDER
//      signature, declared below (and its RBA parser, of the BRIX_RBA_PARSER signature, where it has one);
//   2. add its row to the table in brix_build_device.cpp.
//
// A builder receives the build state by reference and a BRIX_DEVICE_BUILD_INPUT. It reads its parameters
// through input.device_info (which owns the parameter list by then), its own inputs from the state's part of
// its generation (m_talon, m_harrier), appends every argument to input.argument_list with add_argument /
// add_argument_rows, and prints through state.progress(), which is silent in test mode. Everything it
// allocates is either handed to a record or released on every path, so a failing check leaks nothing: fill
// rows in BRIX_ROW_BUFFER and collect records in OWNED_LIST (brix_owned_list.h) until add_argument or a
// record's setter takes them.
#pragma once

#include "brix_data_export.h"
#include "brix_map_markers.h"
#include "brix_owned_list.h"
#include "context/build_context.h"
#include "fio.h"
#include "large_block.h"

#include <xercesc/dom/DOM.hpp>

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What the device XML gives one generation's builder of its own.
struct BRIX_TALON_INPUT {
    std::vector<std::string> phantom_bit_type4_division_blocks; // PHANTOM_BIT_TYPE4_DIVISION_BLOCKS
};
struct BRIX_HARRIER_INPUT {
    bool reverse_mram = false; // REVERSE_MRAM: the MRAM columns' frames run backwards inside the valid range
};

// The state of one device build, shared by the driver and the builders: a local of build_device, which gives
// it the run's context.
struct BRIX_DEVICE_BUILD_STATE {
    BRIX_BUILD_CONTEXT m_context;
    uint32_t m_col_count = 0;   // device database, integer item 8
    uint32_t m_row_count = 0;   // device database, integer item 7
    uint32_t m_cff_bits = 0;    // device database, integer item 9
    uint32_t m_frame_count = 0; // parameter CRAM_FRAME_COUNT, or m_col_count
    uint32_t m_bit_count = 0;   // parameter CRAM_BIT_COUNT, or m_row_count
    std::string m_rif_file;     // parameter SUPPORT_RIF, attribute value
    uint32_t m_rif_version = 0; // parameter SUPPORT_RIF, attribute offset
    uint32_t m_phantomless_algo = 0;
    unsigned m_family_type = BRIX_FAMILY_MAX; // no family
    // The block names the RBA parsers look for (RBA_MRAM_STRING, RBA_LUTRAM_STRING).
    std::string m_rba_mram_string;
    std::string m_rba_lutram_string;
    BRIX_TALON_INPUT m_talon;
    BRIX_HARRIER_INPUT m_harrier;
    std::vector<uint32_t> m_simplified_lutram_col; // filled by the RBA parsers
    std::vector<uint32_t> m_simplified_mram_col;
    std::string m_unpacked_rba; // the RBA file this build unpacked from its ".rbaz", once unpacked
    bool m_rba_written = false; // its file is written (a background write has landed)
    std::string m_unpacked_rif; // the RIF text this build unpacks, once it starts to
    // Where the generation reads the text more than once, the file is written from the text while the build
    // reads it, and waited for before the database is written. Declared before the text: the state joins the
    // writer before it releases the text.
    FIO_BACKGROUND_FILE m_rba_writer;
    LARGE_TEXT m_rba_text;     // its text, where the generation reads it more than once (else empty)
    std::string m_device_name; // root attributes of the device XML
    std::string m_family_name;

    const BRIX_PROGRESS& progress() const { return m_context.progress(); }
    bool test() const { return m_context.test(); }
};

// What the driver hands a generation's builder. The device info owns the parameter list; the argument list
// is given to the device info after the builder has returned.
struct BRIX_DEVICE_BUILD_INPUT {
    BRIX_DEVICE_INFO* device_info = nullptr;
    BRIX_PARAMETER_LIST* parameter_list = nullptr;
    BRIX_ARG_LIST* argument_list = nullptr;
    std::string xml_file;
    const G2_SII_LIST* g2_list = nullptr; // null when the device has no RIF file
    std::array<uint32_t, 4> mram_valid_range{};
};

// What an RBA parser collects: the LUTRAM and MRAM positions by column and the column and row sizes. The
// simplified column lists go to the build state (m_simplified_lutram_col, m_simplified_mram_col).
struct BRIX_RBA_INFO {
    std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>> lutram_info;
    std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>> mram_info;
    uint32_t lutram_col_size = 0, lutram_row_size = 0;
    uint32_t mram_col_size = 0, mram_row_size = 0;
    std::vector<uint32_t> simplified_lutram_row;
    std::vector<uint32_t> simplified_mram_row;
};

using BRIX_DEVICE_BUILDER = void (*)(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input);
using BRIX_RBA_PARSER = void (*)(BRIX_DEVICE_BUILD_STATE& state, const std::string& rba_file,
                                 BRIX_RBA_INFO& info);

// One architecture generation, keyed by its CRAM algorithm version: everything the driver does differently
// for it.
struct BRIX_DEVICE_GENERATION {
    uint32_t cram_algo_version;
    uint32_t skip_minor_bit;     // minor-version bit that skips the builder; 0 for none
    BRIX_DEVICE_BUILDER builder; // the bit mappings
    BRIX_RBA_PARSER rba_parser;  // the LUTRAM/MRAM step's parser; null: "Unsupported CRAM algorithm flow"
    bool rereads_rba;            // the build reads the RBA text again after its parser: it is kept in memory
    bool ddb_geometry;        // the CRAM frame and bit counts and the CFF bits come from the device database
    bool needs_cram_geometry; // the CRAM frame and bit counts must be known before the builder runs
};
// The row of a CRAM algorithm version, or null for a version no generation uses.
const BRIX_DEVICE_GENERATION* brix_device_generation(uint32_t cram_algo_version);

// Minor-version bits of the CRAM_ALGO parameter (its const value's offset).
constexpr uint32_t BRIX_CRAM_MINOR_SKIP_TALON = 1u << 0;  // the TALON builder is skipped
constexpr uint32_t BRIX_CRAM_MINOR_RUN_RBA = 1u << 1;     // the RBA step runs (with full)
constexpr uint32_t BRIX_CRAM_MINOR_SKIP_LEGACY = 1u << 2; // the 28nm builder is skipped
constexpr uint32_t BRIX_CRAM_MINOR_NO_DDB = 1u << 3;      // the device database is not asked
constexpr uint32_t BRIX_CRAM_SUPPORTED_MINOR_VERSION = 15;

// ---- Appending results (brix_build_device) ----------------------------------------------------------------

// Appends an argument of one row; the row is taken over with its sizes. Refuses a (type, block) pair
// already in the list.
void add_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                  BRIX_BLOCK_TYPE block_type, BRIX_ROW_BUFFER row);
// The same with one BRIX_ARG_DATA per row; every row is taken over.
void add_argument_rows(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, std::vector<BRIX_ROW_BUFFER> rows);
// Convenience for one row of u32 values (unit size 4) or of bytes (unit size 1), copied.
void add_uint_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, const std::vector<uint32_t>& values);
void add_byte_argument(BRIX_DEVICE_BUILD_STATE& state, BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE arg_type,
                       BRIX_BLOCK_TYPE block_type, const std::vector<uint8_t>& values);

// Sets a one-value parameter to value, printing the change unless in test mode; appends it silently (length 1
// in block_type) when the list has none.
void overwrite_parameter(BRIX_DEVICE_BUILD_STATE& state, BRIX_PARAMETER_TYPE parameter_type,
                         BRIX_PARAMETER_LIST* parameter_list, uint32_t value, unsigned block_type);

// ---- Driver steps (brix_build_device) ---------------------------------------------------------------------

// Geometry items into the state; returns the RBA file path (empty when the database has none).
std::string read_ddb_device_data(BRIX_DEVICE_BUILD_STATE& state, uint32_t part);
// Unpacks <rba_file>z beside rba_file, runs the generation's RBA parser and stores the LUTRAM and MRAM data.
void build_lutram_mram_parameters(BRIX_DEVICE_BUILD_STATE& state, BRIX_DEVICE_INFO* device_info,
                                  BRIX_PARAMETER_LIST* parameter_list, const std::string& rba_file,
                                  const BRIX_DEVICE_GENERATION* generation);
void print_lutram_mram_debug(const std::string& title, const LUTRAM_MRAM_INFO_LIST* list);
// The positions of one kind (LUTRAM or MRAM) an RBA parser collected, in file order, grouped for the
// database: the distinct columns and the distinct rows, ascending, and one record per column with its rows in
// file order.
void group_rba_positions(const std::vector<uint32_t>& cols, const std::vector<uint32_t>& rows,
                         std::vector<uint32_t>& simplified_col, std::vector<uint32_t>& simplified_row,
                         std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>>& info);
// Whether a line of an RBA text places a block: at least 8 words (block, tile, sizes, position, mirrors),
// the first neither a comment ('#') nor a section marker ('$'). An RBA without one describes no device.
bool is_rba_block_line(std::string_view line);

// ---- Device XML reader (brix_build_device) ----------------------------------------------------------------

// Reads the device XML into the lists and the device info, and the build-state parameters into state.
void parse_device_xml(BRIX_DEVICE_BUILD_STATE& state, BRIX_DEVICE_INFO* device_info,
                      BRIX_PARAMETER_LIST* parameter_list, BRIX_ARG_LIST* arg_list,
                      const std::string& xml_path, const std::string& device_name, bool test);

// One const_val list into BRIX_CONST_DATA records (shared with the family builder): at most max_count values
// at distinct offsets below max_count, each fitting config_data_width bits (8, 16, 24 or 32; 0xFFFFFFFF for
// no limit). For CRAM_ALGO there is exactly one value and its offset (the minor version) is not checked.
OWNED_LIST<BRIX_CONST_DATA> parse_const_values(const std::vector<xercesc::DOMElement*>& const_values,
                                               uint32_t max_count, bool is_cram_algo,
                                               uint32_t config_data_width);

// ---- Architecture builders
// ----------------------------------------------------------------------------------

// 28nm generation (g28/).
void build_legacy_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input);
void parse_legacy_rba(BRIX_DEVICE_BUILD_STATE& state, const std::string& rba_file, BRIX_RBA_INFO& info);

// HARRIER generation (brix_build_hr_device): frame maps with the MRAM columns' frames reversed inside the
// valid range, the bit maps of a frame over the 8-line bus, the IOCSR leading padding; and its RBA parser,
// which collects the MRAM positions.
void build_hr_device(BRIX_DEVICE_BUILD_STATE& state, const BRIX_DEVICE_BUILD_INPUT& input);
void parse_hr_rba(BRIX_DEVICE_BUILD_STATE& state, const std::string& rba_file, BRIX_RBA_INFO& info);

// The SOF-to-bitstream bit maps of one CRAM frame (shared with the HARRIER builder), with the markers of
// brix_map_markers.h.
struct BRIX_SOF_RBF_MAPS {
    std::vector<uint32_t> sof_to_rbf;    // N entries
    std::vector<uint32_t> g2_sof_to_rbf; // S + (N - S) * 2 entries
    std::vector<uint32_t> rbf_to_sof;    // (P + F) * W entries
    std::vector<uint32_t> g2_rbf_to_sof; // (P2 + 2F) * W entries
};
void build_sof_rbf_maps(BRIX_DEVICE_BUILD_STATE& state, BRIX_SOF_RBF_MAPS& maps, uint32_t bit_count,
                        uint32_t padding, uint32_t g2_padding, uint32_t edcrc_bits, uint32_t data_width,
                        uint32_t parallel_frame_size, const std::vector<uint32_t>& dras, bool lowest_segment,
                        bool lowest_word, bool drop_dra_offset);

// Phantomless CRAM map of a device: one byte row per frame (empty when it cannot be built). Stored by the
// driver as the PHANTOMLESS_MAP argument.
std::vector<BRIX_ROW_BUFFER> build_phantomless_cram_rows(BRIX_DEVICE_BUILD_STATE& state, unsigned family_type,
                                                         const std::string& rba_file, uint32_t frame_count,
                                                         uint32_t bit_count,
                                                         const std::array<uint32_t, 4>& mram_valid_range,
                                                         uint32_t mask, bool verbose);
