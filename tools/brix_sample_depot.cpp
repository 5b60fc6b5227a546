// brix_sample_depot: lays out the generated sample inputs as the source depot of the batch builds.
//
//   brix_sample_depot --devices DIR --depot DIR
//
// The sample generator writes each device's inputs into DIR/<pcf>/ (docs/sample_generator.md); the batch
// rows fetch theirs with `dpx sync` from <depot>/<row directory>/ (docs/batch.md). For every row of the BRIX
// batch table the device's files are copied into its directory; for every row of the PGM RBA batch table the
// device's RBA file is stored under the row's file name (gzip'd for ".rbaz", unpacked for ".rba"). A row
// whose device has no generated inputs is listed and skipped: its batch row will fail. Needs the
// installation ($BRIX_VANTREL_PATH) for the devices' PCF names.
#include "batch/brix_batch.h"
#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgmdev.h"

#include <filesystem>
#include <iostream>
#include <string>

namespace {

namespace fs = std::filesystem;

int usage() {
    std::cerr << "usage: brix_sample_depot --devices DIR --depot DIR\n";
    return 2;
}

// Directory of a device's generated inputs, empty when there is none.
std::string device_inputs(const std::string& devices, const std::string& device) {
    const std::string pcf = stl_lower(PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(device));
    const std::string dir = devices + "/" + pcf;
    return !pcf.empty() && fs::is_directory(dir) ? dir : std::string();
}

void copy_file(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void lay_out(const std::string& devices, const std::string& depot) {
    for (const BRIX_BATCH_ROW& row : brix_batch_table(BRIX_BATCH_BRIX_TABLE)) {
        const std::string inputs = device_inputs(devices, row.device);
        if (inputs.empty()) {
            std::cout << "no inputs for " << row.device << " (" << row.directory << ")\n";
            continue;
        }
        for (const fs::directory_entry& file : fs::directory_iterator(inputs))
            if (file.is_regular_file())
                copy_file(file.path().string(),
                          depot + "/" + row.directory + "/" + file.path().filename().string());
    }
    for (const BRIX_BATCH_ROW& row : brix_batch_table(BRIX_BATCH_RBA_TABLE)) {
        const std::string inputs = device_inputs(devices, row.device);
        const std::string rbaz = inputs + "/" + fs::path(inputs).filename().string() + ".rbaz";
        if (inputs.empty() || !fs::exists(rbaz)) {
            std::cout << "no RBA file for " << row.device << " (" << row.directory << ")\n";
            continue;
        }
        const std::string target = depot + "/" + row.directory + "/" + row.source;
        fs::create_directories(fs::path(target).parent_path());
        const std::string source = row.source;
        if (source.size() > 5 && source.compare(source.size() - 5, 5, ".rbaz") == 0)
            copy_file(rbaz, target);
        else
            FIO_FILE_SYSTEM::gunzip_file(rbaz, target);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string devices, depot;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--devices")
            devices = argv[i + 1];
        else if (arg == "--depot")
            depot = argv[i + 1];
        else
            return usage();
    }
    if (devices.empty() || depot.empty() || argc % 2 == 0)
        return usage();
    return MSG_INTERNAL_ERROR::run_main([&] {
        lay_out(devices, depot);
        return 0;
    });
}
