#include "pgm_ddb_struct_inout_auto_export.h"

#include "msg_internal_error.h"

#include <cstring>
#include <string>

namespace {

// ---- writing ----------------------------------------------------------------------------------------------

void put_u16(std::vector<unsigned char>& out, uint16_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void put_u32(std::vector<unsigned char>& out, uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}

void put_flag(std::vector<unsigned char>& out, bool v) {
    out.push_back(v ? 1 : 0);
}

void put_u32_array(std::vector<unsigned char>& out, const std::unique_ptr<uint32_t[]>& a, uint32_t n,
                   const char* present_text) {
    if (n == 0)
        return;
    BRIX_CHECK(a != nullptr, present_text);
    size_t at = out.size();
    out.resize(at + size_t{4} * n);
    unsigned char* p = out.data() + at;
    for (uint32_t i = 0; i < n; ++i, p += 4) {
        uint32_t v = a[i];
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>(v >> 8);
        p[2] = static_cast<unsigned char>(v >> 16);
        p[3] = static_cast<unsigned char>(v >> 24);
    }
}

void put_rows(std::vector<unsigned char>& out, const PGM_BYTE_ROWS& rows, uint32_t row_count,
              uint32_t row_bytes, const char* present_text) {
    if (row_count == 0 || row_bytes == 0)
        return;
    BRIX_CHECK(rows != nullptr, present_text);
    out.reserve(out.size() + size_t{row_count} * row_bytes);
    for (uint32_t r = 0; r < row_count; ++r) {
        BRIX_CHECK(rows[r] != nullptr, present_text);
        out.insert(out.end(), rows[r].get(), rows[r].get() + row_bytes);
    }
}

// ---- reading ----------------------------------------------------------------------------------------------

// A failed check about the payload, reported with the offset it concerns.
[[noreturn]] void fail_at(size_t index, const char* text) {
    INPUT_CONTEXT here("payload byte " + std::to_string(index));
    BRIX_REPORT(text);
}

// A read past the end of the payload: reported with the offset where the read was attempted.
[[noreturn]] void fail_past_end(size_t index) {
    fail_at(index, "index < max");
}

// Checks that `bytes` more bytes are there before anything that large is read or allocated.
void need(size_t max, size_t index, uint64_t bytes) {
    if (index >= max || bytes > max - index)
        fail_past_end(index < max ? max : index);
}

uint32_t get_u32_at(const unsigned char* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint32_t get_u32(const unsigned char* buffer, size_t max, size_t& index) {
    need(max, index, 4);
    uint32_t v = get_u32_at(buffer + index);
    index += 4;
    return v;
}

uint16_t get_u16(const unsigned char* buffer, size_t max, size_t& index) {
    need(max, index, 2);
    uint16_t v = static_cast<uint16_t>(buffer[index] | (buffer[index + 1] << 8));
    index += 2;
    return v;
}

bool get_flag(const unsigned char* buffer, size_t max, size_t& index) {
    need(max, index, 1);
    return buffer[index++] != 0;
}

void get_u32_array(const unsigned char* buffer, size_t max, size_t& index, std::unique_ptr<uint32_t[]>& a,
                   uint32_t n, const char* null_text) {
    BRIX_CHECK(a == nullptr, null_text);
    if (n == 0)
        return;
    need(max, index, uint64_t{4} * n);
    a.reset(new uint32_t[n]);
    const unsigned char* p = buffer + index;
    for (uint32_t i = 0; i < n; ++i, p += 4)
        a[i] = get_u32_at(p);
    index += size_t{4} * n;
}

void get_rows(const unsigned char* buffer, size_t max, size_t& index, PGM_BYTE_ROWS& rows, uint32_t row_count,
              uint32_t row_bytes, const char* null_text) {
    BRIX_CHECK(rows == nullptr, null_text);
    if (row_count == 0 || row_bytes == 0)
        return;
    need(max, index, uint64_t{row_count} * row_bytes);
    rows.reset(new std::unique_ptr<unsigned char[]>[row_count]);
    for (uint32_t r = 0; r < row_count; ++r) {
        rows[r].reset(new unsigned char[row_bytes]);
        std::memcpy(rows[r].get(), buffer + index, row_bytes);
        index += row_bytes;
    }
}

// A record list: u32 count, then each record. Reading stops with a report as soon as a record runs past
// the payload, so a forged count costs no more than the bytes that are there.
template <typename LIST> void write_list(std::vector<unsigned char>& out, const LIST& list) {
    put_u32(out, static_cast<uint32_t>(list.size()));
    for (const auto& record : list)
        pgm_ddb_write(out, *record);
}

template <typename LIST> void read_list(const unsigned char* buffer, size_t max, size_t& index, LIST& list) {
    uint32_t count = get_u32(buffer, max, index);
    for (uint32_t i = 0; i < count; ++i) {
        auto record = std::make_unique<typename LIST::value_type::element_type>();
        pgm_ddb_read(buffer, max, index, *record);
        list.push_back(std::move(record));
    }
}

} // namespace

// ---- BRIX_FID
// -------------------------------------------------------------------------------------------------

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_FID& v) {
    put_u16(out, v.fid_version);
    for (uint32_t x : {v.img_frame_size, v.img_bit_size, v.bs_frame_size, v.bs_bit_size, v.edcrc_frame_size,
                       v.edcrc_bit_size, v.edcrc_bit_byte_size, v.family_constant_1, v.family_constant_2,
                       v.lutram_frame_offset, v.family_constant_3, v.lutram_frame_size, v.family_constant_4})
        put_u32(out, x);
    put_u32_array(out, v.img_to_bs_frame_mapping, v.img_frame_size, "v.img_to_bs_frame_mapping != NULL");
    put_u32_array(out, v.bs_to_img_frame_mapping, v.bs_frame_size, "v.bs_to_img_frame_mapping != NULL");
    put_u32_array(out, v.img_to_bs_bit_mapping, v.img_bit_size, "v.img_to_bs_bit_mapping != NULL");
    put_u32_array(out, v.bs_to_img_bit_mapping, v.bs_bit_size, "v.bs_to_img_bit_mapping != NULL");
    put_u32_array(out, v.img_to_edcrc_frame_mapping, v.img_frame_size,
                  "v.img_to_edcrc_frame_mapping != NULL");
    put_u32_array(out, v.edcrc_to_img_frame_mapping, v.edcrc_frame_size,
                  "v.edcrc_to_img_frame_mapping != NULL");
    put_u32_array(out, v.img_to_edcrc_bit_mapping, v.img_bit_size, "v.img_to_edcrc_bit_mapping != NULL");
    put_u32_array(out, v.edcrc_to_img_bit_mapping, v.edcrc_bit_size, "v.edcrc_to_img_bit_mapping != NULL");
    put_u32_array(out, v.edcrc_frame_types, v.edcrc_frame_size, "v.edcrc_frame_types != NULL");
    put_rows(out, v.edcrc_rmf, v.edcrc_frame_size, v.edcrc_bit_byte_size, "v.edcrc_rmf != NULL");
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_FID& v) {
    v.fid_version = get_u16(buffer, max, index);
    for (uint32_t* x :
         {&v.img_frame_size, &v.img_bit_size, &v.bs_frame_size, &v.bs_bit_size, &v.edcrc_frame_size,
          &v.edcrc_bit_size, &v.edcrc_bit_byte_size, &v.family_constant_1, &v.family_constant_2,
          &v.lutram_frame_offset, &v.family_constant_3, &v.lutram_frame_size, &v.family_constant_4})
        *x = get_u32(buffer, max, index);
    // Rows of the EDCRC RMF hold edcrc_bit_size bits when they are present.
    if (v.edcrc_bit_byte_size != 0 && uint64_t{v.edcrc_bit_byte_size} != (uint64_t{v.edcrc_bit_size} + 7) / 8)
        fail_at(2 + 6 * 4, "v.edcrc_bit_byte_size == (v.edcrc_bit_size + 7) / 8");
    get_u32_array(buffer, max, index, v.img_to_bs_frame_mapping, v.img_frame_size,
                  "v.img_to_bs_frame_mapping == NULL");
    get_u32_array(buffer, max, index, v.bs_to_img_frame_mapping, v.bs_frame_size,
                  "v.bs_to_img_frame_mapping == NULL");
    get_u32_array(buffer, max, index, v.img_to_bs_bit_mapping, v.img_bit_size,
                  "v.img_to_bs_bit_mapping == NULL");
    get_u32_array(buffer, max, index, v.bs_to_img_bit_mapping, v.bs_bit_size,
                  "v.bs_to_img_bit_mapping == NULL");
    get_u32_array(buffer, max, index, v.img_to_edcrc_frame_mapping, v.img_frame_size,
                  "v.img_to_edcrc_frame_mapping == NULL");
    get_u32_array(buffer, max, index, v.edcrc_to_img_frame_mapping, v.edcrc_frame_size,
                  "v.edcrc_to_img_frame_mapping == NULL");
    get_u32_array(buffer, max, index, v.img_to_edcrc_bit_mapping, v.img_bit_size,
                  "v.img_to_edcrc_bit_mapping == NULL");
    get_u32_array(buffer, max, index, v.edcrc_to_img_bit_mapping, v.edcrc_bit_size,
                  "v.edcrc_to_img_bit_mapping == NULL");
    get_u32_array(buffer, max, index, v.edcrc_frame_types, v.edcrc_frame_size, "v.edcrc_frame_types == NULL");
    get_rows(buffer, max, index, v.edcrc_rmf, v.edcrc_frame_size, v.edcrc_bit_byte_size,
             "v.edcrc_rmf == NULL");
}

// ---- BRIX_RBA_BLOCK
// -------------------------------------------------------------------------------------------

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK& v) {
    put_u32(out, v.type);
    put_u32(out, v.frame_size);
    put_u32(out, v.bit_size);
    put_u32(out, static_cast<uint32_t>(v.locations.size()));
    for (const auto& entry : v.locations) { // std::map: ascending frame_index
        put_u32(out, entry.first);
        put_u32(out, static_cast<uint32_t>(entry.second.size()));
        for (const BRIX_RBA_LOCATION& l : entry.second) {
            put_u32(out, l.bit_index);
            put_flag(out, l.frame_mirror);
            put_flag(out, l.bit_mirror);
        }
    }
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK& v) {
    v.type = get_u32(buffer, max, index);
    v.frame_size = get_u32(buffer, max, index);
    v.bit_size = get_u32(buffer, max, index);
    uint32_t entry_count = get_u32(buffer, max, index);
    for (uint32_t e = 0; e < entry_count; ++e) {
        uint32_t frame_index = get_u32(buffer, max, index);
        uint32_t location_count = get_u32(buffer, max, index);
        need(max, index, uint64_t{6} * location_count); // bit_index u32 + two flag bytes each
        std::vector<BRIX_RBA_LOCATION> list(location_count);
        for (BRIX_RBA_LOCATION& l : list) {
            l.bit_index = get_u32(buffer, max, index);
            l.frame_mirror = get_flag(buffer, max, index);
            l.bit_mirror = get_flag(buffer, max, index);
        }
        v.locations[frame_index] = std::move(list); // a repeated frame_index replaces the earlier list
    }
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK_LIST& list) {
    write_list(out, list);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK_LIST& list) {
    read_list(buffer, max, index, list);
}

// ---- BRIX_CRAM_MAP
// --------------------------------------------------------------------------------------------

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP& v) {
    put_u32(out, v.type);
    put_u32(out, v.frame_size);
    put_u32(out, v.bit_size);
    put_u32(out, v.bit_byte_size);
    put_rows(out, v.info, v.frame_size, v.bit_byte_size, "v.info != NULL");
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP& v) {
    v.type = get_u32(buffer, max, index);
    v.frame_size = get_u32(buffer, max, index);
    v.bit_size = get_u32(buffer, max, index);
    v.bit_byte_size = get_u32(buffer, max, index);
    // Users of the map read bit_size bits from each row: the row width must hold them.
    if (uint64_t{v.bit_byte_size} != (uint64_t{v.bit_size} + 7) / 8)
        fail_at(index - 4, "v.bit_byte_size == (v.bit_size + 7) / 8");
    get_rows(buffer, max, index, v.info, v.frame_size, v.bit_byte_size, "v.info == NULL");
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP_LIST& list) {
    write_list(out, list);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP_LIST& list) {
    read_list(buffer, max, index, list);
}
