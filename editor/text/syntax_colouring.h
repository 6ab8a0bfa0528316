// Syntax colouring: which stretches of Scheme text take which colour, as data the editor applies.
//
// Words are separated by "() \n\t". In this order: a word found among the keywords takes its keyword colour; a
// word the bound interpreter defines takes the defined-name colour; a word starting with a double quote opens a
// string when the next double quote or parenthesis is a double quote (the string runs through it); a word
// starting with ";" opens a comment through the end of the line; a word containing "/" (a fraction such as 1/8)
// or reading as a decimal number is a number. Everything else keeps the plain text colour.
//
// Fast enough to run over the line being edited on every keystroke and over a whole buffer when it is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "editor/text/scheme_text.h"

namespace omb::editor {

enum class ColourKind : std::uint8_t { keyword, defined, string, comment, number };

struct ColourSpan {
    std::size_t location = 0;
    std::size_t length = 0;
    ColourKind kind = ColourKind::keyword;
    int keyword_colour = -1;  // for keywords: what the keyword lookup answered
    bool operator==(const ColourSpan&) const = default;
};

// A keyword's colour index (any value the caller chooses, >= 0), or a negative value for a word that is no keyword.
using KeywordLookup = std::function<int(std::string_view word)>;
// Whether the bound interpreter defines the word.
using NameLookup = std::function<bool(std::string_view word)>;

// The coloured spans of `range` (clamped to the text) in text order, none reaching outside it: a string whose
// closing quote lies beyond the range is not one, a comment stops at the range's end. Empty lookups find nothing.
std::vector<ColourSpan> colour_spans(std::string_view text, TextRange range, const KeywordLookup& is_keyword,
                                     const NameLookup& is_defined);

// A decimal number as a performer writes one: optional sign, digits with at most one point, optional exponent.
bool reads_as_number(std::string_view word);

}  // namespace omb::editor
