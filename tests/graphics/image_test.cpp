// Bitmap images headless through a real process: making (sizes refused before allocating), pixels in and out with
// bad indices refused, copy, flip and clear, a PNG round trip through a file, and *gfx:draw-image* landing on
// exactly the pixels it should, upright, with its source and destination rectangles.
#include <cairo.h>

#include <filesystem>
#include <fstream>

#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "tests/graphics/canvas_support.h"

namespace omb::test {
namespace {

class Images : public GraphicsTest {
protected:
    // Image i: 4 x 3, transparent but for red at (0 0) (the top left) and blue at (3 2) (the bottom right).
    void marked_image() {
        ASSERT_EQ(c.eval("(define i (gfx:make-image 4 3))"), "i");
        ASSERT_EQ(c.eval("(gfx:set-image-pixels i (vector 0 0 3 2) (vector 1 0 0 1 0 0 1 1))"),
                  "#(1 0 0 1 0 0 1 1)");
    }
    std::string pixels_of(const std::string& image) {
        return c.eval("(gfx:get-image-pixels " + image + " (vector 0 0 3 0 0 2 3 2))");
    }
};

TEST_F(Images, MakingAndPixels) {
    ASSERT_EQ(c.eval("(gfx:get-image-size (gfx:make-image 10 20))"), "(10 . 20)");
    marked_image();
    EXPECT_EQ(pixels_of("i"), "#(1 0 0 1 0 0 0 0 0 0 0 0 0 0 1 1)");
    // Half-transparent colours come back as given (to the bitmap's 8 bits).
    c.eval("(gfx:set-image-pixels i (vector 1 1) (vector 0 1 0 0.6))");
    EXPECT_EQ(c.eval("(map (lambda (v) (/ (round (* v 100)) 100)) "
                     "(vector->list (gfx:get-image-pixels i (vector 1 1))))"),
              "(0 1 0 0.6)");
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:make-image 0 10)", "an image is 1 to 5000 pixels each way"},
        {"(gfx:make-image 10 -1)", "an image is 1 to 5000 pixels each way"},
        {"(gfx:make-image 5001 5000)", "an image is 1 to 5000 pixels each way"},
        {"(gfx:make-image 100000000 100000000)", "an image is 1 to 5000 pixels each way"},
        {"(gfx:make-image 'a 2)", "gfx:make-image takes a width and a height"},
        {"(gfx:get-image-pixels i (vector 4 0))", "is not a pixel of the 4x3 image"},
        {"(gfx:get-image-pixels i (vector 0 3))", "is not a pixel of the 4x3 image"},
        {"(gfx:get-image-pixels i (vector -1 0))", "is not a pixel of the 4x3 image"},
        {"(gfx:get-image-pixels i (vector 0.5 0))", "is not a pixel of the 4x3 image"},
        {"(gfx:get-image-pixels i (vector 0 0 1))", "must hold x y pairs"},
        {"(gfx:get-image-pixels i '(0 0))", "Must be flat vector of x y coordinates"},
        {"(gfx:set-image-pixels i (vector 0 0 1 1) (vector 1 0 0 1 0 0 1))",
         "Must have an equal number of colours to points"},
        {"(gfx:set-image-pixels i (vector 0 0) '(1 0 0 1))", "Must be flat vector of colours for each x y coordinate"},
        {"(gfx:set-image-pixels i (vector 0 99) (vector 1 0 0 1))", "is not a pixel of the 4x3 image"},
        {"(gfx:get-image-size 3)", "Illegal Image. Incorrect Type"},
        {"(gfx:get-image-size (gfx:make-path))", "Null Image"},
        {"(gfx:copy-image 3)", "Arg 1 must be an NSBitmapImageRep"},
        {"(gfx:clear-image i '(1 0))", "gfx:clear-image takes an image and, optionally, a colour"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
    EXPECT_EQ(pixels_of("i"), "#(1 0 0 1 0 0 0 0 0 0 0 0 0 0 1 1)") << "refused calls leave the pixels";
}

TEST_F(Images, CopyFlipClear) {
    marked_image();
    ASSERT_EQ(c.eval("(define k (gfx:copy-image i))"), "k");
    ASSERT_EQ(c.eval("(define f (gfx:flip-image i))"), "f");
    EXPECT_EQ(pixels_of("f"), "#(0 0 0 0 0 0 1 1 1 0 0 1 0 0 0 0)") << "rows in reverse order";
    EXPECT_EQ(pixels_of("(gfx:flip-image f)"), pixels_of("i")) << "flipping twice restores";
    EXPECT_EQ(c.eval("(gfx:clear-image i)"), "#t");
    EXPECT_EQ(pixels_of("i"), "#(0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0)");
    EXPECT_EQ(pixels_of("k"), "#(1 0 0 1 0 0 0 0 0 0 0 0 0 0 1 1)") << "a copy does not share pixels";
    // A colour is laid over what is there: opaque replaces, transparent leaves.
    EXPECT_EQ(c.eval("(gfx:clear-image k '(0 0 0 0))"), "#t");
    EXPECT_EQ(pixels_of("k"), "#(1 0 0 1 0 0 0 0 0 0 0 0 0 0 1 1)");
    EXPECT_EQ(c.eval("(gfx:clear-image k '(0 1 0 1))"), "#t");
    EXPECT_EQ(pixels_of("k"), "#(0 1 0 1 0 1 0 1 0 1 0 1 0 1 0 1)");
}

TEST_F(Images, ImageIntoImage) {
    marked_image();
    ASSERT_EQ(c.eval("(define d (gfx:make-image 6 5))"), "d");
    // At (1 1), counted up from the bottom row: the red top-left lands at (1 1) counted from the top.
    EXPECT_EQ(c.eval("(gfx:image2image i d 1.0 '(1 1))"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels d (vector 1 1 4 3 0 0 5 4 2 2))"),
              "#(1 0 0 1 0 0 1 1 0 0 0 0 0 0 0 0 0 0 0 0)");
    // A source rectangle: the bottom-right pixel alone, to the bottom-left corner.
    EXPECT_EQ(c.eval("(gfx:image2image i d 1.0 '(0 0) '(3 0 1 1))"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels d (vector 0 4 1 4))"), "#(0 0 1 1 0 0 0 0)");
    // Onto itself: drawn from a copy, so the shifted marks are the originals'.
    EXPECT_EQ(c.eval("(gfx:image2image d d 1.0 '(1 0))"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels d (vector 1 4 2 1 5 3))"), "#(0 0 1 1 1 0 0 1 0 0 1 1)");
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:image2image i 3 1.0)", "Illegal Image. Incorrect Type"},
        {"(gfx:image2image (gfx:make-path) d 1.0)", "Null Image"},
        {"(gfx:image2image i (gfx:get-code-image) 1.0)", "Destination Image Is Too Small"},
        {"(gfx:image2image i d 'a)", "gfx:image2image takes a source"},
        {"(gfx:image2image i d 1.0 '(1 2 3))", "gfx:image2image takes a source"},
        {"(gfx:image2image i d 1.0 '(0 0 1e300 1e300))", "gfx:image2image takes a source"},
        {"(gfx:image2image i d 1.0 '(0 0 2 2) '(0 0 1e-300 1))", "gfx:image2image takes a source"},
        {"(gfx:image2image i d 1.0 (list 0 (- (exp 1000) (exp 1000))))", "gfx:image2image takes a source"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
}

TEST_F(Images, PathIntoImage) {
    ASSERT_EQ(c.eval("(define d (gfx:make-image 8 8))"), "d");
    for (const char* form : {"(define p (gfx:make-path))", "(gfx:set-start-point p 1 1)", "(gfx:add-line p 4 1)",
                             "(gfx:add-line p 4 3)", "(gfx:add-line p 1 3)", "(gfx:close-path p)"})
        c.eval(form);
    // Fill only: the pixels (1..3, 1..2) counted up from the bottom row, i.e. rows 5 and 6 from the top.
    EXPECT_EQ(c.eval("(gfx:path2image p d '() '(1 0 0 1))"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels d (vector 1 6 3 5 0 6 4 5 1 4 1 7))"),
              "#(1 0 0 1 1 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0)");
    // A symbol erases.
    EXPECT_EQ(c.eval("(gfx:path2image p d '() 'erase)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels d (vector 1 6))"), "#(0 0 0 0)");
    const std::pair<const char*, const char*> refused[] = {
        {"(gfx:path2image 3 d '() '())", "Illegal Path. Incorrect Type"},
        {"(gfx:path2image d d '() '())", "Null Path"},
        {"(gfx:path2image p 3 '() '())", "Illegal image. Incorrect Type"},
        {"(gfx:path2image p p '() '())", "Null Image"},
        {"(gfx:path2image p d '(1 0) '())", "gfx:path2image takes a path, an image"},
        {"(gfx:path2image p d '() '() -1)", "gfx:path2image takes a path, an image"},
    };
    for (const auto& [call, message] : refused) {
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message)) << call;
    }
}

TEST_F(Images, PngRoundTrip) {
    const std::string dir = ::testing::TempDir() + "image_test_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string png = dir + "/i.png";
    marked_image();
    c.eval("(gfx:set-image-pixels i (vector 1 1) (vector 0 1 0 0.6))");
    ASSERT_EQ(c.eval("(gfx:capture-image i \"" + png + "\")"), "#t");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary file is left";
    ASSERT_EQ(c.eval("(define j (gfx:load-image \"" + png + "\"))"), "j");
    EXPECT_EQ(c.eval("(gfx:get-image-size j)"), "(4 . 3)");
    EXPECT_EQ(pixels_of("j"), pixels_of("i"));
    EXPECT_EQ(c.eval("(equal? (gfx:get-image-pixels i (vector 1 1)) (gfx:get-image-pixels j (vector 1 1)))"), "#t");
    // With a flag, the same file as a filter image: refused where a bitmap is wanted, the same pixels converted.
    ASSERT_EQ(c.eval("(define k (gfx:load-image \"" + png + "\" 1))"), "k");
    EXPECT_EQ(c.eval("(gfx:get-image-size k)"), "(4 . 3)");
    EXPECT_EQ(c.eval("(gfx:get-image-pixels k (vector 1 1))"), "#f");
    EXPECT_EQ(pixels_of("(gfx:convert-image k)"), pixels_of("i"));
    EXPECT_EQ(c.eval("(gfx:flip-image (gfx:load-image \"" + png + "\" 0))") != "#f", true) << "0 is no flag";

    // An unwritable path fails and leaves nothing; a file that is not an image is refused.
    EXPECT_EQ(c.eval("(gfx:capture-image i \"" + dir + "/none/x.png\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "gfx:capture-image: cannot write"));
    std::ofstream(dir + "/bad.png") << "not a picture";
    EXPECT_EQ(c.eval("(gfx:load-image \"" + dir + "/bad.png\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad Image File"));
    EXPECT_EQ(c.eval("(gfx:load-image \"" + dir + "/missing.png\")"), "#f");
    // A file claiming more than 5000 pixels across is refused from its header, before decoding.
    cairo_surface_t* wide = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 5001, 1);
    ASSERT_EQ(cairo_surface_write_to_png(wide, (dir + "/wide.png").c_str()), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(wide);
    EXPECT_EQ(c.eval("(gfx:load-image \"" + dir + "/wide.png\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "gfx:load-image: an image is 1 to 5000 pixels each way, not 5001 x 1"));
    std::filesystem::remove_all(dir);
}

TEST_F(Images, DrawImagePixelExact) {
    make("c", "(gfx:make-canvas 32 32)");
    marked_image();
    const auto draws = [&](const std::string& task, int x, int y, uint32_t expected) {
        return GraphicsTest::draws("*gfx:draw-image* c " + task, x, y, expected);
    };
    // At (10 5): the image's bottom-left corner there, upright; nothing outside its 4 x 3 pixels. Earlier requests
    // are recomposited first, so the destination alone is seen.
    std::this_thread::sleep_for(50ms);
    log.flush();
    const long redraws = kept->redraws();
    ASSERT_TRUE(draws("i 1.0 '(10 5)", 10, 7, RED));
    EXPECT_EQ(pixel(13, 5), BLUE);
    for (auto [x, y] : {std::pair{9, 7}, {10, 8}, {14, 5}, {13, 4}, {11, 6}})
        EXPECT_EQ(pixel(x, y), CLEAR) << x << "," << y;
    ASSERT_TRUE(eventually([&] { return kept->redraws() > redraws; }, 5s, [&] { log.flush(); }));
    EXPECT_EQ(kept->last_redrawn().width, 4);
    EXPECT_EQ(kept->last_redrawn().height, 3);
    EXPECT_EQ(kept->last_redrawn().x, 10);
    EXPECT_EQ(kept->last_redrawn().y, 5);
    // No destination: at the origin. A source rectangle (bottom row, right half) scaled by 2 into (20 20 4 2),
    // unsmoothed while anti-aliasing is off.
    ASSERT_TRUE(draws("i 1.0", 0, 2, RED));
    ASSERT_EQ(c.eval("(gfx:set-alias 0)"), "0");
    ASSERT_TRUE(draws("i 1.0 '(20 20 4 2) '(2 0 2 1)", 22, 20, BLUE));
    EXPECT_EQ(pixel(23, 21), BLUE);
    EXPECT_EQ(pixel(21, 21), CLEAR);
    EXPECT_EQ(pixel(24, 20), CLEAR);
    c.eval("(gfx:set-alias 1)");
    // Half alpha over nothing: half-transparent red (premultiplied).
    ASSERT_TRUE(draws("i 0.5 '(0 20)", 0, 22, 0x80800000));
    for (const char* task : {"3 1.0", "i 'a", "i 1.0 '(1 2 3)", "i 1.0 '(0 0) '(0 0 0 1)", "(gfx:make-path) 1.0"})
        EXPECT_EQ(c.eval(std::string("(schedule (now) *gfx:draw-image* c ") + task + ")"), "#f") << task;
    EXPECT_TRUE(log.saw(log.errors, "Illegal Image. Incorrect Type"));
    EXPECT_TRUE(log.saw(log.errors, "Null Image"));
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
