// The Slurm back end of the batches.
#include "batch/slurm_backend.h"

#include "batch/batch_progress.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "thr.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const BRIX_BATCH_SCHEDULER_ENV = "BRIX_BATCH_SCHEDULER";
const char* const BRIX_SLURM_OPTIONS_ENV = "BRIX_SLURM_OPTIONS";
const char* const BRIX_BATCH_JOB_ENV = "BRIX_BATCH_JOB";

namespace {

// The "CMD <n> : " lines of -all_brix number the rows as the local back end numbers its eight slots.
const size_t SLOT_COUNT = 8;
// Waiting: the controller is asked again after a pause that starts short and doubles up to the longest,
// and drops back to the shortest whenever a job has ended.
const int SHORTEST_PAUSE_MS = 200;
const int LONGEST_PAUSE_MS = 2000;

struct RUN_RESULT {
    int status = 127;
    std::string out;
    std::string err;
};

// Runs a program (found on PATH) with its arguments, no shell, with extra environment entries; collects its
// standard output and error.
RUN_RESULT run_captured(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& extra_env = {}) {
    RUN_RESULT result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    for (const std::string& e : extra_env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc == 0) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        std::string* texts[2] = {&result.out, &result.err};
        int open_count = 2;
        while (open_count > 0) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    texts[i]->append(buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    fds[i].fd = -1;
                    --open_count;
                }
            }
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
}

std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return gen_remove_leading_and_trailing_white_spaces(line);
}

std::string read_file_or_empty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path == nullptr ? "" : path);
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string self_executable() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("build_brix") : self.string();
}

// SIGINT and SIGTERM while jobs are out: the handler only writes the signal number into a pipe, which the
// waiting loop watches beside its pause.
int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void on_signal(int signal_number) {
    g_signal = signal_number;
    const char byte = static_cast<char>(signal_number);
    if (g_signal_pipe[1] >= 0)
        (void)!write(g_signal_pipe[1], &byte, 1);
}

class SIGNAL_GUARD {
  public:
    SIGNAL_GUARD() {
        g_signal = 0;
        if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            g_signal_pipe[0] = g_signal_pipe[1] = -1;
        struct sigaction action = {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_old_int);
        sigaction(SIGTERM, &action, &m_old_term);
    }
    ~SIGNAL_GUARD() {
        sigaction(SIGINT, &m_old_int, nullptr);
        sigaction(SIGTERM, &m_old_term, nullptr);
        for (int& fd : g_signal_pipe) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
    SIGNAL_GUARD(const SIGNAL_GUARD&) = delete;
    SIGNAL_GUARD& operator=(const SIGNAL_GUARD&) = delete;
    // Pauses for up to milliseconds; returns early when a signal came.
    void pause(int milliseconds) const {
        if (g_signal != 0)
            return;
        pollfd fd = {g_signal_pipe[0], POLLIN, 0};
        (void)poll(&fd, g_signal_pipe[0] >= 0 ? 1 : 0, milliseconds);
    }

  private:
    struct sigaction m_old_int = {};
    struct sigaction m_old_term = {};
};

// A row on its way through the scheduler.
struct JOB {
    std::string id;
    bool finished = false;
    bool queued = true;
    std::string output; // the block printed when the row ends
    std::chrono::steady_clock::time_point submitted;
};

// The fields of "scontrol show job -o" (one line of Name=value words).
std::map<std::string, std::string> job_fields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream words(first_line(text));
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos)
            fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

} // namespace

bool brix_slurm_selected(std::string& error) {
    const char* value = std::getenv(BRIX_BATCH_SCHEDULER_ENV);
    const std::string name = value == nullptr ? "" : stl_lower(value);
    if (name.empty() || name == "local")
        return false;
    if (name == "slurm")
        return true;
    error = std::string("build_brix: unknown batch scheduler \"") + value + "\" in " +
            BRIX_BATCH_SCHEDULER_ENV + " (use slurm or local)";
    return false;
}

std::string brix_slurm_check() {
    for (const char* program : {"sbatch", "squeue", "scontrol", "scancel"})
        if (!on_path(program))
            return std::string("build_brix: Slurm scheduler not available: ") + program +
                   " not found on PATH (install the Slurm client commands and put them on PATH)";
    RUN_RESULT ping = run_captured({"scontrol", "ping"});
    if (ping.status != 0 || ping.out.find("is UP") == std::string::npos) {
        std::string detail = first_line(ping.err.empty() ? ping.out : ping.err);
        return "build_brix: Slurm scheduler not available: the controller does not answer (scontrol ping" +
               (detail.empty() ? std::string("") : ": " + detail) +
               "; check that slurmctld runs and that SLURM_CONF names its slurm.conf)";
    }
    return "";
}

BRIX_SLURM_END brix_slurm_job_end(const std::string& state_text, const std::string& exit_code) {
    BRIX_SLURM_END end;
    const std::string state = state_text.substr(0, state_text.find(' '));
    static const char* const queued[] = {"PENDING", "CONFIGURING", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED"};
    static const char* const running[] = {"RUNNING",   "COMPLETING",    "SUSPENDED",
                                          "STOPPED",   "RESIZING",      "SIGNALING",
                                          "STAGE_OUT", "RESV_DEL_HOLD", "SPECIAL_EXIT"};
    for (const char* q : queued)
        if (state == q) {
            end.queued = true;
            return end;
        }
    for (const char* r : running)
        if (state == r)
            return end;
    end.finished = true;
    // "status:signal": a job killed by a signal has status 0 and the signal after the colon.
    const size_t colon = exit_code.find(':');
    const std::string status = exit_code.substr(0, colon);
    const std::string signal = colon == std::string::npos ? "" : exit_code.substr(colon + 1);
    static const std::pair<const char*, const char*> reasons[] = {
        {"CANCELLED", "cancelled"},         {"TIMEOUT", "time limit"},  {"NODE_FAIL", "node lost"},
        {"OUT_OF_MEMORY", "out of memory"}, {"PREEMPTED", "preempted"}, {"BOOT_FAIL", "node boot failure"},
        {"DEADLINE", "deadline passed"},    {"REVOKED", "revoked"},
    };
    if (state == "COMPLETED") {
        end.pass = status.empty() || status == "0";
        if (!end.pass)
            end.reason = "exit status " + status;
        return end;
    }
    if (state == "FAILED") {
        if (!signal.empty() && signal != "0")
            end.reason = "killed by signal " + signal;
        else
            end.reason = "exit status " + (status.empty() ? std::string("unknown") : status);
        return end;
    }
    for (const auto& r : reasons)
        if (state == r.first) {
            end.reason = r.second;
            return end;
        }
    end.reason = "job ended " + stl_lower(state);
    return end;
}

std::string brix_slurm_encode_job(const std::string& batch, const std::string& root,
                                  const BRIX_BATCH_ROW& row, const std::string& executable) {
    nlohmann::json job = {{"batch", batch},
                          {"root", root},
                          {"family", row.family},
                          {"directory", row.directory},
                          {"source", row.source},
                          {"device", row.device},
                          {"program", executable.empty() ? self_executable() : executable}};
    return job.dump(2) + "\n";
}

int brix_slurm_job_main(const std::string& job_file) {
    nlohmann::json job;
    try {
        job = nlohmann::json::parse(read_file_or_empty(job_file));
    } catch (const nlohmann::json::exception&) {
        BRIX_REPORT("Unreadable batch job file " + job_file);
    }
    std::map<std::string, std::string> field;
    for (const char* name : {"batch", "root", "family", "directory", "source", "device", "program"}) {
        BRIX_CHECK(job.contains(name) && job[name].is_string(),
                   "job.contains(name) && job[name].is_string()");
        field[name] = job[name].get<std::string>();
    }
    const BRIX_BATCH_ROW row = {field["family"].c_str(), field["directory"].c_str(), field["source"].c_str(),
                                field["device"].c_str()};
    // A job runs its row as the batch would, with the context of a batch run.
    const bool pass =
        brix_batch_run_row(BRIX_BUILD_CONTEXT(), field["batch"], field["root"], row, field["program"]);
    std::cout.flush();
    return pass ? 0 : 1;
}

std::vector<std::string> brix_slurm_split_options(const std::string& text) {
    return LINE_READER::words(text);
}

int brix_slurm_run(const std::string& batch, const std::string& root, const std::vector<BRIX_BATCH_ROW>& rows,
                   const std::vector<std::string>& command_lines, bool worker_lines,
                   std::vector<BRIX_BATCH_RESULT>& results, const std::string& executable) {
    namespace fs = std::filesystem;
    const std::string program = executable.empty() ? self_executable() : executable;
    results.resize(std::max(results.size(), rows.size()));
    // The job files: the row of each job, its script and its output, where every node sees them.
    const std::string job_dir =
        gen_get_device_db_fullpath() + "/programmer/.slurm_" + batch + "_" + std::to_string(getpid()) + "/";
    std::error_code error;
    fs::create_directories(job_dir, error);
    BRIX_CHECK(!error, "create_directories(job_dir)");
    {
        const std::string script = "#!/bin/sh\nexec " + thr_shell_quote(program) + "\n";
        FIO_ATOMIC_FILE file(job_dir + "job.sh");
        file.write(script.data(), script.size());
        file.commit();
    }
    const char* options_text = std::getenv(BRIX_SLURM_OPTIONS_ENV);
    const std::vector<std::string> options =
        brix_slurm_split_options(options_text == nullptr ? "" : options_text);

    BRIX_BATCH_PROGRESS progress(rows.size(), true);
    SIGNAL_GUARD signals;
    std::vector<JOB> jobs(rows.size());
    std::vector<std::string> blocks(rows.size());
    std::map<std::string, size_t> row_of_job;
    size_t next_block = 0; // rows printed in table order (batches without worker lines)
    size_t done = 0;
    size_t failed = 0;

    auto command_line = [&](size_t i) { return i < command_lines.size() ? command_lines[i] : std::string(); };
    auto finish = [&](size_t i, bool pass, const std::string& reason) {
        JOB& job = jobs[i];
        job.finished = true;
        results[i].pass = pass;
        results[i].reason = reason;
        results[i].seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - job.submitted).count();
        ++done;
        failed += pass ? 0 : 1;
        const std::string base = job_dir + "row-" + std::to_string(i);
        const std::string err = read_file_or_empty(base + ".err");
        if (!err.empty()) {
            std::cout.flush();
            std::cerr << err << std::flush;
        }
        std::string text = read_file_or_empty(base + ".out");
        if (worker_lines) {
            brix_batch_print(text + "Thread cmd: " + command_line(i) + (pass ? " => Pass\n" : " => Fail\n"));
            return;
        }
        const std::string line = command_line(i);
        blocks[i] = (line.empty() ? "" : "CMD: " + line + "\n") + text + (line.empty() ? "" : "\n");
        while (next_block < jobs.size() && jobs[next_block].finished)
            brix_batch_print(blocks[next_block++]);
    };

    // Every row is submitted before any is waited for, so the scheduler can spread them over its nodes.
    for (size_t i = 0; i < rows.size() && g_signal == 0; ++i) {
        const std::string base = job_dir + "row-" + std::to_string(i);
        const std::string row_text = brix_slurm_encode_job(batch, root, rows[i], program);
        {
            FIO_ATOMIC_FILE file(base + ".json");
            file.write(row_text.data(), row_text.size());
            file.commit();
        }
        if (worker_lines)
            brix_batch_print("CMD " + std::to_string(i % SLOT_COUNT) + " : " + command_line(i) + "\n\n");
        std::vector<std::string> sbatch = {"sbatch", "--parsable", "--export=ALL",
                                           "--job-name=brix_" + batch + "_" + rows[i].device};
        sbatch.insert(sbatch.end(), options.begin(), options.end());
        // Relative output names: the job directory's own path is never read as an output-name pattern.
        sbatch.insert(sbatch.end(), {"--chdir=" + job_dir, "--output=row-" + std::to_string(i) + ".out",
                                     "--error=row-" + std::to_string(i) + ".err", job_dir + "job.sh"});
        jobs[i].submitted = std::chrono::steady_clock::now();
        RUN_RESULT submitted = run_captured(sbatch, {std::string(BRIX_BATCH_JOB_ENV) + "=" + base + ".json"});
        const std::string id = first_line(submitted.out).substr(0, first_line(submitted.out).find(';'));
        if (submitted.status != 0 || id.empty()) {
            const std::string why = first_line(submitted.err);
            std::cout.flush();
            std::cerr << "build_brix: sbatch did not take the row of " << rows[i].device << ": " << why
                      << "\n";
            finish(i, false, "not submitted" + (why.empty() ? std::string("") : ": " + why));
            continue;
        }
        jobs[i].id = results[i].job_id = id;
        row_of_job[id] = i;
        progress.update(done, 0, failed, rows.size() - done);
    }

    // Waiting: one squeue call per pause for every job still out.
    int pause = SHORTEST_PAUSE_MS;
    while (g_signal == 0) {
        std::string ids;
        size_t queued = 0;
        size_t out = 0;
        for (const JOB& job : jobs)
            if (!job.finished && !job.id.empty()) {
                ids += (ids.empty() ? "" : ",") + job.id;
                ++out;
                queued += job.queued ? 1 : 0;
            }
        progress.update(done, out - queued, failed, queued);
        if (ids.empty())
            break;
        signals.pause(pause);
        if (g_signal != 0)
            break;
        RUN_RESULT listed =
            run_captured({"squeue", "--noheader", "--states=all", "--jobs=" + ids, "--format=%i|%T|%N"});
        bool changed = false;
        std::set<std::string> seen;
        std::istringstream lines(listed.out);
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> f;
            std::istringstream parts(line);
            std::string part;
            while (std::getline(parts, part, '|'))
                f.push_back(part);
            if (f.size() < 2)
                continue;
            seen.insert(f[0]);
            const auto found = row_of_job.find(f[0]);
            if (found == row_of_job.end() || jobs[found->second].finished)
                continue;
            const size_t i = found->second;
            if (f.size() > 2 && !f[2].empty())
                results[i].node = f[2];
            BRIX_SLURM_END end = brix_slurm_job_end(f[1], "0:0");
            if (!end.finished) {
                changed |= jobs[i].queued != end.queued;
                jobs[i].queued = end.queued;
                continue;
            }
            // The job's own record says how it ended (exit status, signal, the reason of a cancel).
            std::map<std::string, std::string> fields =
                job_fields(run_captured({"scontrol", "--oneliner", "show", "job", jobs[i].id}).out);
            end =
                brix_slurm_job_end(fields.count("JobState") ? fields["JobState"] : f[1], fields["ExitCode"]);
            if (fields.count("NodeList") && !fields["NodeList"].empty() && fields["NodeList"] != "(null)")
                results[i].node = fields["NodeList"];
            finish(i, end.pass, end.reason);
            changed = true;
        }
        // A job the controller no longer knows (purged after its end, before this batch saw it).
        if (listed.status == 0)
            for (size_t i = 0; i < jobs.size(); ++i)
                if (!jobs[i].finished && !jobs[i].id.empty() && seen.count(jobs[i].id) == 0) {
                    finish(i, false, "job unknown to the controller");
                    changed = true;
                }
        pause = changed ? SHORTEST_PAUSE_MS : std::min(pause * 2, LONGEST_PAUSE_MS);
    }

    const int interrupted = g_signal;
    if (interrupted != 0) {
        std::vector<std::string> cancel = {"scancel"};
        for (const JOB& job : jobs)
            if (!job.finished && !job.id.empty())
                cancel.push_back(job.id);
        if (cancel.size() > 1)
            (void)run_captured(cancel);
        for (size_t i = 0; i < jobs.size(); ++i)
            if (!jobs[i].finished) {
                jobs[i].finished = true;
                results[i].pass = false;
                results[i].reason = "cancelled: batch interrupted";
            }
    }
    progress.clear();
    fs::remove_all(job_dir, error);
    return interrupted;
}
