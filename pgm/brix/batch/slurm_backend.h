// The Slurm back end of the batches: each row of a batch becomes one Slurm job, all submitted at once.
//
// Chosen by the environment (the command line stays as it is): BRIX_BATCH_SCHEDULER=slurm, with
// BRIX_SLURM_OPTIONS holding extra sbatch arguments separated by blanks. A job runs this executable with
// BRIX_BATCH_JOB naming a file that holds the row as data (no shell ever reads a word of it); the executable
// then does the row's work exactly as the local back end does it. The batch process waits for every job by
// asking the controller with a backoff, prints each job's output when it ends, and cancels the jobs it
// submitted when it is interrupted. Job files live in a directory below the device database, which every
// node must see (a shared file system, like the source tree and the installation).
#pragma once

#include "batch/brix_batch.h"

#include <string>
#include <vector>

extern const char* const BRIX_BATCH_SCHEDULER_ENV; // "BRIX_BATCH_SCHEDULER": "slurm" or "local"
extern const char* const BRIX_SLURM_OPTIONS_ENV;   // "BRIX_SLURM_OPTIONS"
extern const char* const BRIX_BATCH_JOB_ENV;       // "BRIX_BATCH_JOB": set in a job only

// Exit status of a batch whose scheduler is not there (nothing was submitted or written).
const int BRIX_BATCH_SCHEDULER_STATUS = 10;

// True when the environment asks for Slurm. An unknown scheduler name gives a message in error.
bool brix_slurm_selected(std::string& error);

// Empty when the Slurm commands are on PATH and the controller answers; otherwise the one line that says
// what is missing and what to check.
std::string brix_slurm_check();

// How a job ended, from its state and exit code as the controller reports them.
struct BRIX_SLURM_END {
    bool finished = false; // false while the job is queued or running
    bool queued = false;   // not started yet
    bool pass = false;
    std::string reason; // for a Fail: "exit status 3", "cancelled", "time limit", "node lost", ...
};
// state: the job state ("COMPLETED", "FAILED", "CANCELLED", "CANCELLED by 0", "TIMEOUT", "NODE_FAIL", ...);
// exit_code: "status:signal" as the controller gives it ("" when unknown).
BRIX_SLURM_END brix_slurm_job_end(const std::string& state, const std::string& exit_code);

// The row handed to a job, as text. executable: the build_brix the job runs (empty: this executable).
std::string brix_slurm_encode_job(const std::string& batch, const std::string& root,
                                  const BRIX_BATCH_ROW& row, const std::string& executable = "");

// Runs one job: reads the row from job_file and does its work; returns the job's exit status (0: Pass).
int brix_slurm_job_main(const std::string& job_file);

// Splits BRIX_SLURM_OPTIONS into words at blanks (no quotes, no expansion).
std::vector<std::string> brix_slurm_split_options(const std::string& text);

// Runs the rows of a batch as Slurm jobs and fills results (one per row, in order; results holds the rows'
// devices and directories already). command_lines: the rows' "CMD" lines, empty for batches without one.
// worker_lines: print like -all_brix ("CMD <n> : " at submission, "Thread cmd: ... => Pass" at the end),
// otherwise each row's "CMD: " line, output and empty line in table order. Returns 0, or the number of the
// signal (SIGINT, SIGTERM) that interrupted the batch after its jobs were cancelled. executable: the
// build_brix each job runs (empty: this executable).
int brix_slurm_run(const std::string& batch, const std::string& root, const std::vector<BRIX_BATCH_ROW>& rows,
                   const std::vector<std::string>& command_lines, bool worker_lines,
                   std::vector<BRIX_BATCH_RESULT>& results, const std::string& executable = "");
