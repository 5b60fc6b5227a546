// The build_brix executable: runs one operation and turns a failure report, or any other exception, into a
// printed report and exit status 1.
#include "cli/brix_main.h"
#include "msg_internal_error.h"

#include <csignal>

int main(int argc, char** argv) {
    // A write past the file-size limit then fails with EFBIG, which the writers report (and clean up after),
    // instead of killing the process with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    return MSG_INTERNAL_ERROR::run_main([&] { return brix_main(argc, argv); });
}
