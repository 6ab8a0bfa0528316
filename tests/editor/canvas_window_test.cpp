// Canvases on screen, in the real program under Xvfb: the window where the performer asked for it, the drawing in
// it as the screen shows it, closing and reopening, mouse clicks and keys as Scheme expressions in the registered
// process, Escape out of full screen, the screen's size, and the editor's text as an image.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <QImage>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "tests/editor/program_under_xvfb.h"
#include "tests/support/free_port.h"

namespace {

using namespace omb::test;

// What a window manager sees of a window, as Xvfb runs none: its close button, its frame, its size limits, the
// stacking order.
class WindowManager {
public:
    explicit WindowManager(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {}
    ~WindowManager() { xcb_disconnect(c_); }

    void close(const std::string& window) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id(window);
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        xcb_send_event(c_, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        xcb_flush(c_);
    }
    // Up to `n` words of a window property; fewer when it has fewer.
    std::vector<uint32_t> property(const std::string& window, xcb_atom_t name, uint32_t n) {
        auto* r = xcb_get_property_reply(c_, xcb_get_property(c_, 0, id(window), name, XCB_ATOM_ANY, 0, n), nullptr);
        std::vector<uint32_t> words;
        if (r && r->format == 32) {
            const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));
            words.assign(v, v + xcb_get_property_value_length(r) / 4);
        }
        std::free(r);
        return words;
    }
    // Framed, unless the Motif hints give decorations (flag 2) and ask for none.
    bool titled(const std::string& window) {
        const auto hints = property(window, atom("_MOTIF_WM_HINTS"), 5);
        return hints.size() < 3 || !(hints[0] & 2) || hints[2] != 0;
    }
    // "minimum maximum" from the size hints (flags 16 and 32), "-" for a limit not given.
    std::string size_limits(const std::string& window) {
        const auto h = property(window, XCB_ATOM_WM_NORMAL_HINTS, 18);
        const auto size = [&](uint32_t flag, size_t at) {
            return h.size() > at + 1 && (h[0] & flag) ? std::to_string(h[at]) + "x" + std::to_string(h[at + 1]) : "-";
        };
        return size(16, 5) + " " + size(32, 7);
    }
    // Whether `a` lies above `b`: the root lists its children bottom to top.
    bool above(const std::string& a, const std::string& b) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        auto* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root), nullptr);
        if (!tree) return false;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        int at_a = -1, at_b = -1;
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            if (children[i] == id(a)) at_a = i;
            if (children[i] == id(b)) at_b = i;
        }
        std::free(tree);
        return at_b >= 0 && at_a > at_b;
    }

private:
    static xcb_window_t id(const std::string& window) { return static_cast<xcb_window_t>(std::stoul(window)); }
    xcb_atom_t atom(const char* name) {
        auto* r = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(r);
        return a;
    }
    xcb_connection_t* c_;
};

class CanvasWindows : public ProgramUnderXvfb {
protected:
    void SetUp() override {
        ProgramUnderXvfb::SetUp();
        start(port_ = free_port());
        ASSERT_FALSE(window("^Editor").empty()) << output();
        ASSERT_EQ(ask("(+ 1 2)"), "3") << output();
    }

    std::string ask(const std::string& expression) const { return eval(port_, expression); }
    bool becomes(const std::string& expression, const std::string& value) const {
        return eval_becomes(port_, expression, value);
    }
    // The shown window titled "Graphic Window"; empty when there is none within the limit.
    std::string canvas_window(std::chrono::milliseconds limit = 5s, const std::string& title = "Graphic Window") const {
        std::string id;
        eventually([&] { return !(id = xdotool("search --onlyvisible --name '^" + title + "$'")).empty(); }, limit);
        return id.substr(0, id.find('\n'));
    }
    // "x,y wxh" as the X server has the window.
    std::string geometry(const std::string& window) const {
        const std::string shell = "\n" + xdotool("getwindowgeometry --shell " + window) + "\n";
        const auto value = [&](const std::string& key) {
            const size_t at = shell.find("\n" + key + "=");
            if (at == std::string::npos) return std::string("?");
            const size_t from = at + key.size() + 2;
            return shell.substr(from, shell.find('\n', from) - from);
        };
        return value("X") + "," + value("Y") + " " + value("WIDTH") + "x" + value("HEIGHT");
    }
    bool geometry_becomes(const std::string& window, const std::string& expected) const {
        return eventually([&] { return geometry(window) == expected; }, 5s);
    }
    // The screen's pixel at x, y as 0xRRGGBB, once the screen shows `expected` there (or what it shows then).
    QRgb screen_pixel_becomes(int x, int y, QRgb expected) const {
        const std::string file = (dir_ / "screen.png").string();
        QRgb seen = 0;
        eventually([&] {
            run("DISPLAY=" + display_ + " " + OMBREL_GRAB_BIN + " " + file + " 2>/dev/null");
            return (seen = QImage(QString::fromStdString(file)).pixel(x, y) & 0xffffff) == expected;
        }, 5s);
        return seen;
    }

    int port_ = 0;
};

constexpr QRgb RED = 0xff0000, GREEN = 0x00ff00, BLUE = 0x0000ff;
// A blue rectangle 20..80 across and 20..60 up from the canvas's bottom edge, drawn on canvas c.
const std::string kRectangle =
    "(begin (define p (gfx:make-path)) (gfx:set-start-point p 20 20) (gfx:add-line p 80 20) (gfx:add-line p 80 60)"
    " (gfx:add-line p 20 60) (gfx:close-path p) (schedule (+ (now) 10) *gfx:draw-path* c p (list) (list 0 0 1 1)))";

TEST_F(CanvasWindows, ShowsItsPictureWhereAskedAndKeepsItWhenClosedAndReopened) {
    ASSERT_EQ(ask("(define c (gfx:make-canvas))"), "c");
    const std::string shown = canvas_window();
    ASSERT_FALSE(shown.empty()) << output();
    EXPECT_TRUE(geometry_becomes(shown, "935,100 600x600")) << geometry(shown);
    ASSERT_EQ(ask("(schedule (now) *gfx:clear-canvas* c (list 1 0 0 1))"), "#t");
    ASSERT_EQ(ask(kRectangle), "#t");
    // The window's bottom edge is the canvas's y = 0: the rectangle lies 540 to 580 down the window.
    EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 560, BLUE), BLUE);
    EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 500, RED), RED);
    EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 590, RED), RED);
    EXPECT_EQ(screen_pixel_becomes(935 + 10, 100 + 560, RED), RED);
    const std::string log = log_file();
    EXPECT_EQ(log.find("Draw window <Graphic Window"), log.rfind("Draw window <Graphic Window")) << "logged once";
    EXPECT_EQ(log.find("Image Buffer ready"), log.rfind("Image Buffer ready")) << log;
    EXPECT_NE(log.find("Image Buffer ready"), std::string::npos) << log;
    EXPECT_EQ(ask("(sys:get-screen-size)"), "(1280 . 900)");

    // Closed by the program, then with the window manager's close button: the window goes, the canvas and its
    // picture stay, and it opens again.
    for (bool by_program : {true, false}) {
        if (by_program) {
            EXPECT_EQ(ask("(gfx:close-canvas c)"), "#t");
        }
        // Clicked again when it stays: Qt can miss a close request that arrives within milliseconds of the window
        // appearing, sooner than any hand clicks.
        const auto closed = [&] {
            if (!by_program) WindowManager(display_).close(canvas_window(0ms));
            return eventually([&] { return canvas_window(0ms).empty(); }, 1s);
        };
        EXPECT_TRUE(closed() || closed() || closed()) << by_program;
        EXPECT_EQ(ask("(gfx:get-canvas-size c)"), "(600 . 600)");
        EXPECT_EQ(ask("(gfx:open-canvas c (list 935 100 600 600))"), "#t");
        ASSERT_FALSE(canvas_window().empty());
        EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 560, BLUE), BLUE) << by_program;
        EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 500, RED), RED) << by_program;
    }
}

TEST_F(CanvasWindows, LockingBringingToFrontAndOutliningReachTheWindow) {
    ASSERT_EQ(ask("(define c (gfx:make-canvas))"), "c");
    const std::string shown = canvas_window();
    ASSERT_FALSE(shown.empty()) << output();
    WindowManager wm(display_);
    EXPECT_NE(wm.size_limits(shown), "600x600 600x600");
    EXPECT_EQ(ask("(gfx:lock-canvas-size c)"), "#t");
    EXPECT_TRUE(eventually([&] { return wm.size_limits(shown) == "600x600 600x600"; }, 5s)) << wm.size_limits(shown);

    // In front of the editor. (Whether it also takes the keys is the window manager's say: Xvfb has none.)
    const std::string editor = window("^Editor");
    xdotool("windowraise " + editor);
    ASSERT_TRUE(eventually([&] { return wm.above(editor, shown); }, 5s));
    EXPECT_EQ(ask("(gfx:window-to-front c)"), "#t");
    EXPECT_TRUE(eventually([&] { return wm.above(shown, editor); }, 5s));

    // Outlining on: what a drawing recomposites is framed in red, just outside the rectangle drawn.
    ASSERT_EQ(ask("(schedule (now) *gfx:clear-canvas* c (list 0 1 0 1))"), "#t");
    ASSERT_EQ(screen_pixel_becomes(935 + 19, 100 + 560, GREEN), GREEN);
    EXPECT_EQ(ask("(gfx:debug-graphics #t)"), "#t");
    ASSERT_EQ(ask(kRectangle), "#t");
    EXPECT_EQ(screen_pixel_becomes(935 + 50, 100 + 560, BLUE), BLUE);
    EXPECT_EQ(screen_pixel_becomes(935 + 19, 100 + 560, RED), RED);
    EXPECT_EQ(ask("(gfx:debug-graphics #f)"), "#f");
}

TEST_F(CanvasWindows, MouseAndKeysReachTheProcessAsExpressions) {
    ASSERT_EQ(ask("(define c (gfx:make-canvas (list 100 100 400 300)))"), "c");
    const std::string shown = canvas_window();
    ASSERT_TRUE(geometry_becomes(shown, "100,100 400x300")) << output();
    ASSERT_EQ(ask("(begin (define seen (list)) (define (rec tag f) (lambda a (set! seen (cons (cons tag (map f a))"
                  " seen)))) (define (same x) x) (define io:mouse-down (rec (quote down) same))"
                  " (define io:mouse-up (rec (quote up) same)) (define io:mouse-drag (rec (quote drag) same))"
                  " (define io:right-mouse-down (rec (quote right-down) same))"
                  " (define io:right-mouse-up (rec (quote right-up) same))"
                  " (define gfx:canvas-key-down (rec (quote key-down) char->integer))"
                  " (define gfx:canvas-key-up (rec (quote key-up) char->integer)) #t)"),
              "#t");
    const auto click = [&](const char* at_and_button) {
        ask("(set! seen (list))");
        xdotool("mousemove --window " + shown + " " + at_and_button);
    };

    // Not registered: clicks send nothing; the pointer is still followed, in the window and on the screen.
    click("40 250 click 1");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(ask("seen"), "NIL");
    EXPECT_EQ(ask("(io:get-mouse-position c)"), "(40 . 50)");
    EXPECT_EQ(ask("(io:get-mouse-position)"), "(140 . 350)");

    // Registered: window coordinates from the bottom edge, whole numbers printed as such.
    ASSERT_EQ(ask("(io:register-mouse-events c)"), "#t");
    click("40 250 click 1");
    EXPECT_TRUE(becomes("seen", "((up 40 50) (down 40 50))")) << ask("seen");
    click("70 200 click 3");
    EXPECT_TRUE(becomes("seen", "((right-up 70 100) (right-down 70 100))")) << ask("seen");
    click("10 290 mousedown 1");
    xdotool("mousemove --window " + shown + " 20 280 mouseup 1");
    EXPECT_TRUE(becomes("seen", "((up 20 20) (drag 20 20) (down 10 10))")) << ask("seen");

    // A key held past the auto-repeat delay goes down once and up once; keys beyond ASCII arrive whole.
    ask("(set! seen (list))");
    xdotool("windowfocus --sync " + shown);
    xdotool("keydown a");
    std::this_thread::sleep_for(1500ms);
    xdotool("keyup a");
    EXPECT_TRUE(becomes("seen", "((key-up 97) (key-down 97))")) << ask("seen");
    ask("(set! seen (list))");
    xdotool("key --delay 50 eacute Up ctrl+b");
    EXPECT_TRUE(becomes("(reverse seen)", "((key-down 233) (key-up 233) (key-down 63232) (key-up 63232)"
                                          " (key-down 98) (key-up 98))"))
        << ask("seen");

    ASSERT_EQ(ask("(io:deregister-mouse-events c)"), "#t");
    click("40 250 click 1");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(ask("seen"), "NIL");
}

TEST_F(CanvasWindows, EscapeLeavesFullScreenForTheFormerFrame) {
    ASSERT_EQ(ask("(begin (define keys (list)) (define (gfx:canvas-key-down k) (set! keys (cons (char->integer k)"
                  " keys))) (define c (gfx:make-canvas (list 100 120 300 200))) #t)"),
              "#t");
    ASSERT_FALSE(canvas_window().empty());
    ASSERT_EQ(ask("(gfx:open-canvas c #t)"), "#t");
    EXPECT_EQ(ask("(gfx:get-canvas-size c)"), "(1280 . 900)") << "the size of the screen";
    std::string shown;
    ASSERT_TRUE(eventually([&] { return geometry(shown = canvas_window()) == "0,0 1280x900"; }, 5s));
    WindowManager wm(display_);
    EXPECT_FALSE(wm.titled(shown));

    xdotool("windowfocus --sync " + shown);
    xdotool("key Escape");
    EXPECT_TRUE(eventually([&] { return log_file().find("Canvas Responded to ESC call") != std::string::npos; }, 5s));
    EXPECT_TRUE(geometry_becomes(canvas_window(), "100,120 300x200")) << geometry(canvas_window());
    EXPECT_TRUE(wm.titled(canvas_window()));
    EXPECT_TRUE(becomes("keys", "(27)")) << "the key is still sent";
}

TEST_F(CanvasWindows, TheCodeImageIsTheEditorsTextAndFollowsTheMenuBar) {
    const std::string editor = window("^Editor");
    type(editor, "(define shown-in-the-code-image (list 1 2 3))");
    const auto code_image = [&](const char* name) {
        const std::string file = (dir_ / name).string();
        EXPECT_EQ(ask("(gfx:capture-image (gfx:get-code-image) \"" + file + "\")"), "#t");
        return QImage(QString::fromStdString(file));
    };
    const QImage text = code_image("code.png");
    ASSERT_FALSE(text.isNull());
    const std::string frame = geometry(editor);
    EXPECT_EQ(text.width(), std::stoi(frame.substr(frame.find(' ') + 1))) << frame;
    const int height = std::stoi(frame.substr(frame.find('x') + 1));
    EXPECT_TRUE(text.height() > height / 2 && text.height() < height) << "the text area of " << frame;
    std::set<QRgb> colours;
    for (int y = 0; y < text.height(); y += 2)
        for (int x = 0; x < text.width(); x += 2) colours.insert(text.pixel(x, y));
    EXPECT_GT(colours.size(), 10u) << "typed text, not a blank area";

    // Hiding the menu bar gives its room to the text.
    EXPECT_EQ(ask("(gfx:hide-menu)"), "#t");
    EXPECT_TRUE(eventually([&] { return code_image("hidden.png").height() > text.height(); }, 5s));
    EXPECT_EQ(ask("(gfx:show-menu)"), "#t");
    EXPECT_TRUE(eventually([&] { return code_image("shown.png").height() == text.height(); }, 5s));
}

// An OpenGL view in a window of its own: the frame OpenGL drew, once copied out, is what the window shows, top row at
// the top; a second frame replaces it.
TEST_F(CanvasWindows, AnOpenGLViewShowsItsLatestFrame) {
    ASSERT_EQ(ask("(define v (gl:make-opengl))"), "v");
    ASSERT_EQ(ask("(gl:open-opengl v 200 100)"), "#t");
    const std::string shown = canvas_window(5s, "OpenGL Window");
    ASSERT_FALSE(shown.empty()) << output();
    EXPECT_TRUE(geometry_becomes(shown, "935,100 200x100")) << geometry(shown);
    // Green everywhere, then a red band over the top quarter drawn in pixels from the top.
    ASSERT_EQ(ask("(begin (gl:clear-color v 0 1 0 1) (gl:clear v *gl-color-buffer-bit*))"), "#t");
    ASSERT_EQ(ask("(begin (gl:viewport v 0 75 200 25) (gl:matrix-mode v *gl-projection*) (gl:load-identity v)"
                  " (gl:color v 1 0 0) (gl:begin v *gl-quads*) (gl:vertex v -1 -1) (gl:vertex v 1 -1) (gl:vertex v 1 1)"
                  " (gl:vertex v -1 1) (gl:end v) (gl:update-backing-image v))"), "#t");
    EXPECT_EQ(screen_pixel_becomes(935 + 100, 100 + 10, RED), RED) << "the top of the frame at the top";
    EXPECT_EQ(screen_pixel_becomes(935 + 100, 100 + 80, GREEN), GREEN);
    ASSERT_EQ(ask("(begin (gl:viewport v 0 0 200 100) (gl:clear-color v 0 0 1 1) (gl:clear v *gl-color-buffer-bit*)"
                  " (glut:swap-buffers v))"), "#t");
    EXPECT_EQ(screen_pixel_becomes(935 + 100, 100 + 10, BLUE), BLUE);
    EXPECT_EQ(ask("(gl:close-opengl v)"), "#t");
    EXPECT_TRUE(eventually([&] { return canvas_window(0ms, "OpenGL Window").empty(); }, 5s));
}

}  // namespace
