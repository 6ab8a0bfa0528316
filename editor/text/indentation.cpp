#include "editor/text/indentation.h"

#include <algorithm>
#include <vector>

namespace omb::editor {

namespace {

constexpr std::size_t npos = std::string_view::npos;

std::size_t start_of_line(std::string_view text, std::size_t p) {
    if (p == 0) return 0;
    std::size_t newline = text.rfind('\n', p - 1);
    return newline == npos ? 0 : newline + 1;
}

std::size_t end_of_line(std::string_view text, std::size_t p) {
    std::size_t newline = text.find('\n', p);
    return newline == npos ? text.size() : newline;
}

std::size_t skip_blanks(std::string_view text, std::size_t p) {
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    return p;
}

// The "(" still open at each position, as one forward pass that skips comments meets them. It pairs braces exactly
// as matching_brace_forwards does, so the innermost open "(" at p is the one expression_at(p) settles on, found
// without rescanning the text before p for every line: formatting a whole buffer stays linear.
class OpenBraces {
public:
    explicit OpenBraces(std::string_view text) : text_(text) {}

    void advance_to(std::size_t p) {
        for (; pos_ < p && pos_ < text_.size(); ++pos_) {
            char c = text_[pos_];
            if (in_comment_) {
                in_comment_ = c != '\n';
            } else if (c == ';') {
                in_comment_ = true;
            } else if (c == '(') {
                open_.push_back(pos_);
            } else if (c == ')' && !open_.empty()) {
                open_.pop_back();
            }
        }
    }
    const std::vector<std::size_t>& open() const { return open_; }
    // At the end of the text: whether its last line is a comment with no newline after it.
    bool in_comment() const { return in_comment_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    bool in_comment_ = false;
    std::vector<std::size_t> open_;
};

// Answers expression_at(text, p).location for rising p, for p at a non-blank character.
class EnclosingBrace {
public:
    explicit EnclosingBrace(std::string_view text) : scan_(text) {
        OpenBraces whole(text);
        whole.advance_to(text.size());
        never_closed_ = whole.open();
        // The forward match of a brace left open ends at a comment that runs to the end of the text, if any.
        open_reaches_end_ = whole.in_comment();
    }

    std::size_t at(std::size_t p) {
        scan_.advance_to(p);
        if (scan_.open().empty()) return kNotFound;
        std::size_t innermost = scan_.open().back();
        bool closed = !std::binary_search(never_closed_.begin(), never_closed_.end(), innermost);
        return closed || open_reaches_end_ ? innermost : kNotFound;
    }

private:
    OpenBraces scan_;
    std::vector<std::size_t> never_closed_;
    bool open_reaches_end_ = false;
};

// How far each reformatted line moved its text, so the columns of a "(" on it can be read from the original.
class LineShifts {
public:
    void add(std::size_t line_start, std::size_t line_end, long long shift) {
        lines_.push_back({line_start, line_end, shift});
    }
    long long at(std::size_t p) const {
        auto after = std::upper_bound(lines_.begin(), lines_.end(), p,
                                      [](std::size_t q, const Line& l) { return q < l.start; });
        if (after == lines_.begin()) return 0;
        const Line& l = *(after - 1);
        return p < l.end ? l.shift : 0;
    }

private:
    struct Line {
        std::size_t start, end;
        long long shift;
    };
    std::vector<Line> lines_;
};

}  // namespace

SpecialForms default_special_forms() {
    SpecialForms forms;
    for (const char* name : {"define", "lambda", "let", "let*", "do", "define-macro", "macro", "letrec", "dotimes",
                             "define-syntax", "syntax-rules", "pattern"})
        forms.emplace(name, 1);
    return forms;
}

std::size_t indentation_for(std::string_view text, std::size_t open_paren, const SpecialForms& special_forms) {
    if (open_paren >= text.size()) return 0;
    std::size_t word_start = open_paren + 1;
    std::size_t word_end = word_start;
    while (word_end < text.size() && !is_word_delimiter(text[word_end])) ++word_end;
    std::size_t line_start = start_of_line(text, open_paren);
    auto form = special_forms.find(text.substr(word_start, word_end - word_start));
    if (form != special_forms.end())
        return open_paren - line_start + 1 + static_cast<std::size_t>(std::clamp(form->second, 0, 64));
    return skip_blanks(text, word_end) - line_start;
}

std::size_t indent_after_newline(std::string_view text, std::size_t newline_position,
                                 const SpecialForms& special_forms) {
    TextRange r = expression_at(text, newline_position);
    return r.found() ? indentation_for(text, r.location, special_forms) : 0;
}

Reformatted format_code(std::string_view text, TextRange selection, const SpecialForms& special_forms) {
    std::size_t first = std::min(selection.location, text.size());
    std::size_t last = first + std::min(selection.length, text.size() - first);
    EnclosingBrace enclosing(text);
    LineShifts shifts;
    Reformatted out;
    out.range.location = start_of_line(text, first);
    out.cursor = first;
    std::size_t line = out.range.location;
    for (;;) {
        std::size_t end = end_of_line(text, line);
        std::size_t code = skip_blanks(text, line);
        std::size_t old_indent = code - line;
        std::size_t indent = old_indent;  // blank lines are left as they are
        if (code < end) {
            std::size_t open = enclosing.at(code);
            indent = 0;
            if (open != kNotFound) {
                long long column = static_cast<long long>(indentation_for(text, open, special_forms));
                indent = static_cast<std::size_t>(std::max(0LL, column + shifts.at(open)));
            }
        }
        long long shift = static_cast<long long>(indent) - static_cast<long long>(old_indent);
        shifts.add(line, end, shift);
        if (line <= first && first <= end)
            out.cursor = first >= code ? static_cast<std::size_t>(static_cast<long long>(first) + shift)
                                       : std::min(first, line + indent);
        out.text.append(indent, ' ');
        out.text.append(text.substr(code, end - code));
        if (end >= text.size() || end + 1 >= last) {
            out.range.length = end - out.range.location;
            return out;
        }
        out.text.push_back('\n');
        line = end + 1;
    }
}

}  // namespace omb::editor
