// Renders a BRIX database field by field (names, values, nulls, list order) as one string, so two trees can
// be compared whole. Shared by the database tests and the database fuzz target.
#pragma once

#include "brix_data_export.h"
#include "pdb_archive.h"
#include "records/pgm_brix__pdb.h"

#include <string>
#include <vector>

// Renders a database field by field (names, values, nulls, list order) for whole-tree comparisons.
class RENDER : public PDB_VISITOR {
  public:
    std::string text;
    void value_u32(const char* n, uint32_t v) override {
        text += std::string(n) + "=" + std::to_string(v) + ";";
    }
    void value_bool(const char* n, bool v) override { text += std::string(n) + (v ? "=T;" : "=F;"); }
    void value_u8(const char* n, uint8_t v) override {
        text += std::string(n) + "=" + std::to_string(v) + ";";
    }
    void value_u32_vector(const char* n, const std::vector<uint32_t>& v) override {
        text += std::string(n) + "[";
        for (uint32_t x : v)
            text += std::to_string(x) + ",";
        text += "];";
    }
    void value_bytes(const char* n, const unsigned char* d, uint32_t count) override {
        text += std::string(n) + (d ? "#" : "=null") + ";";
        for (uint32_t i = 0; d && i < count; ++i)
            text += std::to_string(d[i]) + ",";
    }
    void value_null(const char* n) override { text += std::string(n) + "=null;"; }
    void begin_record(const char* n, const PDB_CLASS_THUNK& t) override {
        text += std::string(n) + ":" + t.name + "{";
    }
    void end_record() override { text += "}"; }
    void begin_list(const char* n, uint32_t c) override {
        text += std::string(n) + "(" + std::to_string(c) + ":";
    }
    void end_list() override { text += ")"; }
};

inline std::string render(BRIX_INFO* info) {
    RENDER r;
    pdb_walk(BRIX_PDB::INFO, info, r);
    return r.text;
}
