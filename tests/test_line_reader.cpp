// The line reader: line ends, long lines, numbering and the report frames it keeps.
#include "line_reader.h"
#include "test_support.h"

#include <sstream>

namespace {
std::vector<std::string> read_all(const std::string& text) {
    std::istringstream in(text);
    LINE_READER reader(in, "t.txt");
    std::vector<std::string> lines;
    std::string line;
    while (reader.next(line))
        lines.push_back(line);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(lines.size(), reader.line_number());
    // The same text held in memory gives the same lines, as views and as copies.
    LINE_READER views(std::string_view(text), "t.txt");
    std::vector<std::string> from_views;
    std::string_view view;
    while (views.next(view))
        from_views.emplace_back(view);
    EXPECT_EQ(lines, from_views);
    EXPECT_EQ(lines.size(), views.line_number());
    LINE_READER copies(std::string_view(text), "t.txt");
    std::vector<std::string> from_copies;
    while (copies.next(line))
        from_copies.push_back(line);
    EXPECT_EQ(lines, from_copies);
    return lines;
}
} // namespace

TEST(LineReader, LineEnds) {
    using LINES = std::vector<std::string>;
    struct {
        const char* name;
        std::string text;
        LINES lines;
    } const cases[] = {
        {"empty input", "", {}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"CRLF", "a\r\nb\r\n", {"a", "b"}},
        {"last line without an end", "a\nb", {"a", "b"}},
        {"last line with a lone CR", "a\r", {"a"}},
        {"blank lines are lines", "\n\r\n\n", {"", "", ""}},
        {"CR inside a line stays", "a\rb\n", {"a\rb"}},
        {"NUL bytes stay", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.lines, read_all(c.text)) << c.name;
}

TEST(LineReader, LongLineReadWhole) {
    std::string longline(1 << 20, 'x');
    longline[12345] = ' ';
    EXPECT_EQ((std::vector<std::string>{"first", longline, "last"}),
              read_all("first\n" + longline + "\nlast"));
}

TEST(LineReader, ReportsNameFileAndLine) {
    TEMP_DIR dir;
    std::string path = dir.file("in.txt");
    write_text_file(path, "one\ntwo\r\nthree\n");
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] {
        LINE_READER reader(path);
        ASSERT_TRUE(reader.is_open());
        std::string line;
        while (reader.next(line))
            BRIX_CHECK(line != "two", "line != two");
    });
    EXPECT_EQ((std::vector<std::string>{path, "line 2"}), e.context());
    // Read from memory, the report names the input and the line the same way.
    e = catch_brix_error([&] {
        LINE_READER reader(std::string_view("one\ntwo\r\nthree\n"), path);
        ASSERT_TRUE(reader.is_open());
        std::string_view line;
        while (reader.next(line))
            BRIX_CHECK(line != "two", "line != two");
    });
    EXPECT_EQ((std::vector<std::string>{path, "line 2"}), e.context());

    e = catch_brix_error([&] {
        LINE_READER reader(path);
        std::string line;
        while (reader.next(line)) {
        }
        EXPECT_EQ(3u, reader.line_number());
        reader.set_location("end of file");
        BRIX_REPORT("at end");
    });
    EXPECT_EQ((std::vector<std::string>{path, "end of file"}), e.context());

    // A file that cannot be opened: the report names the file, no line yet.
    e = catch_brix_error([&] {
        LINE_READER reader(dir.file("missing.txt"));
        std::string line;
        EXPECT_FALSE(reader.next(line));
        BRIX_CHECK(reader.is_open(), "is_open");
    });
    EXPECT_EQ((std::vector<std::string>{dir.file("missing.txt")}), e.context());
    EXPECT_TRUE(INPUT_CONTEXT::current().empty());
}

TEST(LineReader, WordsAndTrim) {
    EXPECT_EQ((std::vector<std::string>{"CRAM", "BLK_A", "1", "2"}),
              LINE_READER::words(" CRAM\tBLK_A \v1\f2\r"));
    EXPECT_TRUE(LINE_READER::words(" \t\r").empty());
    EXPECT_EQ("a b", LINE_READER::trim("\t a b \r\n"));
    EXPECT_EQ("", LINE_READER::trim(" \t"));
}

TEST(LineReader, WordViewsMatchWordsAndReuseTheVector) {
    // One vector across lines: a shorter line leaves none of the longer line's words behind.
    const char* const lines[] = {" CRAM\tBLK_A \v1\f2\r", "x", "", " \t\r", "a  b\tc"};
    std::vector<std::string_view> views{"stale"};
    for (const char* line : lines) {
        const std::string text = line;
        LINE_READER::words(text, views);
        EXPECT_EQ(LINE_READER::words(text), std::vector<std::string>(views.begin(), views.end())) << line;
    }
    const char* const trims[] = {"\t a b \r\n", " \t", "", "x", "\ra\v\n"};
    for (const char* text : trims)
        EXPECT_EQ(LINE_READER::trim(text), LINE_READER::trim_view(text)) << text;
}
