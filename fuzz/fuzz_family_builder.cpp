// Fuzz target: the family XML builder in test mode. The input is the family XML, read from a temporary
// file; test mode writes the family database next to it. A database the builder writes must read back.
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// The databases in the scratch directory (what the builder wrote for this input).
std::vector<std::string> databases() {
    std::vector<std::string> found;
    if (DIR* dir = ::opendir(fuzz_scratch_dir().c_str())) {
        while (struct dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ddb") == 0)
                found.push_back(fuzz_scratch_dir() + "/" + name);
        }
        ::closedir(dir);
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const std::string& old : databases())
        std::remove(old.c_str());
    std::string path = fuzz_write_input("fuzz_family.xml", data, size);
    fuzz_expect_report_or_success([&] { build_family_xml(BRIX_BUILD_CONTEXT({true}), path); });
    // Reading back what was written is not input handling: a report here is a finding.
    for (const std::string& written : databases()) {
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(written, false));
        if (!info || !info->get_family_info())
            std::abort();
    }
    return 0;
}
