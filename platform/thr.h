// Threads and shell commands.
//
// A failure report raised in a worker thread does not end the process from that thread: the worker stores
// it, and the thread that waits for the worker rethrows it, but only after it has waited for every other
// worker it still has running, so no thread outlives the run.
#pragma once

#include <string>
#include <vector>

struct THR_THREAD;
typedef THR_THREAD* THR_HANDLE;
typedef void* (*THR_FUNCTION)(void*);

// Starts function(argument); returns 0 (null) when no thread could be started. The third argument is kept
// for the calling convention and must be 0.
THR_HANDLE thr_thread_create(THR_FUNCTION function, void* argument, int flags);
// Non-zero while the thread runs.
int thr_thread_is_running(THR_HANDLE handle);
// Waits for the end of the thread and releases it. If the thread failed with a report, every other thread
// started by this thread and not yet waited for is waited for too, then the report is rethrown here.
void thr_thread_wait(THR_HANDLE handle);
void thr_msleep(unsigned milliseconds);

// Runs a command line through /bin/sh and returns its exit status (-1 if it could not be run).
int thr_system(const std::string& command_line);
// Runs a program with its arguments (no shell) in the given directory (empty: the current one), found on
// PATH unless it contains a "/". Standard output and error are the caller's. Returns the exit status, 128 +
// the signal number when it was killed, or 127 when it could not be started.
int thr_run_program(const std::vector<std::string>& arguments, const std::string& directory);
// Runs a command line; the result is not used.
void thr_run(const std::string& command_line);
// Quotes one word for /bin/sh so that blanks, quotes and metacharacters in it stay literal.
std::string thr_shell_quote(const std::string& word);
// Builds a command line from a program and its arguments, each quoted.
std::string thr_shell_command(const std::vector<std::string>& words);
// Test hook: after `after` more successful calls, makes the next `count` calls of thr_thread_create fail
// (return 0).
void thr_fail_next_thread_creates_for_testing(int count, int after = 0);
