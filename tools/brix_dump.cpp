// brix_dump: prints a database file as JSON, or verifies it.
//
//   brix_dump [--skip-rif] FILE    print FILE as JSON on standard output
//   brix_dump --verify FILE        check FILE; exit 0 or 1 with a one-line reason
//   brix_dump --check-maps FILE    check a device database's maps against their reverses; exit 0 or 1
//   brix_dump --image OUT.png [--max-side N] FILE
//                                  draw FILE's maps as PNG pictures and print their legend
//   brix_dump --diff [--max N] A B field-by-field difference of two files of one kind; exit 0 identical,
//                                  1 different, 2 cannot compare
//
// Each kind of file (chosen by its extension) has its own print and verify functions in FILE_KINDS.
#include "brix_data_server.h"
#include "gen.h"
#include "inspect/brix_check_maps.h"
#include "inspect/brix_pgm_dump.h"
#include "inspect/database_diff.h"
#include "inspect/map_image.h"
#include "msg_internal_error.h"
#include "records/pgm_brix__pdb.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using JSON = nlohmann::ordered_json;

struct OPTIONS {
    bool verify = false;
    bool check_maps = false;
    bool skip_rif = false;
    std::string image; // --image: the picture's path
    uint32_t max_side = PICTURE_DEFAULT_MAX_SIDE;
    bool diff = false;
    uint32_t max_differences = 20;
    std::string file;
    std::string second_file; // --diff only
};

// ---- BRIX databases ------------------------------------------------------------------------------------

std::string hex(const unsigned char* data, uint32_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text(size_t(count) * 2, '0');
    for (uint32_t i = 0; i < count; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 15];
    }
    return text;
}

// Builds the JSON tree of a database from a walk over its records: records are objects with their fields
// under their member names, lists are arrays.
class JSON_BUILDER : public PDB_VISITOR {
  public:
    JSON root;

    void value_u32(const char* name, uint32_t v) override {
        if (const BRIX_ENUM_DESCRIPTOR* e = brix_field_enumeration(name)) {
            JSON value = {{"value", v}, {"name", v < e->count ? JSON(e->names[v]) : JSON(nullptr)}};
            put(name, std::move(value));
        } else {
            put(name, v);
        }
    }
    void value_bool(const char* name, bool v) override { put(name, v); }
    void value_u8(const char* name, uint8_t v) override { put(name, v); }
    void value_u32_vector(const char* name, const std::vector<uint32_t>& v) override { put(name, v); }
    void value_bytes(const char* name, const unsigned char* data, uint32_t count) override {
        put(name, data ? JSON(hex(data, count)) : JSON(nullptr));
    }
    void value_null(const char* name) override { put(name, nullptr); }
    void begin_record(const char* name, const PDB_CLASS_THUNK&) override {
        m_stack.push_back(put(name, JSON::object()));
    }
    void end_record() override { m_stack.pop_back(); }
    void begin_list(const char* name, uint32_t) override { m_stack.push_back(put(name, JSON::array())); }
    void end_list() override { m_stack.pop_back(); }

  private:
    JSON* put(const char* name, JSON value) {
        if (m_stack.empty()) {
            root = std::move(value);
            return &root;
        }
        JSON& parent = *m_stack.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        JSON& slot = parent[name];
        slot = std::move(value);
        return &slot;
    }
    std::vector<JSON*> m_stack;
};

// The rows of a device's argument tables as numbers of their unit size (little-endian units) instead of hex
// bytes, so a map reads entry by entry.
void decode_argument_rows(JSON& info) {
    if (!info.contains("m_device_info") || !info["m_device_info"].is_object())
        return;
    JSON& arguments = info["m_device_info"]["m_arguments"];
    if (!arguments.is_array())
        return;
    for (JSON& argument : arguments) {
        if (!argument.is_object() || !argument["m_data"].is_array())
            continue;
        for (JSON& row : argument["m_data"]) {
            if (!row.is_object() || !row["m_data"].is_string())
                continue;
            const std::string text = row["m_data"].get<std::string>();
            const uint32_t units = row["m_data_size"].get<uint32_t>();
            const uint32_t unit_size = row["m_unit_size"].get<uint32_t>();
            if ((unit_size != 1 && unit_size != 2 && unit_size != 4) ||
                text.size() != size_t(units) * unit_size * 2)
                continue; // left as hex: the sizes do not describe the bytes
            JSON values = JSON::array();
            for (size_t u = 0; u < units; ++u) {
                uint32_t value = 0;
                for (uint32_t b = 0; b < unit_size; ++b) {
                    const size_t at = (u * unit_size + b) * 2;
                    value |= uint32_t(std::stoul(text.substr(at, 2), nullptr, 16)) << (8 * b);
                }
                values.push_back(value);
            }
            row["m_data"] = std::move(values);
        }
    }
}

// Replaces every array of numbers by a placeholder string and remembers its one-line text.
void collect_number_arrays(JSON& node, std::vector<std::string>& lines) {
    if (node.is_array()) {
        bool numbers = !node.empty();
        for (const JSON& element : node)
            numbers = numbers && element.is_number();
        if (numbers) {
            lines.push_back(node.dump());
            node = "\x01" + std::to_string(lines.size() - 1) + "\x01";
            return;
        }
    }
    if (node.is_structured())
        for (JSON& element : node)
            collect_number_arrays(element, lines);
}

// The document indented, with every array of numbers on one line (a map of 16,000 entries is one line, not
// 16,000).
std::string dump_with_number_arrays_on_one_line(JSON document) {
    std::vector<std::string> lines;
    collect_number_arrays(document, lines);
    std::string text = document.dump(2);
    std::string out;
    out.reserve(text.size());
    const std::string mark = "\"\\u0001";
    size_t at = 0;
    for (;;) {
        const size_t found = text.find(mark, at);
        if (found == std::string::npos)
            break;
        const size_t digits = found + mark.size();
        const size_t end = text.find("\\u0001\"", digits);
        out.append(text, at, found - at);
        out += lines[std::stoul(text.substr(digits, end - digits))];
        at = end + mark.size();
    }
    out.append(text, at, std::string::npos);
    return out;
}

int dump_brix_database(const OPTIONS& options) {
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(options.file, options.skip_rif));
    JSON_BUILDER builder;
    pdb_walk(BRIX_PDB::INFO, info.get(), builder);
    decode_argument_rows(builder.root);
    JSON document = {{"kind", "BRIX database"}, {"BRIX_INFO", builder.root}};
    std::cout << dump_with_number_arrays_on_one_line(std::move(document)) << "\n";
    return 0;
}

int check_brix_maps(const OPTIONS& options) {
    // The whole database, part files included: a damaged part fails the check like a damaged map.
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(options.file, false));
    if (!info || info->get_device_info() == nullptr) {
        std::cout << "FAIL: " << options.file << ": not a device database\n";
        return 1;
    }
    BRIX_MAP_CHECK_RESULT result = check_device_maps(info->get_device_info());
    if (!result.ok) {
        std::cout << "FAIL: " << options.file << ": " << result.failure << "\n";
        return 1;
    }
    std::cout << "OK: " << options.file << ": " << result.pairs_checked << " map pairs agree\n";
    return 0;
}

int verify_brix_database(const OPTIONS& options) {
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(options.file, false));
    if (!info) {
        std::cout << "FAIL: " << options.file << ": the archive holds no database\n";
        return 1;
    }
    std::string what = info->get_family_info() ? "family database" : "device database";
    if (BRIX_DEVICE_INFO* device = info->get_device_info()) {
        if (device->get_g2_s2_thread_size() > 0)
            what += " with " + std::to_string(device->get_g2_s2_thread_size()) + " part files";
    }
    std::cout << "OK: " << options.file << ": " << what << "\n";
    return 0;
}

// ---- Programmer container files (PGM RBA, CRAM map, FID) ---------------------------------------------

int dump_pgm_container(const OPTIONS& options) {
    std::cout << pgm_container_to_json(options.file).dump(2) << "\n";
    return 0;
}

int verify_pgm_container(const OPTIONS& options) {
    std::string reason;
    if (!pgm_container_verify(options.file, reason)) {
        std::cout << "FAIL: " << reason << "\n";
        return 1;
    }
    std::cout << "OK: " << options.file << ": " << reason << "\n";
    return 0;
}

// ---- Dispatch by file kind -----------------------------------------------------------------------------

struct FILE_KIND {
    const char* extension; // lower case, with the dot
    int (*dump)(const OPTIONS&);
    int (*verify)(const OPTIONS&);
    int (*check_maps)(const OPTIONS&); // null: the kind holds no maps
};

const FILE_KIND FILE_KINDS[] = {
    {".ddb", dump_brix_database, verify_brix_database, check_brix_maps},
    {".pgm_rba", dump_pgm_container, verify_pgm_container, nullptr},
    {".cram_map", dump_pgm_container, verify_pgm_container, nullptr},
    {".fid", dump_pgm_container, verify_pgm_container, nullptr},
};

const FILE_KIND* kind_of(const std::string& file) {
    const std::string lower = stl_lower(file);
    for (const FILE_KIND& kind : FILE_KINDS) {
        const size_t n = std::strlen(kind.extension);
        if (lower.size() > n && lower.compare(lower.size() - n, n, kind.extension) == 0)
            return &kind;
    }
    return nullptr;
}

int usage() {
    std::cerr
        << "Usage: brix_dump [--skip-rif] FILE\n"
           "       brix_dump --verify FILE\n"
           "       brix_dump --check-maps FILE\n"
           "       brix_dump --image OUT.png [--max-side N] FILE\n"
           "       brix_dump --diff [--max N] A B\n"
           "FILE: a BRIX database (.ddb; its part files are read beside it), or a programmer container\n"
           "      (.pgm_rba, .cram_map, .fid); --image also draws phantom images (.img, .img.gz).\n";
    return 2;
}

// A whole number option value; false when it is not one.
bool parse_count(const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFul)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

int run_image(const OPTIONS& options) {
    write_map_images(options.file, options.image, options.max_side, std::cout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    OPTIONS options;
    bool max_side_given = false, max_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--verify")
            options.verify = true;
        else if (arg == "--check-maps")
            options.check_maps = true;
        else if (arg == "--skip-rif")
            options.skip_rif = true;
        else if (arg == "--diff")
            options.diff = true;
        else if (arg == "--image" && i + 1 < argc && argv[i + 1][0] != '\0')
            options.image = argv[++i];
        else if (arg == "--max-side" && i + 1 < argc && parse_count(argv[i + 1], options.max_side))
            max_side_given = ++i > 0;
        else if (arg == "--max" && i + 1 < argc && parse_count(argv[i + 1], options.max_differences))
            max_given = ++i > 0;
        else if (arg.size() > 1 && arg[0] == '-')
            return usage();
        else if (options.file.empty())
            options.file = arg;
        else if (options.diff && options.second_file.empty())
            options.second_file = arg;
        else
            return usage();
    }
    const bool image = !options.image.empty();
    if (options.file.empty() || int(options.verify) + int(options.skip_rif) + int(options.check_maps) +
                                        int(image) + int(options.diff) >
                                    1)
        return usage();
    if ((max_side_given && !image) || (max_given && !options.diff) ||
        (options.diff && options.second_file.empty()))
        return usage();
    if (options.diff)
        return diff_files(options.file, options.second_file, options.max_differences, std::cout);
    if (image)
        return MSG_INTERNAL_ERROR::run_main([&] { return run_image(options); });
    const FILE_KIND* kind = kind_of(options.file);
    if (!kind) {
        std::cerr << "brix_dump: " << options.file << ": unknown kind of file\n";
        return usage();
    }
    if (options.check_maps && kind->check_maps == nullptr) {
        std::cerr << "brix_dump: " << options.file << ": --check-maps reads device databases (.ddb)\n";
        return usage();
    }
    // Every failure, a report or any other exception, ends with exit status 1: in verification and the map
    // check as the one-line reason, otherwise as the printed report.
    return MSG_INTERNAL_ERROR::run_main(
        [&] {
            if (options.check_maps)
                return kind->check_maps(options);
            return options.verify ? kind->verify(options) : kind->dump(options);
        },
        [&](const BRIX_INTERNAL_ERROR& e) {
            if (!options.verify && !options.check_maps) {
                MSG_INTERNAL_ERROR::print(e);
                return;
            }
            std::string line = "FAIL: " + e.condition();
            if (!e.context().empty())
                line += " (" + e.context().back() + ")";
            std::cout << line << "\n";
        });
}
