// Building the largest sample HARRIER device with its phantomless map (test mode: the database lands beside
// the device XML), against the floor of the same run: unpacking its RBA file and writing the bytes of the
// database with plain buffered I/O.
//
// The device comes from the sample generator (tools/run_sample.sh writes it): $BRIX_BENCH_HARRIER names its
// device XML (default out/devices/harrier_d5/harrier_d5.xml), $BRIX_VANTREL_PATH the installation holding the
// family's uniquified files and block CRAM maps. After the runs the program prints both times, their ratio
// and the peak memory after the floor and after the build.
#include "brix_operations.h"
#include "fio.h"
#include "msg_internal_error.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string g_xml;
std::string g_stem;
double g_floor_seconds = 0, g_floor_cpu_seconds = 0;
double g_build_seconds = 0, g_build_cpu_seconds = 0;
long g_floor_peak_kb = 0;
long g_build_peak_kb = 0;

long peak_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Bytes of the database the build writes (main archive and part files).
uintmax_t database_bytes() {
    uintmax_t total = 0;
    const std::filesystem::path dir = std::filesystem::path(g_stem).parent_path();
    const std::string base = std::filesystem::path(g_stem).filename().string();
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().filename().string().rfind(base, 0) == 0 &&
            entry.path().extension() != ".xml" && entry.path().extension() != ".rbaz" &&
            entry.path().extension() != ".rba")
            total += entry.file_size();
    return total;
}

void BM_Floor(benchmark::State& state) {
    const uintmax_t bytes = database_bytes();
    std::vector<char> buffer(bytes, 'x');
    const std::string unpacked = g_stem + ".floor.rba";
    const std::string written = g_stem + ".floor.out";
    for (auto _ : state) {
        FIO_FILE_SYSTEM::gunzip_file(g_stem + ".rbaz", unpacked);
        std::FILE* out = std::fopen(written.c_str(), "wb");
        if (out == nullptr || std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size() ||
            std::fclose(out) != 0) {
            state.SkipWithError("plain write failed");
            return;
        }
    }
    std::filesystem::remove(unpacked);
    std::filesystem::remove(written);
    state.counters["database_bytes"] = double(bytes);
    g_floor_peak_kb = peak_kb();
}

void BM_BuildHarrierDevice(benchmark::State& state) {
    // The build's progress lines would bury the results.
    std::ostringstream quiet;
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) {
        quiet.str("");
        try {
            build_device(nullptr, g_xml, true, true, false);
        } catch (const BRIX_INTERNAL_ERROR& error) {
            std::cout.rdbuf(console);
            state.SkipWithError(error.condition().c_str());
            return;
        }
    }
    std::cout.rdbuf(console);
    g_build_peak_kb = peak_kb();
}

// Keeps the mean iteration time of each benchmark for the summary.
class SUMMARY : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations == 0)
                continue;
            const double seconds = run.real_accumulated_time / double(run.iterations);
            const double cpu_seconds = run.cpu_accumulated_time / double(run.iterations);
            if (run.benchmark_name().find("BM_Floor") == 0) {
                g_floor_seconds = seconds;
                g_floor_cpu_seconds = cpu_seconds;
            } else if (run.benchmark_name().find("BM_BuildHarrierDevice") == 0) {
                g_build_seconds = seconds;
                g_build_cpu_seconds = cpu_seconds;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    const char* xml = std::getenv("BRIX_BENCH_HARRIER");
    g_xml = xml != nullptr ? xml : "out/devices/harrier_d5/harrier_d5.xml";
    if (!std::filesystem::exists(g_xml)) {
        std::cerr << "bench_harrier: " << g_xml << " does not exist; run tools/run_sample.sh first\n";
        return 1;
    }
    g_stem = g_xml.substr(0, g_xml.size() - 4);
    // The floor writes as many bytes as the database has: build it once first, in a child process, so that
    // the peak memory of this process is the floor's until the build runs here.
    const pid_t child = fork();
    if (child == 0) {
        try {
            build_device(nullptr, g_xml, true, true, false);
        } catch (const BRIX_INTERNAL_ERROR& error) {
            MSG_INTERNAL_ERROR::print(error);
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "bench_harrier: the first build of " << g_xml << " failed\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("BM_Floor", BM_Floor)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_BuildHarrierDevice", BM_BuildHarrierDevice)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2)
        ->UseRealTime();
    SUMMARY reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf(
        "\nHARRIER device build %.1f ms (CPU %.1f ms), floor (RBA unpack + plain write) %.1f ms (CPU %.1f "
        "ms): %.2f x the floor (CPU %.2f x)\n",
        g_build_seconds * 1e3, g_build_cpu_seconds * 1e3, g_floor_seconds * 1e3, g_floor_cpu_seconds * 1e3,
        g_floor_seconds > 0 ? g_build_seconds / g_floor_seconds : 0.0,
        g_floor_cpu_seconds > 0 ? g_build_cpu_seconds / g_floor_cpu_seconds : 0.0);
    std::printf("peak memory: %.1f MB after the floor, %.1f MB after the build\n", g_floor_peak_kb / 1024.0,
                g_build_peak_kb / 1024.0);
    return 0;
}
