// The inspector on the largest sample device against reading the same files in the same run:
//   - brix_dump --image of the GRANITE_D6 FID (both planes, 4,096 pixels a side at most) against --verify of
//     the FID (the container read and checked, its records read);
//   - brix_dump --diff of two GRANITE_D6 device databases (the database and a copy of it with its part files:
//     identical, so every field is compared) against --verify of both (each read whole with its part files);
//   - brix_dump --diff of two 219 MB databases (bench_large_database.h) that differ in one map entry, which
//   the
//     difference must name, against reading both.
// Each time is the fastest iteration (the machine is shared). Prints both ratios; the target is at most 2.
//
// Reads the sample installation that tools/run_sample.sh builds (samples/vantrel/devdb/programmer/); writes
// the copies, the large databases and the pictures under $BRIX_BENCH_DIR (default: the system temporary
// directory).
#include "bench_large_database.h"
#include "brix_data_server.h"
#include "inspect/brix_pgm_dump.h"
#include "inspect/database_diff.h"
#include "inspect/map_image.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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
    std::string large_a, large_b; // 219 MB, one map entry apart
    std::string large_difference; // what --diff printed for them
    double verify_fid = 1e9, image = 1e9, verify_databases = 1e9, diff = 1e9, verify_large = 1e9,
           diff_large = 1e9;
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

void BM_VerifyLarge(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        for (const std::string& file : {run().large_a, run().large_b}) {
            std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(file, false));
            benchmark::DoNotOptimize(info.get());
        }
        run().verify_large = std::min(run().verify_large, seconds_since(start));
    }
}

// The one changed entry: argument table 17, entry 123,456.
constexpr unsigned CHANGED_ARGUMENT = 17, CHANGED_ENTRY = 123456;

void BM_DiffLarge(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = CLOCK::now();
        std::ostringstream out;
        const int status = diff_files(run().large_a, run().large_b, 20, out);
        run().diff_large = std::min(run().diff_large, seconds_since(start));
        const std::string text = out.str();
        run().large_difference = text;
        if (status != DIFF_DIFFERENT ||
            text.find("].m_data[0].m_data[" + std::to_string(CHANGED_ENTRY) + "]: ") == std::string::npos ||
            text.size() < 14 || text.compare(text.size() - 13, 13, "1 difference\n") != 0)
            state.SkipWithError(("the one changed entry was not found: " + text).c_str());
    }
}

// Writes the large database, and the same with one map entry changed.
void write_large_databases() {
    RUN& r = run();
    r.large_a = r.dir + "/large_a";
    r.large_b = r.dir + "/large_b";
    for (const std::string& path : {r.large_a, r.large_b}) {
        std::unique_ptr<BRIX_INFO> info(bench_large_database());
        if (path == r.large_b) {
            const BRIX_ARG* arg = (*info->get_device_info()->get_argument_list())[CHANGED_ARGUMENT];
            unsigned char* data = (*arg->get_data())[0]->get_data(nullptr, nullptr);
            data[size_t{CHANGED_ENTRY} * 4] ^= 1;
        }
        BRIX_DATA_SERVER::write_brix_info(path, info.get(), true);
    }
    r.large_a += ".ddb";
    r.large_b += ".ddb";
}

} // namespace

int main(int argc, char** argv) {
    if (!fs::exists(FID) || !fs::exists(DATABASE)) {
        std::cerr << "bench_dump_views: " << FID << " or " << DATABASE
                  << " is missing: build the sample installation first (tools/run_sample.sh)\n";
        return 1;
    }
    RUN& r = run();
    const char* base = std::getenv("BRIX_BENCH_DIR");
    r.dir = ((base && *base ? fs::path(base) : fs::temp_directory_path()) /
             ("bench_dump_views_" + std::to_string(::getpid())))
                .string();
    fs::create_directories(r.dir);
    // The copy: the main archive and its part files under the same names.
    for (const auto& entry : fs::directory_iterator(PROGRAMMER)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("granite_d6_brix", 0) == 0)
            fs::copy_file(entry.path(), r.dir + "/" + name);
    }
    r.copy = r.dir + "/granite_d6_brix.ddb";
    write_large_databases();

    for (auto [name, function] :
         {std::pair<const char*, void (*)(benchmark::State&)>{"BM_VerifyFid", BM_VerifyFid},
          {"BM_ImageFid", BM_ImageFid},
          {"BM_VerifyDatabases", BM_VerifyDatabases},
          {"BM_DiffDatabases", BM_DiffDatabases},
          {"BM_VerifyLarge", BM_VerifyLarge},
          {"BM_DiffLarge", BM_DiffLarge}})
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
    if (r.diff_large < 1e9 && r.verify_large < 1e9)
        std::cout << "--diff of two 219 MB databases one entry apart " << r.diff_large * 1e3
                  << " ms, reading both " << r.verify_large * 1e3 << " ms: ratio "
                  << r.diff_large / r.verify_large << " (target <= 2)\n";
    std::error_code ec;
    fs::remove_all(r.dir, ec);
    return 0;
}
