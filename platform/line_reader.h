// Reading a text input line by line, with its location in failure reports.
//
//     LINE_READER reader(path);                  // report frame: the file name
//     BRIX_CHECK(reader.is_open(), "rba.good()");  // the caller's own condition text
//     std::string line;
//     while (reader.next(line)) {                // frame "line N" names the line just read
//         std::vector<std::string> words = LINE_READER::words(line);
//         ...
//     }
//     BRIX_CHECK(!reader.failed(), "rba.good()");
//     reader.set_location("end of file");        // for the checks made after the last line
//
// Lines of any length are read whole. A line ends at "\n" or "\r\n"; neither is part of the line, and a
// last line without an end is still a line. Lines are numbered from 1. The reader pushes its frames when it
// is constructed (the "line N" frame only once the input is open) and pops them when it is destroyed, so it
// lives on the stack of the function reading the input, like any INPUT_CONTEXT.
#pragma once

#include "msg_internal_error.h"
#include "qtl_tokenizer.h"

#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class LINE_READER {
  public:
    // Opens the file (binary, so that the reader itself handles "\r\n"); is_open() says whether it could.
    explicit LINE_READER(const std::string& path);
    // Reads an already open stream; name is the report frame naming the input.
    LINE_READER(std::istream& in, const std::string& name);
    // Reads a text held whole in memory (which must outlive the reader); name is the report frame naming
    // the input. The lines are views into the text: no line is copied.
    LINE_READER(std::string_view text, const std::string& name);
    LINE_READER(const LINE_READER&) = delete;
    LINE_READER& operator=(const LINE_READER&) = delete;

    bool is_open() const { return m_in != nullptr || m_in_memory; }
    // The next line without its end; false at the end of the input or when reading failed (see failed()).
    bool next(std::string& line);
    // The same as a view, valid until the next call: into the text of a reader of memory, else into a
    // buffer of the reader.
    bool next(std::string_view& line);
    // True when reading stopped on an input error rather than at the end of the input.
    bool failed() const { return m_failed; }
    // Number of the last line read (0 before the first).
    uint64_t line_number() const { return m_line_number; }
    // Replaces the "line N" frame text (for example "end of file"). No effect when the input is not open.
    void set_location(const std::string& where);

    // Whitespace-separated words of a line (blank, tab, CR, LF, vertical tab, form feed), via QTL_TOKENIZER.
    static std::vector<std::string> words(const std::string& line);
    // The same words as views into line, replacing the contents of out: a reader of a large input reuses
    // one vector across its lines and copies no word.
    static void words(std::string_view line, std::vector<std::string_view>& out);
    // The first of those words (empty when the line has none).
    static std::string_view first_word(std::string_view line);
    // The line without leading and trailing blanks, tabs, CRs and LFs.
    static std::string trim(const std::string& line);
    // The same as a view into line.
    static std::string_view trim_view(std::string_view line);

  private:
    // Numbers the line just read and names it in the report frame.
    void count_line();

    INPUT_CONTEXT m_file_frame;
    std::unique_ptr<std::ifstream> m_file;
    std::istream* m_in = nullptr;
    bool m_in_memory = false;
    std::string_view m_text; // what a reader of memory has still to read
    std::string m_line;      // the last line of a stream read by next(std::string_view&)
    std::optional<INPUT_CONTEXT> m_line_frame;
    uint64_t m_line_number = 0;
    bool m_failed = false;
};
