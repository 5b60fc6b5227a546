// Shared pieces of the fuzz targets: quiet output, a scratch directory for readers that take a path, and
// the rule that a failure report is a normal outcome.
#pragma once

#include "msg_internal_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Sends std::cout and std::cerr to nowhere (the readers' progress and error texts would flood the log) and
// points the installation directory at the bundled sample installation. Call once from
// LLVMFuzzerInitialize.
void fuzz_setup();

// A fresh file in this process's scratch directory holding the input; same name on every call, so the
// previous input is replaced. The directory is removed when the process ends.
std::string fuzz_write_input(const std::string& name, const uint8_t* data, size_t size);

// The data gzip-compressed as one member, for targets whose reader takes compressed files.
std::vector<unsigned char> fuzz_gzip(const uint8_t* data, size_t size);

// The scratch directory (ends without "/").
const std::string& fuzz_scratch_dir();

// With BRIX_FUZZ_VERBOSE set in the environment, every report and the error messages on std::cerr are
// printed to standard error, for looking at what one input does: `BRIX_FUZZ_VERBOSE=1 build-fuzz/<target>
// <file>`.
void fuzz_note_report(const BRIX_INTERNAL_ERROR& error);

// Runs f; a failure report is a normal end for malformed input, anything else propagates to the fuzzer.
template <typename F> void fuzz_expect_report_or_success(F&& f) {
    try {
        f();
    } catch (const BRIX_INTERNAL_ERROR& error) {
        fuzz_note_report(error);
    }
}
