#include "qtl_tokenizer.h"

QTL_TOKENIZER::QTL_TOKENIZER(std::string delimiters, bool, const char*, const char*, const char*, bool)
    : m_delimiters(std::move(delimiters)) {
    for (char c : m_delimiters)
        m_is_delimiter[static_cast<unsigned char>(c)] = true;
}

std::vector<std::string> QTL_TOKENIZER::tokenize(const std::string& line) const {
    std::vector<std::string> tokens;
    tokenize(line.data(), line.data() + line.size(), tokens);
    return tokens;
}

void QTL_TOKENIZER::tokenize(const char* begin, const char* end, std::vector<std::string>& tokens) const {
    auto is_delimiter = [this](char c) { return m_is_delimiter[static_cast<unsigned char>(c)]; };
    size_t count = 0;
    for (const char* p = begin; p < end;) {
        while (p < end && is_delimiter(*p))
            ++p;
        if (p == end)
            break;
        const char* start = p;
        while (p < end && !is_delimiter(*p))
            ++p;
        if (count < tokens.size())
            tokens[count].assign(start, p);
        else
            tokens.emplace_back(start, p);
        ++count;
    }
    tokens.resize(count);
}
