// The BRIX batch over the sample installation: wall time with eight workers against the CPU time of its
// rows spread over the machine's cores, and the outputs with one and with eight workers compared byte for
// byte (the result must not depend on the order in which rows finish). When a Slurm controller answers
// (SLURM_CONF, e.g. from tools/slurm_local.sh), the same rows run once more as Slurm jobs: their wall time,
// the scheduling overhead per row, and their outputs against the local run's.
//
//   bench_batch [WORK_DIR]     (default: a new directory under the system temporary directory)
//
// Prepares a copy of the sample installation in WORK_DIR/wrik/vantrel/, generates the sample inputs and lays
// them out as the source depot (as tools/run_sample.sh does), then runs the BRIX table's rows twice.
#include "batch/brix_batch.h"
#include "batch/slurm_backend.h"
#include "gen.h"
#include "thr.h"

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

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every database file of the programmer directory (not the reports, whose times differ).
std::map<std::string, std::string> outputs(const std::string& programmer) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(programmer))
        if (e.is_regular_file() && e.path().extension() != ".json")
            files[e.path().filename().string()] = read_all(e.path());
    return files;
}

struct RUN {
    double wall = 0;
    double cpu = 0;
    size_t passed = 0;
    std::map<std::string, std::string> files;
};

void clear_outputs(const std::string& programmer);

RUN run_rows(const std::string& root, const std::vector<BRIX_BATCH_ROW>& rows, const std::string& build_brix,
             const std::string& programmer, size_t workers) {
    clear_outputs(programmer);
    std::vector<std::string> lines;
    for (const BRIX_BATCH_ROW& row : rows)
        lines.push_back(brix_batch_command_line(BRIX_BATCH_KIND::BRIX, root, row));
    std::vector<BRIX_BATCH_RESULT> results;
    const double cpu0 = children_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    brix_batch_run_workers(
        lines,
        [&](size_t i) {
            return brix_batch_run_steps(brix_batch_steps(BRIX_BATCH_KIND::BRIX, root, rows[i], build_brix),
                                        root + rows[i].directory);
        },
        results, workers);
    RUN run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = children_cpu_seconds() - cpu0;
    for (const BRIX_BATCH_RESULT& r : results)
        run.passed += r.pass ? 1 : 0;
    run.files = outputs(programmer);
    return run;
}

void clear_outputs(const std::string& programmer) {
    for (const fs::directory_entry& e : fs::directory_iterator(programmer))
        if (e.is_regular_file())
            fs::remove(e.path());
}

// The rows as Slurm jobs. The jobs' CPU time is not this process's children's: the caller takes the rows' CPU
// time from the local run of the same rows.
RUN run_rows_on_slurm(const std::string& root, const std::vector<BRIX_BATCH_ROW>& rows,
                      const std::string& build_brix, const std::string& programmer) {
    clear_outputs(programmer);
    std::vector<std::string> lines;
    std::vector<BRIX_BATCH_RESULT> results(rows.size());
    for (const BRIX_BATCH_ROW& row : rows)
        lines.push_back(brix_batch_command_line(BRIX_BATCH_KIND::BRIX, root, row));
    const auto t0 = std::chrono::steady_clock::now();
    brix_slurm_run("all_brix", root, rows, lines, true, results, build_brix);
    RUN run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const BRIX_BATCH_RESULT& r : results)
        run.passed += r.pass ? 1 : 0;
    run.files = outputs(programmer);
    return run;
}

// The one-minute load average: the ratio below holds on an otherwise idle machine, and other work on the
// same cores stretches the wall time.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one_minute;
    in >> one_minute;
    return one_minute.empty() ? std::string("unknown") : one_minute;
}

int system_or_fail(const std::string& command) {
    int status = thr_system(command);
    if (status != 0)
        std::cerr << "bench_batch: failed (" << status << "): " << command << "\n";
    return status;
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
    if (system_or_fail(thr_shell_command({build.string() + "/brix_gen_samples", "--description",
                                          source + "/samples/sample_devices.json", "--installation",
                                          installation, "--out", work + "/devices"}) +
                       " >/dev/null") != 0 ||
        system_or_fail(thr_shell_command({build.string() + "/brix_sample_depot", "--devices",
                                          work + "/devices", "--depot", work + "/depot/vantrel"}) +
                       " >/dev/null") != 0)
        return 1;

    const std::string root = brix_batch_source_root(installation);
    const std::vector<BRIX_BATCH_ROW> rows = brix_batch_table(BRIX_BATCH_BRIX_TABLE);
    const std::string build_brix = build.string() + "/build_brix";
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

    const std::string load = load_average(); // other work on the machine, before the runs add theirs
    // The rows' own progress lines (and those of the builds they start) are not the benchmark's.
    std::cout.flush();
    const int saved_stdout = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    RUN one = run_rows(root, rows, build_brix, programmer, 1);
    RUN eight = run_rows(root, rows, build_brix, programmer, 8);
    const bool with_slurm = std::getenv("SLURM_CONF") != nullptr && brix_slurm_check().empty();
    RUN slurm;
    if (with_slurm)
        slurm = run_rows_on_slurm(root, rows, build_brix, programmer);
    std::cout.flush();
    dup2(saved_stdout, 1);
    close(null_fd);
    close(saved_stdout);

    const bool same = one.files == eight.files;
    const double floor = eight.cpu / cores;
    std::cout << "rows: " << rows.size() << ", passed: " << eight.passed << " (one worker: " << one.passed
              << ")\n"
              << "one worker:    wall " << one.wall << " s, rows' CPU " << one.cpu << " s\n"
              << "eight workers: wall " << eight.wall << " s, rows' CPU " << eight.cpu << " s\n"
              << "wall / (CPU / " << cores << " cores) = " << (floor > 0 ? eight.wall / floor : 0)
              << " (target <= 1.15; load average before the runs " << load << " on " << cores << " cores)\n"
              << "outputs with 1 and 8 workers: " << (same ? "identical" : "DIFFERENT") << " ("
              << eight.files.size() << " files)\n";
    bool slurm_same = true;
    if (with_slurm) {
        // Scheduling overhead: the wall time beyond the rows' CPU time spread over the cores, per row.
        const double overhead = (slurm.wall - floor) / double(rows.size());
        slurm_same = slurm.files == eight.files;
        std::cout << "Slurm jobs:    wall " << slurm.wall << " s (eight workers " << eight.wall
                  << " s), passed " << slurm.passed << "; overhead per row " << overhead
                  << " s (target <= 0.5)\n"
                  << "outputs of the Slurm jobs and of the local run: "
                  << (slurm_same ? "identical" : "DIFFERENT") << "\n";
    } else {
        std::cout << "Slurm jobs:    not run (no controller answers; tools/slurm_local.sh start, then set "
                     "SLURM_CONF)\n";
    }
    fs::remove_all(work);
    return same && slurm_same ? 0 : 1;
}
