// Line tokenising: the maximal runs of characters that are not delimiters, in order, never empty.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

class QTL_TOKENIZER {
  public:
    // The extra arguments are kept for the calling convention (no quoting, no escapes).
    explicit QTL_TOKENIZER(std::string delimiters, bool = false, const char* = "", const char* = "",
                           const char* = "", bool = false);
    std::vector<std::string> tokenize(const std::string& line) const;
    // The tokens of [begin, end) into tokens, replacing its contents. Reusing one vector across the lines of a
    // large input keeps its strings' storage instead of allocating every token anew.
    void tokenize(const char* begin, const char* end, std::vector<std::string>& tokens) const;

  private:
    std::string m_delimiters;
    std::array<bool, 256> m_is_delimiter{};
};
