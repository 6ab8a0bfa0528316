// Indentation: how far a line inside an expression is indented, after an indenting newline and when code is
// formatted. Positions and ranges as in scheme_text.h; columns count bytes from the start of the line (a tab is one).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "editor/text/scheme_text.h"

namespace omb::editor {

// Special forms by name, each with its tabwidth: their bodies indent that far past the column after the "(".
using SpecialForms = std::map<std::string, int, std::less<>>;

// define lambda let let* do define-macro macro letrec dotimes define-syntax syntax-rules pattern, tabwidth 1.
SpecialForms default_special_forms();

// The column for a line inside the expression whose "(" is at `open_paren`. After a special form: the column of
// the "(" plus 1 plus its tabwidth (0 to 64, as the preferences allow). After any other word: the column of the
// first argument (the first character after the word and its spaces or tabs).
std::size_t indentation_for(std::string_view text, std::size_t open_paren, const SpecialForms& special_forms);

// The spaces to insert after the newline just inserted at `newline_position` (`text` holds it already): the
// indentation of the expression around that position, 0 outside any.
std::size_t indent_after_newline(std::string_view text, std::size_t newline_position,
                                 const SpecialForms& special_forms);

// What formatting a selection changes: `range` of the original text is to be replaced by `text`.
// `cursor` is the selection's start carried into the new text.
struct Reformatted {
    TextRange range;
    std::string text;
    std::size_t cursor = 0;
};

// Every line that begins in the selection, starting with the line holding its start, gets the indentation of the
// expression around its first non-blank character in place of its leading spaces and tabs; a line that starts a
// top-level expression gets none; blank lines are left. Lines are taken in order, so each line's indentation
// follows the lines above as already formatted. The range covers the affected lines, newlines excluded.
Reformatted format_code(std::string_view text, TextRange selection, const SpecialForms& special_forms);

}  // namespace omb::editor
