// Scheme text: where the expressions of an editor buffer begin and end, and which one a command acts on.
//
// Plain functions over the buffer's UTF-8 text. Positions are byte indices: every delimiter the searches look at
// is ASCII, so a byte index never falls inside a character they care about (the Qt side converts). A range is a
// location and a length; a search that finds nothing answers the location kNotFound.
//
// Comments run from ";" to the end of the line. Double quotes are not special: a brace inside a string counts, so
// the expression found is always the one the braces on the screen show.
#pragma once

#include <cstddef>
#include <string_view>

namespace omb::editor {

inline constexpr std::size_t kNotFound = 2147483647;

struct TextRange {
    std::size_t location = kNotFound;
    std::size_t length = 0;

    bool found() const { return location != kNotFound; }
    std::size_t end() const { return location + length; }
    bool operator==(const TextRange&) const = default;
};

// The innermost expression around p: its "(" before p and its ")" at or after p. A position beyond the end counts
// as the end. A cursor directly after ")" yields the enclosing expression, not the one just closed; a "(" with a
// ";" before it on its line is ignored; an unclosed "(" around p yields kNotFound.
TextRange expression_at(std::string_view text, std::size_t p);

// The nearest expression around p whose "(" stands at the start of a line (or of the text); kNotFound when no
// expression encloses p.
TextRange outer_expression_at(std::string_view text, std::size_t p);

// From the "(" at i through its ")". A comment that runs to the end of the text without a newline closes the scan
// there: the range then reaches the end. kNotFound when the brace is never closed. A start that is not "(" logs
// "ERROR:  Bad starting position on backwards brace search" and answers kNotFound.
TextRange matching_brace_forwards(std::string_view text, std::size_t i);

// The same from the ")" at i back to its "(", pairing braces exactly as the forward scan does: a brace after a ";"
// on its line is in a comment and does not count (from a ")" that is itself commented out, the scan reads back to
// the nearest ";", as the forward one reads on to the next). kNotFound when no "(" opens it; a start that is not
// ")" is logged as above.
TextRange matching_brace_backwards(std::string_view text, std::size_t i);

// What the evaluate commands send: a non-empty selection (clamped to the text); else, with `outer`, the outer
// expression at the cursor, at cursor - 1, then at cursor + 1; without it, the expression at the cursor. kNotFound
// when there is nothing to evaluate (the editor beeps).
TextRange evaluation_range(std::string_view text, TextRange selection, std::size_t cursor, bool outer);

// The first word after the "(" of the expression around p (the function the help line describes); empty when no
// expression encloses p.
std::string_view function_name_at(std::string_view text, std::size_t p);

// True for the characters that end a word: both parentheses, space, newline, tab.
constexpr bool is_word_delimiter(char c) { return c == '(' || c == ')' || c == ' ' || c == '\n' || c == '\t'; }

}  // namespace omb::editor
