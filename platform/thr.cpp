#include "thr.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

struct THR_THREAD {
    std::thread thread;
    std::atomic<bool> running{true};
    std::exception_ptr error;
    std::thread::id owner;
    bool joined = false;
};

namespace {
std::mutex g_registry_mutex;
std::vector<THR_THREAD*> g_registry; // threads started and not yet waited for
std::atomic<int> g_fail_creates{0};
std::atomic<int> g_creates_before_failing{0};

void unregister(THR_THREAD* t) {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (auto it = g_registry.begin(); it != g_registry.end(); ++it)
        if (*it == t) {
            g_registry.erase(it);
            return;
        }
}

void join_and_release(THR_THREAD* t) {
    if (t->thread.joinable())
        t->thread.join();
}
} // namespace

THR_HANDLE thr_thread_create(THR_FUNCTION function, void* argument, int) {
    if (g_fail_creates.load() > 0 && g_creates_before_failing.fetch_sub(1) <= 0 &&
        g_fail_creates.fetch_sub(1) > 0)
        return nullptr;
    THR_THREAD* t = new THR_THREAD;
    t->owner = std::this_thread::get_id();
    try {
        t->thread = std::thread([t, function, argument] {
            try {
                function(argument);
            } catch (...) {
                t->error = std::current_exception();
            }
            t->running = false;
        });
    } catch (const std::system_error&) {
        delete t;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    g_registry.push_back(t);
    return t;
}

int thr_thread_is_running(THR_HANDLE handle) {
    return handle && handle->running.load() ? 1 : 0;
}

void thr_thread_wait(THR_HANDLE handle) {
    if (!handle)
        return;
    join_and_release(handle);
    unregister(handle);
    std::exception_ptr error = handle->error;
    delete handle;
    if (!error)
        return;
    // Wait for the other workers of this thread before the failure travels on.
    std::vector<THR_THREAD*> others;
    {
        std::lock_guard<std::mutex> lock(g_registry_mutex);
        for (auto it = g_registry.begin(); it != g_registry.end();) {
            if ((*it)->owner == std::this_thread::get_id()) {
                others.push_back(*it);
                it = g_registry.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (THR_THREAD* t : others) {
        join_and_release(t);
        delete t;
    }
    std::rethrow_exception(error);
}

void thr_msleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int thr_system(const std::string& command_line) {
    int status = std::system(command_line.c_str());
    if (status == -1)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int thr_run_program(const std::vector<std::string>& arguments, const std::string& directory) {
    if (arguments.empty())
        return 127;
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // posix_spawn changes directory in the child only: worker threads running programs in different
    // directories never touch the process's own working directory.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return 127;
    if (!directory.empty() && posix_spawn_file_actions_addchdir_np(&actions, directory.c_str()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return 127;
    }
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void thr_run(const std::string& command_line) {
    (void)thr_system(command_line);
}

std::string thr_shell_quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string thr_shell_command(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty())
            line += ' ';
        line += thr_shell_quote(w);
    }
    return line;
}

void thr_fail_next_thread_creates_for_testing(int count, int after) {
    g_creates_before_failing = after;
    g_fail_creates = count;
}
