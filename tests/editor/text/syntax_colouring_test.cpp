#include "editor/text/syntax_colouring.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

using namespace omb::editor;

namespace {

const std::map<std::string, int, std::less<>> KEYWORDS = {{"define", 0}, {"play", 1}, {"x", 2}};
const KeywordLookup IS_KEYWORD = [](std::string_view w) {
    auto k = KEYWORDS.find(w);
    return k == KEYWORDS.end() ? -1 : k->second;
};
const NameLookup IS_DEFINED = [](std::string_view w) { return w == "x" || w == "foo" || w == "synth"; };

// Spans as "kind:text" words (keywords with their colour), so a line's colouring reads as one string.
std::string coloured(std::string_view text, TextRange range, bool lookups = true) {
    std::ostringstream out;
    for (const auto& s : colour_spans(text, range, lookups ? IS_KEYWORD : nullptr, lookups ? IS_DEFINED : nullptr)) {
        out << "KDSCN"[static_cast<int>(s.kind)];
        if (s.kind == ColourKind::keyword) out << s.keyword_colour;
        out << ':' << text.substr(s.location, s.length) << ' ';
    }
    return out.str();
}

}  // namespace

TEST(SyntaxColouring, OneLineOfEachKind) {
    for (auto [text, spans] : std::initializer_list<std::pair<std::string_view, const char*>>{
             {"(define foo \"a b\") ; note (c) \"q\"", "K0:define D:foo S:\"a b\" C:; note (c) \"q\" "},
             {"(play synth 60 -1.5 1/8 a/b .5 1e3 60x + - . 1.2.3)",
              "K1:play D:synth N:60 N:-1.5 N:1/8 N:a/b N:.5 N:1e3 "},
             {"(x 1)", "K2:x N:1 "},                    // a keyword before a defined name
             {"(f \"s(\" foo)", "D:foo "},              // a parenthesis before the closing quote: no string
             {"\"a\"b \"\" c", "S:\"a\" S:\"\" "},      // the scan goes on after the closing quote
             {"foo;bar ;baz\nsynth", "C:;baz D:synth "},  // a comment begins a word and ends with its line
             {"(play\t60)\n(define", "K1:play N:60 K0:define "},
             {"", ""},
         })
        EXPECT_EQ(coloured(text, {0, text.size()}), spans) << text;
}

TEST(SyntaxColouring, SpansStayInsideTheRange) {
    const std::string text = "(define a \"one\ntwo\") ; first\n(play 1/8) ; second\n(x)";
    std::size_t second = text.find("(play");
    EXPECT_EQ(coloured(text, {second, text.find('\n', second) - second}), "K1:play N:1/8 C:; second ");
    EXPECT_EQ(coloured(text, {0, text.find("two")}), "K0:define ");  // the closing quote lies beyond
    EXPECT_EQ(coloured(text, {text.find("; first"), 4}), "C:; fi ");
    EXPECT_EQ(coloured(text, {text.size() + 5, 10}), "");
    EXPECT_EQ(coloured(text, {second, 1000}, false), "N:1/8 C:; second ");
}

TEST(SyntaxColouring, NumbersAsWritten) {
    for (const char* yes : {"60", "-1.5", ".5", "5.", "1e3", "+.5e-2", "007", "-0"})
        EXPECT_TRUE(reads_as_number(yes)) << yes;
    for (const char* no : {"", "+", "-", ".", "1e", "1e+", "60x", "1.2.3", "e5", "--1", "#x10", "1 "})
        EXPECT_FALSE(reads_as_number(no)) << no;
}
