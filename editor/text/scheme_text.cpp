#include "editor/text/scheme_text.h"

#include <algorithm>

#include "platform/log_bridge.h"

namespace omb::editor {

namespace {

constexpr TextRange NOT_FOUND{};
constexpr std::size_t npos = std::string_view::npos;

void report_bad_start() { CPPBridge::error("ERROR:  Bad starting position on backwards brace search"); }

// The start of the line that holds position `bound - 1` (0 for the first line or an empty prefix).
std::size_t line_start_before(std::string_view text, std::size_t bound) {
    if (bound == 0) return 0;
    std::size_t newline = text.rfind('\n', bound - 1);
    return newline == npos ? 0 : newline + 1;
}

// Right to left through the code before `to`: first [from, to), then each line above up to its first ";". Each
// ")" met adds to `depth`; answers the first "(" met at depth 0, or npos. `from` and `to` lie on one line.
std::size_t open_brace_before(std::string_view text, std::size_t from, std::size_t to, int depth) {
    std::size_t start = line_start_before(text, from);
    for (;;) {
        for (std::size_t k = to; k-- > from;) {
            if (text[k] == ')') {
                ++depth;
            } else if (text[k] == '(' && depth-- == 0) {
                return k;
            }
        }
        if (start == 0) return npos;
        std::size_t line_end = start - 1;  // the newline that ends the line above stays out
        start = line_start_before(text, line_end);
        std::size_t semicolon = text.substr(start, line_end - start).find(';');
        from = start;
        to = semicolon == npos ? line_end : start + semicolon;
    }
}

}  // namespace

TextRange matching_brace_forwards(std::string_view text, std::size_t i) {
    if (i >= text.size() || text[i] != '(') {
        report_bad_start();
        return NOT_FOUND;
    }
    int depth = -1;
    for (std::size_t k = text.find_first_of("(;)", i); k != npos; k = text.find_first_of("(;)", k + 1)) {
        if (text[k] == ';') {
            k = text.find('\n', k);
            if (k == npos) return {i, text.size() - i};
        } else if (text[k] == '(') {
            ++depth;
        } else if (depth == 0) {
            return {i, k - i + 1};
        } else {
            --depth;
        }
    }
    return NOT_FOUND;
}

TextRange matching_brace_backwards(std::string_view text, std::size_t i) {
    if (i >= text.size() || text[i] != ')') {
        report_bad_start();
        return NOT_FOUND;
    }
    // On the line of i, what lies between the nearest ";" and i counts, as forwards what lies between the "(" and
    // the next ";" counts even when the "(" is commented out.
    std::size_t start = line_start_before(text, i);
    std::size_t semicolon = text.substr(start, i - start).rfind(';');
    std::size_t open = open_brace_before(text, semicolon == npos ? start : start + semicolon + 1, i, 0);
    return open == npos ? NOT_FOUND : TextRange{open, i - open + 1};
}

// The search reads: take the nearest "(" before p that is not in a comment; if it closes before p, try the one
// before it, and so on; an unclosed one ends the search. The "(" it settles on is the innermost one not closed
// before p, which one backward pass finds; every "(" met on the way is closed before p, because braces pair the
// same way read in either direction. Linear in the text, where trying each "(" in turn is not.
TextRange expression_at(std::string_view text, std::size_t p) {
    p = std::min(p, text.size());
    std::size_t start = line_start_before(text, p);
    std::size_t semicolon = text.substr(start, p - start).find(';');
    std::size_t open = open_brace_before(text, start, semicolon == npos ? p : start + semicolon, 0);
    if (open == npos) return NOT_FOUND;
    TextRange r = matching_brace_forwards(text, open);
    // Closed at or after p, or open to a comment that ends the text: around p unless p is the very end.
    return r.found() && r.end() > p ? r : NOT_FOUND;
}

TextRange outer_expression_at(std::string_view text, std::size_t p) {
    TextRange last = NOT_FOUND;
    for (;;) {
        TextRange r = expression_at(text, p);
        if (!r.found()) return last;
        if (r.location == 0) return r;
        last = r;
        p = r.location - 1;
        if (text[p] == '\n') return last;
    }
}

TextRange evaluation_range(std::string_view text, TextRange selection, std::size_t cursor, bool outer) {
    if (selection.location < text.size() && selection.length > 0)
        return {selection.location, std::min(selection.length, text.size() - selection.location)};
    if (!outer) return expression_at(text, cursor);
    TextRange r = outer_expression_at(text, cursor);
    // Just after a top-level ")" nothing encloses the cursor; one to the left, its expression does.
    if (!r.found() && cursor > 0) r = outer_expression_at(text, cursor - 1);
    if (!r.found() && cursor < text.size()) r = outer_expression_at(text, cursor + 1);
    return r;
}

std::string_view function_name_at(std::string_view text, std::size_t p) {
    TextRange r = expression_at(text, p);
    if (!r.found()) return {};
    std::size_t start = r.location + 1;
    std::size_t end = start;
    while (end < text.size() && !is_word_delimiter(text[end])) ++end;
    return text.substr(start, end - start);
}

}  // namespace omb::editor
