// Batch builds over every supported device.
#include "batch/brix_batch.h"

#include "batch/batch_progress.h"
#include "batch/slurm_backend.h"

#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"
#include "thr.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <unistd.h>

// ---- Tables
// ---------------------------------------------------------------------------------------------------

const BRIX_BATCH_ROW BRIX_BATCH_BRIX_TABLE[] = {
    {"slate", "devices/slate/slate_m1", "*xml *rbaz", "slate_d1"},
    {"slate", "devices/slate/slate_m2", "*xml *rbaz", "slate_d2"},
    {"slate", "devices/slate/slate_m3", "*xml *rbaz", "slate_d6"},
    {"slate", "devices/slate/slate_m4", "*xml *rbaz", "slate_d3"},
    {"slate", "devices/slate/slate_m5", "*xml *rbaz", "slate_d8"},
    {"slate", "devices/slate/slate_m6", "*xml *rbaz", "slate_d7"},
    {"slate", "devices/slate/slate_m7", "*xml *rbaz", "slate_d5"},
    {"basalt", "devices/basalt/basalt_d1", "*xml *rbaz", "basalt_d1_es"},
    {"basalt", "devices/basalt/basalt_d2", "*xml *rbaz", "basalt_d2"},
    {"basalt", "devices/basalt/basalt_d3", "*xml *rbaz", "basalt_d6"},
    {"basalt", "devices/basalt/basalt_d4", "*xml *rbaz", "basalt_d4"},
    {"basalt", "devices/basalt/basalt_m5", "*xml *rbaz", "basalt_d5"},
    {"granite", "devices/granite/granite_m1", "*xml *rbaz *rif", "granite_d1"},
    {"granite", "devices/granite/granite_m2", "*xml *rbaz *rif", "granite_d2"},
    {"granite", "devices/granite/granite_m3", "*xml *rbaz *rif", "granite_d3_es"},
    {"granite", "devices/granite/granite_m4", "*xml *rbaz *rif", "granite_d3"},
    {"granite", "devices/granite/granite_m5", "*xml *rbaz *rif", "granite_d4_es"},
    {"granite", "devices/granite/granite_m6", "*xml *rbaz *rif", "granite_d4"},
    {"granite", "devices/granite/granite_m7", "*xml *rbaz *rif", "granite_d5"},
    {"granite", "devices/granite/granite_m8", "*xml *rbaz *rif", "granite_d6"},
    {"harrier", "devices/harrier/harrier_m1", "*xml *rbaz", "harrier_d1"},
    {"harrier", "devices/harrier/harrier_m2", "*xml *rbaz", "harrier_d2"},
    {"harrier", "devices/harrier/harrier_m3", "*xml *rbaz", "harrier_d3"},
    {"harrier", "devices/harrier/harrier_m4", "*xml *rbaz", "harrier_d4"},
    {"harrier", "devices/harrier/harrier_m5", "*xml *rbaz", "harrier_d5"},
    {"talon", "devices/talon/tl1", "*xml *row* *rif", "talon_d1"},
    {"talon", "devices/talon/tl2", "*xml *row* *rif", "talon_d2"},
    {"talon", "devices/talon/tl3", "*xml *row* *rif", "talon_d3"},
    {"talon", "devices/talon/tl4es", "*xml *row* *rif", "talon_d4es"},
    {"talon", "devices/talon/tl4", "*xml *row* *rif", "talon_d4"},
    {"talon", "devices/talon/tl5es", "*xml *row* *rif", "talon_d5es"},
    {"talon", "devices/talon/tl5es2", "*xml *row* *rif", "talon_d5es2"},
    {"talon", "devices/talon/tl5", "*xml *row* *rif", "talon_d5"},
    {"kestrel", "devices/kestrel/kestrel_d3", "*xml", "kestrel_d3"},
    {"", "", "", ""},
};

const BRIX_BATCH_ROW BRIX_BATCH_RBA_TABLE[] = {
    {"slate", "devices/slate/slate_m1", "slate_m1.rbaz", "slate_d1"},
    {"slate", "devices/slate/slate_m2", "slate_m2.rbaz", "slate_d2"},
    {"slate", "devices/slate/slate_m3", "slate_m3.rbaz", "slate_d6"},
    {"slate", "devices/slate/slate_m4", "slate_m4.rbaz", "slate_d3"},
    {"slate", "devices/slate/slate_m5", "slate_m5.rbaz", "slate_d4"},
    {"slate", "devices/slate/slate_m6", "slate_m6.rbaz", "slate_d7"},
    {"slate", "devices/slate/slate_m7", "slate_m7.rbaz", "slate_d5"},
    {"basalt", "devices/basalt/basalt_d1", "basalt_r1.rbaz", "basalt_d1"},
    {"basalt", "devices/basalt/basalt_d2", "basalt_r2.rbaz", "basalt_d2"},
    {"basalt", "devices/basalt/basalt_d3", "basalt_r3.rbaz", "basalt_d3"},
    {"basalt", "devices/basalt/basalt_d4", "basalt_r4.rbaz", "basalt_d4"},
    {"basalt", "devices/basalt/basalt_m5", "basalt_m5.rbaz", "basalt_d5"},
    {"granite", "devices/granite/granite_m1", "granite_d1.rbaz", "granite_d1"},
    {"granite", "devices/granite/granite_m2", "granite_d2.rbaz", "granite_d2"},
    {"granite", "devices/granite/granite_m3", "granite_m3.rbaz", "granite_d3_es"},
    {"granite", "devices/granite/granite_m4", "granite_d3.rbaz", "granite_d3"},
    {"granite", "devices/granite/granite_m5", "granite_m5.rbaz", "granite_d4_es"},
    {"granite", "devices/granite/granite_m6", "granite_m6.rbaz", "granite_d4"},
    {"granite", "devices/granite/granite_m7", "granite_d5.rbaz", "granite_d5"},
    {"granite", "devices/granite/granite_m8", "granite_d6.rbaz", "granite_d6"},
    {"talon", "icd_data/talon/tl1/die1/fcrba/", "die1.rba", "talon_d1"},
    {"talon", "icd_data/talon/tl2/die2/fcrba/", "die2.rba", "talon_d2"},
    {"talon", "icd_data/talon/tl3/die3/fcrba/", "die3.rba", "talon_d3"},
    {"talon", "icd_data/talon/tl4/die4/fcrba/", "die4.rba", "talon_d4"},
    {"talon", "icd_data/talon/tl4es/die4/fcrba/", "die4.rba", "talon_d4es"},
    {"talon", "icd_data/talon/tl5/die5/fcrba/", "die5.rba", "talon_d5"},
    {"talon", "icd_data/talon/tl5es/die5/fcrba/", "die5.rba", "talon_d5es"},
    {"talon", "icd_data/talon/tl5es2/die5/fcrba/", "die5.rba", "talon_d5es2"},
    {"", "", "", ""},
};

const char* const BRIX_BATCH_FID_DEVICES[] = {
    "slate_d1",      "slate_d2",   "slate_d6",   "slate_d3",    "slate_d4",   "slate_d7",   "slate_d5",
    "basalt_d1",     "basalt_d2",  "basalt_d3",  "basalt_d4",   "basalt_d5",  "granite_d1", "granite_d2",
    "granite_d3_es", "granite_d3", "granite_d4", "granite_d5",  "granite_d6", "talon_d1",   "talon_d2",
    "talon_d3",      "talon_d4es", "talon_d4",   "talon_d5es2", "talon_d5",   nullptr,
};

const char* const BRIX_BATCH_CRAM_MAP_FAMILIES[] = {"granite", "basalt", nullptr};

namespace {

// The legacy PCF batch covers the first 20 rows of the BRIX table.
const size_t PCF_ROW_COUNT = 20;
const char* const INSTALLATION_TAIL = "/wrik/vantrel/";
const char* const SOURCE_TREE_TAIL = "/p4/vantrel/";
const size_t MAX_WORKERS = 8;

// Whole lines on standard output: the main thread and the workers print through here, so their lines never
// cut into each other.
std::mutex g_print_mutex;

void print_line(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    BRIX_BATCH_PROGRESS::before_print();
    std::cout << text << std::flush;
    BRIX_BATCH_PROGRESS::after_print();
}

// The programs a row starts: build_brix is this executable itself, so that a batch runs the same build it
// was started from; the outside tools are found on PATH.
std::string self_executable() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("build_brix") : self.string();
}

uint64_t file_size_or_zero(const std::string& path) {
    FIO_STATUS status;
    return FIO_FILE_SYSTEM::status(path, status) ? status.size : 0;
}

// Files of a directory whose names begin with prefix (ignoring case), sorted.
std::vector<std::pair<std::string, uint64_t>> files_with_prefix(const std::string& directory,
                                                                const std::string& prefix) {
    std::vector<std::pair<std::string, uint64_t>> found;
    std::error_code error;
    const std::string lower_prefix = stl_lower(prefix);
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file(error) &&
            stl_lower(name).compare(0, lower_prefix.size(), lower_prefix) == 0 &&
            name.find(".tmp.") == std::string::npos)
            found.emplace_back(it->path().string(), file_size_or_zero(it->path().string()));
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Output files of a row, looked up by the device's PCF name; none when the device is unknown.
std::vector<std::pair<std::string, uint64_t>> row_outputs(BRIX_BATCH_KIND kind, const std::string& device) {
    try {
        std::string pcf;
        if (kind == BRIX_BATCH_KIND::BRIX) {
            std::filesystem::path base =
                BRIX_DATA_SERVER::get_vantrel_pdb_path(BRIX_DATA_SERVER::get_pcf(device, false), false, true);
            return files_with_prefix(base.parent_path().string(), base.filename().string() + ".");
        }
        if (kind == BRIX_BATCH_KIND::RBA) {
            std::string path = BRIX_DATA_SERVER::get_device_rba_file(device, pcf);
            return {{path, file_size_or_zero(path)}};
        }
    } catch (const BRIX_INTERNAL_ERROR&) {
    }
    return {};
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string batch_output_directory() {
    return BRIX_BUILD_CONTEXT::programmer_directory();
}

} // namespace

void brix_batch_print(const std::string& text) {
    print_line(text);
}

std::vector<BRIX_BATCH_ROW> brix_batch_table(const BRIX_BATCH_ROW* table) {
    std::vector<BRIX_BATCH_ROW> rows;
    for (; table->family[0] != '\0'; ++table)
        rows.push_back(*table);
    return rows;
}

std::vector<BRIX_BATCH_ROW> brix_batch_pcf_rows() {
    std::vector<BRIX_BATCH_ROW> rows = brix_batch_table(BRIX_BATCH_BRIX_TABLE);
    rows.resize(std::min(rows.size(), PCF_ROW_COUNT));
    for (BRIX_BATCH_ROW& row : rows)
        row.source = std::string(row.family) == "granite" ? "*rbaz *rif *seu" : "*rbaz *seu";
    return rows;
}

std::string brix_batch_source_root(const std::string& installation) {
    const std::string tail = INSTALLATION_TAIL;
    BRIX_CHECK(installation.size() >= tail.size() &&
                   installation.rfind(tail) == installation.size() - tail.size(),
               "directory.rfind(\"/wrik/vantrel/\") == (directory.size() - 14)");
    return installation.substr(0, installation.size() - tail.size()) + SOURCE_TREE_TAIL;
}

std::vector<BRIX_BATCH_ROW> brix_batch_select(const std::vector<BRIX_BATCH_ROW>& table,
                                              const std::vector<std::string>& file_paths) {
    if (file_paths.empty())
        return table;
    std::vector<BRIX_BATCH_ROW> selected;
    for (const BRIX_BATCH_ROW& row : table)
        if (file_paths[0] == row.family)
            selected.push_back(row);
    return selected.empty() ? table : selected;
}

std::string brix_batch_command_line(BRIX_BATCH_KIND kind, const std::string& root,
                                    const BRIX_BATCH_ROW& row) {
    const std::string d = root + row.directory;
    const std::string device = row.device;
    std::string line = "mkdir \"" + d + "\"" + " & " + "cd \"" + d + "\"" + " & " + "dpx sync " + row.source;
    if (kind == BRIX_BATCH_KIND::RBA)
        return line;
    line += " & pwd";
    if (kind == BRIX_BATCH_KIND::BRIX)
        return line + " & " + "build_brix -device " + device;
    if (std::string(row.family) == "granite")
        line += " & gunzip -dcSf pgm_rif > pgm.rif";
    return line + " & " + "lgcgen -device " + device;
}

std::vector<BRIX_BATCH_STEP> brix_batch_steps(BRIX_BATCH_KIND kind, const std::string& root,
                                              const BRIX_BATCH_ROW& row, const std::string& build_program) {
    const std::string d = root + row.directory;
    std::vector<BRIX_BATCH_STEP> steps;
    steps.push_back({BRIX_BATCH_STEP::MKDIR, {d}});
    steps.push_back({BRIX_BATCH_STEP::CD, {d}});
    std::vector<std::string> sync = {"dpx", "sync"};
    for (const std::string& pattern : LINE_READER::words(row.source))
        sync.push_back(pattern);
    steps.push_back({BRIX_BATCH_STEP::PROGRAM, sync});
    if (kind == BRIX_BATCH_KIND::RBA)
        return steps;
    steps.push_back({BRIX_BATCH_STEP::PWD, {}});
    if (kind == BRIX_BATCH_KIND::BRIX) {
        steps.push_back({BRIX_BATCH_STEP::PROGRAM,
                         {build_program.empty() ? self_executable() : build_program, "-device", row.device}});
        return steps;
    }
    if (std::string(row.family) == "granite")
        steps.push_back({BRIX_BATCH_STEP::GUNZIP, {"pgm_rif", "pgm.rif"}});
    steps.push_back({BRIX_BATCH_STEP::PROGRAM, {"lgcgen", "-device", row.device}});
    return steps;
}

std::string brix_batch_rba_file(const std::string& root, const BRIX_BATCH_ROW& row) {
    return root + row.directory + "/" + row.source;
}

bool brix_batch_run_steps(const std::vector<BRIX_BATCH_STEP>& steps, const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const BRIX_BATCH_STEP& step : steps) {
        switch (step.kind) {
        case BRIX_BATCH_STEP::MKDIR:
            // An existing directory is the normal case of a rebuild.
            fs::create_directories(step.arguments[0], error);
            if (error && !fs::is_directory(step.arguments[0]))
                return false;
            break;
        case BRIX_BATCH_STEP::CD:
            if (!fs::is_directory(step.arguments[0], error))
                return false;
            break;
        case BRIX_BATCH_STEP::PWD: {
            fs::path here = fs::canonical(directory, error);
            print_line((error ? directory : here.string()) + "\n");
            break;
        }
        case BRIX_BATCH_STEP::GUNZIP:
            try {
                FIO_FILE_SYSTEM::gunzip_file(directory + "/" + step.arguments[0],
                                             directory + "/" + step.arguments[1]);
            } catch (const BRIX_INTERNAL_ERROR& e) {
                std::lock_guard<std::mutex> lock(g_print_mutex);
                MSG_INTERNAL_ERROR::print(e);
                return false;
            }
            break;
        case BRIX_BATCH_STEP::PROGRAM: {
            {
                // The child writes to the same standard output: what this process buffered goes first.
                std::lock_guard<std::mutex> lock(g_print_mutex);
                std::cout.flush();
                std::fflush(stdout);
            }
            if (thr_run_program(step.arguments, directory) != 0)
                return false;
            break;
        }
        }
    }
    return true;
}

namespace {

// Worker slots: a slot is free when it holds no thread or its thread has finished. Workers signal the
// condition when they start and when they finish, so the main thread sleeps instead of polling.
struct WORKER_POOL {
    std::mutex mutex;
    std::condition_variable changed;
    THR_HANDLE handles[MAX_WORKERS] = {};
    bool started[MAX_WORKERS] = {};
    bool finished[MAX_WORKERS] = {};
    size_t done = 0;   // rows ended
    size_t failed = 0; // of them, rows that failed
};

struct WORKER_JOB {
    WORKER_POOL* pool;
    size_t slot;
    size_t row;
    std::string command_line; // owned by the worker
    const std::function<bool(size_t)>* run_row;
    BRIX_BATCH_RESULT* result;
};

void* batch_worker(void* argument) {
    std::unique_ptr<WORKER_JOB> job(static_cast<WORKER_JOB*>(argument));
    WORKER_POOL& pool = *job->pool;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.started[job->slot] = true;
    }
    pool.changed.notify_all();
    const auto start = std::chrono::steady_clock::now();
    bool pass = false;
    try {
        pass = (*job->run_row)(job->row);
    } catch (const BRIX_INTERNAL_ERROR& e) {
        std::lock_guard<std::mutex> lock(g_print_mutex);
        MSG_INTERNAL_ERROR::print(e);
    }
    job->result->pass = pass;
    job->result->seconds = seconds_since(start);
    print_line("Thread cmd: " + job->command_line + (pass ? " => Pass\n" : " => Fail\n"));
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.finished[job->slot] = true;
        ++pool.done;
        pool.failed += pass ? 0 : 1;
    }
    pool.changed.notify_all();
    return nullptr;
}

} // namespace

bool brix_batch_run_workers(const std::vector<std::string>& command_lines,
                            const std::function<bool(size_t)>& run_row,
                            std::vector<BRIX_BATCH_RESULT>& results, size_t max_workers) {
    WORKER_POOL pool;
    const size_t slots = std::max<size_t>(1, std::min(max_workers, MAX_WORKERS));
    bool all_started = true;
    results.resize(std::max(results.size(), command_lines.size()));
    BRIX_BATCH_PROGRESS progress(command_lines.size(), false);
    // The status line, from counts taken under the pool's lock (the line itself is drawn outside it).
    auto show_progress = [&](size_t started) {
        size_t done = 0;
        size_t failed = 0;
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            done = pool.done;
            failed = pool.failed;
        }
        progress.update(done, started - done, failed);
    };
    size_t launched = 0;
    for (size_t row = 0; row < command_lines.size(); ++row) {
        size_t slot = MAX_WORKERS;
        for (bool free_slot = false; !free_slot;) {
            show_progress(launched);
            std::unique_lock<std::mutex> lock(pool.mutex);
            // Woken when a worker ends; once a second otherwise, for the elapsed time of the status line.
            free_slot = pool.changed.wait_for(lock, std::chrono::seconds(1), [&] {
                for (size_t s = 0; s < slots; ++s)
                    if (pool.handles[s] == nullptr || pool.finished[s]) {
                        slot = s;
                        return true;
                    }
                return false;
            });
        }
        if (pool.handles[slot] != nullptr) {
            thr_thread_wait(pool.handles[slot]);
            pool.handles[slot] = nullptr;
        }
        print_line("CMD " + std::to_string(slot) + " : " + command_lines[row] + "\n");
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            pool.started[slot] = pool.finished[slot] = false;
        }
        WORKER_JOB* job = new WORKER_JOB{&pool, slot, row, command_lines[row], &run_row, &results[row]};
        THR_HANDLE handle = thr_thread_create(batch_worker, job, 0);
        if (handle == nullptr) {
            delete job;
            try {
                BRIX_REPORT("thread_ids[active_thread] != 0");
            } catch (const BRIX_INTERNAL_ERROR& e) {
                std::lock_guard<std::mutex> lock(g_print_mutex);
                MSG_INTERNAL_ERROR::print(e);
            }
            all_started = false;
            break;
        }
        {
            std::unique_lock<std::mutex> lock(pool.mutex);
            pool.handles[slot] = handle;
            pool.changed.wait(lock, [&] { return pool.started[slot]; });
        }
        ++launched;
        print_line("\n");
    }
    for (size_t s = 0; s < MAX_WORKERS; ++s)
        if (pool.handles[s] != nullptr) {
            show_progress(launched);
            thr_thread_wait(pool.handles[s]);
        }
    return all_started;
}

void brix_batch_report(const std::string& batch, const std::vector<BRIX_BATCH_RESULT>& results,
                       const std::string& report_file) {
    size_t failed = 0;
    for (const BRIX_BATCH_RESULT& r : results)
        failed += r.pass ? 0 : 1;
    std::ostringstream text;
    text << "\nBatch report " << batch << ": " << results.size() - failed << " Pass, " << failed << " Fail\n";
    text << "   " << std::left << std::setw(16) << "Device" << std::setw(7) << "Result" << std::right
         << std::setw(10) << "Time (s)"
         << "  Outputs\n";
    nlohmann::json rows = nlohmann::json::array();
    for (const BRIX_BATCH_RESULT& r : results) {
        text << "   " << std::left << std::setw(16) << r.device << std::setw(7) << (r.pass ? "Pass" : "Fail")
             << std::right << std::setw(10) << std::fixed << std::setprecision(2) << r.seconds << " ";
        nlohmann::json outputs = nlohmann::json::array();
        for (const auto& output : r.outputs) {
            if (!FIO_FILE_SYSTEM::exists(output.first)) {
                text << " " << output.first << " (not written)";
                outputs.push_back({{"path", output.first}, {"size", nullptr}});
                continue;
            }
            text << " " << output.first << " (" << output.second << " bytes)";
            outputs.push_back({{"path", output.first}, {"size", output.second}});
        }
        if (r.outputs.empty())
            text << " -";
        // Rows run by a scheduler: the job and its node, and why a failed job ended.
        if (!r.job_id.empty())
            text << "  job " << r.job_id << " on " << (r.node.empty() ? "-" : r.node);
        if (!r.pass && !r.reason.empty())
            text << "  (" << r.reason << ")";
        text << "\n";
        nlohmann::json row = {{"device", r.device},
                              {"directory", r.directory},
                              {"result", r.pass ? "Pass" : "Fail"},
                              {"seconds", r.seconds},
                              {"outputs", outputs}};
        if (!r.job_id.empty()) {
            row["job_id"] = r.job_id;
            row["node"] = r.node;
        }
        if (!r.reason.empty())
            row["reason"] = r.reason;
        rows.push_back(row);
    }
    text << "   Report: " << report_file << "\n";
    print_line(text.str());
    nlohmann::json document = {
        {"batch", batch}, {"pass", results.size() - failed}, {"fail", failed}, {"rows", rows}};
    const std::string json = document.dump(2) + "\n";
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(report_file).parent_path(), error);
    FIO_ATOMIC_FILE file(report_file);
    file.write(json.data(), json.size());
    file.commit();
}

void brix_batch_fail_rows_without_outputs(std::vector<BRIX_BATCH_RESULT>& results) {
    for (BRIX_BATCH_RESULT& r : results)
        if (r.pass && std::none_of(r.outputs.begin(), r.outputs.end(),
                                   [](const auto& output) { return FIO_FILE_SYSTEM::exists(output.first); }))
            r.pass = false;
}

// ---- The batch operations
// -----------------------------------------------------------------------------------------

namespace {

// outputs_expected: the rows of the batch write files, listed in their outputs.
int finish_batch(const std::string& batch, std::vector<BRIX_BATCH_RESULT>& results, bool all_started,
                 bool outputs_expected = true) {
    if (outputs_expected)
        brix_batch_fail_rows_without_outputs(results);
    brix_batch_report(batch, results, batch_output_directory() + batch + "_report.json");
    if (!all_started)
        return 1;
    for (const BRIX_BATCH_RESULT& r : results)
        if (!r.pass)
            return BRIX_BATCH_FAILED_STATUS;
    return 0;
}

BRIX_BATCH_RESULT new_result(const std::string& device, const std::string& directory) {
    BRIX_BATCH_RESULT r;
    r.device = device;
    r.directory = directory;
    return r;
}

// Batches of one installation run one at a time: they share the source tree's row directories and the
// programmer directory. The batch takes the installation's lock file for its whole run; a batch that finds
// it taken prints one line naming the running batch's process and ends at once. False then.
bool lock_installation(FIO_LOCK_FILE& lock, const std::string& batch) {
    const std::string directory = batch_output_directory();
    gen_create_installation_directories(directory);
    const std::string path = directory + "batch.lock";
    std::string holder;
    if (lock.try_lock(path, "process " + std::to_string(::getpid()) + " (build_brix -" + batch + ")", holder))
        return true;
    std::cout.flush();
    std::cerr << "Another batch runs on this installation: " << (holder.empty() ? "a process" : holder)
              << " holds " << path << "; -" << batch << " does not start\n";
    return false;
}

} // namespace

namespace {

// The scheduler chosen by the environment: 0 when the rows run here, -1 when they run as Slurm jobs, and
// otherwise the exit status of a batch that must not start (the one line that says why is printed).
int choose_scheduler() {
    std::string error;
    const bool slurm = brix_slurm_selected(error);
    if (!slurm && error.empty())
        return 0;
    if (error.empty())
        error = brix_slurm_check();
    if (error.empty())
        return -1;
    std::cout.flush();
    std::cerr << error << "\n";
    return BRIX_BATCH_SCHEDULER_STATUS;
}

// A batch through Slurm: every row one job; a batch interrupted by a signal ends with 128 + its number.
int run_on_slurm(const std::string& batch, const std::string& root, const std::vector<BRIX_BATCH_ROW>& rows,
                 const std::vector<std::string>& command_lines, bool worker_lines,
                 std::vector<BRIX_BATCH_RESULT>& results, BRIX_BATCH_KIND kind, bool has_outputs) {
    const int signal_number = brix_slurm_run(batch, root, rows, command_lines, worker_lines, results);
    if (has_outputs)
        for (BRIX_BATCH_RESULT& r : results)
            if (r.pass || kind == BRIX_BATCH_KIND::RBA)
                r.outputs = row_outputs(kind, r.device);
    const int status = finish_batch(batch, results, true, has_outputs);
    return signal_number != 0 ? 128 + signal_number : status;
}

} // namespace

bool brix_batch_run_row(const BRIX_BUILD_CONTEXT& context, const std::string& batch, const std::string& root,
                        const BRIX_BATCH_ROW& row, const std::string& build_program) {
    if (batch == "all_cram_map") {
        build_family_cram_map(context, row.device);
        return true;
    }
    if (batch == "all_fid")
        // A FID whose phantom image disagrees with its RBA is written but does not pass.
        return build_device_fid(context, row.device) == 0;
    const BRIX_BATCH_KIND kind = batch == "all_rba"    ? BRIX_BATCH_KIND::RBA
                                 : batch == "all_brix" ? BRIX_BATCH_KIND::BRIX
                                                       : BRIX_BATCH_KIND::PCF;
    BRIX_CHECK(batch == "all_rba" || batch == "all_brix" || batch == "all_pcf", "known batch");
    const bool pass =
        brix_batch_run_steps(brix_batch_steps(kind, root, row, build_program), root + row.directory);
    if (kind == BRIX_BATCH_KIND::RBA)
        build_pgm_rba(context, row.device, brix_batch_rba_file(root, row));
    return pass;
}

namespace {

// A batch whose rows run one after the other (the RBA and PCF batches): each row's "CMD" line, its steps and
// build, then an empty line. has_outputs: the rows write files under the programmer directory, and a row that
// wrote none fails.
int run_rows_in_order(const BRIX_BUILD_CONTEXT& context, const std::string& batch, BRIX_BATCH_KIND kind,
                      const std::vector<BRIX_BATCH_ROW>& rows, bool has_outputs) {
    const std::string root = brix_batch_source_root(context.installation_directory());
    const int scheduler = choose_scheduler();
    if (scheduler > 0)
        return scheduler;
    FIO_LOCK_FILE lock;
    if (!lock_installation(lock, batch))
        return BRIX_BATCH_BUSY_STATUS;
    std::vector<BRIX_BATCH_RESULT> results;
    if (scheduler < 0) {
        std::vector<std::string> command_lines;
        for (const BRIX_BATCH_ROW& row : rows) {
            command_lines.push_back(brix_batch_command_line(kind, root, row));
            results.push_back(new_result(row.device, root + row.directory));
        }
        return run_on_slurm(batch, root, rows, command_lines, false, results, kind, has_outputs);
    }
    BRIX_BATCH_PROGRESS progress(rows.size(), false);
    size_t failed = 0;
    for (const BRIX_BATCH_ROW& row : rows) {
        progress.update(results.size(), 1, failed);
        const auto start = std::chrono::steady_clock::now();
        print_line("CMD: " + brix_batch_command_line(kind, root, row) + "\n");
        results.push_back(new_result(row.device, root + row.directory));
        results.back().pass = brix_batch_run_row(context, batch, root, row);
        failed += results.back().pass ? 0 : 1;
        print_line("\n");
        results.back().seconds = seconds_since(start);
        if (has_outputs)
            results.back().outputs = row_outputs(kind, row.device);
    }
    progress.clear();
    return finish_batch(batch, results, true, has_outputs);
}

} // namespace

int build_all_rba(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths) {
    return run_rows_in_order(context, "all_rba", BRIX_BATCH_KIND::RBA,
                             brix_batch_select(brix_batch_table(BRIX_BATCH_RBA_TABLE), file_paths), true);
}

int build_all_pcf(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths) {
    // The PCF rows leave their files in the source tree, not under the programmer directory.
    return run_rows_in_order(context, "all_pcf", BRIX_BATCH_KIND::PCF,
                             brix_batch_select(brix_batch_pcf_rows(), file_paths), false);
}

int build_all_brix(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths) {
    const std::string root = brix_batch_source_root(context.installation_directory());
    const std::vector<BRIX_BATCH_ROW> rows =
        brix_batch_select(brix_batch_table(BRIX_BATCH_BRIX_TABLE), file_paths);
    const int scheduler = choose_scheduler();
    if (scheduler > 0)
        return scheduler;
    FIO_LOCK_FILE lock;
    if (!lock_installation(lock, "all_brix"))
        return BRIX_BATCH_BUSY_STATUS;
    std::vector<std::string> command_lines;
    std::vector<BRIX_BATCH_RESULT> results;
    for (const BRIX_BATCH_ROW& row : rows) {
        command_lines.push_back(brix_batch_command_line(BRIX_BATCH_KIND::BRIX, root, row));
        results.push_back(new_result(row.device, root + row.directory));
    }
    if (scheduler < 0)
        return run_on_slurm("all_brix", root, rows, command_lines, true, results, BRIX_BATCH_KIND::BRIX,
                            true);
    const bool all_started = brix_batch_run_workers(
        command_lines, [&](size_t i) { return brix_batch_run_row(context, "all_brix", root, rows[i]); },
        results);
    // A row that never started has no result of its own.
    for (BRIX_BATCH_RESULT& r : results)
        if (r.pass)
            r.outputs = row_outputs(BRIX_BATCH_KIND::BRIX, r.device);
    return finish_batch("all_brix", results, all_started);
}

namespace {

// Runs an in-process build per name (a family or a device); a failing build ends the run with its report,
// so every row that reaches the report passed or was told not to pass. Through a scheduler each name is one
// job, and a build that fails there is a Fail row.
int run_in_process(const BRIX_BUILD_CONTEXT& context, const std::string& batch, const char* const* names,
                   const std::function<std::string(const std::string&)>& output_file) {
    std::vector<BRIX_BATCH_ROW> rows;
    for (; *names != nullptr; ++names)
        rows.push_back({*names, "", "", *names});
    const int scheduler = choose_scheduler();
    if (scheduler > 0)
        return scheduler;
    FIO_LOCK_FILE lock;
    if (!lock_installation(lock, batch))
        return BRIX_BATCH_BUSY_STATUS;
    std::vector<BRIX_BATCH_RESULT> results;
    for (const BRIX_BATCH_ROW& row : rows)
        results.push_back(new_result(row.device, ""));
    int signal_number = 0;
    if (scheduler < 0) {
        signal_number = brix_slurm_run(batch, "", rows, {}, false, results);
    } else {
        BRIX_BATCH_PROGRESS progress(rows.size(), false);
        size_t failed = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            progress.update(i, 1, failed);
            const auto start = std::chrono::steady_clock::now();
            results[i].pass = brix_batch_run_row(context, batch, "", rows[i]);
            failed += results[i].pass ? 0 : 1;
            results[i].seconds = seconds_since(start);
        }
    }
    for (BRIX_BATCH_RESULT& r : results) {
        const std::string output = output_file(r.device);
        r.outputs.emplace_back(output, file_size_or_zero(output));
    }
    const int status = finish_batch(batch, results, true);
    return signal_number != 0 ? 128 + signal_number : status;
}

} // namespace

int build_all_cram_map(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>&) {
    return run_in_process(
        context, "all_cram_map", BRIX_BATCH_CRAM_MAP_FAMILIES,
        [](const std::string& family) { return BRIX_DATA_SERVER::get_family_cram_map_file(family); });
}

int build_all_fid(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>&) {
    return brix_batch_fid(context, BRIX_BATCH_FID_DEVICES);
}

int brix_batch_fid(const BRIX_BUILD_CONTEXT& context, const char* const* devices) {
    return run_in_process(context, "all_fid", devices, [](const std::string& device) {
        std::string pcf;
        return BRIX_DATA_SERVER::get_device_fid_file(device, pcf);
    });
}
