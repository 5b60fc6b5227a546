// One status line of a running batch on standard error, updated in place: rows done, running, failed (and,
// with a scheduler, still queued) of the total, and the time since the batch began. Only when standard error
// is a terminal; otherwise nothing of it is written. Standard output is never touched.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

class BRIX_BATCH_PROGRESS {
  public:
    // scheduler: the line also counts the rows still queued.
    BRIX_BATCH_PROGRESS(size_t total, bool scheduler);
    // Clears the line.
    ~BRIX_BATCH_PROGRESS();
    BRIX_BATCH_PROGRESS(const BRIX_BATCH_PROGRESS&) = delete;
    BRIX_BATCH_PROGRESS& operator=(const BRIX_BATCH_PROGRESS&) = delete;

    void update(size_t done, size_t running, size_t failed, size_t queued = 0);
    // Clears the line; a later update draws it again.
    void clear();
    // The text of the line (without the terminal controls).
    static std::string text(size_t done, size_t running, size_t failed, size_t queued, size_t total,
                            bool scheduler, double seconds);

    // Lines printed on standard output while a status line shows: it is cleared first and drawn again
    // after, so the two never mix on one terminal line.
    static void before_print();
    static void after_print();

  private:
    void draw_locked();

    bool m_active;
    size_t m_total;
    bool m_scheduler;
    size_t m_done = 0, m_running = 0, m_failed = 0, m_queued = 0;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_start;
};
