// Filters headless through a real process: a blur spreads a lone pixel into its neighbours, bitmap images and
// unknown filters or parameters are refused with a message, and listing names and parameters reaches the log.
#include <algorithm>
#include <string>

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
        {"(gfx:filter-image i \"gegl:gaussian-blur\")",
         "filter-image takes ciimages only (not bitmap images).  look up help on convert-image function"},
        {"(gfx:filter-image (gfx:make-path) \"gegl:gaussian-blur\")", "Null Image"},
        {"(gfx:filter-image f)", "Must provide filter name as argument"},
        {"(gfx:filter-image)", "Must provide filter name as argument"},
        {"(gfx:filter-image f 'gegl:gaussian-blur)", "Must provide filter name as argument"},
        {"(gfx:print-filter-params 3)", "Must provide filter name as argument"},
        {"(gfx:print-filter-params \"gegl:no-such-filter\")", "Unknown filter"},
        {"(gfx:convert-image 3)", "Illegal Image. Incorrect Type"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
    // An operation that makes an image refuses one given to it.
    EXPECT_EQ(c.eval("(gfx:filter-image f \"gegl:color\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Error Accepts No Filter Image"));
    EXPECT_TRUE(log.saw(log.outputs, "IMG VALUE ERR: gegl:color takes no input image"));
    // What cannot be made is an output error, its reason in the log; GEGL is never asked to set what it lacks.
    const std::pair<const char*, const char*> output[] = {
        {"(gfx:filter-image f \"gegl:no-such-filter\")", "Unknown filter: gegl:no-such-filter"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"no-such-key\" . 1)))",
         "gegl:gaussian-blur has no parameter no-such-key"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((std-dev-x . 1)))", "parameters are (\"key\" . value) pairs"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"std-dev-x\" . 1) . 2))", "a list of (\"key\" . value)"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"std-dev-x\" . \"big\")))",
         "std-dev-x of gegl:gaussian-blur is a gdouble, not a text"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"std-dev-x\" . #(1 2))))", "not a vector"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"std-dev-x\" . (1 2))))",
         "a colour is a list of at least three reals"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"std-dev-x\" . #(1 a))))", "holds real numbers only"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" (list (cons \"std-dev-x\" (exp 1000))))",
         "a value is a number"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"filter\" . \"no-such-kind\")))", "not a text"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" '((\"filter\" . 99)))", "or not one of its values"},
        {"(gfx:filter-image f \"gegl:over\" (list (cons \"aux\" i)))", "an image parameter takes a filter image"},
        {"(gfx:filter-image f \"gegl:gaussian-blur\" (list (cons \"aux\" f)))", "has no image input aux"},
        {"(gfx:filter-image \"gegl:color\" '((\"value\" . 3)))", "value of gegl:color is a GeglColor, not a number"},
    };
    for (const auto& [call, reason] : output) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, "Filter Image Output Error")) << call;
        EXPECT_TRUE(eventually(
            [&] {
                return std::any_of(log.outputs.begin(), log.outputs.end(), [&](const std::string& line) {
                    return line.rfind("IMG OUTPUT ERR: ", 0) == 0 && line.find(reason) != std::string::npos;
                });
            },
            5s, [&] { log.flush(); }))
            << call;
    }
    EXPECT_EQ(c.eval("(gfx:get-image-pixels (gfx:convert-image f) (vector 4 4))"), "#(1 0 0 1)")
        << "refused filters leave their input";
}

// Rounded to hundredths, for colours that went through 8-bit premultiplied pixels.
constexpr const char* ROUNDED = "(define (r2 v) (map (lambda (x) (/ (round (* x 100)) 100)) (vector->list v)))";

TEST_F(Filters, ParametersInEveryForm) {
    c.eval(ROUNDED);
    // A generator has no input and covers the plane: it is cropped before it becomes pixels.
    ASSERT_EQ(c.eval("(define g (gfx:filter-image \"gegl:color\" '((\"value\" . (0 1 0 0.2 7)))))"), "g");
    EXPECT_EQ(c.eval("(gfx:get-image-size g)"), "(inf . inf)");
    EXPECT_EQ(c.eval("(gfx:convert-image g)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "The extent of image is to large. Crop before converting"));
    ASSERT_EQ(c.eval("(define small (gfx:filter-image g \"gegl:crop\" '((\"width\" . 4) (\"height\" . 3))))"),
              "small");
    EXPECT_EQ(c.eval("(gfx:get-image-size small)"), "(4 . 3)");
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels (gfx:convert-image small) (vector 3 2)))"), "(0 1 0 1)")
        << "a list colour takes its first three reals, opaque";
    // A vector into a colour parameter: r g b a.
    ASSERT_EQ(c.eval("(define half (gfx:filter-image (gfx:filter-image \"gegl:color\" '((\"value\" . #(0 0 1 0.5)))) "
                     "\"CICrop\" '((\"width\" . 9) (\"height\" . 9))))"),
              "half");
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels (gfx:convert-image half) (vector 0 0)))"), "(0 0 1 0.5)");
    // A filter image into the operation's aux input: the half-blue square laid over the red pixel.
    ASSERT_EQ(c.eval("(define o (gfx:convert-image (gfx:filter-image f \"gegl:over\" (list (cons \"aux\" half)))))"),
              "o");
    // Where the square alone is: its own colour; over the red pixel: as much red as blue (mixed in linear light),
    // opaque.
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels o (vector 0 0)))"), "(0 0 1 0.5)");
    EXPECT_EQ(c.eval("(let ((p (r2 (gfx:get-image-pixels o (vector 4 4))))) "
                     "(list (= (car p) (caddr p)) (> (car p) 0.4) (cadr p) (cadddr p)))"),
              "(#t #t 0 1)");
    // Texts name enumerated values; a one-number vector stands for a number.
    EXPECT_NE(c.eval("(gfx:filter-image f \"gegl:gaussian-blur\" '((\"filter\" . \"fir\") (\"std-dev-x\" . #(2))))"),
              "#f");

    // A bitmap wrapped as a filter image is read when it is rendered, not copied when wrapped.
    c.eval("(gfx:set-image-pixels i (vector 0 0) (vector 0 1 0 1))");
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels (gfx:convert-image f) (vector 0 0)))"), "(0 1 0 1)");

    // More than 5000 either way is refused, converting and drawing alike, and nothing is drawn.
    ASSERT_EQ(c.eval("(define wide (gfx:filter-image g \"gegl:crop\" '((\"width\" . 5001) (\"height\" . 2))))"),
              "wide");
    EXPECT_EQ(c.eval("(gfx:get-image-size wide)"), "(5001 . 2)");
    EXPECT_EQ(c.eval("(gfx:convert-image wide)"), "#f");
    EXPECT_EQ(c.eval("(define d (gfx:make-image 4 4))"), "d");
    EXPECT_EQ(c.eval("(gfx:image2image wide d 1.0)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "The extent of image is to large. Crop before drawing"));
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels d (vector 0 0)))"), "(0 0 0 0)");
    // Within the limit, a filter image draws into a bitmap like a bitmap.
    EXPECT_EQ(c.eval("(gfx:image2image small d 1.0)"), "#t");
    EXPECT_EQ(c.eval("(r2 (gfx:get-image-pixels d (vector 0 3  0 0)))"), "(0 1 0 1 0 0 0 0)");
    EXPECT_EQ(c.eval("(gfx:image2image d small 1.0)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "The destination image must be of type NSBitmapImage"));
    // Onto a canvas at a time likewise: the oversized one refused when scheduled, the other drawn when due.
    ASSERT_EQ(c.eval("(define cv (gfx:make-canvas 4 4))"), "cv");
    log.clear();
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-image* cv wide 1.0)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "The extent of image is to large. Crop before drawing"));
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-image* cv small 1.0)"), "#t");
    EXPECT_TRUE(eventually([&] {
        return c.eval("(r2 (gfx:get-image-pixels (gfx:get-image-from-canvas cv) (vector 0 3  0 0)))") ==
               "(0 1 0 1 0 0 0 0)";
    }, 5s)) << "image rows count from the top";
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
