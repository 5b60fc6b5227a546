// Line tokenising: the maximal runs of characters that are not delimiters, in order, never empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QTL_TOKENIZER {
  public:
    // The extra arguments are kept for the calling convention (no quoting, no escapes).
    explicit QTL_TOKENIZER(std::string delimiters, bool = false, const char* = "", const char* = "",
                           const char* = "", bool = false);
    std::vector<std::string> tokenize(const std::string& line) const;
    // The tokens of text as views into it, replacing the contents of tokens. A reader of a large input
    // reuses one vector across its lines and copies no token.
    void tokenize(std::string_view text, std::vector<std::string_view>& tokens) const;
    // The first token of text (empty when it has none), for readers that skip most lines by their first word.
    std::string_view first(std::string_view text) const;

  private:
    // Bit i set when text[i] (i < n <= 64) is not a delimiter.
    uint64_t token_characters(const char* text, size_t n) const;

    std::string m_delimiters;
    std::array<bool, 256> m_is_delimiter{};
};
