#include "editor/text/indentation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using namespace omb::editor;
using std::tuple;

namespace {

const SpecialForms FORMS = default_special_forms();

// The rule applied literally: one line at a time on the text as edited so far, each line's expression found
// afresh. format_code's single pass must give the same text.
std::string format_line_by_line(std::string text, TextRange selection) {
    // Line numbers do not change: the line holding the selection's start, to the last that begins before its end.
    auto first = static_cast<std::size_t>(std::count(text.begin(), text.begin() + long(selection.location), '\n'));
    std::size_t last = first;
    for (auto at = text.find('\n', selection.location); at != text.npos && at + 1 < selection.end(); ++last)
        at = text.find('\n', at + 1);
    for (std::size_t n = first; n <= last; ++n) {
        std::size_t start = 0;
        for (std::size_t k = 0; k < n; ++k) start = text.find('\n', start) + 1;
        std::size_t code = std::min(text.find_first_not_of(" \t", start), text.size());
        if (code == text.size() || text[code] == '\n') continue;
        TextRange r = expression_at(text, code);
        text.replace(start, code - start, r.found() ? indentation_for(text, r.location, FORMS) : 0, ' ');
    }
    return text;
}

}  // namespace

TEST(Indentation, SpecialFormsAgainstFirstArgumentColumn) {
    SpecialForms forms = FORMS;
    forms.insert({{"my-loop", 3}, {"wide", 1000}, {"narrow", -5}});  // the last two beyond what preferences allow
    for (auto [text, open, indent] : {
             tuple{"(define (f x)", 0, 2},  // on the first line as on any other
             {"(foo a b", 0, 5},
             {"(a)\n  (let ((x 1))", 6, 4},
             {"x\n(foo \t a", 2, 7},
             {"((lambda (x) x)", 0, 1},  // no word: the first argument follows the "("
             {"(foo\n", 0, 4},
             {"  (my-loop i", 2, 6},
             {"(wide", 0, 65},
             {"(narrow", 0, 1},
             {"(DEFINE x", 0, 8},  // the dictionary's spelling only
         })
        EXPECT_EQ(indentation_for(text, open, forms), indent) << text;
    for (auto [text, indent] : {tuple{"(define (f x)\n)", 2}, {"(a)\n", 0}, {"(list 1 (g 2\n))", 11},
                                {"(f (g 1)\n)", 3}, {"(define (f x)\n", 0}})  // the last still unclosed
        EXPECT_EQ(indent_after_newline(text, std::string_view(text).find('\n'), FORMS), indent) << text;
}

TEST(FormatCode, ReindentsTheSelectedLinesInOrder) {
    const std::string text = "(define (f x)\n(let ((y 1))\n(+ x\ny)))\n\n  \n   (g 1)\n\t; comment\n(h (i 1)\n2)";
    Reformatted all = format_code(text, {0, text.size()}, FORMS);
    EXPECT_EQ(all.range, (TextRange{0, text.size()}));
    // "y" goes under the first argument of "(+" as already moved; blank lines are left; top-level lines get none.
    EXPECT_EQ(all.text,
              "(define (f x)\n  (let ((y 1))\n    (+ x\n       y)))\n\n  \n(g 1)\n; comment\n(h (i 1)\n   2)");

    // From inside "(+ x" into "y)))": those two lines only, under a "(let" left where it was.
    std::size_t from = text.find("x\ny"), y = text.find("y)))");
    Reformatted part = format_code(text, {from, 3}, FORMS);
    EXPECT_EQ(part.range, (TextRange{from - 3, 9}));
    EXPECT_EQ(part.text, "  (+ x\n     y)))");
    EXPECT_EQ(part.cursor, from + 2);
    // A selection that ends where a line begins leaves that line; an empty one formats the cursor's line.
    EXPECT_EQ(format_code(text, {from, y - from}, FORMS).text, "  (+ x");
    EXPECT_EQ(format_code(text, {y + 2, 0}, FORMS).text, "   y)))");
    // The cursor keeps its place in the code, or stays within the new indentation.
    for (auto [at, cursor] : {tuple{0, 0}, {5, 5}, {9, 5}, {12, 6}})
        EXPECT_EQ(format_code("(a\n        b)", {std::size_t(at), 0}, FORMS).cursor, std::size_t(cursor)) << at;
}

TEST(FormatCode, OnePassEqualsTheLineByLineRule) {
    // Commented braces, braces in strings, a brace left open, and texts whose last line is a comment with no
    // newline (which closes every open brace there).
    for (std::string text : {"(define (f x) ; (\n(let ((s \"(\"))\n  (g s\n x))\n)\n(unclosed (a\nb\n  c)\n d",
                             "(a\n(b ; )\n c)\n\t (d\ne) ; (\n(f\n g ; end", "(play (now) 60\n80 1/8)\n; (\n(x\n",
                             "  (a\n(b\n(c\n(d e\nf))))"})
        for (std::size_t from = 0; from < text.size(); from += 3)
            for (std::size_t length : {std::size_t{0}, std::size_t{4}, text.size() - from}) {
                Reformatted r = format_code(text, {from, length}, FORMS);
                EXPECT_EQ(std::string(text).replace(r.range.location, r.range.length, r.text),
                          format_line_by_line(text, {from, length}))
                    << text << " selecting " << from << "+" << length;
            }
}
