// The status line of a running batch.
#include "batch/batch_progress.h"

#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace {

// The one status line of the process (batches do not nest) and the lock of its terminal writes.
std::mutex g_mutex;
BRIX_BATCH_PROGRESS* g_current = nullptr;

void write_stderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

} // namespace

BRIX_BATCH_PROGRESS::BRIX_BATCH_PROGRESS(size_t total, bool scheduler)
    : m_active(isatty(STDERR_FILENO) != 0), m_total(total), m_scheduler(scheduler),
      m_start(std::chrono::steady_clock::now()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (m_active)
        g_current = this;
}

BRIX_BATCH_PROGRESS::~BRIX_BATCH_PROGRESS() {
    clear();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_current == this)
        g_current = nullptr;
}

std::string BRIX_BATCH_PROGRESS::text(size_t done, size_t running, size_t failed, size_t queued, size_t total,
                                      bool scheduler, double seconds) {
    std::ostringstream line;
    line << "rows: " << done << " done, " << running << " running, " << failed << " failed";
    if (scheduler)
        line << ", " << queued << " queued";
    line << " of " << total << "; " << static_cast<long>(seconds) << " s";
    return line.str();
}

void BRIX_BATCH_PROGRESS::draw_locked() {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    write_stderr("\r" + text(m_done, m_running, m_failed, m_queued, m_total, m_scheduler, seconds) +
                 "\033[K");
    m_shown = true;
}

void BRIX_BATCH_PROGRESS::update(size_t done, size_t running, size_t failed, size_t queued) {
    if (!m_active)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    m_done = done;
    m_running = running;
    m_failed = failed;
    m_queued = queued;
    draw_locked();
}

void BRIX_BATCH_PROGRESS::clear() {
    if (!m_active)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (m_shown)
        write_stderr("\r\033[K");
    m_shown = false;
}

void BRIX_BATCH_PROGRESS::before_print() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_current != nullptr && g_current->m_shown)
        write_stderr("\r\033[K");
}

void BRIX_BATCH_PROGRESS::after_print() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_current != nullptr && g_current->m_shown)
        g_current->draw_locked();
}
