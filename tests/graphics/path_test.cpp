// Paths headless through a real process: building and asking (bounds of curves, containment, intersection), the
// scheduled transforms and their re-anchoring, and *gfx:draw-path* checked pixel by pixel with its dirty rectangle,
// erasing, and every bad argument refused when scheduled.
#include <cairo.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "graphics/bezier_path.h"
#include "graphics/current_context.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "graphics/my_path.h"
#include "platform/exception.h"
#include "platform/objects/runtime.h"
#include "tests/graphics/canvas_support.h"

namespace omb::test {
namespace {

// A Scheme value as an object: objc cells as they are, exact integers as integer numbers, other numbers as reals,
// lists as arrays of their elements (so '(1 0 0 1) is a colour object).
Ref<Object> object_of(pointer p) {
    if (is_objc(p)) return Ref<Object>::retain(objc_value(p));
    if (is_number(p)) {
        const double v = rvalue(p);
        return v == std::floor(v) ? Ref<Object>(NSNumber::integer(static_cast<int64_t>(v)))
                                  : Ref<Object>(NSNumber::real(v));
    }
    std::vector<Ref<Object>> items;
    for (; is_pair(p); p = pair_cdr(p)) items.push_back(object_of(pair_car(p)));
    return make_object<NSArray>(std::move(items));
}

void path_test_init(SchemeInterface* process) {
    process->addForeignFunc("test:array", [](scheme* sc, pointer args) -> pointer {
        return mk_objc(sc, object_of(pair_car(args)).release());
    });
    process->addForeignFunc("test:line-width", [](scheme* sc, pointer args) -> pointer {
        auto* path = is_objc(pair_car(args)) ? dynamic_cast<BezierPath*>(objc_value(pair_car(args))) : nullptr;
        return path ? mk_real(sc, path->line_width()) : sc->F;
    });
}

const bool registered = (add_native_library(path_test_init), true);

class Paths : public GraphicsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(registered);
        GraphicsTest::SetUp();
    }
    void canvas(const std::string& form) { make("c", form); }
    // A path p: the square (x, y, side, side), closed.
    void square(int x, int y, int side) {
        const std::string X = std::to_string(x), Y = std::to_string(y), X2 = std::to_string(x + side),
                          Y2 = std::to_string(y + side);
        ASSERT_EQ(c.eval("(define p (gfx:make-path))"), "p");
        ASSERT_EQ(c.eval("(list (gfx:set-start-point p " + X + " " + Y + ") (gfx:add-line p " + X2 + " " + Y +
                         ") (gfx:add-line p " + X2 + " " + Y2 + ") (gfx:add-line p " + X + " " + Y2 +
                         ") (gfx:close-path p))"),
                  "(#t #t #t #t #t)");
    }
    // Schedules a transform and waits for the bounds to become `expected`.
    bool transforms(const std::string& task, const std::string& expected) {
        if (c.eval("(schedule (now) " + task + ")") != "#t") return false;
        return eventually([&] { return c.eval("(gfx:get-path-bounds p)") == expected; }, 5s);
    }
};

TEST_F(Paths, BuildingAndAsking) {
    square(10, 10, 20);
    EXPECT_EQ(c.eval("(gfx:get-path-bounds p)"), "(10 10 20 20)");
    EXPECT_EQ(c.eval("(gfx:get-path-centre p)"), "(20 . 20)");
    EXPECT_EQ(c.eval("(gfx:get-path-point p)"), "(10 . 10)") << "closing returns to the subpath's start";
    EXPECT_EQ(c.eval("(gfx:point-in-path? p 15 25)"), "#t");
    EXPECT_EQ(c.eval("(gfx:point-in-path? p 31 25)"), "#f");
    EXPECT_EQ(c.eval("(gfx:move-path-sync p 5 -5)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds p)"), "(15 5 20 20)");

    // A curve's bounds are the curve's, not its control points'.
    c.eval("(define q (gfx:make-path))");
    c.eval("(gfx:set-start-point q 0 0)");
    EXPECT_EQ(c.eval("(gfx:add-curve q 100 0 0 100 100 100)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds q)"), "(0 0 100 75)");
    // An oval and a full arc fill their circle and nothing outside it.
    c.eval("(define o (gfx:make-path))");
    EXPECT_EQ(c.eval("(gfx:add-oval o 0 0 40 20)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds o)"), "(0 0 40 20)");
    EXPECT_EQ(c.eval("(gfx:point-in-path? o 20 10)"), "#t");
    EXPECT_EQ(c.eval("(gfx:point-in-path? o 2 2)"), "#f");
    c.eval("(define a (gfx:make-path))");
    EXPECT_EQ(c.eval("(gfx:add-arc a 50 50 10 0 360)"), "#t");
    EXPECT_EQ(c.eval("(map round (gfx:get-path-bounds a))"), "(40 40 20 20)");
    EXPECT_EQ(c.eval("(gfx:point-in-path? a 58 50)"), "#t");
    // A quarter arc counter-clockwise from 0 to 90 degrees ends straight above the centre.
    c.eval("(define h (gfx:make-path))");
    c.eval("(gfx:add-arc h 0 0 10 0 90)");
    EXPECT_EQ(c.eval("(map round (list (car (gfx:get-path-point h)) (cdr (gfx:get-path-point h))))"), "(0 10)");

    // Appending: a path gains the other's elements, itself included.
    EXPECT_EQ(c.eval("(gfx:add-path o p)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds o)"), "(0 0 40 25)");
    EXPECT_EQ(c.eval("(gfx:add-path o o)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-path-bounds o)"), "(0 0 40 25)");
}

TEST_F(Paths, IntersectingIsByBoundingRectangles) {
    for (const char* form : {"(define d1 (gfx:make-path))", "(gfx:set-start-point d1 0 0)", "(gfx:add-line d1 10 10)",
                             "(define d2 (gfx:make-path))", "(gfx:set-start-point d2 6 0)", "(gfx:add-line d2 10 4)",
                             "(define far (gfx:make-path))", "(gfx:add-oval far 50 50 5 5)"})
        c.eval(form);
    EXPECT_EQ(c.eval("(gfx:paths-intersect? d1 d2)"), "#t") << "the lines do not cross, their bounds overlap";
    EXPECT_EQ(c.eval("(gfx:paths-intersect? d1 far)"), "#f");
    EXPECT_EQ(c.eval("(gfx:paths-intersect? d1 (gfx:make-path))"), "#f") << "an empty path meets nothing";
}

TEST_F(Paths, EveryBadArgumentIsReportedAndAnswersFalse) {
    square(0, 0, 10);
    const std::pair<const char*, const char*> cases[] = {
        {"(gfx:add-line 1 2 3)", "Illegal Path. Incorrect Type"},
        {"(gfx:set-start-point \"p\" 2 3)", "Illegal Path Un Set Path. Incorrect Type"},
        {"(gfx:add-line (gfx:make-canvas \"x\") 2 3)", "Null Path"},
        {"(gfx:add-path p 'q)", "Illegal Path. Incorrect Type"},
        {"(gfx:paths-intersect? (gfx:make-canvas \"x\") p)", "Null Path A"},
        {"(gfx:paths-intersect? p (gfx:make-canvas \"x\"))", "Null Path B"},
        {"(gfx:add-oval p 1 2 3)", "gfx:add-oval expects a path and 4 numbers"},
        {"(gfx:add-curve p 1 2 3 4 5 'six)", "gfx:add-curve expects a path and 6 numbers"},
        {"(gfx:get-path-point (gfx:make-path))", "the path has no current point"},
    };
    for (const auto& [call, message] : cases) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
    EXPECT_EQ(c.eval("(gfx:get-path-bounds p)"), "(0 0 10 10)") << "refused calls leave the path";
}

TEST_F(Paths, ScheduledTransforms) {
    square(10, 10, 20);
    ASSERT_TRUE(transforms("*gfx:scale-path* p 2 2 0", "(10 10 40 40)"));
    square(10, 10, 20);
    ASSERT_TRUE(transforms("*gfx:scale-path* p 2 2 1", "(0 0 40 40)"));
    square(10, 10, 20);
    ASSERT_TRUE(transforms("*gfx:scale-path* p 2 2 2", "(20 20 40 40)"));
    ASSERT_TRUE(transforms("*gfx:move-path* p -20 5", "(0 25 40 40)"));
    // A quarter turn counter-clockwise about the square's corner swings it to the left.
    square(10, 10, 20);
    ASSERT_TRUE(transforms("*gfx:rotate-path-deg* p 90 10 10", "(-10 10 20 20)"));
    ASSERT_TRUE(transforms("*gfx:rotate-path-rad* p 3.141592653589793 10 10", "(10 -10 20 20)"));
    for (const char* task : {"*gfx:move-path* 1 2 3", "*gfx:move-path* p 2", "*gfx:scale-path* p 2 2 'x",
                             "*gfx:rotate-path-deg* (gfx:make-canvas \"x\") 1 2 3"})
        EXPECT_EQ(c.eval(std::string("(schedule (now) ") + task + ")"), "#f") << task;
    EXPECT_TRUE(log.saw(log.errors, "Illegal Path. Incorrect Type"));
    EXPECT_TRUE(log.saw(log.errors, "Null Path"));
}

TEST_F(Paths, DrawPathPixelExact) {
    canvas("(gfx:make-canvas 64 64)");
    square(10, 10, 20);
    // Fill only: exactly the square's pixels.
    ASSERT_TRUE(draws("*gfx:draw-path* c p '() '(1 0 0 1)", 10, 10, RED));
    for (auto [x, y] : {std::pair{29, 29}, {10, 29}, {29, 10}, {20, 20}}) EXPECT_EQ(pixel(x, y), RED) << x << "," << y;
    for (auto [x, y] : {std::pair{9, 10}, {30, 10}, {10, 9}, {10, 30}}) EXPECT_EQ(pixel(x, y), CLEAR) << x << "," << y;
    // Stroke then fill: the fill covers the inner half of the stroke.
    ASSERT_TRUE(draws("*gfx:draw-path* c p '(0 0 1 1) '(1 0 0 1) 4", 8, 8, BLUE));
    EXPECT_EQ(pixel(11, 11), RED) << "the fill is drawn after the stroke";
    EXPECT_EQ(pixel(7, 7), CLEAR);
    // Width 4: the dirty rectangle is the bounds grown by 2 on every side. Earlier requests are recomposited first.
    std::this_thread::sleep_for(50ms);
    log.flush();
    const long redraws = kept->redraws();
    ASSERT_TRUE(draws("*gfx:draw-path* c p '(0 0 1 1) '() 4", 8, 8, BLUE));
    ASSERT_TRUE(eventually([&] { return kept->redraws() > redraws; }, 5s, [&] { log.flush(); }));
    const CanvasRect dirty = kept->last_redrawn();
    EXPECT_EQ(dirty.x, 8);
    EXPECT_EQ(dirty.y, 8);
    EXPECT_EQ(dirty.width, 24);
    EXPECT_EQ(dirty.height, 24);
    EXPECT_EQ(c.eval("(gfx:get-path-bounds p)"), "(10 10 20 20)") << "drawing does not move the path";
    // A symbol erases: the square's pixels become fully transparent, its stroke stays.
    ASSERT_TRUE(draws("*gfx:draw-path* c p '() 'erase", 20, 20, CLEAR));
    EXPECT_EQ(pixel(10, 10), CLEAR);
    EXPECT_EQ(pixel(8, 8), BLUE);
    ASSERT_TRUE(draws("*gfx:draw-path* c p 'erase '() 4", 8, 8, CLEAR));
    // NIL for both draws nothing.
    ASSERT_TRUE(draws("*gfx:draw-path* c p '() '(0 0 1 1)", 20, 20, BLUE));
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-path* c p '() '())"), "#t");
    EXPECT_EQ(pixel(20, 20), BLUE);
}

TEST_F(Paths, DrawPathRefusesBadArgumentsWhenScheduled) {
    canvas("(gfx:make-canvas 16 16)");
    square(0, 0, 4);
    const std::pair<const char*, const char*> cases[] = {
        {"*gfx:draw-path* c 'p '() '(1 0 0 1)", "Illegal Path In draw-path. Incorrect Type"},
        {"*gfx:draw-path* c c '() '(1 0 0 1)", "Null Path"},
        {"*gfx:draw-path* 1 p '() '(1 0 0 1)", "Bad Canvas"},
        {"*gfx:draw-path* c p '(1 0) '()", "*gfx:draw-path* takes a stroke and a fill"},
        {"*gfx:draw-path* c p '()", "*gfx:draw-path* takes a stroke and a fill"},
        {"*gfx:draw-path* c p '() '() -1", "*gfx:draw-path* takes a line width of 0 or more"},
    };
    for (const auto& [task, message] : cases) {
        EXPECT_EQ(c.eval(std::string("(schedule (now) ") + task + ")"), "#f") << task;
        EXPECT_TRUE(log.saw(log.errors, message)) << task;
    }
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

TEST_F(Paths, GroupsMoveAndDrawTogether) {
    canvas("(gfx:make-canvas 64 64)");
    square(0, 0, 10);
    c.eval("(define r (gfx:make-path))");
    c.eval("(gfx:add-path r p)");
    EXPECT_EQ(c.eval("(schedule (now) *gfx:move-group* (vector p r) (vector 10 30) (vector 10 30))"), "#t");
    ASSERT_TRUE(eventually([&] { return c.eval("(gfx:get-path-bounds r)") == "(30 30 10 10)"; }, 5s));
    EXPECT_EQ(c.eval("(gfx:get-path-bounds p)"), "(10 10 10 10)");

    // Fill only, nothing, stroke only, stroke then fill: one path each.
    c.eval("(define s (gfx:make-path))");
    c.eval("(gfx:add-oval s 45 5 10 10)");
    ASSERT_TRUE(draws("*gfx:draw-group* c (vector p r s) (vector 0 0 1 1  0 0 1 1  0 0 1 1) "
                      "(vector 1 0 0 1  1 0 0 1  1 0 0 1) (vector 1 1 1) (vector 0 1 3)",
                      15, 15, RED));
    EXPECT_EQ(pixel(10, 10), RED) << "style 0 does not stroke";
    EXPECT_EQ(pixel(9, 9), CLEAR);
    EXPECT_EQ(pixel(35, 35), CLEAR) << "style 1 draws nothing";
    EXPECT_EQ(pixel(50, 10), RED);
    EXPECT_TRUE(eventually([&] { return kept->last_redrawn().width == 64; }, 5s, [&] { log.flush(); }))
        << "a group recomposites the whole canvas";

    // Counts that differ move nothing; a bad element stops the loop after the ones before it.
    EXPECT_EQ(c.eval("(schedule (now) *gfx:move-group* (vector p r s) (vector 1 1) (vector 1 1))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Number of paths and number of x points and y points must equal"));
    EXPECT_EQ(c.eval("(schedule (now) *gfx:move-group* (vector p 'x r) (vector -10 0 5) (vector -10 0 5))"), "#t");
    ASSERT_TRUE(eventually([&] { return c.eval("(gfx:get-path-bounds p)") == "(0 0 10 10)"; }, 5s));
    EXPECT_TRUE(eventually([&] { return log.saw(log.errors, "Bad path in vector"); }, 5s, [&] { log.flush(); }));
    EXPECT_EQ(c.eval("(gfx:get-path-bounds r)"), "(30 30 10 10)");
    EXPECT_EQ(c.eval("(schedule (now) *gfx:move-group* (vector) (vector) (vector))"), "#t");

    // A bad path draws those before it, then reports; short colour vectors are refused outright.
    ASSERT_TRUE(draws("*gfx:clear-canvas* c", 15, 15, CLEAR));
    ASSERT_TRUE(draws("*gfx:draw-group* c (vector p (gfx:make-canvas \"x\")) (vector 0 0 1 1  0 0 1 1) "
                      "(vector 0 0 1 1  0 0 1 1) (vector 1 1) (vector 0 0)",
                      5, 5, BLUE));
    EXPECT_TRUE(eventually([&] { return log.saw(log.errors, "Null Path"); }, 5s, [&] { log.flush(); }));
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-group* c (vector p) (vector 0 0 1) (vector 0 0 1 1) (vector 1) "
                     "(vector 0))"),
              "#f");
}

TEST_F(Paths, GroupsInObjectForm) {
    canvas("(gfx:make-canvas 64 64)");
    square(10, 10, 10);
    c.eval("(define r (gfx:make-path))");
    c.eval("(gfx:add-oval r 40 40 10 10)");
    c.eval("(define s (gfx:make-path))");
    c.eval("(gfx:add-oval s 40 5 10 10)");
    // Fill only, stroke then fill (a colour without alpha is opaque), nothing: the third's width is set all the same.
    ASSERT_TRUE(draws("*gfx:draw-group-objc* c (test:array (list p r s)) "
                      "(test:array '((0 0 1 1) (0 0 1) (0 0 1 1))) (test:array '((1 0 0 1) (1 0 0) (1 0 0 1))) "
                      "(test:array '(1 4 7.5)) (test:array '(0 3 1))",
                      15, 15, RED));
    EXPECT_EQ(pixel(9, 9), CLEAR) << "style 0 does not stroke";
    EXPECT_EQ(pixel(45, 45), RED);
    EXPECT_EQ(pixel(45, 50), BLUE) << "style 3 strokes, 4 wide, before filling";
    EXPECT_EQ(pixel(45, 10), CLEAR) << "style 1 draws nothing";
    EXPECT_EQ(c.eval("(test:line-width s)"), "7.5");

    // Refused when scheduled: arrays of the wrong kind or length, colours that are not 3 or 4 numbers.
    const std::pair<std::string, const char*> refused[] = {
        {"(vector p) (test:array '((0 0 1 1))) (test:array '((0 0 1 1))) (test:array '(1)) (test:array '(0))",
         "takes a canvas and five arrays"},
        {"(test:array (list p r)) (test:array '((0 0 1 1))) (test:array '((0 0 1 1) (0 0 1 1))) "
         "(test:array '(1 1)) (test:array '(0 0))",
         "2 paths need as many stroke colours"},
        {"(test:array (list p)) (test:array '((0 0))) (test:array '((0 0 1 1))) (test:array '(1)) (test:array '(0))",
         "colours as arrays of 3 or 4 numbers"},
        {"(test:array (list p)) (test:array '((0 0 1 1))) (test:array '((0 0 1 1 1))) (test:array '(1)) "
         "(test:array '(0))",
         "colours as arrays of 3 or 4 numbers"},
        {"(test:array (list p)) (test:array '((0 0 1 1))) (test:array '((0 0 1 1))) (test:array (list p)) "
         "(test:array '(0))",
         "a width and a style as numbers"},
    };
    for (const auto& [rest, message] : refused) {
        EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-group-objc* c " + rest + ")"), "#f") << rest;

        EXPECT_TRUE(log.saw(log.errors, message)) << rest;
    }
    // A path array holding something else draws the paths before it, then reports.
    ASSERT_TRUE(draws("*gfx:clear-canvas* c", 15, 15, CLEAR));
    ASSERT_TRUE(draws("*gfx:draw-group-objc* c (test:array (list p 3 r)) (test:array '((0 0 1 1) (0 0 1 1) (0 0 1 1))) "
                      "(test:array '((0 0 1 1) (0 0 1 1) (0 0 1 1))) (test:array '(1 1 1)) (test:array '(0 0 0))",
                      15, 15, BLUE));
    EXPECT_TRUE(log.saw(log.errors, "Invalid Path in Vector"));
    EXPECT_EQ(pixel(45, 45), CLEAR);
}

TEST_F(Paths, GroupIntoImage) {
    square(10, 10, 10);
    c.eval("(define r (gfx:make-path))");
    c.eval("(gfx:add-oval r 40 40 10 10)");
    ASSERT_EQ(c.eval("(define i (gfx:make-image 64 64))"), "i");
    ASSERT_EQ(c.eval("(gfx:group2image i (vector p r) (vector 0 0 1 1  0 0 1 1) (vector 1 0 0 1  1 0 0 1) "
                     "(vector 1 6) (vector 0 2))"),
              "#t");
    // Image pixels count y from the top row: drawn y 15 is row 48, y 48 (on the circle's stroke, 6 wide) row 15,
    // its centre row 18.
    EXPECT_EQ(c.eval("(gfx:get-image-pixels i (vector 15 48  45 15  45 18  9 54))"),
              "#(1 0 0 1 0 0 1 1 0 0 0 0 0 0 0 0)");
    EXPECT_EQ(c.eval("(test:line-width r)"), "6");
    // Erasing and anti-aliasing are the canvas's rules; a bad path stops the group after drawing those before it.
    ASSERT_EQ(c.eval("(gfx:clear-image i)"), "#t");
    EXPECT_EQ(c.eval("(gfx:group2image i (vector p 'x r) (make-vector 12 1) (make-vector 12 1) (vector 1 1 1) "
                     "(vector 0 0 0))"),
              "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad Path in Vector."));
    EXPECT_EQ(c.eval("(gfx:get-image-pixels i (vector 15 48  45 18))"), "#(1 1 1 1 0 0 0 0)");
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:group2image 'i (vector p) (vector 0 0 1 1) (vector 0 0 1 1) (vector 1) (vector 0))",
         "Illegal Image. Incorrect Type"},
        {"(gfx:group2image p (vector p) (vector 0 0 1 1) (vector 0 0 1 1) (vector 1) (vector 0))", "Null Image"},
        {"(gfx:group2image i (vector p) (vector 0 0 1) (vector 0 0 1 1) (vector 1) (vector 0))",
         "gfx:group2image needs, for each path"},
        {"(gfx:group2image i (vector p) (vector 0 0 1 1) (vector 0 0 1 1) (vector (- (exp 1000) (exp 1000))) "
         "(vector 0))",
         "gfx:group2image needs, for each path"},
        {"(gfx:group2image i (list p) (vector 0 0 1 1) (vector 0 0 1 1) (vector 1) (vector 0))",
         "gfx:group2image takes five vectors"},
        {"(gfx:group2image i)", "gfx:group2image takes five vectors"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
}

// ---- MYPath through the object runtime, as the object bridge calls it ----------------------------------------------

struct Call {
    const Class* cls;
    Object* receiver;
    const Method* method;
    std::unique_ptr<Invocation> inv;
    Call(Object* r, const char* selector)
        : cls(runtime::class_of(r)), receiver(r), method(cls->instance_method(selector)) {
        if (method) inv = std::make_unique<Invocation>(*method, receiver, cls);
    }
    template <class T>
    Call& arg(size_t i, T v) {
        std::memcpy(inv->argument(i), &v, sizeof v);
        return *this;
    }
    Call& object(size_t i, Object* o) {
        inv->set_object(i, o);
        return *this;
    }
    void run() { inv->invoke(); }
};

Ref<Object> colour(std::vector<double> c) {
    std::vector<Ref<Object>> items;
    for (double v : c) items.push_back(NSNumber::real(v));
    return make_object<NSArray>(std::move(items));
}

// A pixel of a 40 x 40 image, y counted from the bottom.
uint32_t at(cairo_surface_t* s, int x, int y) {
    cairo_surface_flush(s);
    return reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                             (39 - y) * cairo_image_surface_get_stride(s))[x];
}

TEST_F(Paths, MYPathDrawsItselfIntoTheCurrentContext) {
    const Class* cls = runtime::find_class("MYPath");
    ASSERT_NE(cls, nullptr) << "registered with the paths";
    // The encodings the object bridge converts arguments by.
    EXPECT_EQ(cls->instance_method("initWithPath:")->encoding, "@24@0:8@16");
    EXPECT_EQ(cls->instance_method("setStyle:")->encoding, "v20@0:8i16");
    EXPECT_EQ(cls->instance_method("movePathX:Y:")->encoding, "v32@0:8d16d24");
    EXPECT_EQ(cls->instance_method("drawMyPath")->encoding, "v16@0:8");

    auto path = make_object<BezierPath>();
    path->move_to(10, 10), path->line_to(30, 10), path->line_to(30, 30), path->line_to(10, 30), path->close_path();
    path->set_line_width(4);
    Ref<Object> my = cls->allocate();
    Call init(my.get(), "initWithPath:");
    init.object(2, path.get()).run();
    EXPECT_EQ(init.inv->result_object(), my.get());
    Call(my.get(), "setFill:").object(2, colour({1, 0, 0}).get()).run();
    Call(my.get(), "setStroke:").object(2, colour({0, 0, 1, 1}).get()).run();

    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 40, 40);
    cairo_t* cr = cairo_create(image);
    cairo_translate(cr, 0, 40);
    cairo_scale(cr, 1, -1);
    auto draw = [&](int style) {
        cairo_save(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_restore(cr);
        Call(my.get(), "setStyle:").arg(2, int32_t{style}).run();
        CurrentContext current(cr);
        Call(my.get(), "drawMyPath").run();
    };
    draw(0);  // fill, then stroke over its edge
    EXPECT_EQ(at(image, 20, 20), RED);
    EXPECT_EQ(at(image, 11, 11), BLUE);
    EXPECT_EQ(at(image, 9, 9), BLUE);
    draw(1);  // fill only
    EXPECT_EQ(at(image, 11, 11), RED);
    EXPECT_EQ(at(image, 9, 9), CLEAR);
    for (int style : {2, 3}) {  // stroke only
        draw(style);
        EXPECT_EQ(at(image, 20, 20), CLEAR) << style;
        EXPECT_EQ(at(image, 9, 9), BLUE) << style;
    }
    for (int style : {4, -1}) {  // nothing
        draw(style);
        EXPECT_EQ(at(image, 9, 9), CLEAR) << style;
        EXPECT_EQ(at(image, 20, 20), CLEAR) << style;
    }
    // Outside a drawing there is no current context: nothing is drawn anywhere, nothing fails.
    Call(my.get(), "setStyle:").arg(2, int32_t{0}).run();
    EXPECT_EQ(CurrentContext::get(), nullptr);
    Call(my.get(), "drawMyPath").run();
    EXPECT_EQ(at(image, 20, 20), CLEAR);

    Call(my.get(), "movePathX:Y:").arg(2, 5.0).arg(3, -5.0).run();
    EXPECT_EQ(path->bounds().x, 15);
    EXPECT_EQ(path->bounds().y, 5);
    // Wrong arguments raise the platform's exception (reported by the bridge), never crash.
    EXPECT_THROW(Call(my.get(), "setFill:").object(2, colour({1, 0}).get()).run(), PlatformException);
    EXPECT_THROW(Call(my.get(), "setStroke:").object(2, path.get()).run(), PlatformException);
    EXPECT_THROW(Call(my.get(), "movePathX:Y:").arg(2, std::nan("")).arg(3, 0.0).run(), PlatformException);
    Ref<Object> bare = cls->allocate();
    EXPECT_THROW(Call(bare.get(), "initWithPath:").object(2, my.get()).run(), PlatformException);
    EXPECT_THROW(Call(bare.get(), "initWithPath:").run(), PlatformException);
    {
        CurrentContext current(cr);
        Call(bare.get(), "drawMyPath").run();  // no path: nothing
    }
    EXPECT_EQ(at(image, 20, 20), CLEAR);
    cairo_destroy(cr);
    cairo_surface_destroy(image);
}

TEST_F(Paths, ExtremeValuesNeverBreakTheCanvas) {
    canvas("(gfx:make-canvas 32 32)");
    // Scaled past the range of a float again and again, turned (infinity minus infinity), drawn very wide.
    square(1, 1, 4);
    for (const char* task : {"*gfx:scale-path* p 1e30 1e30 2", "*gfx:scale-path* p 1e30 1e30 2",
                             "*gfx:rotate-path-deg* p 45 0 0", "*gfx:move-path* p 1e300 -1e300"})
        ASSERT_EQ(c.eval(std::string("(schedule (now) ") + task + ")"), "#t") << task;
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-path* c p '(0 0 1 1) '(1 0 0 1) 1e30)"), "#t");
    c.eval("(define big (gfx:make-path))");
    c.eval("(gfx:add-oval big -1e9 -1e9 2e9 2e9)");
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-path* c big '(0 0 1 1) '() 3)"), "#t");
    EXPECT_EQ(c.eval("(schedule (now) *gfx:draw-group* c (vector big) (vector 0 0 1 1) (vector 0 0 1 1) "
                     "(vector -5) (vector 1e20))"),
              "#t");
    // Numbers that are no coordinates are refused where they come in.
    for (const char* call : {"(gfx:add-line big (exp 1000) 0)", "(gfx:add-oval big 0 0 (- (exp 1000) (exp 1000)) 1)",
                             "(gfx:move-path-sync big 1 (exp 1000))"})
        EXPECT_EQ(c.eval(call), "#f") << call;
    // The canvas still draws exactly afterwards.
    ASSERT_TRUE(draws("*gfx:clear-canvas* c", 3, 3, CLEAR));
    square(10, 10, 5);
    ASSERT_TRUE(draws("*gfx:draw-path* c p '() '(1 0 0 1)", 12, 12, RED));
    EXPECT_EQ(pixel(9, 12), CLEAR);
    EXPECT_EQ(pixel(15, 12), CLEAR);
}

TEST_F(Paths, DrawPathGoesIntoThePdfCapture) {
    canvas("(gfx:make-canvas 32 32)");
    square(4, 4, 8);
    const std::string pdf = (std::filesystem::temp_directory_path() /
                             ("ombrel-path-test-" + std::to_string(::getpid()) + ".pdf")).string();
    std::filesystem::remove(pdf);
    ASSERT_EQ(c.eval("(gfx:start-pdf-capture c \"" + pdf + "\")"), "#t");
    ASSERT_TRUE(draws("*gfx:draw-path* c p '() '(1 0 0 1)", 5, 5, RED));
    ASSERT_EQ(c.eval("(gfx:stop-pdf-capture c)"), "#t");
    std::ifstream in(pdf, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("%PDF", 0), 0u);
    // An empty page is far smaller than one with a filled path on it.
    EXPECT_GT(text.size(), 600u);
    std::filesystem::remove(pdf);
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
