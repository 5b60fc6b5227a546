#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include "byte_codec.h"
#include "msg_internal_error.h"

#include <cstring>
#include <string>

namespace {

std::string null_text(const char* name, bool present) {
    return std::string("v.") + name + (present ? " != NULL" : " == NULL");
}

// Appends the fields of a record to a byte vector.
struct PGM_WRITER {
    std::vector<unsigned char>& out;

    void u16(const char*, uint16_t v) { append_le16(out, v); }
    void u32(const char*, uint32_t v) { append_le32(out, v); }
    void row_width(const char*, uint32_t, const char*, uint32_t, size_t, bool) {}
    void u32_array(const char* name, const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
        if (n == 0)
            return;
        BRIX_CHECK(a != nullptr, null_text(name, true));
        append_le32_array(out, a.get(), n);
    }
    void rows(const char* name, const PGM_BYTE_ROWS& rows, uint32_t count, uint32_t bytes) {
        if (count == 0 || bytes == 0)
            return;
        BRIX_CHECK(rows != nullptr, null_text(name, true));
        out.reserve(out.size() + size_t{count} * bytes);
        for (uint32_t r = 0; r < count; ++r) {
            BRIX_CHECK(rows[r] != nullptr, null_text(name, true));
            out.insert(out.end(), rows[r].get(), rows[r].get() + bytes);
        }
    }
    void locations(const char*, const std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>>& map) {
        append_le32(out, static_cast<uint32_t>(map.size()));
        for (const auto& entry : map) { // ascending frame_index
            append_le32(out, entry.first);
            append_le32(out, static_cast<uint32_t>(entry.second.size()));
            for (const BRIX_RBA_LOCATION& l : entry.second) {
                append_le32(out, l.bit_index);
                out.push_back(l.frame_mirror ? 1 : 0);
                out.push_back(l.bit_mirror ? 1 : 0);
            }
        }
    }
};

// Reads the fields of a record; every length is checked against the bytes left before it is allocated.
struct PGM_READER {
    BYTE_READER in;
    size_t record_start;

    PGM_READER(const unsigned char* buffer, size_t max, size_t& index)
        : in(buffer, max, index), record_start(index) {}

    void u16(const char*, uint16_t& v) { v = in.u16(); }
    void u32(const char*, uint32_t& v) { v = in.u32(); }
    // Users of the rows read `bits` bits from each: the width must hold them.
    void row_width(const char* bytes_name, uint32_t bytes, const char* bits_name, uint32_t bits,
                   size_t offset, bool zero_allowed) {
        if ((bytes != 0 || !zero_allowed) && uint64_t{bytes} != (uint64_t{bits} + 7) / 8)
            in.fail_at(record_start + offset,
                       std::string("v.") + bytes_name + " == (v." + bits_name + " + 7) / 8");
    }
    void u32_array(const char* name, std::unique_ptr<uint32_t[]>& a, uint32_t n) {
        BRIX_CHECK(a == nullptr, null_text(name, false));
        if (n == 0)
            return;
        in.need(uint64_t{4} * n);
        a.reset(new uint32_t[n]);
        get_le32_array(a.get(), in.take(uint64_t{4} * n), n);
    }
    void rows(const char* name, PGM_BYTE_ROWS& rows, uint32_t count, uint32_t bytes) {
        BRIX_CHECK(rows == nullptr, null_text(name, false));
        if (count == 0 || bytes == 0)
            return;
        in.need(uint64_t{count} * bytes);
        rows.reset(new std::unique_ptr<unsigned char[]>[count]);
        for (uint32_t r = 0; r < count; ++r) {
            rows[r].reset(new unsigned char[bytes]);
            std::memcpy(rows[r].get(), in.take(bytes), bytes);
        }
    }
    void locations(const char*, std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>>& map) {
        uint32_t entry_count = in.u32();
        for (uint32_t e = 0; e < entry_count; ++e) {
            uint32_t frame_index = in.u32();
            uint32_t location_count = in.u32();
            in.need(uint64_t{6} * location_count); // bit_index u32 + two flag bytes each
            std::vector<BRIX_RBA_LOCATION> list(location_count);
            for (BRIX_RBA_LOCATION& l : list) {
                l.bit_index = in.u32();
                l.frame_mirror = in.u8() != 0;
                l.bit_mirror = in.u8() != 0;
            }
            map[frame_index] = std::move(list); // a repeated frame_index replaces the earlier list
        }
    }
};

template <typename RECORD> void write_record(std::vector<unsigned char>& out, const RECORD& v) {
    PGM_WRITER writer{out};
    pgm_visit(writer, v);
}

template <typename RECORD>
void read_record(const unsigned char* buffer, size_t max, size_t& index, RECORD& v) {
    PGM_READER reader(buffer, max, index);
    pgm_visit(reader, v);
}

// A record list: u32 count, then each record. Reading stops with a report as soon as a record runs past
// the payload, so a forged count costs no more than the bytes that are there.
template <typename LIST> void write_list(std::vector<unsigned char>& out, const LIST& list) {
    append_le32(out, static_cast<uint32_t>(list.size()));
    for (const auto& record : list)
        write_record(out, *record);
}

template <typename LIST> void read_list(const unsigned char* buffer, size_t max, size_t& index, LIST& list) {
    uint32_t count = BYTE_READER(buffer, max, index).u32();
    for (uint32_t i = 0; i < count; ++i) {
        auto record = std::make_unique<typename LIST::value_type::element_type>();
        read_record(buffer, max, index, *record);
        list.push_back(std::move(record));
    }
}

} // namespace

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_FID& v) {
    write_record(out, v);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_FID& v) {
    read_record(buffer, max, index, v);
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK& v) {
    write_record(out, v);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK& v) {
    read_record(buffer, max, index, v);
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP& v) {
    write_record(out, v);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP& v) {
    read_record(buffer, max, index, v);
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_RBA_BLOCK_LIST& list) {
    write_list(out, list);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_RBA_BLOCK_LIST& list) {
    read_list(buffer, max, index, list);
}

void pgm_ddb_write(std::vector<unsigned char>& out, const BRIX_CRAM_MAP_LIST& list) {
    write_list(out, list);
}

void pgm_ddb_read(const unsigned char* buffer, size_t max, size_t& index, BRIX_CRAM_MAP_LIST& list) {
    read_list(buffer, max, index, list);
}

void pgm_ddb_check_consumed(size_t index, size_t size) {
    if (index != size) {
        INPUT_CONTEXT here("payload byte " + std::to_string(index));
        BRIX_REPORT("index == uncompressed_size");
    }
}
