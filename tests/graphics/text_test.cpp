// Text headless through a real process: styles made, a missing family falling back with one message, text drawn
// into an image and onto a canvas landing inside the extents it reports (wrapped text inside its rectangle), and bad
// arguments refused without drawing.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/bitmap_image.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "graphics/text_style.h"
#include "tests/runtime/process_support.h"

namespace omb::test {
namespace {

Ref<Object> kept;

void text_test_init(SchemeInterface* process) {
    process->addForeignFunc("test:keep", [](scheme* sc, pointer args) -> pointer {
        kept = is_objc(pair_car(args)) ? Ref<Object>::retain(objc_value(pair_car(args))) : Ref<Object>{};
        return kept ? sc->T : sc->F;
    });
}

const bool registered = (add_native_library(GraphicEngine::schemeInit), add_native_library(text_test_init), true);

// The inked pixels of a surface: their bounding box (y counted up from the bottom) and a count, with every inked
// pixel's colour checked for pure red.
struct Ink {
    long count = 0;
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    bool red_only = true;
    bool inside(const CanvasRect& r) const {
        return count > 0 && x0 >= r.x && y0 >= r.y && x1 < r.x + r.width && y1 < r.y + r.height;
    }
};

Ink ink_of(cairo_surface_t* s) {
    Ink ink;
    cairo_surface_flush(s);
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    for (int row = 0; row < h; ++row) {
        auto* p = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                    row * cairo_image_surface_get_stride(s));
        for (int x = 0; x < w; ++x) {
            if ((p[x] >> 24) == 0) continue;
            const int y = h - 1 - row;
            ++ink.count;
            ink.x0 = std::min(ink.x0, x), ink.x1 = std::max(ink.x1, x);
            ink.y0 = std::min(ink.y0, y), ink.y1 = std::max(ink.y1, y);
            if ((p[x] & 0xffff) != 0 || (p[x] >> 16 & 255) == 0) ink.red_only = false;
        }
    }
    return ink;
}

Ink kept_image_ink() { return ink_of(dynamic_cast<BitmapImage&>(*kept).surface()); }

Ink kept_canvas_ink() {
    Ink ink;
    dynamic_cast<GraphicView&>(*kept).read([&](cairo_surface_t* s) { ink = ink_of(s); });
    return ink;
}

TextStyle style(const char* family, double size) {
    double rgba[4] = {1, 0, 0, 1};
    return TextStyle(resolve_font(family, size), true, rgba);
}

class Text : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registered);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        ASSERT_EQ(c.eval("(define s (gfx:make-text-style \"DejaVu Sans\" 16 '(1 0 0 1)))"), "s");
    }
    void TearDown() override {
        clear_scheduler();
        kept = {};
        log.flush();
    }

    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

TEST_F(Text, IntoImageWithinExtents) {
    ASSERT_EQ(c.eval("(define i (gfx:make-image 200 60))"), "i");
    ASSERT_EQ(c.eval("(test:keep i)"), "#t");
    ASSERT_EQ(c.eval("(gfx:text2image \"Hello, Wg\" i s '(10 20))"), "#t");
    const Ink ink = kept_image_ink();
    const CanvasRect extents = text_extents(style("DejaVu Sans", 16), "Hello, Wg", {{10, 20, 0, 0}, false});
    EXPECT_GT(ink.count, 40);
    EXPECT_TRUE(ink.red_only) << "drawn in the style's colour";
    EXPECT_TRUE(ink.inside(extents)) << ink.x0 << "," << ink.y0 << " - " << ink.x1 << "," << ink.y1;
    EXPECT_GE(ink.x0, 10) << "the point is the text's left edge";
    EXPECT_LT(ink.y0, 20 + 6) << "and its descenders reach down to the point";
    EXPECT_GE(ink.y0, 20 - 1);

    // Wrapped into a narrow rectangle: several lines, none past its right edge or below its bottom.
    ASSERT_EQ(c.eval("(gfx:clear-image i)"), "#t");
    ASSERT_EQ(c.eval("(gfx:text2image \"one two three four five six\" i s '(5 2 60 56))"), "#t");
    const Ink wrapped = kept_image_ink();
    EXPECT_GT(wrapped.count, 40);
    EXPECT_TRUE(wrapped.inside({5, 2, 60, 56}));
    EXPECT_GT(wrapped.y1 - wrapped.y0, 30) << "wrapped onto more than one line";
    EXPECT_GE(wrapped.y1, 58 - 16) << "from the top of the rectangle";
}

TEST_F(Text, OntoCanvasWithinItsDirtyRectangle) {
    ASSERT_EQ(c.eval("(define c (gfx:make-canvas 120 80))"), "c");
    ASSERT_EQ(c.eval("(test:keep c)"), "#t");
    std::this_thread::sleep_for(50ms);
    log.flush();
    auto& view = dynamic_cast<GraphicView&>(*kept);
    const long redraws = view.redraws();
    ASSERT_EQ(c.eval("(schedule (now) *gfx:draw-text* c \"Mg\" s '(30 40))"), "#t");
    ASSERT_TRUE(eventually([&] { return kept_canvas_ink().count > 20; }, 5s));
    ASSERT_TRUE(eventually([&] { return view.redraws() > redraws; }, 5s, [&] { log.flush(); }));
    const CanvasRect dirty = view.last_redrawn();
    const Ink ink = kept_canvas_ink();
    EXPECT_TRUE(ink.inside(dirty)) << "dirty " << dirty.x << "," << dirty.y << " " << dirty.width << "x"
                                   << dirty.height;
    EXPECT_LT(dirty.width, 60) << "the text's extents, not the whole canvas";
    EXPECT_TRUE(ink.red_only);
}

TEST_F(Text, MissingFamilyFallsBackWithOneMessage) {
    ASSERT_EQ(c.eval("(define f (gfx:make-text-style \"No Such Family Qx\" 14))"), "f");
    ASSERT_EQ(c.eval("(define g (gfx:make-text-style \"No Such Family Qx\" 20))"), "g");
    ASSERT_TRUE(log.saw(log.errors, "No Such Family Qx"));
    std::this_thread::sleep_for(50ms);
    log.flush();
    EXPECT_EQ(std::count_if(log.errors.begin(), log.errors.end(),
                            [](const std::string& e) { return e.find("No Such Family Qx") != std::string::npos; }),
              1);
    // The fallback still draws, in black without a colour.
    ASSERT_EQ(c.eval("(define i (gfx:make-image 100 40))"), "i");
    ASSERT_EQ(c.eval("(test:keep i)"), "#t");
    ASSERT_EQ(c.eval("(gfx:text2image \"abc\" i f '(2 10))"), "#t");
    const Ink ink = kept_image_ink();
    EXPECT_GT(ink.count, 10);
    EXPECT_FALSE(ink.red_only);
}

TEST_F(Text, BadArgumentsRefused) {
    ASSERT_EQ(c.eval("(define i (gfx:make-image 50 50))"), "i");
    ASSERT_EQ(c.eval("(define c (gfx:make-canvas 50 50))"), "c");
    ASSERT_EQ(c.eval("(test:keep i)"), "#t");
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:make-text-style 3 12)", "gfx:make-text-style takes a font name"},
        {"(gfx:make-text-style \"DejaVu Sans\" 12 '(1 0))", "gfx:make-text-style takes a font name"},
        {"(gfx:text2image 'a i s '(1 1))", "gfx:text2image takes a string"},
        {"(gfx:text2image \"a\" 3 s '(1 1))", "Illegal Image. Incorrect Type"},
        {"(gfx:text2image \"a\" s s '(1 1))", "Null Image"},
        {"(gfx:text2image \"a\" i 3 '(1 1))", "Illegal Text Attributes. Incorrect Type"},
        {"(gfx:text2image \"a\" i i '(1 1))", "Bad Text Attrs"},
        {"(gfx:text2image \"a\" i s '(1 2 3))", "rect list must contain x,y or x,y,w,h"},
        {"(gfx:text2image \"a\" i s '(1 2 3 4 5))", "rect list must contain x,y or x,y,w,h"},
        {"(gfx:text2image \"a\" i s '(1 2 0 4))", "rect list must contain x,y or x,y,w,h"},
        {"(gfx:text2image \"a\" i s '(1 . 2))", "rect list must contain x,y or x,y,w,h"},
        {"(gfx:text2image \"a\" i s '(1 a))", "rect list must contain x,y or x,y,w,h"},
        {"(schedule (now) *gfx:draw-text* c \"a\" 3 '(1 1))",
         "Arg 3 should be a text attributes NSMutableDictionary"},
        {"(schedule (now) *gfx:draw-text* c \"a\" i '(1 1))", "Bad Font"},
        {"(schedule (now) *gfx:draw-text* c 4 s '(1 1))", "*gfx:draw-text* takes a canvas, a string"},
        {"(schedule (now) *gfx:draw-text* c \"a\" s '(1))", "rect list must contain x,y or x,y,w,h"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
    EXPECT_EQ(kept_image_ink().count, 0) << "refused calls draw nothing";
    // A size no font has, or no name, gives a null style: usable as an argument, refused when drawn with.
    for (const char* call : {"(gfx:make-text-style \"DejaVu Sans\" 0)", "(gfx:make-text-style \"DejaVu Sans\" -3)",
                             "(gfx:make-text-style \"\" 12)", "(gfx:make-text-style \"DejaVu Sans\" 1e9)"}) {
        ASSERT_EQ(c.eval(std::string("(define n ") + call + ")"), "n") << call;
        EXPECT_EQ(c.eval("(gfx:text2image \"a\" i n '(1 1))"), "#f") << call;
    }
    EXPECT_TRUE(log.saw(log.errors, "Bad Font Name"));
}

// The numbers of a printed list such as "(10 20.5 3 4)".
std::vector<double> numbers(const std::string& printed) {
    std::vector<double> v;
    std::istringstream in(printed);
    for (std::string word; in >> word;) {
        word.erase(0, word.find_first_not_of('('));
        if (!word.empty() && word != ".") v.push_back(std::stod(word));
    }
    return v;
}

TEST_F(Text, OutlinesStandUprightOnTheBaselineInTheFont) {
    // DejaVu Sans at 100 pixels: capitals are 72.9 high; "H" has its ink from 9.8 to 65.7 and advances by 75.6.
    // The bounds take in the start point as well.
    ASSERT_EQ(c.eval("(define big (gfx:make-text-style \"DejaVu Sans\" 100))"), "big");
    ASSERT_EQ(c.eval("(define h (gfx:make-path))"), "h");
    ASSERT_EQ(c.eval("(gfx:set-start-point h 10 20)"), "#t");
    ASSERT_EQ(c.eval("(gfx:add-text h big \"H\")"), "#t");
    const std::vector<double> b = numbers(c.eval("(gfx:get-path-bounds h)"));
    ASSERT_EQ(b.size(), 4u);
    EXPECT_NEAR(b[1], 20, 0.5) << "the capital stands on the baseline through the start point, not below it";
    EXPECT_NEAR(b[3], 72.9, 1.5);
    EXPECT_EQ(b[0], 10);
    EXPECT_NEAR(b[0] + b[2], 10 + 65.7, 1);
    EXPECT_EQ(c.eval("(gfx:point-in-path? h 15 30)"), "#f") << "nothing left of the side bearing";
    EXPECT_EQ(c.eval("(gfx:point-in-path? h 22 30)"), "#t") << "the left stem";
    // Inside the crossbar, outside between the stems above and below it.
    const double mid = 10 + (9.8 + 65.7) / 2, bar = b[1] + b[3] / 2;
    auto inside = [&](double x, double y) {
        return c.eval("(gfx:point-in-path? h " + std::to_string(x) + " " + std::to_string(y) + ")");
    };
    EXPECT_EQ(inside(mid, bar), "#t");
    EXPECT_EQ(inside(mid, b[1] + b[3] * 0.85), "#f");
    EXPECT_EQ(inside(mid, b[1] + b[3] * 0.15), "#f");
    // The current point moves on by the advance, where the next glyph starts.
    const std::vector<double> next = numbers(c.eval("(gfx:get-path-point h)"));
    ASSERT_EQ(next.size(), 2u);
    EXPECT_NEAR(next[0], 10 + 75.6, 1);
    EXPECT_EQ(next[1], 20);

    // Not mirrored: "L" has its foot at the bottom right of its stem and nothing at the top right.
    ASSERT_EQ(c.eval("(define l (gfx:make-path))"), "l");
    c.eval("(gfx:set-start-point l 0 0)");
    ASSERT_EQ(c.eval("(gfx:add-text l big \"L\")"), "#t");
    const std::vector<double> lb = numbers(c.eval("(gfx:get-path-bounds l)"));
    ASSERT_EQ(lb.size(), 4u);
    const double right = lb[0] + lb[2] * 0.8;
    EXPECT_EQ(c.eval("(gfx:point-in-path? l " + std::to_string(right) + " 3)"), "#t");
    EXPECT_EQ(c.eval("(gfx:point-in-path? l " + std::to_string(right) + " " + std::to_string(lb[3] - 3) + ")"), "#f");

    // Left to right: each glyph of "HIL" starts right of the one before; a second call goes on from the first.
    ASSERT_EQ(c.eval("(define w (gfx:make-path))"), "w");
    c.eval("(gfx:set-start-point w 0 0)");
    ASSERT_EQ(c.eval("(gfx:add-text w big \"HI\")"), "#t");
    const double after_hi = numbers(c.eval("(gfx:get-path-point w)"))[0];
    ASSERT_EQ(c.eval("(gfx:add-text w big \"L\")"), "#t");
    const std::vector<double> wb = numbers(c.eval("(gfx:get-path-bounds w)"));
    EXPECT_GT(after_hi, 75.6 + 20);
    EXPECT_NEAR(wb[0] + wb[2], after_hi + lb[0] + lb[2], 1) << "the L ends where it would alone, moved on";
    EXPECT_EQ(c.eval("(gfx:point-in-path? w " + std::to_string(after_hi + (lb[0] + lb[2] * 0.8)) + " 3)"), "#t");

    // A line after text starts at the advance, not from the last outline's point.
    ASSERT_EQ(c.eval("(gfx:add-line h 200 20)"), "#t");
    EXPECT_EQ(c.eval("(gfx:point-in-path? h 150 20.2)"), "#f");
    EXPECT_EQ(c.eval("(map round (gfx:get-path-bounds h))"), "(10 20 190 73)");
}

TEST_F(Text, GlyphsByIdAndTheEdgesOfText) {
    ASSERT_EQ(c.eval("(define big (gfx:make-text-style \"DejaVu Sans\" 100))"), "big");
    for (const char* form : {"(define a (gfx:make-path))", "(gfx:set-start-point a 0 0)", "(define g (gfx:make-path))",
                             "(gfx:set-start-point g 0 0)"})
        c.eval(form);
    // Glyph ids are the font's: 43 and 44 are "H" and "I" in DejaVu Sans.
    ASSERT_EQ(c.eval("(gfx:add-text a big \"HI\")"), "#t");
    ASSERT_EQ(c.eval("(gfx:add-glyphs g big '(43 44))"), "#t");
    const std::vector<double> ta = numbers(c.eval("(gfx:get-path-bounds a)")),
                              tg = numbers(c.eval("(gfx:get-path-bounds g)"));
    ASSERT_EQ(ta.size(), 4u);
    ASSERT_EQ(tg.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(ta[i], tg[i], 0.5) << i;

    // Empty text and no glyphs append nothing, even to a path without a current point.
    ASSERT_EQ(c.eval("(define e (gfx:make-path))"), "e");
    EXPECT_EQ(c.eval("(gfx:add-text e big \"\")"), "#t");
    EXPECT_EQ(c.eval("(gfx:add-glyphs e big '())"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds e)"), "(0 0 0 0)");
    // Spaces advance without ink; characters beyond one glyph each still get theirs (one per character index).
    EXPECT_EQ(c.eval("(gfx:add-text a big \"   \")"), "#t");
    EXPECT_EQ(c.eval("(map round (gfx:get-path-bounds a))"), c.eval("(map round (gfx:get-path-bounds g))"));
    EXPECT_EQ(c.eval("(gfx:add-text a big \"\u00e9\u00e9\")"), "#t");

    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:add-text 1 big \"H\")", "Illegal Path. Incorrect Type"},
        {"(gfx:add-text (gfx:make-canvas \"x\") big \"H\")", "Null Path"},
        {"(gfx:add-text a 1 \"H\")", "Illegal Text Attrs"},
        {"(gfx:add-text a a \"H\")", "Null TextAttrs"},
        {"(gfx:add-glyphs a \"big\" '(1))", "Illegal Text Attrs"},
        {"(gfx:add-glyphs a (gfx:make-text-style \"\" 12) '(1))", "Null TextAttrs"},
        {"(gfx:add-text a big 'h)", "gfx:add-text takes a path, a text style and a string"},
        {"(gfx:add-text (gfx:make-path) big \"H\")", "the path has no current point"},
        {"(gfx:add-glyphs a big '(1 x))", "gfx:add-glyphs takes a path, a text style and a list of glyph numbers"},
        {"(gfx:add-glyphs a big '(1 . 2))", "gfx:add-glyphs takes a path, a text style and a list of glyph numbers"},
        {"(gfx:add-glyphs a big 5)", "gfx:add-glyphs takes a path, a text style and a list of glyph numbers"},
        {"(gfx:add-glyphs a big '(1.5))", "gfx:add-glyphs takes a path, a text style and a list of glyph numbers"},
        {"(gfx:add-glyphs a big '(-1))", "glyph -1 is not in the font"},
        {"(gfx:add-glyphs a big '(1e12))", "is not in the font"},
    };
    const std::string before = c.eval("(gfx:get-path-bounds a)");
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
    EXPECT_EQ(c.eval("(gfx:get-path-bounds a)"), before) << "refused calls append nothing";
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
