// Reading text into data and printing it back in write and display form, and every way the reader refuses text.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "interpreter_support.h"

namespace omb {
namespace {

using test::Interp;
using ReaderPrinter = test::InterpTest;

// Round trips under write: what a performer types, and what the printer shows for it. The number forms themselves
// are covered where numbers are parsed; a few rows here show the reader and printer hand them on. Characters by
// name and by code; one beyond a byte is written so it reads back.
TEST(Reader, RoundTripsInWriteForm) {
    struct Case {
        const char* text;
        const char* printed;
    } cases[] = {
        {"(a . b)", "(a . b)"},     {"(1 2 . 3)", "(1 2 . 3)"},          {"(1 . (2 3))", "(1 2 3)"},
        {"(1 . #(2))", "(1 . #( 2))"}, {"()", "()"},                     {"(())", "(())"},
        {"FOO", "foo"},             {"(Hello World)", "(hello world)"},  {"a.b", "a.b"},
        {"#(1 2 3)", "#( 1 2 3)"},  {"#()", "#()"},                      {"#(1 #(2) \"s\")", "#( 1 #( 2) \"s\")"},
        {"'x", "'x"},               {"(quote x)", "'x"},                 {"(quote x y)", "(quote x y)"},
        {"(quote)", "(quote)"},     {"`(1 ,x ,@y)", "`(1 ,x ,@y)"},      {"`#(1 ,x)", "(apply vector `(1 ,x))"},
        {"abc::def", "(*colon-hook* 'def abc)"},  {"ABC::Def", "(*colon-hook* 'def abc)"},
        {"a::b::c", "(*colon-hook* '(*colon-hook* 'c b) a)"},
        {"; a comment\n42", "42"},  {"(1 ; inside\n 2)", "(1 2)"},       {"#! a script line\n7", "7"},
        {"( ; first\n)", "()"},     {"(a . ; tail\n b ; end\n)", "(a . b)"},
        {"#t", "#t"},               {"#f", "#f"},                        {"#x1F", "31"},
        {"#b101", "5"},             {"#o17", "15"},                      {"#d42", "42"},
        {"#xFFFFFFFF", "-1"},       {"#x100000001", "1"},  // sharp numbers are 32-bit, sign-extended
        {"#b", "0"},                {"-1/2", "1/-2"},                    {"1/0", "1/0"},
        {"2.0", "2"},               {".5", "0.5"},                       {"1e21", "1e+21"},
        {"\"a\\x41b\"", "\"aAb\""}, {"\"tab\\there\\\\\"", "\"tab\\there\\\\\""},
        {"\"q\\\"\"", "\"q\\\"\""}, {"\"\\z\"", "\"z\""},                {"(#\\) #\\;)", "(#\\) #\\;)"},
        {"#\\a", "#\\a"},           {"#\\A", "#\\A"},                      {"#\\space", "#\\space"},
        {"#\\SPACE", "#\\space"},   {"#\\x41", "#\\A"},                    {"#\\x7", "#\\bel"},
        {"#\\nul", "#\\nul"},       {"#\\NUL", "#\\nul"},                  {"#\\ESC", "#\\esc"},
        {"#\\us", "#\\us"},         {"#\\del", "#\\del"},                  {"#\\newline", "#\\newline"},
        {"#\\tab", "#\\tab"},       {"#\\Return", "#\\return"},            {"#\\x", "#\\x"},
        {"#\\xff", "#\\\xFF"},      {"#\\\xC3", "#\\\xC3"},               {"#\\x3bb", "#\\x3bb"},
    };
    for (const Case& c : cases) {
        Interp in;
        EXPECT_EQ(in.roundtrip(c.text), c.printed) << "reading " << c.text;
    }
}

TEST_F(ReaderPrinter, DisplayFormShowsRawText) {
    EXPECT_EQ(in.roundtrip("\"a\\\"b\"", false), "a\"b");
    EXPECT_EQ(in.roundtrip("#\\A", false), "A");
    EXPECT_EQ(in.roundtrip("(\"x y\" #\\z sym 1/2)", false), "(x y z sym 1/2)");
    EXPECT_EQ(in.roundtrip("#(\"a\")", false), "#( a)");
}

// A byte 255 is a character like any other, not the end of the input; string literals are constants.
TEST_F(ReaderPrinter, ReadsSeveralDataThenEndOfFileEveryTime) {
    in.feed("\"\xFF\" (2)\n x ");
    pointer s = in.read();
    ASSERT_TRUE(is_string(s));
    EXPECT_TRUE(is_immutable(s));
    EXPECT_EQ(strlength(s), 1);
    EXPECT_EQ(in.print(s), "\"\\xFF\"");
    EXPECT_EQ(in.print(in.read()), "(2)");
    EXPECT_EQ(in.print(in.read()), "x");
    EXPECT_EQ(in.read(), in.sc->EOF_OBJ);
    EXPECT_EQ(in.read(), in.sc->EOF_OBJ);
    EXPECT_EQ(in.sc->retcode, 0);
    EXPECT_EQ(in.print(in.sc->EOF_OBJ), "#<EOF>");
}

TEST_F(ReaderPrinter, SymbolsIgnoreCaseAndKeepTheirFirstSpelling) {
    pointer foo = mk_symbol(in.sc, "Foo");
    EXPECT_EQ(mk_symbol(in.sc, "FOO"), foo);
    in.feed("foo");
    EXPECT_EQ(in.read(), foo);
    EXPECT_EQ(in.print(foo), "Foo");

    pointer g0 = gensym(in.sc);
    EXPECT_STREQ(symname(g0), "gensym-0");
    mk_symbol(in.sc, "gensym-1");
    EXPECT_STREQ(symname(gensym(in.sc)), "gensym-2");  // existing names are skipped
    in.sc->gensym_counter = 2147483646;
    EXPECT_STREQ(symname(gensym(in.sc)), "gensym-2147483646");
    EXPECT_EQ(gensym(in.sc), in.sc->NIL);  // the names run out rather than wrap
}

// Data too large for the native stack: the reader and the printer both walk on the dump.
TEST_F(ReaderPrinter, DeepAndLongDataReadAndPrintBack) {
    const int depth = 200000;
    std::string deep = std::string(depth, '(') + std::string(depth, ')');
    in.feed(deep);
    pointer x = in.read();
    ASSERT_EQ(in.sc->retcode, 0);
    int levels = 0;
    for (pointer p = x; p != in.sc->NIL; p = car(p)) ++levels;
    EXPECT_EQ(levels, depth - 1);  // the innermost () is the empty list
    EXPECT_EQ(in.print(x, true, deep.size() + 16), deep);

    // Long enough to make the collector run while the list is half read: every element must survive it.
    std::string list = "(";
    for (int i = 0; i < 40000; ++i) list += "\"s" + std::to_string(i) + "\" " + std::to_string(i) + " ";
    list.back() = ')';
    Interp big;
    big.feed(list);
    pointer y = big.read();
    ASSERT_EQ(big.sc->retcode, 0);
    protect_cell(big.sc, y);
    test::collect(big.sc);
    for (int i = 0; i < 100000; ++i) s_cons(big.sc, big.sc->T, big.sc->T);
    EXPECT_EQ(big.print(y, true, list.size() + 16), list);
    unprotect_cell(big.sc, y);
}

TEST_F(ReaderPrinter, StringEscapesUnderWriteRawBytesUnderDisplayAndATruncatingPort) {
    const char raw[] = "\"q\n\x07\\\t\r\xFF!";
    pointer s = mk_counted_string(in.sc, raw, sizeof raw - 1);
    EXPECT_EQ(in.print(s, true), "\"\\\"q\\n\\x07\\\\\\t\\r\\xFF!\"");
    EXPECT_EQ(in.print(s, false), std::string(raw, sizeof raw - 1));
    EXPECT_EQ(in.print(mk_counted_string(in.sc, "a\0b", 3), true), "\"a\\x00b\"");
    in.feed("(1 2 3 4 5)");
    EXPECT_EQ(in.print(in.read(), true, 4), "(1 2");  // the output port keeps what fits
}

// Error reports write their irritants in one bounded walk rather than through the printer's steps; the text must
// still be the printer's.
TEST_F(ReaderPrinter, ErrorReportWriteFormIsThePrintersWriteForm) {
    for (const char* text : {"(a . b)", "(1 . #(2 \"s\"))", "#(1 #() (x . y))", "'(quote x)", "`(1 ,x ,@y)",
                             "(quote x y)", "\"tab\\there\\\"\xFF\"", "(#\\a #\\space #\\x3bb 1/2 2.5 () #t #f)",
                             "(1 (2 (3 (4))) . 5)"}) {
        pointer x = in.read(text);
        std::string written;
        append_written(sc, written, x, SIZE_MAX);
        EXPECT_EQ(written, in.print(x)) << text;
    }
    pointer car_proc = test::global(sc, "car");
    pointer odd = s_cons(sc, sc->global_env, s_cons(sc, car_proc, sc->global_env));
    protect_cell(sc, odd);
    std::string written;
    append_written(sc, written, odd, SIZE_MAX);
    EXPECT_EQ(written, in.print(odd));
    unprotect_cell(sc, odd);
}

TEST_F(ReaderPrinter, EveryKindOfAtom) {
    pointer car_proc = test::global(sc, "car");
    EXPECT_EQ(in.print(car_proc), "#<car PROCEDURE 73>");
    EXPECT_EQ(in.print(sc->outport), "#<PORT>");
    EXPECT_EQ(in.print(mk_cptr(sc, &destroyed)), "#<CPTR>");
    EXPECT_EQ(in.print(mk_objc(sc, new test::Counted(&destroyed))), "#<OBJC>");
    EXPECT_EQ(in.print(mk_foreign_func(sc, [](scheme* s, pointer) { return s->T; })), "#<FOREIGN PROCEDURE 0>");
    EXPECT_EQ(in.print(mk_closure(sc, sc->NIL, sc->global_env)), "#<CLOSURE>");
    EXPECT_EQ(in.print(sc->global_env), "#<ENVIRONMENT>");
    for (auto [tag, printed] : {std::pair<uint32_t, const char*>{T_CONTINUATION, "#<CONTINUATION>"},
                                {T_MACRO, "#<MACRO>"}, {T_PROMISE, "#<PROMISE>"}}) {
        pointer c = s_cons(sc, sc->NIL, sc->NIL);
        c->_flag = tag;
        EXPECT_EQ(in.print(c), printed);
    }
}

class ReaderErrors : public test::InterpTest {
protected:
    // Reads the first datum of `text`, which must fail with `message`: reported to the log and to the output.
    void expect_error(const std::string& text, const std::string& message) {
        SCOPED_TRACE("reading " + text);
        log.errors.clear();
        in.feed(text);
        in.start_output();
        in.read();
        log.flush();
        EXPECT_EQ(in.sc->retcode, -1);
        ASSERT_FALSE(log.errors.empty());
        EXPECT_EQ(log.errors[0].rfind(":ERROR: " + message + "\n", 0), 0u) << log.errors[0];
        EXPECT_EQ(in.output(), "Error: " + message + " \n");
    }
};

TEST_F(ReaderErrors, RefusedText) {
    const std::string dot = "syntax error: illegal dot expression", sharp = "undefined sharp expression",
                      string = "Error reading string", quote = "syntax error: end of input after a quote";
    const std::pair<std::string, std::string> cases[] = {
        {"(a . b c)", dot}, {"(. a)", dot}, {")", "syntax error: illegal token"},
        {"#z", sharp}, {"#\\bogus", sharp}, {"#\\x-1", sharp},
        {"\"" + std::string(256, 's') + "\"", string}, {"\"" + std::string(255, 's') + "\\x41\"", string},
        {"\"bad \\xZZ escape\"", string}, {"\"\\x4\"", string}, {"\"never closed", string},
        {"'", quote}, {"`", quote}, {",", quote}, {",@", quote}, {"(a '", quote},
        {"'  ; nothing follows", quote},  // a comment does not hide the missing datum
    };
    for (const auto& [text, message] : cases) expect_error(text, message);
}

TEST_F(ReaderErrors, LongestLiteralsFitAndLongerTokensAreRefusedAndReadingCarriesOn) {
    in.feed("\"" + std::string(255, 's') + "\" " + std::string(255, 't'));
    pointer s = in.read();
    ASSERT_TRUE(is_string(s));
    EXPECT_EQ(strlength(s), 255);
    pointer t = in.read();
    ASSERT_TRUE(is_symbol(t));
    EXPECT_EQ(std::string(symname(t)), std::string(255, 't'));
    expect_error(std::string(256, 'a') + " next", "syntax error: token too long");
    EXPECT_EQ(in.print(in.read()), "next");
    expect_error("#\\" + std::string(300, 'b') + " 9", "syntax error: token too long");
    EXPECT_EQ(in.print(in.read()), "9");
}

// An unfinished list at the end of a string must end the read, not ask for more elements for ever.
TEST_F(ReaderErrors, EndOfInputInsideAList) {
    alarm(60);  // a reader that loops fails here instead of hanging the suite
    for (const char* text : {"(a b", "(", "#(1 2", "(a .", "(a . b", "((a) (b", "(a ; comment", "( ; comment"}) {
        expect_error(text, "syntax error: end of input inside a list");
        EXPECT_EQ(in.read(), in.sc->EOF_OBJ);
    }
    alarm(0);
}

}  // namespace
}  // namespace omb
