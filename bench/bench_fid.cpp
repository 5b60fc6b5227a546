// The FID build of a large device (16,000 frames x 16,000 bits, the size of the largest real device) against
// its floor in the same run: unpacking the phantom image (the build's unpacker, into a file, read back),
// reading the device database, and compressing the FID payload alone with the container writer's own
// compressor (libdeflate at the writer's level, in segments on two threads, into memory). Prints the build
// time over the floor (target at most 1.5), the peak memory over one RMF (target at most 4) and where the
// build's time goes, phase by phase, from the moments its progress lines appear. Build and floor run in
// turn; each time is the fastest of their iterations (the median beside it): the machine is shared. The
// peak is the process's after the builds and before the floor runs; the fixture keeps nothing large while
// they run.
#include "bench_common.h"
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "compression.h"
#include "dev_db.h"
#include "fio.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// Where the build's time goes, read from its progress lines: each phase runs from the moment its first line
// appears to the moment the next phase's does. The lines are the tool's output, so they stay put.
struct PHASE {
    const char* name;
    const char* starts_with; // text of the progress line that opens the phase (empty: the build's start)
};
const PHASE PHASES[] = {
    {"unpack the phantom image", ""},
    {"read the device database", "Reading PCF file"},
    {"RBA, phantom image, RMF construction", "      Frame/"},
    {"masks and checks", "Mask off undefined RBA region"},
    {"EDCRC RMF", "Generate EDCRC RMF"},
    {"finalize, serialize, compress, CRC-16", "Finalize FID"},
    {"write, fsync, rename, clean up", "Generating PGM Database file"},
};
constexpr size_t PHASE_COUNT = sizeof(PHASES) / sizeof(PHASES[0]);

// Takes the build's output and notes when each phase's line first appears.
class PHASE_CLOCK : public std::streambuf {
  public:
    using CLOCK = std::chrono::steady_clock;
    PHASE_CLOCK() : m_start(CLOCK::now()) {
        m_seen[0] = m_start;
        m_found[0] = true;
    }
    // Seconds of each phase (0 for a phase whose line never came).
    std::vector<double> seconds() const {
        std::vector<double> result(PHASE_COUNT, 0.0);
        const CLOCK::time_point end = CLOCK::now();
        for (size_t i = 0; i < PHASE_COUNT; ++i) {
            if (!m_found[i])
                continue;
            CLOCK::time_point next = end;
            for (size_t j = i + 1; j < PHASE_COUNT; ++j)
                if (m_found[j]) {
                    next = m_seen[j];
                    break;
                }
            result[i] = std::chrono::duration<double>(next - m_seen[i]).count();
        }
        return result;
    }

  protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            const char ch = static_cast<char>(c);
            note(&ch, 1);
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        note(s, static_cast<size_t>(n));
        return n;
    }

  private:
    void note(const char* s, size_t n) {
        const size_t from = m_text.size() > 64 ? m_text.size() - 64 : 0;
        m_text.append(s, n);
        for (size_t i = 1; i < PHASE_COUNT; ++i)
            if (!m_found[i] && m_text.find(PHASES[i].starts_with, from) != std::string::npos) {
                m_found[i] = true;
                m_seen[i] = CLOCK::now();
            }
        if (m_text.size() > 4096)
            m_text.erase(0, m_text.size() - 64);
    }
    CLOCK::time_point m_start;
    std::string m_text;
    CLOCK::time_point m_seen[PHASE_COUNT];
    bool m_found[PHASE_COUNT] = {};
};

FIXTURE& fixture() {
    static FIXTURE f;
    return f;
}

std::vector<double> g_build, g_floor;       // seconds of each iteration
std::vector<std::vector<double>> g_phases;  // of each build iteration
std::vector<double> g_floor_parts(3, 1e30); // fastest unpack, database read, compression
std::vector<unsigned char> g_floor_stream;  // the floor's compressed payload
long g_build_peak_kb = 0;                   // the process's peak resident size after the builds

long peak_kb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FidBuild(benchmark::State& state) {
    fixture();
    for (auto _ : state) {
        PHASE_CLOCK clock;
        std::streambuf* old = std::cout.rdbuf(&clock);
        auto start = std::chrono::steady_clock::now();
        build_device_fid(BRIX_BUILD_CONTEXT(), DEVICE);
        g_build.push_back(seconds_since(start));
        std::cout.rdbuf(old);
        g_phases.push_back(clock.seconds());
    }
    if (g_floor.empty()) // the process's peak only grows: taken before the floor's buffers exist
        g_build_peak_kb = peak_kb();
}

// The container writer's compression level (libdeflate's); the summary checks that the floor's stream is
// the FID container's payload byte for byte.
constexpr int CONTAINER_LEVEL = 7;

void BM_FidFloor(benchmark::State& state) {
    FIXTURE& f = fixture();
    const std::vector<unsigned char> payload = f.payload();
    std::vector<unsigned char> out(zlib_compress_bound(payload.size()));
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        FIO_FILE_SYSTEM::gunzip_file(f.phantom, "floor_phantom.img");
        std::vector<unsigned char> image;
        FIO_FILE_SYSTEM::read_file("floor_phantom.img", image);
        FIO_FILE_SYSTEM::remove_file("floor_phantom.img");
        const double unpacked = seconds_since(start);
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::vantrel_get_brix_info(DEVICE, false, true, true));
        const double read = seconds_since(start);
        unsigned long size = out.size();
        if (zlib_compress2(out.data(), &size, payload.data(), payload.size(), CONTAINER_LEVEL) != ZLIB_OK)
            state.SkipWithError("compression failed");
        benchmark::DoNotOptimize(out.data());
        const double all = seconds_since(start);
        g_floor.push_back(all);
        g_floor_parts[0] = std::min(g_floor_parts[0], unpacked);
        g_floor_parts[1] = std::min(g_floor_parts[1], read - unpacked);
        g_floor_parts[2] = std::min(g_floor_parts[2], all - read);
        g_floor_stream.assign(out.begin(), out.begin() + long(size));
    }
}

bool floor_stream_is_payload() {
    std::vector<unsigned char> file;
    return FIO_FILE_SYSTEM::read_file(fixture().dir + "/devdb/programmer/fid/BASALT_D5.fid", file) &&
           file.size() == g_floor_stream.size() + 98 &&
           std::equal(g_floor_stream.begin(), g_floor_stream.end(), file.begin() + 96);
}

// The builds first, so that their peak is measured before the floor's buffers exist; then floor and build
// in turn, so that a change of load hits both.
void register_benchmarks() {
    auto ms = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->Iterations(1); };
    ms(benchmark::RegisterBenchmark("BM_FidBuild", BM_FidBuild));
    ms(benchmark::RegisterBenchmark("BM_FidBuild", BM_FidBuild));
    for (int round = 0; round < 3; ++round) {
        ms(benchmark::RegisterBenchmark("BM_FidFloor", BM_FidFloor));
        ms(benchmark::RegisterBenchmark("BM_FidBuild", BM_FidBuild));
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::string load = bench::load_average();
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    if (g_build.empty() || g_floor.empty())
        return 1;
    const double build = *std::min_element(g_build.begin(), g_build.end());
    const double floor = *std::min_element(g_floor.begin(), g_floor.end());
    const double rmf_mb = double(F) * B / 8 / 1e6;
    const double peak_mb = g_build_peak_kb / 1e3;
    std::printf("load average before the runs: %s\n", load.c_str());
    std::printf("FID build %.3f s (median %.3f, %zu builds), floor %.3f s (median %.3f, %zu): ratio %.2f "
                "(target <= 1.5)\n",
                build, bench::spread(g_build).median, g_build.size(), floor, bench::spread(g_floor).median,
                g_floor.size(), build / floor);
    std::printf("    floor: unpack the phantom image %.3f s, read the device database %.3f s, compress the "
                "payload %.3f s (the stream is the container's payload byte for byte: %s)\n",
                g_floor_parts[0], g_floor_parts[1], g_floor_parts[2],
                floor_stream_is_payload() ? "yes" : "NO");
    // The phases of the fastest build.
    const size_t fastest = size_t(std::min_element(g_build.begin(), g_build.end()) - g_build.begin());
    std::printf("    where the build's time goes (fastest build):\n");
    for (size_t i = 0; i < PHASE_COUNT; ++i)
        std::printf("      %-40s %.3f s\n", PHASES[i].name, g_phases[fastest][i]);
    std::printf(
        "Peak memory of the builds %.1f MB, one RMF %.1f MB: ratio %.2f (target <= 4; whole run with the "
        "floor %.1f MB)\n",
        peak_mb, rmf_mb, peak_mb / rmf_mb, peak_kb() / 1e3);
    std::filesystem::remove_all(fixture().dir);
    return 0;
}
