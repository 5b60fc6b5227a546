// Programmer-side records (FID, PGM RBA blocks, CRAM maps) and their byte serialisation inside the payload of
// a PGM database container. Little-endian integers, no tags or gaps: the field order is the format.
//
// Writers append to a growable byte vector. Readers take (buffer, max, index, record), advance index, and
// check every read against max before touching the buffer; an array is allocated only after checking that the
// rest of the payload can hold it, so a forged length field cannot make a reader allocate more than the input
// holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

// One frame/bit table stored as one owned byte row per frame.
using PGM_BYTE_ROWS = std::unique_ptr<std::unique_ptr<unsigned char[]>[]>;

// Frame and bit mappings between SOF image, bitstream and EDCRC space of one device, with its EDCRC RMF.
// An array whose length field is 0 is absent (null).
struct BRIX_FID {
    uint16_t fid_version = 0;
    uint32_t img_frame_size = 0;
    uint32_t img_bit_size = 0;
    uint32_t bs_frame_size = 0;
    uint32_t bs_bit_size = 0;
    uint32_t edcrc_frame_size = 0;
    uint32_t edcrc_bit_size = 0;
    uint32_t edcrc_bit_byte_size = 0;
    uint32_t family_constant_1 = 0;
    uint32_t family_constant_2 = 0;
    uint32_t lutram_frame_offset = 0;
    uint32_t family_constant_3 = 0;
    uint32_t lutram_frame_size = 0;
    uint32_t family_constant_4 = 0;
    std::unique_ptr<uint32_t[]> img_to_bs_frame_mapping;    // img_frame_size
    std::unique_ptr<uint32_t[]> bs_to_img_frame_mapping;    // bs_frame_size
    std::unique_ptr<uint32_t[]> img_to_bs_bit_mapping;      // img_bit_size
    std::unique_ptr<uint32_t[]> bs_to_img_bit_mapping;      // bs_bit_size
    std::unique_ptr<uint32_t[]> img_to_edcrc_frame_mapping; // img_frame_size
    std::unique_ptr<uint32_t[]> edcrc_to_img_frame_mapping; // edcrc_frame_size
    std::unique_ptr<uint32_t[]> img_to_edcrc_bit_mapping;   // img_bit_size
    std::unique_ptr<uint32_t[]> edcrc_to_img_bit_mapping;   // edcrc_bit_size
    std::unique_ptr<uint32_t[]> edcrc_frame_types;          // edcrc_frame_size
    PGM_BYTE_ROWS edcrc_rmf;                                // edcrc_frame_size rows x edcrc_bit_byte_size
};

// One placement of a block instance: its first bit and whether it is mirrored along frames or bits.
struct BRIX_RBA_LOCATION {
    uint32_t bit_index = 0;
    bool frame_mirror = false;
    bool bit_mirror = false;
};

inline bool operator==(const BRIX_RBA_LOCATION& a, const BRIX_RBA_LOCATION& b) {
    return a.bit_index == b.bit_index && a.frame_mirror == b.frame_mirror && a.bit_mirror == b.bit_mirror;
}

// Every instance of one block type of a device's CRAM, keyed by its first frame.
struct BRIX_RBA_BLOCK {
    uint32_t type = 0; // PGM_RBA_TYPE value
    uint32_t frame_size = 0;
    uint32_t bit_size = 0;
    std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>> locations;
};

// The CRAM bit map of one block type: frame_size rows of bit_size bits.
struct BRIX_CRAM_MAP {
    uint32_t type = 0; // PGM_RBA_TYPE value
    uint32_t frame_size = 0;
    uint32_t bit_size = 0;
    uint32_t bit_byte_size = 0; // (bit_size + 7) / 8
    PGM_BYTE_ROWS info;
};

// Lists own their elements; the look-ups of BRIX_DATA_SERVER hand them to the caller.
using BRIX_RBA_BLOCK_LIST = std::vector<std::unique_ptr<BRIX_RBA_BLOCK>>;
using BRIX_CRAM_MAP_LIST = std::vector<std::unique_ptr<BRIX_CRAM_MAP>>;

// ---- Field lists
// The fields of each record in file order. The writer, the reader and brix_dump's printer walk the same
// list with a visitor; R is the record type, const for visitors that only look. A visitor offers:
//   u16(name, value), u32(name, value)           scalars
//   u32_array(name, array, length)               length u32 values; absent (null) when length is 0
//   rows(name, rows, count, bytes)               count rows of bytes bytes; absent when either is 0
//   row_width(bytes_name, bytes, bits_name, bits, offset, zero_allowed)
//                                                the rows' width must hold their bits; offset is the width
//                                                field's place in the record, for the reader's report
//   locations(name, map)                         the placements of an RBA block, ascending frame_index
template <class V, class R> void pgm_fields(V& v, R& f, const BRIX_FID*) {
    v.u16("fid_version", f.fid_version);
    v.u32("img_frame_size", f.img_frame_size);
    v.u32("img_bit_size", f.img_bit_size);
    v.u32("bs_frame_size", f.bs_frame_size);
    v.u32("bs_bit_size", f.bs_bit_size);
    v.u32("edcrc_frame_size", f.edcrc_frame_size);
    v.u32("edcrc_bit_size", f.edcrc_bit_size);
    v.u32("edcrc_bit_byte_size", f.edcrc_bit_byte_size);
    v.u32("family_constant_1", f.family_constant_1);
    v.u32("family_constant_2", f.family_constant_2);
    v.u32("lutram_frame_offset", f.lutram_frame_offset);
    v.u32("family_constant_3", f.family_constant_3);
    v.u32("lutram_frame_size", f.lutram_frame_size);
    v.u32("family_constant_4", f.family_constant_4);
    v.row_width("edcrc_bit_byte_size", f.edcrc_bit_byte_size, "edcrc_bit_size", f.edcrc_bit_size, 2 + 6 * 4,
                true);
    v.u32_array("img_to_bs_frame_mapping", f.img_to_bs_frame_mapping, f.img_frame_size);
    v.u32_array("bs_to_img_frame_mapping", f.bs_to_img_frame_mapping, f.bs_frame_size);
    v.u32_array("img_to_bs_bit_mapping", f.img_to_bs_bit_mapping, f.img_bit_size);
    v.u32_array("bs_to_img_bit_mapping", f.bs_to_img_bit_mapping, f.bs_bit_size);
    v.u32_array("img_to_edcrc_frame_mapping", f.img_to_edcrc_frame_mapping, f.img_frame_size);
    v.u32_array("edcrc_to_img_frame_mapping", f.edcrc_to_img_frame_mapping, f.edcrc_frame_size);
    v.u32_array("img_to_edcrc_bit_mapping", f.img_to_edcrc_bit_mapping, f.img_bit_size);
    v.u32_array("edcrc_to_img_bit_mapping", f.edcrc_to_img_bit_mapping, f.edcrc_bit_size);
    v.u32_array("edcrc_frame_types", f.edcrc_frame_types, f.edcrc_frame_size);
    v.rows("edcrc_rmf", f.edcrc_rmf, f.edcrc_frame_size, f.edcrc_bit_byte_size);
}

template <class V, class R> void pgm_fields(V& v, R& b, const BRIX_RBA_BLOCK*) {
    v.u32("type", b.type);
    v.u32("frame_size", b.frame_size);
    v.u32("bit_size", b.bit_size);
    v.locations("locations", b.locations);
}

template <class V, class R> void pgm_fields(V& v, R& m, const BRIX_CRAM_MAP*) {
    v.u32("type", m.type);
    v.u32("frame_size", m.frame_size);
    v.u32("bit_size", m.bit_size);
    v.u32("bit_byte_size", m.bit_byte_size);
    v.row_width("bit_byte_size", m.bit_byte_size, "bit_size", m.bit_size, 3 * 4, false);
    v.rows("info", m.info, m.frame_size, m.bit_byte_size);
}

// Walks the fields of any of the three records.
template <class V, class R> void pgm_visit(V& v, R& record) {
    pgm_fields(v, record, static_cast<const std::remove_const_t<R>*>(nullptr));
}

// Writers: append the record (or the list, count first) to out.
void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_FID& v);
void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK& v);
void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP& v);
void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK_LIST& list);
void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP_LIST& list);

// Readers: read one record (or a list, count first) from buffer[index..max) and advance index. Arrays of the
// record must still be null. A read past max is the report "index < max", naming the payload offset.
void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_FID& v);
void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK& v);
void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP& v);
void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK_LIST& list);
void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP_LIST& list);

// The records of a payload must fill it exactly: the report "index == uncompressed_size" at the offset where
// they ended otherwise.
void pgm_ddb_check_consumed(size_t index, size_t size);
