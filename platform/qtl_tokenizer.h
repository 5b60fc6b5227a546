// Line tokenising: the maximal runs of characters that are not delimiters, in order, never empty.
#pragma once

#include <string>
#include <vector>

class QTL_TOKENIZER {
  public:
    // The extra arguments are kept for the calling convention (no quoting, no escapes).
    explicit QTL_TOKENIZER(std::string delimiters, bool = false, const char* = "", const char* = "",
                           const char* = "", bool = false)
        : m_delimiters(std::move(delimiters)) {}
    std::vector<std::string> tokenize(const std::string& line) const;

  private:
    std::string m_delimiters;
};
