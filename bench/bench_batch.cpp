// The sample chain's four batches (all_rba, all_brix, all_cram_map, all_fid) over the sample installation,
// each with one worker and with eight: per batch the wall time against the CPU time of its rows spread over
// the machine's cores, and whether the outputs of the two runs are byte-identical (the result must not
// depend on the order in which rows finish).
//
//   bench_batch [WORK_DIR]     (default: a new directory under the system temporary directory)
//
// Prepares a copy of the sample installation in WORK_DIR/wrik/vantrel/, generates the sample inputs, lays
// them out as the source depot and builds the family databases (as tools/run_sample_chain.sh does). Then,
// once with one worker and once with eight, starting each time from the installation as it was after the
// family databases: the four batches in the chain's order, each on the batch worker pool. Every row is a
// process of its own: the BRIX rows run their batch steps (which start build_brix -device), the RBA rows
// their fetch steps and then build_brix -rba=<device> <file>; the CRAM map and FID rows build_brix
// -cram_map=<family> and -fid=<device>. (The tool runs the rows of all_rba, all_cram_map and all_fid one
// after the other in its own process; here they spread over the workers like the BRIX rows.)
#include "batch/brix_batch.h"
#include "batch/slurm_backend.h"
#include "bench_common.h"
#include "gen.h"
#include "thr.h"

#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A file's size and CRC-32: enough to tell two outputs apart without keeping them all in memory.
struct DIGEST {
    uint64_t size = 0;
    unsigned long crc = 0;
    bool operator==(const DIGEST& other) const { return size == other.size && crc == other.crc; }
};

DIGEST digest(const fs::path& path) {
    DIGEST d;
    d.crc = crc32(0L, Z_NULL, 0);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        const std::streamsize n = in.gcount();
        d.crc = crc32(d.crc, reinterpret_cast<const Bytef*>(buffer.data()), uInt(n));
        d.size += uint64_t(n);
    }
    return d;
}

// Every file under the programmer directory but the batch reports (whose times differ) and the batch lock
// (which names the process that held it).
std::map<std::string, DIGEST> outputs(const std::string& programmer) {
    std::map<std::string, DIGEST> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(programmer))
        if (e.is_regular_file() && e.path().extension() != ".json" && e.path().filename() != "batch.lock")
            files[fs::relative(e.path(), programmer).string()] = digest(e.path());
    return files;
}

// The rows of a batch: the documented command line (for the worker pool's messages) and the steps.
struct BATCH {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::vector<BRIX_BATCH_STEP>> steps;
    std::vector<std::string> directories; // where each row's steps run
};

std::vector<BATCH> chain(const std::string& root, const std::string& build_brix, const std::string& work) {
    std::vector<BATCH> batches;
    BATCH rba{"all_rba", {}, {}, {}};
    for (const BRIX_BATCH_ROW& row : brix_batch_table(BRIX_BATCH_RBA_TABLE)) {
        rba.lines.push_back(brix_batch_command_line(BRIX_BATCH_KIND::RBA, root, row));
        std::vector<BRIX_BATCH_STEP> steps = brix_batch_steps(BRIX_BATCH_KIND::RBA, root, row);
        steps.push_back({BRIX_BATCH_STEP::PROGRAM,
                         {build_brix, std::string("-rba=") + row.device, brix_batch_rba_file(root, row)}});
        rba.steps.push_back(steps);
        rba.directories.push_back(root + row.directory);
    }
    batches.push_back(rba);
    BATCH brix{"all_brix", {}, {}, {}};
    for (const BRIX_BATCH_ROW& row : brix_batch_table(BRIX_BATCH_BRIX_TABLE)) {
        brix.lines.push_back(brix_batch_command_line(BRIX_BATCH_KIND::BRIX, root, row));
        brix.steps.push_back(brix_batch_steps(BRIX_BATCH_KIND::BRIX, root, row, build_brix));
        brix.directories.push_back(root + row.directory);
    }
    batches.push_back(brix);
    BATCH cram_map{"all_cram_map", {}, {}, {}};
    for (const char* const* family = BRIX_BATCH_CRAM_MAP_FAMILIES; *family != nullptr; ++family) {
        cram_map.lines.push_back(std::string("build_brix -cram_map=") + *family);
        cram_map.steps.push_back(
            {{BRIX_BATCH_STEP::PROGRAM, {build_brix, std::string("-cram_map=") + *family}}});
        cram_map.directories.push_back(work);
    }
    batches.push_back(cram_map);
    BATCH fid{"all_fid", {}, {}, {}};
    for (const char* const* device = BRIX_BATCH_FID_DEVICES; *device != nullptr; ++device) {
        fid.lines.push_back(std::string("build_brix -fid=") + *device);
        fid.steps.push_back({{BRIX_BATCH_STEP::PROGRAM, {build_brix, std::string("-fid=") + *device}}});
        fid.directories.push_back(work);
    }
    batches.push_back(fid);
    return batches;
}

struct RUN {
    double wall = 0;
    double cpu = 0;
    size_t passed = 0;
    std::map<std::string, DIGEST> files; // the programmer directory after the batch
};

RUN run_batch(const BATCH& batch, const std::string& programmer, size_t workers) {
    std::vector<BRIX_BATCH_RESULT> results;
    const double cpu0 = children_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    brix_batch_run_workers(
        batch.lines, [&](size_t i) { return brix_batch_run_steps(batch.steps[i], batch.directories[i]); },
        results, workers);
    RUN run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = children_cpu_seconds() - cpu0;
    for (const BRIX_BATCH_RESULT& r : results)
        run.passed += r.pass ? 1 : 0;
    run.files = outputs(programmer);
    return run;
}

int system_or_fail(const std::string& command) {
    int status = thr_system(command);
    if (status != 0)
        std::cerr << "bench_batch: failed (" << status << "): " << command << "\n";
    return status;
}

// Replaces the directory `to` by a copy of `from`.
void restore(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

} // namespace

int main(int argc, char** argv) {
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string source = BRIX_SOURCE_DIR;
    const std::string work = argc > 1 ? argv[1] : (fs::temp_directory_path() / "brix_bench_batch").string();
    const std::string installation = work + "/wrik/vantrel/";
    fs::remove_all(work);
    fs::create_directories(work + "/wrik");
    fs::copy(source + "/samples/vantrel", installation, fs::copy_options::recursive);
    const std::string programmer = installation + "devdb/programmer";
    fs::create_directories(programmer + "/fid");
    setenv("BRIX_VANTREL_PATH", installation.c_str(), 1);
    const std::string path = source + "/tools/sample_bin:" + (getenv("PATH") ? getenv("PATH") : "");
    setenv("PATH", path.c_str(), 1);
    const std::string build_brix = build.string() + "/build_brix";
    if (system_or_fail(thr_shell_command({build.string() + "/brix_gen_samples", "--description",
                                          source + "/samples/sample_devices.json", "--installation",
                                          installation, "--out", work + "/devices"}) +
                       " >/dev/null") != 0 ||
        system_or_fail(thr_shell_command({build.string() + "/brix_sample_depot", "--devices",
                                          work + "/devices", "--depot", work + "/depot/vantrel"}) +
                       " >/dev/null") != 0)
        return 1;
    for (const fs::directory_entry& e : fs::directory_iterator(installation + "xml")) {
        const std::string name = e.path().filename().string();
        if (name.size() > 11 && name.compare(name.size() - 11, 11, "_family.xml") == 0 &&
            system_or_fail(thr_shell_command({build_brix, "-family_xml", e.path().string()}) +
                           " >/dev/null") != 0)
            return 1;
    }
    // The installation's database directory as the batches find it; each run starts from it.
    const std::string families = work + "/programmer_after_families";
    fs::copy(programmer, families, fs::copy_options::recursive);

    const std::string root = brix_batch_source_root(installation);
    const std::vector<BATCH> batches = chain(root, build_brix, work);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

    const std::string load = bench::load_average(); // other work on the machine, before the runs add theirs
    // The rows' own progress lines (and those of the builds they start) are not the benchmark's.
    std::cout.flush();
    const int saved_stdout = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    std::map<size_t, std::vector<RUN>> runs; // by number of workers, one per batch
    for (size_t workers : {size_t(1), size_t(8)}) {
        restore(families, programmer);
        for (const BATCH& batch : batches)
            runs[workers].push_back(run_batch(batch, programmer, workers));
    }
    // With a Slurm controller answering (SLURM_CONF, e.g. from tools/slurm_local.sh), the BRIX rows once more
    // as Slurm jobs, after the RBA batch: their wall time, and their outputs against the local runs'.
    const bool with_slurm = std::getenv("SLURM_CONF") != nullptr && brix_slurm_check().empty();
    RUN slurm;
    if (with_slurm) {
        restore(families, programmer);
        run_batch(batches[0], programmer, 8);
        std::vector<BRIX_BATCH_ROW> rows = brix_batch_table(BRIX_BATCH_BRIX_TABLE);
        std::vector<BRIX_BATCH_RESULT> results(rows.size());
        const auto t0 = std::chrono::steady_clock::now();
        brix_slurm_run("all_brix", root, rows, batches[1].lines, true, results, build_brix);
        slurm.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (const BRIX_BATCH_RESULT& r : results)
            slurm.passed += r.pass ? 1 : 0;
        slurm.files = outputs(programmer);
    }
    std::cout.flush();
    dup2(saved_stdout, 1);
    close(null_fd);
    close(saved_stdout);

    bool all_same = true, all_passed = true;
    std::cout << "load average before the runs: " << load << " on " << cores << " cores\n";
    for (size_t b = 0; b < batches.size(); ++b) {
        const RUN& one = runs[1][b];
        const RUN& eight = runs[8][b];
        const bool same = one.files == eight.files;
        all_same = all_same && same;
        all_passed = all_passed && one.passed == batches[b].lines.size() && eight.passed == one.passed;
        const double floor = eight.cpu / cores;
        std::cout << batches[b].name << ": " << batches[b].lines.size() << " rows, passed " << eight.passed
                  << " (one worker: " << one.passed << ")\n"
                  << "    one worker:    wall " << one.wall << " s, rows' CPU " << one.cpu << " s\n"
                  << "    eight workers: wall " << eight.wall << " s, rows' CPU " << eight.cpu << " s\n"
                  << "    wall / (CPU / " << cores << " cores) = " << (floor > 0 ? eight.wall / floor : 0)
                  << " (target <= 1.15)\n"
                  << "    outputs after the batch with 1 and 8 workers: "
                  << (same ? "identical" : "DIFFERENT") << " (" << eight.files.size() << " files)\n";
    }
    if (with_slurm) {
        // The jobs' CPU time is not this process's children's: the local run's of the same rows stands for
        // it.
        const RUN& eight = runs[8][1];
        const size_t rows = batches[1].lines.size();
        const double overhead = (slurm.wall - eight.cpu / cores) / double(rows);
        const bool same = slurm.files == eight.files;
        all_same = all_same && same;
        all_passed = all_passed && slurm.passed == rows;
        std::cout << "all_brix as Slurm jobs: passed " << slurm.passed << " of " << rows << ", wall "
                  << slurm.wall << " s (eight workers: " << eight.wall << " s), overhead " << overhead
                  << " s per row (target <= 0.5), outputs " << (same ? "identical" : "DIFFERENT") << "\n";
    }
    if (!all_passed)
        std::cout << "some rows failed\n";
    fs::remove_all(work);
    return all_same ? 0 : 1;
}
