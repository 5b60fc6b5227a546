#include "inspect/brix_pgm_dump.h"

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

// What the format allows beyond what the reader needs: the content kind and the owner name are upper-case
// identifiers (A-Z, 0-9, _) and the reserved field is zero. The reader takes any bytes there; a file that a
// writer of the format cannot have made is refused by verification.
void check_header_fields(const std::vector<unsigned char>& header) {
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

// Builds one record's JSON object from its field list: scalars as numbers (a block type also by name), u32
// arrays as arrays, bit rows as hexadecimal text, placements as a list per frame.
struct JSON_PRINTER {
    JSON out = JSON::object();

    void u16(const char* name, uint16_t v) { out[name] = v; }
    void u32(const char* name, uint32_t v) {
        out[name] = v;
        if (std::string(name) == "type")
            out["type_name"] = v < PGM_RBA_MAX ? PGM_RBA_TYPE_NAMES[v] : "";
    }
    void row_width(const char*, uint32_t, const char*, uint32_t, size_t, bool) {}
    void u32_array(const char* name, const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
        JSON values = JSON::array();
        if (a)
            for (uint32_t i = 0; i < n; ++i)
                values.push_back(a[i]);
        out[name] = std::move(values);
    }
    void rows(const char* name, const PGM_BYTE_ROWS& rows, uint32_t count, uint32_t bytes) {
        JSON values = JSON::array();
        if (rows)
            for (uint32_t r = 0; r < count; ++r)
                values.push_back(hex_row(rows[r].get(), bytes));
        out[name] = std::move(values);
    }
    void locations(const char* name, const std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>>& map) {
        JSON entries = JSON::array();
        for (const auto& entry : map) {
            JSON placements = JSON::array();
            for (const BRIX_RBA_LOCATION& l : entry.second)
                placements.push_back({{"bit_index", l.bit_index},
                                      {"frame_mirror", l.frame_mirror},
                                      {"bit_mirror", l.bit_mirror}});
            entries.push_back({{"frame_index", entry.first}, {"placements", std::move(placements)}});
        }
        out[name] = std::move(entries);
    }
};

template <typename RECORD> JSON record_to_json(const RECORD& record) {
    JSON_PRINTER printer;
    pgm_visit(printer, record);
    return std::move(printer.out);
}

template <typename LIST> JSON list_to_json(const LIST& list) {
    JSON records = JSON::array();
    for (const auto& record : list)
        records.push_back(record_to_json(*record));
    return records;
}

// Reads the container and its records through the look-ups' read path; fills the JSON when asked.
// Verification (a summary asked for) also checks the header fields the reader leaves alone. Every failure is
// a report.
JSON read_container(const std::string& path, bool records_as_json, std::string* summary) {
    PGM_CONTAINER_FILE file = BRIX_DATA_SERVER::read_pgm_container(path);
    const std::string& kind = file.file_extension;
    const unsigned char* data = file.payload.get();
    const uint32_t raw_size = file.raw_size;
    JSON out;
    out["kind"] = "PGM container"; // the path is left out so that dumps of two files compare cleanly
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04x", file.crc16);
    out["header"] = {{"file_extension", escaped_text(kind)},
                     {"flag", file.flag},
                     {"raw_data_size", raw_size},
                     {"version", file.version},
                     {"name", escaped_text(file.name)},
                     {"compressed_size", file.compressed_size},
                     {"crc16", crc}};
    INPUT_CONTEXT here(path);
    if (summary)
        check_header_fields(file.header);
    size_t index = 0;
    std::string records;
    if (kind == "PGM_RBA") {
        BRIX_RBA_BLOCK_LIST list;
        pgm_ddb_read(data, raw_size, index, list);
        pgm_ddb_check_consumed(index, raw_size);
        records = std::to_string(list.size()) + " blocks";
        if (records_as_json)
            out["pgm_rba"] = list_to_json(list);
    } else if (kind == "CRAM_MAP") {
        unsigned char flags = data[0];
        BRIX_CRAM_MAP_LIST list;
        index = 1;
        pgm_ddb_read(data, raw_size, index, list);
        pgm_ddb_check_consumed(index, raw_size);
        records = std::to_string(list.size()) + " maps";
        if (records_as_json)
            out["cram_map"] = {{"flags", flags},
                               {"col_as_frame", (flags & 1) != 0},
                               {"keep_column_order", (flags & 2) != 0},
                               {"keep_row_order", (flags & 4) != 0},
                               {"maps", list_to_json(list)}};
    } else if (kind == "FID") {
        BRIX_FID fid;
        pgm_ddb_read(data, raw_size, index, fid);
        pgm_ddb_check_consumed(index, raw_size);
        records = "one FID";
        if (records_as_json)
            out["fid"] = record_to_json(fid);
    } else {
        BRIX_REPORT("Unknown container kind " + escaped_text(kind));
    }
    if (summary)
        *summary = kind + " " + file.name + ", version " + std::to_string(file.version) + ": " + records +
                   " in " + std::to_string(raw_size) + " payload bytes (" +
                   std::to_string(file.compressed_size) + " compressed)";
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
        reason = e.one_line();
        return false;
    }
}
