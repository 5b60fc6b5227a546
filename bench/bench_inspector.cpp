// The inspector on the largest sample device against reading the same files in the same run:
//   - brix_dump --image of the GRANITE_D6 FID (both planes, 4,096 pixels a side at most) against --verify of
//     the FID (the container read and checked, its records read);
//   - brix_dump --diff of two GRANITE_D6 device databases (the database and a copy of it with its part files:
//     identical, so every field is compared) against --verify of both (each read whole with its part files).
// Each time is the fastest iteration (the machine is shared). Prints both ratios; the target is at most 2.
//
// Reads the sample installation that tools/run_sample.sh builds (samples/vantrel/devdb/programmer/).
#include "brix_data_server.h"
#include "inspect/brix_pgm_dump.h"
#include "inspect/database_diff.h"
#include "inspect/map_image.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using CLOCK = std::chrono::steady_clock;

const std::string PROGRAMMER = std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/programmer/";
const std::string FID = PROGRAMMER + "fid/GRANITE_D6.fid";
const std::string DATABASE = PROGRAMMER + "granite_d6_brix.ddb";

struct RUN {
    std::string dir; // the copy of the database and the pictures
    std::string copy;
    double verify_fid = 1e9, image = 1e9, verify_databases = 1e9, diff = 1e9;
};

RUN& run() {
    static RUN r;
    return r;
}

double seconds_since(CLOCK::time_point start) {
    return std::chrono::duration<double>(CLOCK::now() - start).count();
}

void BM_VerifyFid(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        std::string reason;
        if (!pgm_container_verify(FID, reason))
            state.SkipWithError(reason.c_str());
        run().verify_fid = std::min(run().verify_fid, seconds_since(start));
    }
}

void BM_ImageFid(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        std::ostringstream legend;
        write_map_images(FID, run().dir + "/fid.png", PICTURE_DEFAULT_MAX_SIDE, legend);
        run().image = std::min(run().image, seconds_since(start));
    }
}

void BM_VerifyDatabases(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        for (const std::string& file : {DATABASE, run().copy}) {
            std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(file, false));
            benchmark::DoNotOptimize(info.get());
        }
        run().verify_databases = std::min(run().verify_databases, seconds_since(start));
    }
}

void BM_DiffDatabases(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        std::ostringstream out;
        if (diff_files(DATABASE, run().copy, 20, out) != DIFF_IDENTICAL)
            state.SkipWithError(("the copy differs: " + out.str()).c_str());
        run().diff = std::min(run().diff, seconds_since(start));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!fs::exists(FID) || !fs::exists(DATABASE)) {
        std::cerr << "bench_inspector: " << FID << " or " << DATABASE
                  << " is missing: build the sample installation first (tools/run_sample.sh)\n";
        return 1;
    }
    RUN& r = run();
    r.dir = (fs::temp_directory_path() / ("bench_inspector_" + std::to_string(::getpid()))).string();
    fs::create_directories(r.dir);
    // The copy: the main archive and its part files under the same names.
    for (const auto& entry : fs::directory_iterator(PROGRAMMER)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("granite_d6_brix", 0) == 0)
            fs::copy_file(entry.path(), r.dir + "/" + name);
    }
    r.copy = r.dir + "/granite_d6_brix.ddb";

    for (auto [name, function] :
         {std::pair<const char*, void (*)(benchmark::State&)>{"BM_VerifyFid", BM_VerifyFid},
          {"BM_ImageFid", BM_ImageFid},
          {"BM_VerifyDatabases", BM_VerifyDatabases},
          {"BM_DiffDatabases", BM_DiffDatabases}})
        benchmark::RegisterBenchmark(name, function)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5)
            ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (r.image < 1e9 && r.verify_fid < 1e9)
        std::cout << "--image of the GRANITE_D6 FID " << r.image * 1e3 << " ms, --verify "
                  << r.verify_fid * 1e3 << " ms: ratio " << r.image / r.verify_fid << " (target <= 2)\n";
    if (r.diff < 1e9 && r.verify_databases < 1e9)
        std::cout << "--diff of two GRANITE_D6 databases " << r.diff * 1e3 << " ms, --verify of both "
                  << r.verify_databases * 1e3 << " ms: ratio " << r.diff / r.verify_databases
                  << " (target <= 2)\n";
    std::error_code ec;
    fs::remove_all(r.dir, ec);
    return 0;
}
