#include "editor/text/completion.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace omb::editor;
using Names = std::vector<std::string>;

TEST(Completion, NamesThatBeginWithThePartialWord) {
    const Names words = {"define", "do", "define-macro", "delay", "define", "defined?", "Define", "d"};
    EXPECT_EQ(completions("def", words), (Names{"define", "define-macro", "defined?"}));
    EXPECT_EQ(completions("define", words), (Names{"define", "define-macro", "defined?"}));
    EXPECT_EQ(completions("define-macro-x", words), Names{});
    EXPECT_EQ(completions("", words), (Names{"Define", "d", "define", "define-macro", "defined?", "delay", "do"}));
    // The partial word before the cursor.
    for (auto [text, p, word] : {std::tuple{"(pla", 4, TextRange{1, 3}}, {"(map 'fo", 8, {6, 2}}, {"`(a ,b", 6, {5, 1}},
                                 {"(foo ", 5, {5, 0}}, {"(foo bar)", 7, {5, 2}}, {"au:make-n", 100, {0, 9}},
                                 {"", 0, {0, 0}}})
        EXPECT_EQ(word_before(text, std::size_t(p)), word) << text << " at " << p;
}
