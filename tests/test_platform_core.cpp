// Failure reports, input context, whole-file writes and worker threads.
#include "fio.h"
#include "large_block.h"
#include "test_support.h"
#include "thr.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

TEST(InternalError, ReportCarriesConditionModuleSourceAndContext) {
    BRIX_INTERNAL_ERROR e = catch_brix_error([] {
        INPUT_CONTEXT file("granite_family.xml");
        INPUT_CONTEXT element("element block_info name=\"CRAM\", line 42");
        BRIX_CHECK(1 + 1 == 3, "block != NULL");
    });
    EXPECT_EQ("block != NULL", e.condition());
    EXPECT_EQ("BRIX", e.module());
    EXPECT_EQ("test_platform_core", e.source());
    ASSERT_EQ(2u, e.context().size());
    EXPECT_EQ("granite_family.xml", e.context()[0]);
    std::string text = e.report_text();
    EXPECT_NE(std::string::npos, text.find("Internal error: block != NULL\n"));
    EXPECT_NE(std::string::npos, text.find("while reading element block_info name=\"CRAM\", line 42"));
    // Frames are popped when the readers leave their input.
    EXPECT_TRUE(INPUT_CONTEXT::current().empty());
}

// Whatever escapes a tool's work becomes a report and exit status 1; nothing reaches the runtime's abort.
TEST(InternalError, EntryPointReportsEveryException) {
    struct CASE {
        const char* what;
        std::function<int()> work;
        int status;
        const char* condition; // null: no report
    };
    const CASE cases[] = {
        {"normal end", [] { return 7; }, 7, nullptr},
        {"failure report", []() -> int { BRIX_REPORT("xml != NULL"); }, 1, "xml != NULL"},
        {"allocation failure", []() -> int { throw std::bad_alloc(); }, 1, "Out of memory"},
        {"library exception",
         []() -> int { throw std::runtime_error("[json.exception.type_error.316] bad"); }, 1,
         "Unexpected exception: [json.exception.type_error.316] bad"},
        {"anything else", []() -> int { throw 42; }, 1, "Unexpected exception"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> reports;
        int status = MSG_INTERNAL_ERROR::run_main(c.work, [&](const BRIX_INTERNAL_ERROR& e) {
            reports.push_back(e.condition() + "|" + e.module());
        });
        EXPECT_EQ(c.status, status);
        if (c.condition)
            EXPECT_EQ(std::vector<std::string>{std::string(c.condition) + "|BRIX"}, reports);
        else
            EXPECT_TRUE(reports.empty());
    }
    // By default the report goes to standard error.
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, MSG_INTERNAL_ERROR::run_main([]() -> int { throw std::bad_alloc(); }));
    EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("Internal error: Out of memory\n"));
}

TEST(AtomicFile, CommitReplacesAndAbandonLeavesPrevious) {
    TEMP_DIR dir;
    std::string target = dir.file("db.bin");
    {
        FIO_ATOMIC_FILE f(target);
        f.write("old", 3);
        f.commit();
    }
    EXPECT_EQ("old", read_text_file(target));
    {
        FIO_ATOMIC_FILE f(target);
        f.write("new-but-unfinished", 18);
    } // no commit: the temporary goes away
    EXPECT_EQ("old", read_text_file(target));
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(4);
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] {
        FIO_ATOMIC_FILE f(target);
        f.write("abcdefgh", 8);
        f.commit();
    });
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
    EXPECT_NE(std::string::npos, e.condition().find(target));
    EXPECT_EQ("old", read_text_file(target));
    // Nothing but the target is left in the directory.
    COMMAND_RESULT ls = run_command("ls '" + dir.path() + "'");
    EXPECT_EQ("db.bin\n", ls.out);
}

TEST(AtomicFile, UnwritableDirectoryIsReportedWithTheFileName) {
    BRIX_INTERNAL_ERROR e = catch_brix_error([] { FIO_ATOMIC_FILE f("/nonexistent-dir/x.ddb"); });
    EXPECT_NE(std::string::npos, e.condition().find("/nonexistent-dir/x.ddb"));
}

namespace {
std::atomic<int> g_finished{0};
void* slow_worker(void*) {
    thr_msleep(50);
    g_finished++;
    return nullptr;
}
void* failing_worker(void*) {
    BRIX_REPORT("tids[i] != 0");
}
} // namespace

TEST(Threads, WorkerFailureReachesTheWaiterAfterAllWorkersEnded) {
    g_finished = 0;
    THR_HANDLE failing = thr_thread_create(failing_worker, nullptr, 0);
    THR_HANDLE slow1 = thr_thread_create(slow_worker, nullptr, 0);
    THR_HANDLE slow2 = thr_thread_create(slow_worker, nullptr, 0);
    ASSERT_TRUE(failing && slow1 && slow2);
    EXPECT_BRIX_ERROR(thr_thread_wait(failing), "tids[i] != 0");
    EXPECT_EQ(2, g_finished.load());
    thr_fail_next_thread_creates_for_testing(1);
    EXPECT_EQ(nullptr, thr_thread_create(slow_worker, nullptr, 0));
    THR_HANDLE ok = thr_thread_create(slow_worker, nullptr, 0);
    ASSERT_NE(nullptr, ok);
    thr_thread_wait(ok);
}

TEST(Shell, QuotedWordsStayLiteral) {
    TEMP_DIR dir;
    std::string evil = dir.file("a b'; touch pwned; echo '");
    EXPECT_EQ(0, thr_system(thr_shell_command({"touch", evil})));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(evil));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists("pwned"));
    EXPECT_EQ(3, thr_system("exit 3"));
}

// The huge-page hint and the prefault leave every byte where it was, for blocks below, at and above the
// advised size and for interiors that do not start on a page boundary; the bytes just outside the block
// (in its partial first and last pages) stay as they were too.
TEST(LargeBlock, HintKeepsContentsAtEverySizeAndAlignment) {
    const size_t sizes[] = {
        0, 1, (size_t{256} << 10) + 5, (size_t{4} << 20) - 1, size_t{4} << 20, (size_t{6} << 20) + 3};
    for (void (*hint)(void*, size_t) : {advise_large_block, prefault_large_block}) {
        for (size_t size : sizes) {
            SCOPED_TRACE(size);
            std::unique_ptr<unsigned char[]> block = new_large_block(size + 2);
            for (size_t i = 0; i < size + 2; ++i)
                block[i] = static_cast<unsigned char>(i * 31 + 7);
            hint(block.get() + 1, size);
            size_t wrong = 0;
            for (size_t i = 0; i < size + 2; ++i)
                wrong += block[i] != static_cast<unsigned char>(i * 31 + 7);
            EXPECT_EQ(0u, wrong);
        }
    }
}

// A whole file read into a block of its own: every byte, at sizes around the block's own-mapping size; an
// empty file gives no bytes; a missing file is refused.
TEST(LargeBlock, WholeFileReadsIntoABlock) {
    TEMP_DIR dir;
    for (size_t size : {size_t{0}, size_t{1}, (size_t{1} << 20) - 1, (size_t{3} << 20) + 7}) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 13 + (i >> 9));
        FIO_ATOMIC_FILE out(dir.file("f.bin"));
        out.write(bytes);
        out.commit();
        HUGE_PAGE_BLOCK block;
        size_t got = 99;
        ASSERT_TRUE(FIO_FILE_SYSTEM::read_file(dir.file("f.bin"), block, got));
        ASSERT_EQ(size, got);
        EXPECT_TRUE(size == 0 || std::memcmp(bytes.data(), block.get(), size) == 0);
    }
    HUGE_PAGE_BLOCK block;
    size_t got = 99;
    EXPECT_FALSE(FIO_FILE_SYSTEM::read_file(dir.file("missing.bin"), block, got));
    EXPECT_EQ(0u, got);
}

// Working blocks keep every byte at sizes below, at and above the huge-page size, and a text grown piece by
// piece across their boundaries (one piece larger than all before it) keeps its bytes in order.
TEST(LargeBlock, HugePageBlocksAndGrowingTextKeepTheirBytes) {
    const size_t sizes[] = {0, 1, (size_t{1} << 20) - 1, size_t{1} << 20, (size_t{5} << 20) + 3};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        HUGE_PAGE_BLOCK block(size);
        EXPECT_EQ(size, block.size());
        for (size_t i = 0; i < size; ++i)
            block.get()[i] = static_cast<unsigned char>(i * 31 + 7);
        size_t wrong = 0;
        for (size_t i = 0; i < size; ++i)
            wrong += block.get()[i] != static_cast<unsigned char>(i * 31 + 7);
        EXPECT_EQ(0u, wrong);
    }
    std::string expected;
    LARGE_TEXT text;
    EXPECT_EQ(0u, text.size());
    for (size_t piece : {size_t{0}, size_t{10}, size_t{1} << 20, size_t{3}, (size_t{3} << 20) + 5}) {
        const std::string bytes(piece, static_cast<char>('a' + expected.size() % 26));
        text.append(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        expected += bytes;
        EXPECT_EQ(expected.size(), text.size());
        EXPECT_TRUE(text.view() == expected);
    }
}
