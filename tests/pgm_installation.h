// A private installation for the programmer-database tests: the sample device table, an empty programmer
// directory and an empty pgm_db source directory, with helpers that write device databases built from
// records, PGM RBA databases and source files into it.
#pragma once

#include "brix_data_server.h"
#include "dev_db.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

class PGM_INSTALLATION {
  public:
    PGM_INSTALLATION() {
        std::filesystem::create_directories(m_dir.path() + "/devdb/programmer/fid");
        std::filesystem::create_directories(m_dir.path() + "/unshipped/pgm_db");
        std::filesystem::copy_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/device_table.json",
                                   m_dir.path() + "/devdb/device_table.json");
        m_path = std::make_unique<VANTREL_PATH_GUARD>(m_dir.path());
    }
    PGM_INSTALLATION(const PGM_INSTALLATION&) = delete;
    PGM_INSTALLATION& operator=(const PGM_INSTALLATION&) = delete;

    std::string path() const { return m_dir.path(); }
    std::string fid_dir() const { return m_dir.path() + "/devdb/programmer/fid/"; }
    std::string pgm_db_dir() const { return m_dir.path() + "/unshipped/pgm_db/"; }

    // Writes the device database of device (a PCF name) holding the given device record.
    void write_device(const std::string& device, BRIX_DEVICE_INFO* device_info) const {
        BRIX_INFO info;
        info.set_device_info(device_info);
        BRIX_DATA_SERVER::write_brix_info(device, &info, false);
    }
    // Writes the PGM RBA database of device.
    void write_rba(const std::string& device, const BRIX_RBA_BLOCK_LIST& blocks) const {
        std::vector<unsigned char> data;
        pgm_ddb_write(data, blocks);
        BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                                  "pgm_rba", device, device, fid_dir());
    }

  private:
    TEMP_DIR m_dir;
    std::unique_ptr<VANTREL_PATH_GUARD> m_path; // released before the directory
};

// Record builders for device fixtures; each result belongs to the caller (or to the list it is put in).
inline BRIX_PARAMETER* make_parameter(unsigned type, unsigned value) {
    auto* constants = new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(value, 0)};
    return new BRIX_PARAMETER(type, 1, BRIX_BLOCK_MAX, constants);
}

template <typename T> BRIX_ARG* make_arg(unsigned type, const std::vector<T>& values) {
    auto* bytes = new unsigned char[values.size() * sizeof(T)];
    std::memcpy(bytes, values.data(), values.size() * sizeof(T));
    auto* data = new BRIX_ARG_DATA_LIST{
        new BRIX_ARG_DATA(bytes, static_cast<unsigned>(values.size()), static_cast<unsigned>(sizeof(T)))};
    return new BRIX_ARG(type, BRIX_BLOCK_MAX, data);
}

// One RBA block with its placements: (frame_index, bit_index, frame_mirror, bit_mirror).
struct RBA_PLACEMENT {
    uint32_t frame_index;
    uint32_t bit_index;
    bool frame_mirror;
    bool bit_mirror;
};

inline std::unique_ptr<BRIX_RBA_BLOCK> make_rba_block(uint32_t type, uint32_t frame_size, uint32_t bit_size,
                                                      const std::vector<RBA_PLACEMENT>& placements) {
    auto block = std::make_unique<BRIX_RBA_BLOCK>();
    block->type = type;
    block->frame_size = frame_size;
    block->bit_size = bit_size;
    for (const RBA_PLACEMENT& p : placements)
        block->locations[p.frame_index].push_back({p.bit_index, p.frame_mirror, p.bit_mirror});
    return block;
}
