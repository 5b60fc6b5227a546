#include "line_reader.h"

#include "gen.h"

LINE_READER::LINE_READER(const std::string& path)
    : m_file_frame(path), m_file(std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary)) {
    if (m_file->is_open()) {
        m_in = m_file.get();
        m_line_frame.emplace("line 0");
    }
}

LINE_READER::LINE_READER(std::istream& in, const std::string& name) : m_file_frame(name), m_in(&in) {
    m_line_frame.emplace("line 0");
}

LINE_READER::LINE_READER(std::string_view text, const std::string& name)
    : m_file_frame(name), m_in_memory(true), m_text(text) {
    m_line_frame.emplace("line 0");
}

bool LINE_READER::next(std::string& line) {
    if (m_in_memory) {
        std::string_view view;
        const bool more = next(view);
        line.assign(view.data(), view.size());
        return more;
    }
    line.clear();
    if (m_in == nullptr || m_failed)
        return false;
    if (!std::getline(*m_in, line)) {
        // getline fails at a clean end of input too; only badbit means the input itself failed.
        m_failed = m_in->bad();
        return false;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    count_line();
    return true;
}

bool LINE_READER::next(std::string_view& line) {
    if (!m_in_memory) {
        const bool more = next(m_line);
        line = m_line;
        return more;
    }
    line = {};
    if (m_text.empty())
        return false;
    // As getline: the line ends before the next "\n", and a last line without one is still a line.
    const size_t end = m_text.find('\n');
    line = m_text.substr(0, end);
    m_text.remove_prefix(end == std::string_view::npos ? m_text.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    count_line();
    return true;
}

void LINE_READER::count_line() {
    ++m_line_number;
    // Only the number is stored: this runs once per line of inputs with 100,000s of lines.
    m_line_frame->set_line(m_line_number);
}

void LINE_READER::set_location(const std::string& where) {
    if (m_line_frame)
        m_line_frame->set(where);
}

namespace {
const QTL_TOKENIZER& word_tokenizer() {
    static const QTL_TOKENIZER tokenizer(" \t\r\n\v\f");
    return tokenizer;
}
} // namespace

std::vector<std::string> LINE_READER::words(const std::string& line) {
    return word_tokenizer().tokenize(line);
}

void LINE_READER::words(std::string_view line, std::vector<std::string_view>& out) {
    word_tokenizer().tokenize(line, out);
}

std::string_view LINE_READER::first_word(std::string_view line) {
    return word_tokenizer().first(line);
}

std::string_view LINE_READER::trim_view(std::string_view line) {
    // Character tests rather than find_first_not_of: this runs once per line of inputs with 100,000s of
    // lines, whose ends are rarely blank.
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t first = 0, last = line.size();
    while (first < last && blank(line[first]))
        ++first;
    while (last > first && blank(line[last - 1]))
        --last;
    return line.substr(first, last - first);
}

std::string LINE_READER::trim(const std::string& line) {
    return gen_remove_leading_and_trailing_white_spaces(line);
}
