#include "brix_pgm_dump.h"

#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "fio.h"
#include "msg_internal_error.h"

#include <cstdio>

namespace {

using JSON = nlohmann::ordered_json;

std::string hex_row(const unsigned char* row, uint32_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text(size_t{size} * 2, '0');
    for (uint32_t i = 0; i < size; ++i) {
        text[2 * i] = digits[row[i] >> 4];
        text[2 * i + 1] = digits[row[i] & 0x0F];
    }
    return text;
}

JSON hex_rows(const PGM_BYTE_ROWS& rows, uint32_t row_count, uint32_t row_bytes) {
    JSON out = JSON::array();
    if (rows)
        for (uint32_t r = 0; r < row_count; ++r)
            out.push_back(hex_row(rows[r].get(), row_bytes));
    return out;
}

JSON u32_array(const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
    JSON out = JSON::array();
    if (a)
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(a[i]);
    return out;
}

// Header text as it can always be shown: printable ASCII as it is, a backslash doubled, every other byte
// as \xNN. Text fields of a damaged file may hold any byte, and a dump must still print.
std::string escaped_text(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

std::string type_name(uint32_t type) {
    return type < PGM_RBA_MAX ? PGM_RBA_TYPE_NAMES[type] : "";
}

// Whole-file facts the reader does not hand out: the flag word, the compressed size, the stored CRC and the
// header bytes.
struct RAW_HEADER {
    uint32_t flag = 0;
    uint64_t compressed_size = 0;
    uint16_t crc16 = 0;
    std::vector<unsigned char> header;
};

RAW_HEADER read_raw_header(const std::string& path) {
    std::vector<unsigned char> file;
    RAW_HEADER h;
    if (FIO_FILE_SYSTEM::read_file(path, file) && file.size() > 98) {
        h.header.assign(file.begin(), file.begin() + 96);
        h.flag = uint32_t{file[16]} | uint32_t{file[17]} << 8 | uint32_t{file[18]} << 16 |
                 uint32_t{file[19]} << 24;
        h.compressed_size = file.size() - 98;
        h.crc16 = static_cast<uint16_t>(file[file.size() - 2] | file[file.size() - 1] << 8);
    }
    return h;
}

// What the format allows beyond what the reader needs: the content kind and the owner name are upper-case
// identifiers (A-Z, 0-9, _) and the reserved field is zero. The reader takes any bytes there; a file that a
// writer of the format cannot have made is refused by verification.
void check_header_fields(const std::vector<unsigned char>& header) {
    // The file was read twice; it may have changed in between.
    BRIX_CHECK(header.size() == 96, "file_size >= 99");
    struct TEXT_FIELD {
        size_t offset;
        size_t size;
        const char* text;
    };
    const TEXT_FIELD fields[] = {{0, 16, "Header file extension is not an upper-case identifier"},
                                 {64, 32, "Header name is not an upper-case identifier"}};
    for (const TEXT_FIELD& field : fields) {
        size_t i = field.offset;
        for (; i < field.offset + field.size && header[i] != 0; ++i) {
            const unsigned char c = header[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
                INPUT_CONTEXT here("byte " + std::to_string(i));
                BRIX_REPORT(field.text);
            }
        }
        if (i == field.offset) {
            INPUT_CONTEXT here("byte " + std::to_string(i));
            BRIX_REPORT(field.text);
        }
    }
    for (size_t i = 28; i < 64; ++i)
        if (header[i] != 0) {
            INPUT_CONTEXT here("byte " + std::to_string(i));
            BRIX_REPORT("Reserved header byte is not zero");
        }
}

void check_consumed(size_t index, uint32_t raw_size) {
    if (index != raw_size) {
        INPUT_CONTEXT here("payload byte " + std::to_string(index));
        BRIX_REPORT("index == uncompressed_size");
    }
}

JSON rba_to_json(const BRIX_RBA_BLOCK_LIST& list) {
    JSON blocks = JSON::array();
    for (const auto& b : list) {
        JSON locations = JSON::array();
        for (const auto& entry : b->locations) {
            JSON placements = JSON::array();
            for (const BRIX_RBA_LOCATION& l : entry.second)
                placements.push_back({{"bit_index", l.bit_index},
                                      {"frame_mirror", l.frame_mirror},
                                      {"bit_mirror", l.bit_mirror}});
            locations.push_back({{"frame_index", entry.first}, {"placements", std::move(placements)}});
        }
        blocks.push_back({{"type", b->type},
                          {"type_name", type_name(b->type)},
                          {"frame_size", b->frame_size},
                          {"bit_size", b->bit_size},
                          {"locations", std::move(locations)}});
    }
    return blocks;
}

JSON cram_map_to_json(unsigned char flags, const BRIX_CRAM_MAP_LIST& list) {
    JSON maps = JSON::array();
    for (const auto& m : list)
        maps.push_back({{"type", m->type},
                        {"type_name", type_name(m->type)},
                        {"frame_size", m->frame_size},
                        {"bit_size", m->bit_size},
                        {"bit_byte_size", m->bit_byte_size},
                        {"info", hex_rows(m->info, m->frame_size, m->bit_byte_size)}});
    return {{"flags", flags},
            {"col_as_frame", (flags & 1) != 0},
            {"keep_column_order", (flags & 2) != 0},
            {"keep_row_order", (flags & 4) != 0},
            {"maps", std::move(maps)}};
}

JSON fid_to_json(const BRIX_FID& f) {
    return {{"fid_version", f.fid_version},
            {"img_frame_size", f.img_frame_size},
            {"img_bit_size", f.img_bit_size},
            {"bs_frame_size", f.bs_frame_size},
            {"bs_bit_size", f.bs_bit_size},
            {"edcrc_frame_size", f.edcrc_frame_size},
            {"edcrc_bit_size", f.edcrc_bit_size},
            {"edcrc_bit_byte_size", f.edcrc_bit_byte_size},
            {"family_constant_1", f.family_constant_1},
            {"family_constant_2", f.family_constant_2},
            {"lutram_frame_offset", f.lutram_frame_offset},
            {"family_constant_3", f.family_constant_3},
            {"lutram_frame_size", f.lutram_frame_size},
            {"family_constant_4", f.family_constant_4},
            {"img_to_bs_frame_mapping", u32_array(f.img_to_bs_frame_mapping, f.img_frame_size)},
            {"bs_to_img_frame_mapping", u32_array(f.bs_to_img_frame_mapping, f.bs_frame_size)},
            {"img_to_bs_bit_mapping", u32_array(f.img_to_bs_bit_mapping, f.img_bit_size)},
            {"bs_to_img_bit_mapping", u32_array(f.bs_to_img_bit_mapping, f.bs_bit_size)},
            {"img_to_edcrc_frame_mapping", u32_array(f.img_to_edcrc_frame_mapping, f.img_frame_size)},
            {"edcrc_to_img_frame_mapping", u32_array(f.edcrc_to_img_frame_mapping, f.edcrc_frame_size)},
            {"img_to_edcrc_bit_mapping", u32_array(f.img_to_edcrc_bit_mapping, f.img_bit_size)},
            {"edcrc_to_img_bit_mapping", u32_array(f.edcrc_to_img_bit_mapping, f.edcrc_bit_size)},
            {"edcrc_frame_types", u32_array(f.edcrc_frame_types, f.edcrc_frame_size)},
            {"edcrc_rmf", hex_rows(f.edcrc_rmf, f.edcrc_frame_size, f.edcrc_bit_byte_size)}};
}

// Reads the container and its records; fills the JSON when asked. Verification (a summary asked for) also
// checks the header fields the reader leaves alone. Every failure is a report.
JSON read_container(const std::string& path, bool records_as_json, std::string* summary) {
    uint32_t version = 0, raw_size = 0;
    std::string kind, name;
    std::unique_ptr<unsigned char[]> data =
        BRIX_DATA_SERVER::read_pgm_database_file(path, version, kind, name, raw_size);
    RAW_HEADER raw = read_raw_header(path);
    JSON out;
    out["kind"] = "PGM container"; // the path is left out so that dumps of two files compare cleanly
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04x", raw.crc16);
    out["header"] = {{"file_extension", escaped_text(kind)},
                     {"flag", raw.flag},
                     {"raw_data_size", raw_size},
                     {"version", version},
                     {"name", escaped_text(name)},
                     {"compressed_size", raw.compressed_size},
                     {"crc16", crc}};
    INPUT_CONTEXT here(path);
    if (summary)
        check_header_fields(raw.header);
    size_t index = 0;
    std::string records;
    if (kind == "PGM_RBA") {
        BRIX_RBA_BLOCK_LIST list;
        pgm_ddb_read(data.get(), raw_size, index, list);
        check_consumed(index, raw_size);
        records = std::to_string(list.size()) + " blocks";
        if (records_as_json)
            out["pgm_rba"] = rba_to_json(list);
    } else if (kind == "CRAM_MAP") {
        unsigned char flags = data[0];
        BRIX_CRAM_MAP_LIST list;
        index = 1;
        pgm_ddb_read(data.get(), raw_size, index, list);
        check_consumed(index, raw_size);
        records = std::to_string(list.size()) + " maps";
        if (records_as_json)
            out["cram_map"] = cram_map_to_json(flags, list);
    } else if (kind == "FID") {
        BRIX_FID fid;
        pgm_ddb_read(data.get(), raw_size, index, fid);
        check_consumed(index, raw_size);
        records = "one FID";
        if (records_as_json)
            out["fid"] = fid_to_json(fid);
    } else {
        BRIX_REPORT("Unknown container kind " + escaped_text(kind));
    }
    if (summary)
        *summary = kind + " " + name + ", version " + std::to_string(version) + ": " + records + " in " +
                   std::to_string(raw_size) + " payload bytes (" + std::to_string(raw.compressed_size) +
                   " compressed)";
    return out;
}

} // namespace

nlohmann::ordered_json pgm_container_to_json(const std::string& path) {
    return read_container(path, true, nullptr);
}

bool pgm_container_verify(const std::string& path, std::string& reason) {
    try {
        std::string summary;
        JSON header = read_container(path, false, &summary);
        uint32_t version = header["header"]["version"];
        if (version != 1) {
            reason = "version == 1 (" + path + ")";
            return false;
        }
        reason = summary;
        return true;
    } catch (const BRIX_INTERNAL_ERROR& e) {
        reason = e.condition();
        std::string where;
        for (const std::string& frame : e.context())
            where += (where.empty() ? "" : ", ") + frame;
        if (!where.empty())
            reason += " (" + where + ")";
        return false;
    }
}
