// The build_brix executable: runs one operation and turns a failure report, or any other exception, into a
// printed report and exit status 1.
#include "batch/slurm_backend.h"
#include "cli/brix_main.h"
#include "msg_internal_error.h"

#include <csignal>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    // A write past the file-size limit then fails with EFBIG, which the writers report (and clean up after),
    // instead of killing the process with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // A batch row run as a scheduler job: the row comes as data in the named file, not on the command line.
    // The variable goes before the row starts, so the programs the row runs (this one among them) are
    // ordinary runs.
    if (const char* job = std::getenv(BRIX_BATCH_JOB_ENV)) {
        const std::string job_file = job;
        unsetenv(BRIX_BATCH_JOB_ENV);
        return MSG_INTERNAL_ERROR::run_main([&] { return brix_slurm_job_main(job_file); });
    }
    return MSG_INTERNAL_ERROR::run_main([&] { return brix_main(argc, argv); });
}
