#include "qtl_tokenizer.h"

std::vector<std::string> QTL_TOKENIZER::tokenize(const std::string& line) const {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(m_delimiters, pos);
        if (start == std::string::npos)
            break;
        size_t stop = line.find_first_of(m_delimiters, start);
        if (stop == std::string::npos)
            stop = line.size();
        tokens.emplace_back(line, start, stop - start);
        pos = stop;
    }
    return tokens;
}
