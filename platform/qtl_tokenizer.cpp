#include "qtl_tokenizer.h"

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

uint64_t QTL_TOKENIZER::token_characters(const char* text, size_t n) const {
    uint64_t delimiters = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // 16 characters at a time, compared with each delimiter (sets are a few characters: blanks, a comma).
    if (m_delimiters.size() <= 8) {
        for (; i + 16 <= n; i += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            __m128i hits = _mm_setzero_si128();
            for (char delimiter : m_delimiters)
                hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(delimiter)));
            delimiters |= uint64_t(static_cast<unsigned>(_mm_movemask_epi8(hits))) << i;
        }
    }
#endif
    for (; i < n; ++i)
        delimiters |= uint64_t(m_is_delimiter[static_cast<unsigned char>(text[i])]) << i;
    const uint64_t present = n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
    return ~delimiters & present;
}

void QTL_TOKENIZER::tokenize(std::string_view text, std::vector<std::string_view>& tokens) const {
    // 64 characters at a time: a word marks the characters that belong to tokens, and the token starts and
    // ends are its 0-to-1 and 1-to-0 steps, taken in order with one bit scan each. Per character there is
    // no branch: the token lengths of a line do not steer the loop.
    tokens.clear();
    const char* const data = text.data();
    const size_t size = text.size();
    size_t start = 0;  // of the token being read
    bool open = false; // a token runs up to the end of the previous 64 characters
    for (size_t base = 0; base < size; base += 64) {
        const size_t n = std::min<size_t>(64, size - base);
        const uint64_t in_token = token_characters(data + base, n);
        const uint64_t before = (in_token << 1) | uint64_t(open);
        // Starts: in a token after a delimiter. Ends: a delimiter (or, below 64, the end of the text) after a
        // token character. They alternate, beginning with an end when a token is open.
        uint64_t steps = (in_token & ~before) | (~in_token & before);
        while (steps != 0) {
            const size_t at = base + size_t(__builtin_ctzll(steps));
            steps &= steps - 1;
            if (open)
                tokens.emplace_back(data + start, at - start);
            else
                start = at;
            open = !open;
        }
    }
    if (open)
        tokens.emplace_back(data + start, size - start);
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
