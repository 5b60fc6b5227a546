// Compression services: zlib streams written with libdeflate and read by zlib itself, and the in-process
// gunzip with its trailer checks. zlib is the independent writer and reader in these tests.
#include "compression.h"
#include "fio.h"
#include "large_block.h"
#include "test_support.h"
#include "thr.h"

#include <zlib.h>

#include <functional>

namespace {

using BYTES = std::vector<unsigned char>;

// One gzip member of text, written by zlib.
BYTES gzip_member(const std::string& text) {
    z_stream zs{};
    EXPECT_EQ(Z_OK, deflateInit2(&zs, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
    BYTES out(deflateBound(&zs, text.size()) + 32);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&zs, Z_FINISH));
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

BYTES concat(BYTES a, const BYTES& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void put_le32(BYTES& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<unsigned char>(v >> (8 * k));
}

// Varied text that compresses a few times over, like the RBA and RIF texts.
std::string sample_text(size_t lines) {
    std::string text;
    for (size_t i = 0; i < lines; ++i)
        text += "LA_LAB tile " + std::to_string(i % 97) + " 40 " + std::to_string(i * 7) + " 0 1\n";
    return text;
}

} // namespace

// What the compressor writes is a standard zlib stream: zlib's own uncompress gives the input back, at
// every level and for empty, tiny, incompressible and multi-block inputs.
TEST(Compression, StreamsReadBackThroughZlib) {
    std::string noise(300000, '\0');
    uint32_t x = 1;
    for (char& c : noise)
        c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    const std::vector<std::string> inputs = {"", "x", sample_text(20000), noise};
    for (const std::string& input : inputs) {
        for (int level : {1, 7, 12}) {
            SCOPED_TRACE("size " + std::to_string(input.size()) + ", level " + std::to_string(level));
            const auto* source = reinterpret_cast<const unsigned char*>(input.data());
            BYTES stream(zlib_compress_bound(input.size()));
            unsigned long n = stream.size();
            ASSERT_EQ(ZLIB_OK, zlib_compress2(stream.data(), &n, source, input.size(), level));
            BYTES back(input.size() + 1);
            uLongf m = back.size();
            ASSERT_EQ(Z_OK, uncompress(back.data(), &m, stream.data(), n));
            EXPECT_EQ(input, std::string(back.begin(), back.begin() + m));
            // And the module's reader agrees, refusing a destination one byte short.
            unsigned long room = input.size();
            ASSERT_EQ(ZLIB_OK, zlib_uncompress(back.data(), &room, stream.data(), n));
            EXPECT_EQ(input.size(), room);
            if (!input.empty()) {
                room = input.size() - 1;
                EXPECT_EQ(ZLIB_BUF_ERROR, zlib_uncompress(back.data(), &room, stream.data(), n));
            }
        }
    }
    BYTES junk = {0x78, 0x9C, 0xFF, 0xFF, 0xFF};
    unsigned char out[16];
    unsigned long room = sizeof out;
    EXPECT_EQ(ZLIB_DATA_ERROR, zlib_uncompress(out, &room, junk.data(), junk.size()));
}

namespace {

// Text of exactly `size` bytes.
std::string sample_bytes(size_t size) {
    std::string text = sample_text(size / 16);
    text.resize(size, '.');
    return text;
}

// A zlib stream written by zlib itself (level 1), flushed with `flush` after every 4 MiB of input.
BYTES zlib_stream_flushed_every_4_mib(const std::string& text, int flush) {
    z_stream zs{};
    EXPECT_EQ(Z_OK, deflateInit(&zs, 1));
    BYTES out(deflateBound(&zs, text.size()) + 1024);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    for (size_t at = 0; at < text.size(); at += size_t{4} << 20) {
        const size_t n = std::min(size_t{4} << 20, text.size() - at);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + at));
        zs.avail_in = static_cast<uInt>(n);
        const bool last = at + n == text.size();
        EXPECT_EQ(last ? Z_STREAM_END : Z_OK, deflate(&zs, last ? Z_FINISH : flush));
    }
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

} // namespace

// Large inputs are written in segments: still one zlib stream that zlib reads, the same bytes from one call
// to the next, and read back by the module's reader a segment at a time, with or without a second thread and
// whatever the size of the last segment.
TEST(Compression, SegmentedStreams) {
    for (size_t size : {size_t{8} << 20, (size_t{9} << 20) + 12345, size_t{12} << 20}) {
        for (bool threads : {true, false}) {
            SCOPED_TRACE("size " + std::to_string(size) + (threads ? "" : ", no thread"));
            const std::string input = sample_bytes(size);
            const auto* source = reinterpret_cast<const unsigned char*>(input.data());
            if (!threads)
                thr_fail_next_thread_creates_for_testing(2);
            BYTES stream(zlib_compress_bound(size));
            unsigned long n = stream.size();
            ASSERT_EQ(ZLIB_OK, zlib_compress2(stream.data(), &n, source, size, 7));
            BYTES again(stream.size());
            unsigned long n_again = again.size();
            ASSERT_EQ(ZLIB_OK, zlib_compress2(again.data(), &n_again, source, size, 7));
            EXPECT_TRUE(n == n_again && std::equal(stream.begin(), stream.begin() + n, again.begin()));
            BYTES back(size);
            uLongf m = back.size();
            ASSERT_EQ(Z_OK, uncompress(back.data(), &m, stream.data(), n));
            EXPECT_TRUE(m == size && std::equal(back.begin(), back.end(), source));
            std::fill(back.begin(), back.end(), 0);
            const unsigned long before = zlib_segmented_reads_for_testing();
            unsigned long room = size;
            ASSERT_EQ(ZLIB_OK, zlib_uncompress(back.data(), &room, stream.data(), n));
            EXPECT_EQ(before + 1, zlib_segmented_reads_for_testing());
            EXPECT_TRUE(room == size && std::equal(back.begin(), back.end(), source));
            thr_fail_next_thread_creates_for_testing(0);
        }
    }
}

// The reader decompresses a stream a segment at a time only where that gives what reading it in one piece
// gives: streams whose pieces depend on each other, damaged or cut streams and a room that does not fit are
// read in one piece, with the one-piece reader's result.
TEST(Compression, SegmentedReadFallsBackToOnePiece) {
    const size_t size = (size_t{10} << 20) + 777;
    const std::string input = sample_bytes(size);
    const auto* source = reinterpret_cast<const unsigned char*>(input.data());
    BYTES written(zlib_compress_bound(size));
    unsigned long n = written.size();
    ASSERT_EQ(ZLIB_OK, zlib_compress2(written.data(), &n, source, size, 7));
    written.resize(n);
    struct CASE {
        const char* what;
        std::function<BYTES()> stream;
        size_t room;
        int rc;
        bool segmented;
    };
    const CASE cases[] = {
        {"as written", [&] { return written; }, size, ZLIB_OK, true},
        {"bytes after the stream",
         [&] {
             return concat(written, {1, 2, 3});
         },
         size, ZLIB_OK, true},
        // Sync flushes end pieces like segments, but matches reach back across them.
        {"zlib, sync flushes", [&] { return zlib_stream_flushed_every_4_mib(input, Z_SYNC_FLUSH); }, size,
         ZLIB_OK, false},
        // Full flushes make the pieces independent: segments as good as the module's own.
        {"zlib, full flushes", [&] { return zlib_stream_flushed_every_4_mib(input, Z_FULL_FLUSH); }, size,
         ZLIB_OK, true},
        {"zlib, one piece", [&] { return zlib_stream_flushed_every_4_mib(input, Z_NO_FLUSH); }, size, ZLIB_OK,
         false},
        {"room one byte short", [&] { return written; }, size - 1, ZLIB_BUF_ERROR, false},
        {"room larger", [&] { return written; }, size + 1, ZLIB_OK, true},
        {"room a segment larger", [&] { return written; }, size + (4 << 20), ZLIB_OK, false},
        {"Adler-32 changed",
         [&] {
             BYTES s = written;
             s.back() ^= 1;
             return s;
         },
         size, ZLIB_DATA_ERROR, false},
        {"byte changed in the second segment",
         [&] {
             BYTES s = written;
             s[s.size() / 2] ^= 0x10;
             return s;
         },
         size, ZLIB_DATA_ERROR, false},
        {"cut in the last segment",
         [&] {
             BYTES s = written;
             s.resize(s.size() - 100);
             return s;
         },
         size, ZLIB_DATA_ERROR, false},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        const BYTES stream = c.stream();
        BYTES back(c.room);
        unsigned long room = c.room;
        const unsigned long before = zlib_segmented_reads_for_testing();
        EXPECT_EQ(c.rc, zlib_uncompress(back.data(), &room, stream.data(), stream.size()));
        EXPECT_EQ(before + (c.segmented ? 1 : 0), zlib_segmented_reads_for_testing());
        if (c.rc == ZLIB_OK) {
            EXPECT_TRUE(room == size && std::equal(back.begin(), back.begin() + size, source));
        }
    }
}

// The reader takes streams written by zlib itself, checks their header and Adler-32, refuses a stream cut
// short or damaged, and ignores bytes after the end of the stream.
TEST(Compression, ReaderChecksZlibStreams) {
    const std::string text = sample_text(5000);
    uLongf n = compressBound(text.size());
    BYTES stream(n);
    ASSERT_EQ(Z_OK,
              compress2(stream.data(), &n, reinterpret_cast<const Bytef*>(text.data()), text.size(), 9));
    stream.resize(n);
    struct CASE {
        const char* what;
        std::function<void(BYTES&)> change;
        int rc;
    };
    const CASE cases[] = {
        {"as written", [](BYTES&) {}, ZLIB_OK},
        {"bytes after the stream",
         [](BYTES& s) {
             s.insert(s.end(), {1, 2, 3});
         },
         ZLIB_OK},
        {"Adler-32 changed", [](BYTES& s) { s.back() ^= 1; }, ZLIB_DATA_ERROR},
        {"header check changed", [](BYTES& s) { s[1] ^= 1; }, ZLIB_DATA_ERROR},
        {"not deflate", [](BYTES& s) { s[0] = 0x77; }, ZLIB_DATA_ERROR},
        {"cut inside the Adler-32", [](BYTES& s) { s.resize(s.size() - 2); }, ZLIB_DATA_ERROR},
        {"cut in the middle", [](BYTES& s) { s.resize(s.size() / 2); }, ZLIB_DATA_ERROR},
        {"empty", [](BYTES& s) { s.clear(); }, ZLIB_DATA_ERROR},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES input = stream;
        c.change(input);
        BYTES back(text.size());
        unsigned long room = back.size();
        EXPECT_EQ(c.rc, zlib_uncompress(back.data(), &room, input.data(), input.size()));
        if (c.rc == ZLIB_OK) {
            EXPECT_EQ(text, std::string(back.begin(), back.begin() + room));
        }
    }
}

TEST(Gunzip, MembersAreUnpackedInOrder) {
    const std::string big = sample_text(40000);
    // 20 MB of one byte: far more than the stated length is trusted for, so the room grows to fit.
    const std::string flat(20u << 20, 'r');
    struct CASE {
        const char* what;
        BYTES file;
        std::string expected;
    };
    const std::vector<CASE> cases = {
        {"one member", gzip_member("abc\n"), "abc\n"},
        {"empty member", gzip_member(""), ""},
        {"two members, as gzip appends them", concat(gzip_member(big), gzip_member("tail\n")),
         big + "tail\n"},
        {"very compressible", gzip_member(flat), flat},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string input = dir.file("in.rbaz"), output = dir.file("in.rba");
        write_text_file(input, std::string(c.file.begin(), c.file.end()));
        FIO_FILE_SYSTEM::gunzip_file(input, output);
        EXPECT_TRUE(read_text_file(output) == c.expected);
        // Kept in memory too, for a caller that reads the text next: the same bytes as the file.
        LARGE_TEXT kept;
        FIO_FILE_SYSTEM::gunzip_file(input, output, &kept);
        EXPECT_TRUE(read_text_file(output) == c.expected);
        EXPECT_TRUE(kept.view() == c.expected);
        // Into memory only.
        LARGE_TEXT text;
        FIO_FILE_SYSTEM::gunzip_to_memory(input, text);
        EXPECT_TRUE(text.view() == c.expected);
    }
}

// A limit bounds the output of all members together: output at the limit is read, one byte past it is refused
// in the member that passes it, and nothing past the limit reaches the output (the previous file stays).
TEST(Gunzip, OutputIsBoundedByTheLimit) {
    const std::string flat(1u << 20, '\n'); // 1 MiB of newlines: a few KB packed
    const BYTES one = gzip_member(flat);
    const BYTES two = concat(gzip_member(flat), gzip_member("tail\n"));
    struct CASE {
        const char* what;
        const BYTES& file;
        uint64_t limit;
        size_t expected_size; // 0: refused
        const char* where;
    };
    const CASE cases[] = {
        {"output at the limit", one, flat.size(), flat.size(), ""},
        {"one byte past the limit", one, flat.size() - 1, 0, "member 1 at byte 0"},
        {"a small limit", one, 10, 0, "member 1 at byte 0"},
        {"two members at the limit", two, flat.size() + 5, flat.size() + 5, ""},
        {"the second member passes it", two, flat.size() + 4, 0, "member 2 at byte "},
    };
    TEMP_DIR dir;
    const std::string input = dir.file("in.rbaz"), output = dir.file("in.rba");
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        write_text_file(input, std::string(c.file.begin(), c.file.end()));
        write_text_file(output, "previous\n");
        LARGE_TEXT text;
        if (c.expected_size != 0) {
            FIO_FILE_SYSTEM::gunzip_file(input, output, nullptr, c.limit);
            EXPECT_EQ(c.expected_size, read_text_file(output).size());
            FIO_FILE_SYSTEM::gunzip_to_memory(input, text, c.limit);
            EXPECT_EQ(c.expected_size, text.size());
            continue;
        }
        const std::string condition = "Unable to decompress " + input + ": the unpacked data passes the " +
                                      std::to_string(c.limit) + "-byte bound of its reader";
        BRIX_INTERNAL_ERROR e =
            catch_brix_error([&] { FIO_FILE_SYSTEM::gunzip_file(input, output, nullptr, c.limit); });
        EXPECT_EQ(condition, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ(0u, e.context().back().find(c.where)) << e.context().back();
        EXPECT_EQ("previous\n", read_text_file(output));
        EXPECT_BRIX_ERROR(FIO_FILE_SYSTEM::gunzip_to_memory(input, text, c.limit), condition);
    }
}

// Damaged, cut-short and forged inputs are refused with what is wrong and where; the previous output stays.
TEST(Gunzip, DamagedInputsAreRefused) {
    const std::string text = sample_text(3000);
    const BYTES good = gzip_member(text);
    const size_t n = good.size();
    auto with = [&](std::function<void(BYTES&)> change) {
        BYTES b = good;
        change(b);
        return b;
    };
    struct CASE {
        const char* what;
        BYTES file;
        std::string reason; // after "Unable to decompress <input>: "; empty: not gzip at all
        std::string where;  // the innermost location of the report
    };
    const std::vector<CASE> cases = {
        {"plain text", BYTES{'a', 'b', 'c', '\n'}, "", "in.rbaz"},
        {"empty file", BYTES{}, "", "in.rbaz"},
        {"cut in the middle", with([](BYTES& b) { b.resize(b.size() / 2); }),
         "the file ends inside member 1 (cut short)", "member 1 at byte 0"},
        {"cut inside the trailer", with([](BYTES& b) { b.resize(b.size() - 3); }),
         "the file ends inside member 1 (cut short)", "member 1 at byte 0"},
        {"length forged to 4 GB", with([&](BYTES& b) { put_le32(b, n - 4, 0xFFFFFFF0u); }),
         "the length in the trailer of member 1 does not match its data (" + std::to_string(text.size()) +
             " bytes)",
         "member 1 at byte 0"},
        {"length forged smaller", with([&](BYTES& b) { put_le32(b, n - 4, 10); }),
         "the length in the trailer of member 1 does not match its data (" + std::to_string(text.size()) +
             " bytes)",
         "member 1 at byte 0"},
        {"CRC changed", with([&](BYTES& b) { b[n - 8] ^= 0x01; }),
         "the CRC-32 in the trailer of member 1 does not match its data", "member 1 at byte 0"},
        {"bytes after the last member", concat(good, BYTES{0, 0, 0, 0, 0}),
         "5 bytes after member 1 are not gzip data", "member 2 at byte " + std::to_string(n)},
        {"second member cut short", concat(good, BYTES(good.begin(), good.begin() + 30)),
         "the file ends inside member 2 (cut short)", "member 2 at byte " + std::to_string(n)},
    };
    TEMP_DIR dir;
    std::string input = dir.file("in.rbaz"), output = dir.file("in.rba");
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        write_text_file(input, std::string(c.file.begin(), c.file.end()));
        write_text_file(output, "previous\n");
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { FIO_FILE_SYSTEM::gunzip_file(input, output); });
        if (c.reason.empty())
            EXPECT_EQ("Not a compressed file: " + input, e.condition());
        else
            EXPECT_EQ("Unable to decompress " + input + ": " + c.reason, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ(input, e.context().front());
        if (c.where != "in.rbaz") {
            EXPECT_EQ(c.where, e.context().back());
        }
        EXPECT_EQ("previous\n", read_text_file(output));
        // Into memory: the same report.
        LARGE_TEXT text;
        BRIX_INTERNAL_ERROR in_memory =
            catch_brix_error([&] { FIO_FILE_SYSTEM::gunzip_to_memory(input, text); });
        EXPECT_EQ(e.condition(), in_memory.condition());
        EXPECT_EQ(e.context(), in_memory.context());
    }
    EXPECT_BRIX_ERROR(
        [&] {
            LARGE_TEXT text;
            FIO_FILE_SYSTEM::gunzip_to_memory(dir.file("missing.rbaz"), text);
        }(),
        "Unable to open compressed file " + dir.file("missing.rbaz"));
    // A missing input, and an output that cannot be created (nothing of the input is kept open).
    EXPECT_BRIX_ERROR(FIO_FILE_SYSTEM::gunzip_file(dir.file("missing.rbaz"), output),
                      "Unable to open compressed file " + dir.file("missing.rbaz"));
    write_text_file(input, std::string(good.begin(), good.end()));
    BRIX_INTERNAL_ERROR e =
        catch_brix_error([&] { FIO_FILE_SYSTEM::gunzip_file(input, dir.file("no/such/dir/out.rba")); });
    EXPECT_EQ(0u, e.condition().find("Unable to write " + dir.file("no/such/dir/out.rba"))) << e.condition();
}
