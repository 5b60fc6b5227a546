// The FID build of a large device (16,000 frames x 16,000 bits, the size of the largest real device) against
// its floor in the same run: unpacking the phantom image, reading the device database and compressing the FID
// payload with zlib level 9. Prints the build time over the floor (target at most 2) and the peak memory over
// one RMF (target at most 6). Each time is the fastest iteration: the machine is shared. The peak is the
// process's after the builds and before the floor runs; the fixture keeps nothing large while they run.
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "dev_db.h"
#include "fio.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr uint32_t F = 16000, B = 16000;
const char* const DEVICE = "BASALT_D5";

BRIX_PARAMETER* parameter(unsigned type, unsigned value) {
    return new BRIX_PARAMETER(type, 1, BRIX_BLOCK_MAX,
                              new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(value, 0)});
}

template <typename T> BRIX_ARG* arg(unsigned type, const std::vector<T>& values) {
    auto* bytes = new unsigned char[values.size() * sizeof(T)];
    std::memcpy(bytes, values.data(), values.size() * sizeof(T));
    return new BRIX_ARG(type, BRIX_BLOCK_MAX,
                        new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(bytes, static_cast<unsigned>(values.size()),
                                                                 static_cast<unsigned>(sizeof(T)))});
}

// A private installation with the device database, PGM RBA database and phantom image of a BASALT-style
// device of F x B bits (columns are frames): LABs of 40 frames x 1000 bits tile the CRAM after an MLAB
// column.
struct FIXTURE {
    std::string dir;
    std::string phantom;
    FIXTURE() {
        dir = (std::filesystem::temp_directory_path() / ("brix_bench_fid_" + std::to_string(::getpid())))
                  .string();
        std::filesystem::create_directories(dir + "/devdb/programmer/fid");
        std::filesystem::create_directories(dir + "/unshipped/pgm_db");
        std::filesystem::copy_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/device_table.json",
                                   dir + "/devdb/device_table.json");
        ::setenv("BRIX_VANTREL_PATH", dir.c_str(), 1);
        DEV_TABLE::reload();

        auto* info = new BRIX_DEVICE_INFO;
        info->set_parameter_list(new BRIX_PARAMETER_LIST{parameter(BRIX_PARAMETER_CRAM_FRAME_COUNT, F),
                                                         parameter(BRIX_PARAMETER_CRAM_BIT_COUNT, B),
                                                         parameter(BRIX_PARAMETER_COL_AS_FRAME, 1),
                                                         parameter(BRIX_PARAMETER_LUTRAM_COL_OFFSET, 7),
                                                         parameter(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, 32)},
                                 false);
        std::vector<uint32_t> frames(F), sof_to_rbf(B), rbf_to_sof(B + 192, 0xFFFFFFFF);
        for (uint32_t f = 0; f < F; ++f)
            frames[f] = f;
        for (uint32_t i = 0; i < B; ++i) {
            sof_to_rbf[i] = i + 192;
            rbf_to_sof[i + 192] = i;
        }
        info->set_argument_list(
            new BRIX_ARG_LIST{arg(BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, frames),
                              arg(BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, frames),
                              arg(BRIX_ARGUMENT_SOF_TO_RBF_MAP, sof_to_rbf),
                              arg(BRIX_ARGUMENT_RBF_TO_SOF_MAP, rbf_to_sof),
                              arg(BRIX_ARGUMENT_DRA_G2_INFO, std::vector<uint8_t>((F + 7) / 8, 0x11))},
            false);
        BRIX_INFO root;
        root.set_device_info(info);
        BRIX_DATA_SERVER::write_brix_info(DEVICE, &root, false);

        BRIX_RBA_BLOCK_LIST blocks;
        auto mlab = std::make_unique<BRIX_RBA_BLOCK>();
        mlab->type = PGM_RBA_LA_MLAB;
        mlab->frame_size = 40;
        mlab->bit_size = 1000;
        auto lab = std::make_unique<BRIX_RBA_BLOCK>();
        lab->type = PGM_RBA_LA_LAB;
        lab->frame_size = 40;
        lab->bit_size = 1000;
        for (uint32_t y = 0; y + 1000 <= B; y += 1000) {
            mlab->locations[0].push_back({y, false, false});
            for (uint32_t j = 40; j + 40 <= F; j += 40)
                lab->locations[j].push_back({y, false, (y / 1000) % 2 == 1});
        }
        blocks.push_back(std::move(mlab));
        blocks.push_back(std::move(lab));
        std::vector<unsigned char> data;
        pgm_ddb_write(data, blocks);
        std::ostringstream quiet;
        std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());
        BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                                  "pgm_rba", DEVICE, DEVICE, dir + "/devdb/programmer/fid/");
        std::cout.rdbuf(old);

        write_phantom();
        ::chdir(dir.c_str());
        build();
    }
    // The image: B rows of F columns, a scatter of zero bits (configuration bits) among ones.
    void write_phantom() {
        const uint32_t width = (F + 31) / 32;
        std::vector<unsigned char> image(84 + 12 + size_t{B} * width * 4 + 1, 0);
        std::memcpy(image.data(), "BENCH PHANTOM", 13);
        auto put = [&](size_t at, uint32_t v) { std::memcpy(&image[at], &v, 4); };
        put(40, 4);
        put(79, 1);
        put(83, B);
        put(87, F);
        put(91, width);
        uint32_t x = 1;
        for (uint32_t r = 0; r < B; ++r) {
            unsigned char* row = &image[96 + size_t{r} * width * 4];
            for (uint32_t c = 0; c < (F + 7) / 8; ++c) {
                x = x * 1664525u + 1013904223u;
                row[c] = static_cast<unsigned char>(0xFF & ~(x >> 24 & x >> 16));
            }
        }
        phantom = dir + "/unshipped/pgm_db/" + "basalt_d5_phantom.img.gz";
        gzFile gz = gzopen(phantom.c_str(), "wb6");
        gzwrite(gz, image.data(), static_cast<unsigned>(image.size()));
        gzclose(gz);
    }
    // The FID payload, for the compression floor.
    std::vector<unsigned char> payload() const {
        uint32_t version = 0, raw = 0;
        std::string ext, name;
        auto bytes = BRIX_DATA_SERVER::read_pgm_database_file(dir + "/devdb/programmer/fid/BASALT_D5.fid",
                                                              version, ext, name, raw);
        return std::vector<unsigned char>(bytes.get(), bytes.get() + raw);
    }
    static void build() {
        std::ostringstream quiet;
        std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());
        build_device_fid(BRIX_BUILD_CONTEXT(), DEVICE);
        std::cout.rdbuf(old);
    }
};

FIXTURE& fixture() {
    static FIXTURE f;
    return f;
}

double g_build = 1e30, g_floor = 1e30;
long g_build_peak_kb = 0; // the process's peak resident size after the builds

long peak_kb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_FidBuild(benchmark::State& state) {
    fixture();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        FIXTURE::build();
        g_build = std::min(g_build,
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_build_peak_kb = peak_kb();
}

void BM_FidFloor(benchmark::State& state) {
    FIXTURE& f = fixture();
    const std::vector<unsigned char> payload = f.payload();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        FIO_FILE_SYSTEM::gunzip_file(f.phantom, "floor_phantom.img");
        std::vector<unsigned char> image;
        FIO_FILE_SYSTEM::read_file("floor_phantom.img", image);
        FIO_FILE_SYSTEM::remove_file("floor_phantom.img");
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::vantrel_get_brix_info(DEVICE, false, true, true));
        uLongf size = compressBound(payload.size());
        std::vector<unsigned char> out(size);
        compress2(out.data(), &size, payload.data(), payload.size(), 9);
        benchmark::DoNotOptimize(out.data());
        g_floor = std::min(g_floor,
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

// The builds first, so that their peak is measured before the floor's buffers exist.
BENCHMARK(BM_FidBuild)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_FidFloor)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const double rmf_mb = double(F) * B / 8 / 1e6;
    const double peak_mb = g_build_peak_kb / 1e3;
    std::cout << "FID build " << g_build << " s, floor " << g_floor << " s: ratio " << g_build / g_floor
              << " (target <= 2)\n"
              << "Peak memory of the builds " << peak_mb << " MB, one RMF " << rmf_mb << " MB: ratio "
              << peak_mb / rmf_mb << " (target <= 6; whole run with the floor " << peak_kb() / 1e3
              << " MB)\n";
    std::filesystem::remove_all(fixture().dir);
    return 0;
}
