// BRIX_COMMON: public operations over device data, beside the builders: the TALON row-stamp reader and the
// MLAB freeze mask. Static operations only.
#pragma once

#include "brix_data_export.h"

#include <string>
#include <vector>

// Values of the DRA info: one byte per row of DRA0.
enum BRIX_DRA_INFO_VALUE : unsigned char {
    BRIX_DRA_INFO_DATA = 0,     // a SOF bit on every DRA
    BRIX_DRA_INFO_PHANTOM3 = 3, // in the SOF, but only DRA0 carries it (MLAB rows)
    BRIX_DRA_INFO_PHANTOM4 = 4, // inserted on every DRA to align a division to 32 rows
    BRIX_DRA_INFO_PHANTOM5 = 5, // dummy bits the row stamp lists
    BRIX_DRA_INFO_EDCRC = 253,  // error-detection bit
};

class BRIX_COMMON {
  public:
    BRIX_COMMON() = delete;

    // ---- TALON row stamps ------------------------------------------------------------------------------

    // Number of names in the row-stamp block vocabulary, and the name of an index (null past the end).
    static constexpr unsigned TALON_ROW_STAMP_BLOCK_COUNT = 85;
    static const char* talon_row_stamp_block_name(unsigned index);
    // Index of a row-stamp block name (case ignored). An unknown name prints "Cannot find <name>" and
    // returns false.
    static bool convert_talon_row_stamp_block(const std::string& name, unsigned& index);

    // Reads a row-stamp file: the column blocks that make up one CRAM frame, in order. Returns the DRA info
    // (dra0 bytes, new[], owned by the caller) and fills dra0, dra123 (rows of DRA1..3), the SOF bits of one
    // frame, n_frame_per_row, and the SOF bit offsets of the MLAB blocks' LUTRAM datalines (new[], owned by
    // the caller; *lutram_remap_list must be null and n_frame_per_row 0 on entry). The division block names
    // split the blocks into divisions, each padded to a multiple of 32 rows by its first M20K block. print
    // lists the phantom bits on standard output.
    static unsigned char* parse_talon_row_stamp(const std::string& file, unsigned& dra0, unsigned& dra123,
                                                unsigned& sof_frame_bits, unsigned& n_frame_per_row,
                                                unsigned** lutram_remap_list, unsigned& lutram_remap_count,
                                                const std::vector<std::string>& division_block_names,
                                                bool print);

    // ---- MLAB freeze mask ------------------------------------------------------------------------------

    // The bits of a TALON SOF image that must be frozen for the MLAB blocks used as RAM: a new bit array of
    // ceil(image_bit_size / 8) bytes (new[], owned by the caller), bit i in byte i / 8 at position i % 8.
    // Reads the device's database by PCF name.
    static unsigned char* get_mlab_ram_freeze_mask(const std::string& pcf_name,
                                                   const unsigned char* image_bitfield,
                                                   unsigned image_bit_size);
};
