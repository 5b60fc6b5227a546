// Feeds arbitrary bytes to the database reader: every input must give a database or a report, never a
// crash, a hang or a huge allocation. Inputs are written to a file because the reader reads files. The
// trailing CRC-32 is made to match, so that mutations reach the parser instead of stopping at the CRC.
#include "brix_data_server.h"
#include "msg_internal_error.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string base = "/tmp/fuzz_brix_archive_" + std::to_string(::getpid());
    std::FILE* f = std::fopen((base + ".ddb").c_str(), "wb");
    if (!f)
        return 0;
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= 4) {
        uint32_t crc = static_cast<uint32_t>(crc32_z(0, bytes.data(), size - 4));
        for (int i = 0; i < 4; ++i)
            bytes[size - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    std::fwrite(bytes.data(), 1, size, f);
    std::fclose(f);
    try {
        // Part files are never present: a split database fails on its first part.
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(base, false));
    } catch (const BRIX_INTERNAL_ERROR&) {
    }
    std::remove((base + ".ddb").c_str());
    return 0;
}
