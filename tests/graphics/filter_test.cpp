// Filters headless through a real process: a blur spreads a lone pixel into its neighbours, bitmap images and
// unknown filters or parameters are refused with a message, and listing names and parameters reaches the log.
#include "graphics/graphic_engine.h"
#include "tests/runtime/process_support.h"

namespace omb::test {
namespace {

const bool registered = (add_native_library(GraphicEngine::schemeInit), true);

class Filters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registered);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        // f: a 9 x 9 filter image, transparent but for opaque red in the middle.
        ASSERT_EQ(c.eval("(define i (gfx:make-image 9 9))"), "i");
        c.eval("(gfx:set-image-pixels i (vector 4 4) (vector 1 0 0 1))");
        ASSERT_EQ(c.eval("(define f (gfx:convert-image i))"), "f");
    }
    void TearDown() override { log.flush(); }

    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

TEST_F(Filters, BlurSpreadsPixels) {
    ASSERT_EQ(c.eval("(define b (gfx:convert-image (gfx:filter-image f \"gegl:gaussian-blur\" "
                     "'((\"std-dev-x\" . 2) (\"std-dev-y\" . 2)))))"),
              "b");
    EXPECT_EQ(c.eval("(let ((p (gfx:get-image-pixels b (vector 4 4 5 4 4 6)))) "
                     "(list (< (vector-ref p 3) 0.9) (> (vector-ref p 7) 0) (> (vector-ref p 11) 0)))"),
              "(#t #t #t)");
    EXPECT_EQ(c.eval("(gfx:get-image-size b)"), "(9 . 9)");
    EXPECT_EQ(c.eval("(vector->list (gfx:get-image-pixels i (vector 4 4 5 4)))"), "(1 0 0 1 0 0 0 0)")
        << "the input is left as it was";
    // The older name reaches the same operation.
    EXPECT_EQ(c.eval("(gfx:get-image-pixels (gfx:convert-image (gfx:filter-image f \"CIGaussianBlur\" "
                     "'((\"std-dev-x\" . 2) (\"std-dev-y\" . 2)))) (vector 4 4 5 4 4 6))"),
              c.eval("(gfx:get-image-pixels b (vector 4 4 5 4 4 6))"));
}

TEST_F(Filters, Refused) {
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:filter-image i \"gegl:gaussian-blur\")", "look up help on convert-image function"},
        {"(gfx:filter-image f \"gegl:no-such-filter\")", "Unknown filter: gegl:no-such-filter"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"no-such-key\" . 1)))", "Bad filter parameter: no-such-key"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((std-dev-x . 1)))", "Filter parameters are (key . number)"},
        {"(gfx:filter-image (gfx:make-path) \"gegl:gaussian-blur\")", "Null Image"},
        {"(gfx:print-filter-params 3)", "Must provide filter name as argument"},
        {"(gfx:print-filter-params \"gegl:no-such-filter\")", "Unknown filter"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
}

TEST_F(Filters, Listing) {
    EXPECT_EQ(c.eval("(gfx:print-filters \"blur\")"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "gegl:gaussian-blur"));
    EXPECT_FALSE(LogCapture::has(log.notes, "gegl:invert")) << "only the category asked for";
    EXPECT_EQ(c.eval("(gfx:print-filters \"no-such-category\")"), "#f");
    EXPECT_EQ(c.eval("(gfx:print-filter-params \"gegl:gaussian-blur\")"), "#t");
    EXPECT_TRUE(log.saw(log.outputs, "std-dev-x"));
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
