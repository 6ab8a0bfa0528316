// Canvases headless, as a performer uses them through a process: the forms of making and reshaping, drawing tasks on
// the scheduler's thread checked pixel by pixel, PNG and PDF captures read back, every bad argument, a canvas
// dropped while a task that draws on it waits, and the texts of mouse and key events.
#include <cairo.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "graphics/canvas_events.h"
#include "graphics/canvas_procedures.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "graphics/late_drawing.h"
#include "scheduler/sample_clock.h"
#include "tests/graphics/canvas_support.h"

namespace omb::test {
namespace {

void canvas_test_init(SchemeInterface* process) {
    // Bound by the general native library in the program; here by hand.
    process->addForeignFunc("gfx:get-window-size", canvas_window_size);
    process->addForeignFunc("gfx:get-window-bounds", canvas_window_bounds);
    process->addForeignFunc("gfx:window-to-front", canvas_window_to_front);
    process->addForeignFunc("sys:get-screen-size", main_screen_size);
}

const bool registered = (add_native_library(canvas_test_init), true);

class Canvas : public GraphicsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(registered);
        GraphicsTest::SetUp();
        dir = std::filesystem::temp_directory_path() / ("ombrel-canvas-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        c.eval("(gfx:set-alias 1)");
        GraphicsTest::TearDown();
        std::filesystem::remove_all(dir);
    }
    std::string path(const char* name) const { return (dir / name).string(); }

    std::filesystem::path dir;
};

TEST_F(Canvas, EveryFormOfMakingAndShaping) {
    make("c", "(gfx:make-canvas)");
    EXPECT_EQ(c.eval("(gfx:get-canvas-size c)"), "(600 . 600)");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds c)"), "(935 100 600 600)");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds (gfx:make-canvas 200 100))"), "(935 100 200 100)");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds (gfx:make-canvas '(10 20 30 40)))"), "(10 20 30 40)");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds (gfx:make-canvas #t))"), "(0 0 1920 1080)");
    EXPECT_EQ(c.eval("(gfx:make-canvas \"big\")"), "#<OBJC: nil>") << "an unknown form gives a null object";
    EXPECT_EQ(c.eval("(gfx:get-canvas-size (gfx:make-canvas \"big\"))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad Canvas: Invalid View Index"));

    // Sizes are refused before anything is made.
    const long before = GraphicView::live();
    for (const char* bad : {"0 10", "10 -1", "5001 10", "10 1e300", "(exp 1000) 10"})
        EXPECT_EQ(c.eval(std::string("(gfx:make-canvas ") + bad + ")"), "#f") << bad;
    EXPECT_TRUE(log.saw(log.errors, "Bad canvas size"));
    EXPECT_EQ(c.eval("(gfx:make-canvas '(1 2 3))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "open graphic expects a list of 4 values (x y w h)"));
    EXPECT_EQ(c.eval("(gfx:make-canvas 10)"), "#f");
    EXPECT_EQ(GraphicView::live(), before);

    EXPECT_EQ(c.eval("(gfx:open-canvas c)"), "#t");
    EXPECT_EQ(c.eval("(gfx:open-canvas c '(1 2 3))"), "#f");
    EXPECT_EQ(c.eval("(gfx:open-canvas c 'square)"), "#f");
    EXPECT_EQ(c.eval("(gfx:set-canvas-size c 0 10)"), "#f");
    EXPECT_EQ(c.eval("(gfx:set-canvas-size c 10 \"ten\")"), "#f");
    EXPECT_EQ(c.eval("(gfx:get-canvas-size c)"), "(600 . 600)") << "a refused size leaves the canvas";
    EXPECT_EQ(c.eval("(gfx:lock-canvas-size c)"), "#t");
    EXPECT_EQ(c.eval("(gfx:close-canvas c)"), "#t");
    EXPECT_EQ(c.eval("(gfx:open-canvas c '(5 6 70 80 ignored))"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds c)"), "(5 6 70 80)");
}

TEST_F(Canvas, EveryProcedureRefusesWhatIsNotACanvas) {
    for (const char* call : {"(gfx:open-canvas 1)", "(gfx:close-canvas \"c\")", "(gfx:set-canvas-size 'c 10 10)",
                             "(gfx:lock-canvas-size)", "(gfx:get-canvas-size 1)", "(gfx:get-canvas-bounds 1)",
                             "(io:register-mouse-events 1)", "(io:deregister-mouse-events 1)",
                             "(io:get-mouse-position 1)", "(gfx:capture-canvas 1 \"/tmp/x.png\")",
                             "(gfx:get-image-from-canvas 1)", "(gl:get-image-from-opengl 1)",
                             "(gfx:start-pdf-capture 1 \"/tmp/x.pdf\")", "(gfx:stop-pdf-capture 1)",
                             "(gfx:get-canvas-size (gfx:get-code-image))"}) {
        log.errors.clear();
        EXPECT_EQ(c.eval(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, "Bad Canvas: Invalid View Index", 2s)) << call;
    }
    EXPECT_EQ(c.eval("(eq? gfx:get-image-from-canvas gl:get-image-from-opengl)"), "#t");
    EXPECT_EQ(c.eval("(gfx:window-to-front 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "First argument must be a canvas"));
}

TEST_F(Canvas, WindowNamesAnswerForTheCanvas) {
    make("c", "(gfx:make-canvas '(1 2 30 40))");
    EXPECT_EQ(c.eval("(gfx:get-window-size c)"), "(30 . 40)");
    EXPECT_EQ(c.eval("(gfx:get-window-bounds c)"), "(1 2 30 40)");
    EXPECT_EQ(c.eval("(gfx:window-to-front c)"), "#t");
    EXPECT_EQ(c.eval("(sys:get-screen-size)"), "(1920 . 1080)");
}

TEST_F(Canvas, ClearLineAndErasePixelExact) {
    make("c", "(gfx:make-canvas 64 32)");
    ASSERT_TRUE(draws("*gfx:clear-canvas* c '(1 0 0 1)", 0, 0, RED));
    EXPECT_EQ(pixel(63, 31), RED);
    // The clear's request follows its drawing at once: let it be recomposited before the line.
    std::this_thread::sleep_for(50ms);
    log.flush();
    const long redraws = kept->redraws();
    // A level line on a pixel row's centre covers exactly that row, from x 0 to 49.
    ASSERT_TRUE(draws("*draw-line* c 0 10.5 50 10.5 '(0 0 1 1)", 0, 10, BLUE));
    for (int x : {0, 25, 49}) EXPECT_EQ(pixel(x, 10), BLUE) << x;
    EXPECT_EQ(pixel(50, 10), RED);
    EXPECT_EQ(pixel(10, 9), RED);
    EXPECT_EQ(pixel(10, 11), RED);
    // The line's rectangle, recomposited on the main thread.
    ASSERT_TRUE(eventually([&] { return kept->redraws() > redraws; }, 5s, [&] { log.flush(); }));
    const CanvasRect dirty = kept->last_redrawn();
    EXPECT_EQ(dirty.x, -0.5);
    EXPECT_EQ(dirty.y, 10);
    EXPECT_EQ(dirty.width, 51);
    EXPECT_EQ(dirty.height, 1);
    // A symbol for the colour erases along the line.
    ASSERT_TRUE(draws("*draw-line* c 0 20.5 10 20.5 'erase", 5, 20, CLEAR));
    EXPECT_EQ(pixel(5, 21), RED);
    ASSERT_TRUE(draws("*gfx:clear-canvas* c", 30, 30, CLEAR));
    EXPECT_EQ(pixel(0, 10), CLEAR);
    EXPECT_EQ(c.eval("(schedule (now) *gfx:refresh-canvas* c)"), "#t");
}

TEST_F(Canvas, AntiAliasingFollowsTheSwitch) {
    make("c", "(gfx:make-canvas 40 40)");
    auto partial_pixels = [&] {
        int partial = 0;
        kept->read([&](cairo_surface_t* s) {
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 40; ++x) {
                    const uint32_t alpha = pixel_of(s, x, y) >> 24;
                    partial += alpha != 0 && alpha != 255;
                }
        });
        return partial;
    };
    EXPECT_EQ(c.eval("(gfx:set-alias 0)"), "0");
    ASSERT_TRUE(draws("*draw-line* c 0 0 40 13 '(0 0 0 1)", 20, 6, 0xff000000));
    EXPECT_EQ(partial_pixels(), 0) << "no pixel half covered with anti-aliasing off";
    ASSERT_TRUE(draws("*gfx:clear-canvas* c", 20, 6, CLEAR));
    EXPECT_EQ(c.eval("(gfx:set-alias 1)"), "1");
    ASSERT_EQ(c.eval("(schedule (now) *draw-line* c 0 0 40 13 '(0 0 0 1))"), "#t");
    EXPECT_TRUE(eventually([&] { return partial_pixels() > 0; }, 5s));
    EXPECT_EQ(c.eval("(gfx:set-alias 'x)"), "#f");
}

TEST_F(Canvas, ResizingKeepsThePictureAtTheBottomLeft) {
    make("c", "(gfx:make-canvas 20 10)");
    ASSERT_TRUE(draws("*draw-line* c 0 0.5 20 0.5 '(1 0 0 1)", 0, 0, RED));
    EXPECT_EQ(c.eval("(gfx:set-canvas-size c 40 30)"), "#t");
    EXPECT_EQ(c.eval("(gfx:get-canvas-bounds c)"), "(935 100 40 30)");
    EXPECT_EQ(pixel(0, 0), RED);
    EXPECT_EQ(pixel(19, 0), RED);
    EXPECT_EQ(pixel(20, 0), CLEAR);
    EXPECT_EQ(pixel(0, 1), CLEAR);
}

TEST_F(Canvas, PngCaptureIsReadBackAndNeverPartial) {
    make("c", "(gfx:make-canvas 30 20)");
    ASSERT_TRUE(draws("*gfx:clear-canvas* c '(0 0 1 1)", 0, 0, BLUE));
    ASSERT_TRUE(draws("*draw-line* c 0 5.5 30 5.5 '(1 0 0 1)", 3, 5, RED));
    const std::string png = path("a.png");
    EXPECT_EQ(c.eval("(gfx:capture-canvas c \"" + png + "\")"), "#t");
    cairo_surface_t* back = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(back), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(back), 30);
    EXPECT_EQ(cairo_image_surface_get_height(back), 20);
    EXPECT_EQ(pixel_of(back, 3, 5), RED);
    EXPECT_EQ(pixel_of(back, 3, 6), BLUE);
    cairo_surface_destroy(back);
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(std::filesystem::status(png).permissions()), 0666 & ~mask)
        << "a capture is an ordinary file, not a private temporary";

    EXPECT_EQ(c.eval("(gfx:capture-canvas c \"" + path("missing/b.png") + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "gfx:capture-canvas: cannot write"));
    EXPECT_EQ(c.eval("(gfx:capture-canvas c 7)"), "#f");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 1u) << "nothing but the one capture, no temporary left";
}

TEST_F(Canvas, PdfCaptureWritesAWholeFileAndRefusesAnExistingOne) {
    make("c", "(gfx:make-canvas 50 50)");
    const std::string pdf = path("a.pdf");
    EXPECT_EQ(c.eval("(gfx:stop-pdf-capture c)"), "#f");
    EXPECT_EQ(c.eval("(gfx:start-pdf-capture c \"" + pdf + "\")"), "#t");
    EXPECT_EQ(c.eval("(gfx:start-pdf-capture c \"" + path("other.pdf") + "\")"), "#f") << "one capture at a time";
    ASSERT_TRUE(draws("*draw-line* c 0 25.5 50 25.5 '(1 0 0 1)", 25, 25, RED));
    // Images and text go into the file as well as lines and paths.
    ASSERT_EQ(c.eval("(define blue (gfx:make-image 10 10))"), "blue");
    ASSERT_EQ(c.eval("(gfx:clear-image blue '(0 0 1 1))"), "#t");
    ASSERT_TRUE(draws("*gfx:draw-image* c blue 1.0 '(35 35)", 40, 40, BLUE));
    EXPECT_FALSE(std::filesystem::exists(pdf)) << "the file appears whole when the capture stops";
    EXPECT_EQ(c.eval("(gfx:stop-pdf-capture c)"), "#t");
    std::ifstream in(pdf, std::ios::binary);
    std::string head(5, '\0');
    in.read(head.data(), 5);
    EXPECT_EQ(head, "%PDF-");
    const auto size = std::filesystem::file_size(pdf);
    // Rendered back at one pixel a point, the page shows the line where the bitmap has it, y up, and nothing else.
    const std::string page = path("page");
    ASSERT_EQ(std::system(("pdftoppm -png -r 72 -singlefile '" + pdf + "' '" + page + "'").c_str()), 0);
    cairo_surface_t* png = cairo_image_surface_create_from_png((page + ".png").c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), 50);
    EXPECT_EQ(pixel_of(png, 25, 25) & 0xffffff, RED & 0xffffff);
    EXPECT_EQ(pixel_of(png, 25, 10) & 0xffffff, 0xffffffu) << "paper where nothing was drawn";
    EXPECT_EQ(pixel_of(png, 40, 40) & 0xffffff, BLUE & 0xffffff) << "the image is in the file";
    cairo_surface_destroy(png);

    EXPECT_EQ(c.eval("(gfx:start-pdf-capture c \"" + pdf + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "FAILED: File already exists"));
    ASSERT_TRUE(draws("*draw-line* c 0 10.5 50 10.5 '(0 0 1 1)", 10, 10, BLUE));
    EXPECT_EQ(std::filesystem::file_size(pdf), size) << "nothing drawn into the existing file";
    EXPECT_EQ(c.eval("(gfx:start-pdf-capture c \"" + path("missing/b.pdf") + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "gfx:start-pdf-capture: cannot write"));
}

TEST_F(Canvas, BadTaskArgumentsAreRefusedWhenScheduled) {
    make("c", "(gfx:make-canvas 10 10)");
    for (const char* task : {"*draw-line* 1 0 0 5 5 '(1 0 0 1)", "*draw-line* c 0 0 'x 5 '(1 0 0 1)",
                             "*draw-line* c 0 0 5 5 '(1 0 0)", "*draw-line* c 0 0 5", "*gfx:clear-canvas* c '(1 0)",
                             "*gfx:clear-canvas* 'c", "*gfx:refresh-canvas*"})
        EXPECT_EQ(c.eval(std::string("(schedule (now) ") + task + ")"), "#f") << task;
    EXPECT_TRUE(log.saw(log.errors, "Bad Canvas"));
    EXPECT_TRUE(log.saw(log.errors, "*draw-line* takes a canvas, x1 y1 x2 y2 and a colour"));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

TEST_F(Canvas, ACanvasDroppedWhileATaskWaitsLivesUntilItRan) {
    c.eval("(sys:run-gc)");
    log.flush();  // objects of collected cells may be let go on the main thread
    const long before = GraphicView::live();
    EXPECT_EQ(c.eval("(let ((d (gfx:make-canvas 10 10))) (schedule (+ (now) 22050) *draw-line* d 0 0 9 9 '(1 0 0 1)))"),
              "#t");
    c.eval("(sys:run-gc)");
    log.flush();
    EXPECT_EQ(GraphicView::live(), before + 1) << "the queued task holds the canvas";
    EXPECT_TRUE(eventually([&] { return GraphicView::live() == before; }, 5s, [&] { log.flush(); }));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

// A drawing longer than one buffer holds up the notes behind it: it is counted and reported, once a second at most.
// The buffer is made a few microseconds long for the test, so any drawing is late; a normal one is not.
TEST_F(Canvas, DrawingLongerThanABufferIsCountedAndReported) {
    make("c", "(gfx:make-canvas 200 200)");
    ASSERT_TRUE(draws("*gfx:clear-canvas* c '(1 0 0 1)", 5, 5, RED));
    // A report in the last second (a slow machine) would hold this test's one back.
    if (drawing_stats().late) std::this_thread::sleep_for(1100ms);
    log.clear();
    const DrawingStats before = drawing_stats();
    const int rate = SampleClock::SAMPLERATE.load();
    SampleClock::SAMPLERATE = 100'000'000;
    const bool drawn = draws("*gfx:clear-canvas* c '(0 0 1 1)", 5, 5, BLUE) &&
                       draws("*gfx:clear-canvas* c '(1 0 0 1)", 5, 5, RED);
    SampleClock::SAMPLERATE = rate;
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawing_stats().late, before.late + 2);
    EXPECT_EQ(drawing_stats().drawn, before.drawn + 2);
    EXPECT_TRUE(log.saw(log.notes, "Late drawing: *gfx:clear-canvas* took "));
    EXPECT_EQ(std::count_if(log.notes.begin(), log.notes.end(),
                            [](const std::string& n) { return n.find("Late drawing:") != std::string::npos; }),
              1)
        << "one report a second";
}

TEST_F(Canvas, SwitchesAndSharedImages) {
    EXPECT_EQ(c.eval("(gfx:debug-graphics #t)"), "#t");
    EXPECT_TRUE(GraphicEngine::DEBUG_GRAPHICS);
    EXPECT_EQ(c.eval("(gfx:debug-graphics 1)"), "1");
    EXPECT_FALSE(GraphicEngine::DEBUG_GRAPHICS) << "only #t turns it on";
    EXPECT_EQ(c.eval("(gfx:get-code-image)").rfind("#<OBJC: #<BitmapImage", 0), 0u);
    make("c", "(gfx:make-canvas 10 10)");
    EXPECT_EQ(c.eval("(gfx:get-image-from-canvas c)").rfind("#<OBJC: #<BitmapImage", 0), 0u);
    EXPECT_EQ(GraphicEngine::code_image()->width(), 0) << "no editor: an empty image";
    EXPECT_EQ(GraphicEngine::offscreen()->width(), GraphicEngine::OFFSCREEN_SIDE);
    EXPECT_EQ(GraphicEngine::offscreen().get(), GraphicEngine::offscreen().get()) << "made once";
    GraphicEngine::initOffscreen();
}

TEST(CanvasEvents, ExpressionTexts) {
    EXPECT_EQ(mouse_expression(MouseEvent::down, 12.5f, 40.0f), "(io:mouse-down 12.5 40)");
    EXPECT_EQ(mouse_expression(MouseEvent::up, 200.0f, 12.25f), "(io:mouse-up 200 12.25)");
    EXPECT_EQ(mouse_expression(MouseEvent::right_down, 1.0f / 3, 1234567.0f),
              "(io:right-mouse-down 0.333333 1.23457e+06)");
    EXPECT_EQ(mouse_expression(MouseEvent::right_up, 0, -3.5f), "(io:right-mouse-up 0 -3.5)");
    EXPECT_EQ(mouse_expression(MouseEvent::drag, 0.1f, 2), "(io:mouse-drag 0.1 2)");
    EXPECT_EQ(mouse_expression(MouseEvent::right_drag, 7, 8), "(io:right-mouse-drag 7 8)");
    EXPECT_EQ(key_expression(true, "a"), "(gfx:canvas-key-down #\\a)\n");
    EXPECT_EQ(key_expression(false, ")"), "(gfx:canvas-key-up #\\))\n");
    EXPECT_EQ(key_expression(true, "\x1b"), "(gfx:canvas-key-down #\\\x1b)\n");
    // Beyond ASCII, one character goes by its code, as the reader reads no longer literal.
    EXPECT_EQ(key_expression(false, "\xc3\xa9"), "(gfx:canvas-key-up #\\xe9)\n");
    EXPECT_EQ(key_expression(true, "\xe2\x82\xac"), "(gfx:canvas-key-down #\\x20ac)\n");
    EXPECT_EQ(key_expression(true, "\xef\x9c\x80"), "(gfx:canvas-key-down #\\xf700)\n");
    EXPECT_EQ(key_expression(true, "\xf0\x9f\x98\x80"), "(gfx:canvas-key-down #\\x1f600)\n");
    // Anything else is passed as it came: two characters, a broken or overlong sequence.
    EXPECT_EQ(key_expression(true, "ab"), "(gfx:canvas-key-down #\\ab)\n");
    EXPECT_EQ(key_expression(true, "\xc3("), "(gfx:canvas-key-down #\\\xc3()\n");
    EXPECT_EQ(key_expression(true, "\xe0\x80\xaf"), "(gfx:canvas-key-down #\\\xe0\x80\xaf)\n");
}

TEST_F(Canvas, EventsReachTheRegisteredProcesses) {
    make("c", "(gfx:make-canvas 10 10)");
    c.eval("(define seen '())");
    c.eval("(define (io:mouse-down x y) (set! seen (list 'down x y)))");
    c.eval("(define (gfx:canvas-key-down k) (set! seen (list 'key (string k))))");
    send_mouse_event(*kept, MouseEvent::down, 1, 2);
    EXPECT_EQ(c.eval("seen"), "NIL") << "nobody registered";
    EXPECT_EQ(c.eval("(io:register-mouse-events c)"), "#t");
    send_mouse_event(*kept, MouseEvent::down, 12.5f, 40);
    EXPECT_TRUE(eventually([&] { return c.eval("seen") == "(down 12.5 40)"; }, 5s));
    EXPECT_EQ(c.eval("(io:get-mouse-position c)"), "(12.5 . 40)");
    EXPECT_EQ(c.eval("(io:deregister-mouse-events c)"), "#t");
    send_mouse_event(*kept, MouseEvent::down, 3, 4);

    EXPECT_FALSE(send_key_event(true, "a", true)) << "auto-repeat is ignored";
    EXPECT_TRUE(send_key_event(true, "a", false));
    EXPECT_TRUE(eventually([&] { return c.eval("seen") == "(key \"a\")"; }, 5s)) << "and no mouse-down after it";
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
