// Failure reports, input context, whole-file writes and worker threads.
#include "fio.h"
#include "large_block.h"
#include "test_support.h"
#include "thr.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <new>
#include <stdexcept>
#include <unistd.h>
#include <vector>

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

// A large file is flushed and its writeback started on the way: it still lands byte for byte, and a write
// that fails after that point still leaves the previous file.
TEST(AtomicFile, LargeFileLandsWholeOrNotAtAll) {
    TEMP_DIR dir;
    const std::string target = dir.file("large.bin");
    std::string content(size_t{40} << 20, '\0');
    uint32_t x = 5;
    for (char& c : content)
        c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    auto write_all = [&] {
        FIO_ATOMIC_FILE f(target);
        const size_t piece = (size_t{1} << 20) + 7; // crosses the writeback steps off their boundaries
        for (size_t at = 0; at < content.size(); at += piece)
            f.write(content.data() + at, std::min(piece, content.size() - at));
        f.commit();
    };
    write_all();
    EXPECT_TRUE(read_text_file(target) == content);
    const std::string previous = content;
    content[0] ^= 1;
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(30 << 20);
    BRIX_INTERNAL_ERROR e = catch_brix_error(write_all);
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
    EXPECT_NE(std::string::npos, e.condition().find(target));
    EXPECT_TRUE(read_text_file(target) == previous);
    EXPECT_EQ("large.bin\n", run_command("ls '" + dir.path() + "'").out);
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

// Vectors on the large-block allocator, below, at and above the size from which it maps huge pages: filled
// with zeros, every element kept through growth, and the storage handed back by the size it was taken with.
TEST(LargeBlock, AllocatorKeepsVectorsWholeAtEverySize) {
    const size_t sizes[] = {0, 1, (size_t{1} << 19) / 8 - 1, (size_t{1} << 19) / 8,
                            (size_t{3} << 20) / 8 + 5};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<uint64_t, LARGE_BLOCK_ALLOCATOR<uint64_t>> words(size);
        EXPECT_EQ(size, size_t(std::count(words.begin(), words.end(), 0u)));
        for (size_t i = 0; i < size; ++i)
            words[i] = i * 0x9E3779B97F4A7C15ull;
        words.push_back(1); // grows into a new block of the next size class
        size_t wrong = 0;
        for (size_t i = 0; i < size; ++i)
            wrong += words[i] != i * 0x9E3779B97F4A7C15ull;
        EXPECT_EQ(0u, wrong);
        EXPECT_EQ(1u, words.back());
    }
    LARGE_BLOCK_ALLOCATOR<uint64_t> allocator;
    EXPECT_THROW(allocator.allocate(SIZE_MAX / 4), std::bad_alloc);
}

// A file written beside its caller lands whole at wait(); a write that fails is reported by wait() and
// leaves the previous file; a writer dropped without wait() is joined; with no thread to be had, start()
// writes the file itself; a target that cannot be created is reported by start() at once.
TEST(BackgroundFile, LandsWholeOrReportsAtWait) {
    TEMP_DIR dir;
    const std::string target = dir.file("unpacked.rba");
    const std::string bytes(300000, 'b');
    auto listing = [&] { return run_command("ls '" + dir.path() + "'").out; };
    {
        FIO_BACKGROUND_FILE writer;
        writer.start(target, bytes.data(), bytes.size());
        EXPECT_EQ(target, writer.target());
        writer.wait();
        EXPECT_EQ("", writer.target());
        EXPECT_EQ(bytes, read_text_file(target));
    }
    write_text_file(target, "previous\n");
    {
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(1000);
        FIO_BACKGROUND_FILE writer;
        writer.start(target, bytes.data(), bytes.size());
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { writer.wait(); });
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
        EXPECT_EQ("Unable to write " + target + ": write (No space left on device)", e.condition());
        EXPECT_EQ("previous\n", read_text_file(target));
        EXPECT_EQ("unpacked.rba\n", listing());
    }
    {
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(1000);
        FIO_BACKGROUND_FILE writer;
        writer.start(target, bytes.data(), bytes.size());
    } // joined by the destructor, its report dropped
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
    EXPECT_EQ("previous\n", read_text_file(target));
    EXPECT_EQ("unpacked.rba\n", listing());
    {
        FIO_BACKGROUND_FILE writer;
        writer.start(target, bytes.data(), bytes.size());
        writer = FIO_BACKGROUND_FILE(); // replacing joins the running writer
        EXPECT_EQ(bytes, read_text_file(target));
    }
    {
        thr_fail_next_thread_creates_for_testing(1);
        FIO_BACKGROUND_FILE writer;
        writer.start(target, "alone", 5);
        thr_fail_next_thread_creates_for_testing(0);
        EXPECT_EQ("", writer.target());
        EXPECT_EQ("alone", read_text_file(target));
    }
    FIO_BACKGROUND_FILE writer;
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { writer.start(dir.file("no/such/dir.rba"), "x", 1); });
    EXPECT_NE(std::string::npos, e.condition().find("Unable to write " + dir.file("no/such/dir.rba")));
    EXPECT_EQ("", writer.target());
}

namespace {
struct FILE_HANDLE {
    explicit FILE_HANDLE(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {}
    ~FILE_HANDLE() {
        if (fd >= 0)
            ::close(fd);
    }
    int fd;
};
} // namespace

// A stretch of a file read ahead on a worker: chunks arrive in file order, each with the carried bytes right
// before it and the running checksum of everything read so far; a file shorter than the stretch ends with a
// short chunk; a reader stopped (or destroyed) while its worker waits for room ends cleanly; with no thread
// to be had, start() says so and the caller reads the file itself.
TEST(ReadAhead, ChunksInOrderWithCarryAndChecksum) {
    TEMP_DIR dir;
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 131 + (i >> 9));
    write_text_file(dir.file("data.bin"), bytes);
    FILE_HANDLE file(dir.file("data.bin"));
    ASSERT_GE(file.fd, 0);
    // A checksum that depends on the order of the bytes.
    auto checksum = [](uint32_t value, const unsigned char* data, size_t size) {
        for (size_t i = 0; i < size; ++i)
            value = value * 31 + data[i];
        return value;
    };
    struct CASE {
        size_t chunk;
        unsigned depth;
    };
    for (const CASE& c : {CASE{4096, 2}, CASE{999, 3}, CASE{65536, 8}, CASE{200000, 2}}) {
        SCOPED_TRACE("chunk " + std::to_string(c.chunk) + ", depth " + std::to_string(c.depth));
        FIO_READ_AHEAD reader;
        ASSERT_TRUE(reader.start(file.fd, 1000, 90000, c.chunk, c.depth, 16, checksum, 7));
        std::string got;
        std::string carried = "carried";
        const unsigned char* carry = reinterpret_cast<const unsigned char*>(carried.data());
        uint32_t running = 7;
        for (;;) {
            FIO_READ_AHEAD::CHUNK chunk = reader.next(carry, 7);
            if (chunk.size == 0)
                break;
            ASSERT_EQ(carried, std::string(reinterpret_cast<char*>(chunk.data) - 7, 7));
            got.append(reinterpret_cast<char*>(chunk.data), chunk.size);
            if (got.size() < 89000) {
                EXPECT_EQ(c.chunk, chunk.size);
            }
            running = checksum(running, chunk.data, chunk.size);
            EXPECT_EQ(running, chunk.checksum);
            // The next carry is the end of this chunk, still held, as the archive reader hands it on.
            carry = chunk.data + chunk.size - 7;
            carried.assign(reinterpret_cast<const char*>(carry), 7);
        }
        EXPECT_EQ(bytes.substr(1000, 89000), got);
        EXPECT_EQ(0u, reader.next(nullptr, 0).size); // stays at the end
    }

    // The file ends before the stretch does: the last chunk is short, then nothing.
    FIO_READ_AHEAD reader;
    ASSERT_TRUE(reader.start(file.fd, 60000, 150000, 30000, 2, 0));
    EXPECT_EQ(30000u, reader.next(nullptr, 0).size);
    EXPECT_EQ(10000u, reader.next(nullptr, 0).size);
    EXPECT_EQ(0u, reader.next(nullptr, 0).size);

    // Stopped with the ring full and the worker waiting; started again on the same reader.
    ASSERT_TRUE(reader.start(file.fd, 0, 100000, 1000, 2, 0));
    EXPECT_EQ(bytes.substr(0, 1000),
              std::string(reinterpret_cast<char*>(reader.next(nullptr, 0).data), 1000));
    reader.stop();
    EXPECT_FALSE(reader.running());
    ASSERT_TRUE(reader.start(file.fd, 0, 100000, 1000, 2, 0));
    EXPECT_TRUE(reader.running());

    thr_fail_next_thread_creates_for_testing(1);
    FIO_READ_AHEAD alone;
    EXPECT_FALSE(alone.start(file.fd, 0, 100000, 1000, 2, 0));
    thr_fail_next_thread_creates_for_testing(0);
    EXPECT_FALSE(alone.running());
}
