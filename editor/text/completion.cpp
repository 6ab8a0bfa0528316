#include "editor/text/completion.h"

#include <algorithm>

namespace omb::editor {

TextRange word_before(std::string_view text, std::size_t p) {
    p = std::min(p, text.size());
    std::size_t start = p;
    while (start > 0) {
        char c = text[start - 1];
        if (is_word_delimiter(c) || c == '\'' || c == '`' || c == ',') break;
        --start;
    }
    return {start, p - start};
}

std::vector<std::string> completions(std::string_view partial, std::span<const std::string> words) {
    std::vector<std::string> found;
    for (const std::string& w : words)
        if (w.starts_with(partial)) found.push_back(w);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace omb::editor
