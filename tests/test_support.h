// Shared helpers for the unit tests.
#pragma once

#include "msg_internal_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Runs a statement and expects it to fail with a report whose condition text is exactly `text`.
#define EXPECT_BRIX_ERROR(statement, text)                                                                   \
    do {                                                                                                     \
        bool brix_reported_ = false;                                                                         \
        try {                                                                                                \
            statement;                                                                                       \
        } catch (const BRIX_INTERNAL_ERROR& brix_error_) {                                                   \
            brix_reported_ = true;                                                                           \
            EXPECT_EQ(std::string(text), brix_error_.condition());                                           \
        }                                                                                                    \
        EXPECT_TRUE(brix_reported_) << "expected the report: " << (text);                                    \
    } while (0)

// Runs statement, expects a report and returns it (for checks on the input context).
template <typename F> BRIX_INTERNAL_ERROR catch_brix_error(F&& f) {
    try {
        f();
    } catch (const BRIX_INTERNAL_ERROR& e) {
        return e;
    }
    ADD_FAILURE() << "expected an internal-error report";
    return BRIX_INTERNAL_ERROR("", "", "", 0, {});
}

// A fresh empty directory under the system temporary directory, removed with its content on destruction.
class TEMP_DIR {
  public:
    TEMP_DIR();
    ~TEMP_DIR();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Points the installation directory (BRIX_VANTREL_PATH) at path while it lives, with the device table
// reloaded; then restores the previous value, or unsets it when it was not set, and reloads again. Every test
// that changes the installation goes through it, so the tests also pass when run in one process.
class VANTREL_PATH_GUARD {
  public:
    explicit VANTREL_PATH_GUARD(const std::string& path);
    ~VANTREL_PATH_GUARD();
    VANTREL_PATH_GUARD(const VANTREL_PATH_GUARD&) = delete;
    VANTREL_PATH_GUARD& operator=(const VANTREL_PATH_GUARD&) = delete;

  private:
    bool m_had_old = false;
    std::string m_old;
};

struct COMMAND_RESULT {
    int status = -1;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs a command line through the shell and captures its output and exit status.
COMMAND_RESULT run_command(const std::string& command_line);

std::string read_text_file(const std::string& path);
void write_text_file(const std::string& path, const std::string& text);
