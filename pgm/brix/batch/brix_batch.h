// Batch builds: the tables of supported devices, the command lines of their rows, and the runs over them.
//
// A row's command line is printed as the "CMD" text of docs/batch.md, whose steps are joined with " & " (run
// one after the other). Here the steps run without a shell: each step runs in sequence in the row's
// directory, programs are started with their arguments as separate words (directory names and patterns are
// never re-parsed by a shell), and the row stops at its first failing step. A row passes when every step
// passed.
#pragma once

#include "context/build_context.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class BRIX_BUILD_CONTEXT;

// One row of a batch table. A table ends at the first row whose family is empty.
struct BRIX_BATCH_ROW {
    const char* family;    // lower case
    const char* directory; // below the source tree root
    const char* source;    // source file patterns, or one source file
    const char* device;    // device name
};

enum class BRIX_BATCH_KIND { RBA, BRIX, PCF };

extern const BRIX_BATCH_ROW BRIX_BATCH_BRIX_TABLE[];
extern const BRIX_BATCH_ROW BRIX_BATCH_RBA_TABLE[];
// Devices of the FID batch, in order; ends with a null entry.
extern const char* const BRIX_BATCH_FID_DEVICES[];
// Families of the CRAM map batch, in order; ends with a null entry.
extern const char* const BRIX_BATCH_CRAM_MAP_FAMILIES[];

// The rows of the legacy PCF batch: the slate, basalt and granite rows of the BRIX table with their own
// source patterns.
std::vector<BRIX_BATCH_ROW> brix_batch_pcf_rows();

// Source tree root of an installation directory: ".../wrik/vantrel/" becomes ".../p4/vantrel/".
std::string brix_batch_source_root(const std::string& installation);

// Rows of a table after the family filter: when the first file path names the family of some row, only
// that family's rows; otherwise every row.
std::vector<BRIX_BATCH_ROW> brix_batch_select(const std::vector<BRIX_BATCH_ROW>& table,
                                              const std::vector<std::string>& file_paths);
std::vector<BRIX_BATCH_ROW> brix_batch_table(const BRIX_BATCH_ROW* table);

// One step of a row.
struct BRIX_BATCH_STEP {
    enum KIND { MKDIR, CD, PROGRAM, PWD, GUNZIP } kind;
    std::vector<std::string> arguments; // PROGRAM: program and arguments; GUNZIP: input, output
};

// The command line of a row as docs/batch.md shows it (printed after "CMD") and the steps that carry it out.
std::string brix_batch_command_line(BRIX_BATCH_KIND kind, const std::string& root, const BRIX_BATCH_ROW& row);
// build_program is the executable the BRIX rows start (empty: this executable itself).
std::vector<BRIX_BATCH_STEP> brix_batch_steps(BRIX_BATCH_KIND kind, const std::string& root,
                                              const BRIX_BATCH_ROW& row,
                                              const std::string& build_program = "");
// The RBA file the PGM RBA batch builds from: root + directory + "/" + file (a directory that already ends
// in "/" gives "//", passed on unchanged).
std::string brix_batch_rba_file(const std::string& root, const BRIX_BATCH_ROW& row);
// Runs the steps of a row in its directory (root + directory); true when every step passed.
bool brix_batch_run_steps(const std::vector<BRIX_BATCH_STEP>& steps, const std::string& directory);

// Result of one row, for the batch report.
struct BRIX_BATCH_RESULT {
    std::string device;
    std::string directory;
    bool pass = false;
    double seconds = 0;
    std::vector<std::pair<std::string, uint64_t>> outputs; // path and size
    // Scheduler back end only: the row's job, the node it ran on and, for a Fail, why the job ended.
    std::string job_id;
    std::string node;
    std::string reason;
};

// Prints whole lines on standard output (the main thread and the workers never cut into each other's lines).
void brix_batch_print(const std::string& text);

// The work of one row of a batch ("all_rba", "all_brix", "all_pcf", "all_cram_map", "all_fid"), as the
// local back end does it and as a scheduler job does it: the row's steps in its directory, then for the PGM
// RBA batch the in-process build (which runs whatever the steps gave), for the CRAM map and FID batches the
// in-process build of row.device (a family or a device). True when the row passed.
bool brix_batch_run_row(const BRIX_BUILD_CONTEXT& context, const std::string& batch, const std::string& root,
                        const BRIX_BATCH_ROW& row, const std::string& build_program = "");

// Runs rows on up to max_workers (at most eight) worker threads. For each row, in order: waits (without
// spinning) for a free slot, prints "CMD <slot> : <command line>", starts a worker that calls run_row(row
// index), waits until the worker runs, prints an empty line. A worker prints "Thread cmd: <command line> =>
// Pass" or "=> Fail". When a worker cannot be started, the report is printed, no further rows start and the
// started ones are waited for; the function then returns false. Results are stored by row index.
bool brix_batch_run_workers(const std::vector<std::string>& command_lines,
                            const std::function<bool(size_t)>& run_row,
                            std::vector<BRIX_BATCH_RESULT>& results, size_t max_workers = 8);

// Prints the summary table of a batch and writes it as JSON to report_file (landing whole).
void brix_batch_report(const std::string& batch, const std::vector<BRIX_BATCH_RESULT>& results,
                       const std::string& report_file);

// A row that passed but wrote none of its outputs (none listed, or none of those listed exists) fails.
void brix_batch_fail_rows_without_outputs(std::vector<BRIX_BATCH_RESULT>& results);

// The FID batch over a list of devices ended by a null entry (the -all_fid operation runs it on
// BRIX_BATCH_FID_DEVICES); the batch's exit status.
int brix_batch_fid(const BRIX_BUILD_CONTEXT& context, const char* const* devices);

// Exit status of a batch whose rows did not all pass.
const int BRIX_BATCH_FAILED_STATUS = 9;
// Exit status of a batch that did not start because another batch runs on the same installation.
const int BRIX_BATCH_BUSY_STATUS = 11;
