#include "editor/text/syntax_colouring.h"

#include <algorithm>
#include <array>

namespace omb::editor {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// One table lookup per byte: the scan runs over whole buffers.
constexpr std::array<bool, 256> DELIMITERS = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : std::string_view("() \n\t")) table[c] = true;
    return table;
}();

bool delimiter(char c) { return DELIMITERS[static_cast<unsigned char>(c)]; }

bool digit(char c) { return c >= '0' && c <= '9'; }

std::size_t digits_from(std::string_view w, std::size_t i) {
    while (i < w.size() && digit(w[i])) ++i;
    return i;
}

}  // namespace

bool reads_as_number(std::string_view w) {
    std::size_t i = 0;
    if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
    std::size_t int_end = digits_from(w, i);
    bool has_digits = int_end > i;
    i = int_end;
    if (i < w.size() && w[i] == '.') {
        std::size_t frac_end = digits_from(w, i + 1);
        has_digits = has_digits || frac_end > i + 1;
        i = frac_end;
    }
    if (!has_digits) return false;
    if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
        std::size_t exp = i + 1;
        if (exp < w.size() && (w[exp] == '+' || w[exp] == '-')) ++exp;
        std::size_t exp_end = digits_from(w, exp);
        if (exp_end == exp) return false;
        i = exp_end;
    }
    return i == w.size();
}

std::vector<ColourSpan> colour_spans(std::string_view text, TextRange range, const KeywordLookup& is_keyword,
                                     const NameLookup& is_defined) {
    std::size_t pos = std::min(range.location, text.size());
    const std::size_t end = pos + std::min(range.length, text.size() - pos);
    const std::string_view scope = text.substr(0, end);
    std::vector<ColourSpan> spans;
    while (pos < end) {
        while (pos < end && delimiter(scope[pos])) ++pos;
        if (pos == end) break;
        std::size_t word_end = pos + 1;
        while (word_end < end && !delimiter(scope[word_end])) ++word_end;
        std::string_view word = scope.substr(pos, word_end - pos);

        if (int colour = is_keyword ? is_keyword(word) : -1; colour >= 0) {
            spans.push_back({pos, word.size(), ColourKind::keyword, colour});
        } else if (is_defined && is_defined(word)) {
            spans.push_back({pos, word.size(), ColourKind::defined});
        } else if (word.front() == '"') {
            std::size_t close = scope.find_first_of("\"()", pos + 1);
            if (close != npos && scope[close] == '"') {
                spans.push_back({pos, close + 1 - pos, ColourKind::string});
                word_end = close + 1;
            }
        } else if (word.front() == ';') {
            std::size_t line_end = std::min(scope.find('\n', pos), end);
            spans.push_back({pos, line_end - pos, ColourKind::comment});
            word_end = line_end;
        } else if (word.find('/') != npos || reads_as_number(word)) {
            spans.push_back({pos, word.size(), ColourKind::number});
        }
        pos = word_end;
    }
    return spans;
}

}  // namespace omb::editor
