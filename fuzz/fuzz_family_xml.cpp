// Family XMLs: any document is either built into a family database or refused with a report; none crashes
// the reader, reads another file, or leaks.
#include "cli/brix_operations.h"
#include "fio.h"
#include "msg_internal_error.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string stem = "/tmp/brix_fuzz_family_" + std::to_string(getpid());
    const std::string xml = stem + ".xml";
    std::FILE* file = std::fopen(xml.c_str(), "wb");
    if (!file)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // The parser's error reports (std::cerr) would drown the fuzzer's own output (stderr).
    static bool quiet = (std::cerr.rdbuf(nullptr), true);
    (void)quiet;
    try {
        build_family_xml(BRIX_BUILD_CONTEXT({true}), xml); // test mode: the database goes next to the XML
    } catch (const BRIX_INTERNAL_ERROR&) {
    }
    FIO_FILE_SYSTEM::remove_file(stem + ".ddb");
    FIO_FILE_SYSTEM::remove_file(xml);
    return 0;
}
