#include "editor/text/scheme_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "tests/support/log_capture.h"

using namespace omb::editor;
using std::tuple;

namespace {

// A text written with "|" where the cursor stands: the text without it, and the cursor.
std::pair<std::string, std::size_t> cursor_in(std::string text) {
    std::size_t cursor = text.find('|');
    return {text.erase(cursor, 1), cursor};
}

// The text a range covers, "-" for not found.
std::string covered(std::string_view text, TextRange r) {
    return r.found() ? std::string(text.substr(r.location, r.length)) : "-";
}

// The search as the rule is written: the nearest "(" before the end of the search; one in a comment moves the end
// to it; an unclosed one ends the search; one closed before p moves the end to it.
TextRange expression_at_step_by_step(std::string_view text, std::size_t p) {
    p = std::min(p, text.size());
    for (std::size_t e = p, i = 0; e > 0 && (i = text.rfind('(', e - 1)) != text.npos; e = i) {
        std::size_t before = i == 0 ? text.npos : text.find_last_of(";\n", i - 1);
        if (before != text.npos && text[before] == ';') continue;
        TextRange r = matching_brace_forwards(text, i);
        if (!r.found() || r.end() > p) return r;
    }
    return {};
}

}  // namespace

TEST(ExpressionSearch, InnerAndOuterAroundTheCursor) {
    for (auto [marked, inner, outer] : {
             tuple{"(a (b| c))", "(b c)", "(a (b c))"},
             {"(a (b c)| d)", "(a (b c) d)", "(a (b c) d)"},  // just after ")": the enclosing one
             {"(a b)|", "-", "-"},                            // just after the last ")": nothing encloses it
             {"(define (f x)\n  (g (h| x)))", "(h x)", "(define (f x)\n  (g (h x)))"},
             {"(a)\n  (b (c| d))", "(c d)", "(b (c d))"},      // no "(" at a line start: the outermost one
             {"(a ; (b\n c|)", "(a ; (b\n c)", "(a ; (b\n c)"},  // "(" after ";" ignored, the comment skipped
             {"; (a b|)\n", "-", "-"},
             {"(a (b c) (d| e", "-", "-"},  // unclosed
             {"(x)\n(a (b) c ; |d", "(a (b) c ; d", "(a (b) c ; d"},  // a comment to the end closes the scan
             {"(x)\n(a (b) c ; d|", "-", "-"},
             {"(print \"(\" x|)", "(\" x)", "(\" x)"},  // quotes are not special
         }) {
        auto [text, p] = cursor_in(marked);
        EXPECT_EQ(covered(text, expression_at(text, p)), inner) << marked;
        EXPECT_EQ(covered(text, outer_expression_at(text, p)), outer) << marked;
    }
    // At every position of texts that mix comments, strings, blank lines, stray and unclosed braces.
    for (std::string text : {"(define (f x) ; (a\n  (let ((y \"(\")) ; )\n\n    (g x y)))\n((lambda (z) z) 1)\n(h ; )",
                             ") (a (b)) ; x)\n(c\n; (\n d (e) ; (\n(f", "(a (b c) ; d\n  (e)) (f ; g",
                             "\n\n(((\n)))\n;"})
        for (std::size_t p = 0; p <= text.size() + 1; ++p)
            ASSERT_EQ(expression_at(text, p), expression_at_step_by_step(text, p)) << text << " at " << p;
}

TEST(BraceMatching, ForwardsAndBackwardsSkipComments) {
    for (auto [text, from, forwards, match] : {
             tuple{"(a (b) c)", 3, true, "(b)"},
             {"(a ; )\n b)", 0, true, "(a ; )\n b)"},
             {"(a ; x", 0, true, "(a ; x"},
             {"(a (b)", 0, true, "-"},
             {"(a\n ; )\n b)", 10, false, "(a\n ; )\n b)"},
             {"\n\n a)", 4, false, "-"},
             {"(x)\n(a ; (b)", 11, false, "(b)"},  // from a commented-out ")": as forwards from its "("
         }) {
        TextRange r = forwards ? matching_brace_forwards(text, from) : matching_brace_backwards(text, from);
        EXPECT_EQ(covered(text, r), match) << text << " from " << from;
    }
    // Every pair found from a "(" in code is found again from its ")".
    const std::string text =
        "(define (f x) ; (a\n  (let ((y \"(\")) ; )\n\n    (g x y)))\n((lambda (z) z) 1)\n(h ; )\n";
    int pairs = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t before = i == 0 ? text.npos : text.find_last_of(";\n", i - 1);
        if (text[i] != '(' || (before != text.npos && text[before] == ';')) continue;
        TextRange r = matching_brace_forwards(text, i);
        if (!r.found()) continue;
        EXPECT_EQ(matching_brace_backwards(text, r.end() - 1), r) << "pair from " << i;
        ++pairs;
    }
    EXPECT_EQ(pairs, 9);
}

TEST(BraceMatching, BadStartIsReportedAndFindsNothing) {
    omb::test::LogCapture log;
    EXPECT_FALSE(matching_brace_forwards("x(a)", 0).found());
    EXPECT_FALSE(matching_brace_forwards("(a)", 3).found());
    EXPECT_FALSE(matching_brace_backwards("(a)", 1).found());
    log.flush();
    ASSERT_EQ(log.errors.size(), 3u);
    for (const auto& e : log.errors)
        EXPECT_TRUE(e.find("ERROR:  Bad starting position on backwards brace search") != e.npos) << e;
}

TEST(Evaluation, SelectionElseTheExpressionAroundTheCursor) {
    for (auto [marked, outer, sent] : {
             tuple{"(a b)|", false, "-"},  // beeps
             {"(a b)|", true, "(a b)"},    // one to the left
             {"(x)\n|(a b)", true, "(a b)"},  // one to the right
             {"(f (g| 1))", false, "(g 1)"},
             {"(f (g| 1))", true, "(f (g 1))"},
             {"(a (b|", true, "-"},  // unclosed: nothing is sent
             {"|", true, "-"},
         }) {
        auto [text, p] = cursor_in(marked);
        EXPECT_EQ(covered(text, evaluation_range(text, {p, 0}, p, outer)), sent) << marked;
    }
    EXPECT_EQ(covered("(a b) (c d)", evaluation_range("(a b) (c d)", {3, 5}, 8, true)), "b) (c");
    EXPECT_EQ(covered("(a b) (c d)", evaluation_range("(a b) (c d)", {6, 100}, 8, false)), "(c d)");
    // The help line's function.
    for (auto [marked, name] : {tuple{"(play-note (now) 60| 80)", "play-note"}, {"(f (g 1)|)", "f"},
                                {"((lambda (x) x)| 1)", ""}, {"(a)|", ""}, {"(foo\tbar| 1)", "foo"}}) {
        auto [text, p] = cursor_in(marked);
        EXPECT_EQ(function_name_at(text, p), name) << marked;
    }
}
