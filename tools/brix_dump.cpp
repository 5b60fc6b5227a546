// brix_dump: prints a database file as JSON, or verifies it.
//
//   brix_dump [--skip-rif] FILE    print FILE as JSON on standard output
//   brix_dump --verify FILE        check FILE; exit 0 or 1 with a one-line reason
//
// Each kind of file (chosen by its extension) has its own print and verify functions in FILE_KINDS.
#include "brix_data_server.h"
#include "brix_pgm_dump.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgm_brix__pdb.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using JSON = nlohmann::ordered_json;

struct OPTIONS {
    bool verify = false;
    bool skip_rif = false;
    std::string file;
};

// ---- BRIX databases ------------------------------------------------------------------------------------

// The enumeration each type field names its value in.
const BRIX_ENUM_DESCRIPTOR* enumeration_of(const char* field) {
    static const struct {
        const char* field;
        BRIX_ENUM_TYPE type;
    } table[] = {
        {"m_family_type", BRIX_ENUM_TYPE_FAMILY},       {"m_device_type", BRIX_ENUM_TYPE_DEVICE},
        {"m_block_type", BRIX_ENUM_TYPE_BLOCK},         {"m_link_block", BRIX_ENUM_TYPE_BLOCK},
        {"m_frame_type", BRIX_ENUM_TYPE_FRAME},         {"m_instruction_type", BRIX_ENUM_TYPE_INSTRUCTION},
        {"m_dyn_data_type", BRIX_ENUM_TYPE_DYN_DATA},   {"m_ob_data_type", BRIX_ENUM_TYPE_OB_DATA},
        {"m_parameter_type", BRIX_ENUM_TYPE_PARAMETER}, {"m_arg_type", BRIX_ENUM_TYPE_ARGUMENT},
    };
    for (const auto& row : table)
        if (std::strcmp(row.field, field) == 0)
            return &BRIX_ENUM_DESCRIPTORS[row.type];
    return nullptr;
}

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
        if (const BRIX_ENUM_DESCRIPTOR* e = enumeration_of(name)) {
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

int dump_brix_database(const OPTIONS& options) {
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(options.file, options.skip_rif));
    JSON_BUILDER builder;
    pdb_walk(BRIX_PDB::INFO, info.get(), builder);
    JSON document = {{"kind", "BRIX database"}, {"BRIX_INFO", builder.root}};
    std::cout << document.dump(2) << "\n";
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
};

const FILE_KIND FILE_KINDS[] = {
    {".ddb", dump_brix_database, verify_brix_database},
    {".pgm_rba", dump_pgm_container, verify_pgm_container},
    {".cram_map", dump_pgm_container, verify_pgm_container},
    {".fid", dump_pgm_container, verify_pgm_container},
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
           "FILE: a BRIX database (.ddb; its part files are read beside it), or a programmer container\n"
           "      (.pgm_rba, .cram_map, .fid).\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    OPTIONS options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--verify")
            options.verify = true;
        else if (arg == "--skip-rif")
            options.skip_rif = true;
        else if (arg.size() > 1 && arg[0] == '-')
            return usage();
        else if (options.file.empty())
            options.file = arg;
        else
            return usage();
    }
    if (options.file.empty() || (options.verify && options.skip_rif))
        return usage();
    const FILE_KIND* kind = kind_of(options.file);
    if (!kind) {
        std::cerr << "brix_dump: " << options.file << ": unknown kind of file\n";
        return usage();
    }
    // Every failure, a report or any other exception, ends with exit status 1: in verification as the
    // one-line reason, otherwise as the printed report.
    return MSG_INTERNAL_ERROR::run_main(
        [&] { return options.verify ? kind->verify(options) : kind->dump(options); },
        [&](const BRIX_INTERNAL_ERROR& e) {
            if (!options.verify) {
                MSG_INTERNAL_ERROR::print(e);
                return;
            }
            std::string line = "FAIL: " + e.condition();
            if (!e.context().empty())
                line += " (" + e.context().back() + ")";
            std::cout << line << "\n";
        });
}
