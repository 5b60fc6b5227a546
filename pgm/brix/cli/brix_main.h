// Program entry: command line, help and the choice of the one operation of a run.
#pragma once

#include <cstdint>

// Kinds of command-line options; BRIX_MAIN_MAX_ARG marks the terminating row of the argument table.
enum BRIX_MAIN_ARG_TYPE : int32_t {
    BRIX_MAIN_ARG_FLAG = 0,
    BRIX_MAIN_ARG_INTEGER = 1,
    BRIX_MAIN_ARG_STRING = 2,
    BRIX_MAIN_MAX_ARG = 3
};

// One row of the argument table: option name (matched ignoring case), kind, the variable it sets (bool,
// int32_t or std::string by kind) and its help text.
struct BRIX_MAIN_ARG_STRUCT {
    const char* name;
    int32_t type;
    void* ptr;
    const char* comment;
};

// The 20 options in help order, ended by a row with an empty name.
extern const BRIX_MAIN_ARG_STRUCT BRIX_MAIN_ARG_STRUCT_LIST[];

// Parses the command line, prints help or dispatches one operation; returns the exit status.
// Every option variable is reset to its default first, so it can be called more than once in a process.
int brix_main(int argc, char** argv);

// Parses the command line only: resets and fills the option variables and the file path list and returns
// 0 or the exit status of the first malformed argument (printing its one-line message). Prints no help,
// dispatches nothing and writes no file; brix_main uses it as its first step.
int brix_main_parse(int argc, char** argv);

// Self-test of an argument table (the `unit_test` option runs it on BRIX_MAIN_ARG_STRUCT_LIST); a defect is
// an internal-error report.
void brix_main_check_arg_table(const BRIX_MAIN_ARG_STRUCT* list);
