#include "qtl_tokenizer.h"

QTL_TOKENIZER::QTL_TOKENIZER(std::string delimiters, bool, const char*, const char*, const char*, bool)
    : m_delimiters(std::move(delimiters)) {
    for (char c : m_delimiters)
        m_is_delimiter[static_cast<unsigned char>(c)] = true;
}

std::vector<std::string> QTL_TOKENIZER::tokenize(const std::string& line) const {
    std::vector<std::string_view> views;
    tokenize(std::string_view(line), views);
    return std::vector<std::string>(views.begin(), views.end());
}

void QTL_TOKENIZER::tokenize(std::string_view text, std::vector<std::string_view>& tokens) const {
    tokens.clear();
    const size_t size = text.size();
    size_t pos = 0;
    while (pos < size) {
        while (pos < size && m_is_delimiter[static_cast<unsigned char>(text[pos])])
            ++pos;
        if (pos == size)
            break;
        const size_t start = pos;
        while (pos < size && !m_is_delimiter[static_cast<unsigned char>(text[pos])])
            ++pos;
        tokens.push_back(text.substr(start, pos - start));
    }
}

std::string_view QTL_TOKENIZER::first(std::string_view text) const {
    size_t start = 0;
    while (start < text.size() && m_is_delimiter[static_cast<unsigned char>(text[start])])
        ++start;
    size_t stop = start;
    while (stop < text.size() && !m_is_delimiter[static_cast<unsigned char>(text[stop])])
        ++stop;
    return text.substr(start, stop - start);
}
