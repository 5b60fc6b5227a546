// Fuzz target: the programmer container files and their record readers.
//
// The first byte chooses what the rest of the input is (low two bits) and the content kind (the next bits:
// FID, PGM RBA, CRAM map):
//   0  a whole container file, read through the kind's look-up as it is;
//   1  the same with its CRC-16 trailer repaired, so the header and the payload checks are reached;
//   2  a payload, written as a valid container of the kind by the writer and read back by the look-up;
//   3  a payload handed straight to every record reader.
#include "brix_data_server.h"
#include "fuzz_support.h"
#include "pgm_common.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <string>
#include <vector>

namespace {

struct KIND {
    const char* extension; // as the look-up expects it in the header
    const char* file_extension;
};
const KIND KINDS[] = {{"FID", "fid"}, {"PGM_RBA", "pgm_rba"}, {"CRAM_MAP", "cram_map"}};

void look_up(const KIND& kind, const std::string& path) {
    if (kind.file_extension == std::string("fid")) {
        std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid(path);
        BRIX_DATA_SERVER::delete_device_fid(fid);
    } else if (kind.file_extension == std::string("pgm_rba")) {
        BRIX_RBA_BLOCK_LIST list = BRIX_DATA_SERVER::get_device_rba(path);
        BRIX_DATA_SERVER::delete_device_rba(list);
    } else {
        unsigned char flags = 0;
        BRIX_CRAM_MAP_LIST list = BRIX_DATA_SERVER::get_family_cram_map(path, flags);
        BRIX_DATA_SERVER::get_cram_map(list, 12);
        BRIX_DATA_SERVER::delete_family_cram_map(list);
    }
}

template <typename RECORD> void read_record(const std::vector<unsigned char>& payload) {
    RECORD record;
    size_t index = 0;
    fuzz_expect_report_or_success([&] { pgm_ddb_read(payload.data(), payload.size(), index, record); });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned mode = data[0] & 3;
    const KIND& kind = KINDS[(data[0] >> 2) % 3];
    std::vector<unsigned char> rest(data + 1, data + size);
    const std::string name = std::string("INPUT.") + kind.file_extension;

    switch (mode) {
    case 0:
    case 1: {
        if (mode == 1 && rest.size() >= 3) {
            uint16_t crc = PGM_COMMON::calculate_crc16(rest.data(), 0, uint64_t{rest.size() - 2} * 8, 0xFFFF);
            rest[rest.size() - 2] = static_cast<unsigned char>(crc & 0xFF);
            rest[rest.size() - 1] = static_cast<unsigned char>(crc >> 8);
        }
        std::string path = fuzz_write_input(name, rest.data(), rest.size());
        fuzz_expect_report_or_success([&] { look_up(kind, path); });
        break;
    }
    case 2: {
        fuzz_expect_report_or_success([&] {
            BRIX_DATA_SERVER::write_pgm_database_file(rest.data(), static_cast<uint32_t>(rest.size()), 1,
                                                      kind.file_extension, "INPUT", "INPUT",
                                                      fuzz_scratch_dir() + "/");
            look_up(kind, fuzz_scratch_dir() + "/" + name);
        });
        break;
    }
    default:
        read_record<BRIX_FID>(rest);
        read_record<BRIX_RBA_BLOCK>(rest);
        read_record<BRIX_CRAM_MAP>(rest);
        read_record<BRIX_RBA_BLOCK_LIST>(rest);
        read_record<BRIX_CRAM_MAP_LIST>(rest);
        break;
    }
    return 0;
}
