// GraphicView: one canvas. Its picture is a backing bitmap (a Cairo ARGB32 image surface: premultiplied, 4 bytes a
// pixel, width × 4 bytes a row) with a drawing context whose origin is the bottom-left corner, as the performer's
// coordinates have it. A canvas may have a window that shows the bitmap (a Qt window, attached by the windowed
// program through set_window_factory); headless it has none, and everything else works the same.
//
// Threads: opening, closing, resizing, capture and mouse registration come from a process's executer; drawing tasks
// draw on the scheduler's thread inside draw(); the window composites on the main thread inside read(). draw() and
// read() exclude each other (and reopening), so a window never shows half a drawing and a reopen never pulls the
// bitmap from under a task. Recompositing requests are coalesced and handed to the main thread without waiting.
#pragma once

#include <cairo.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "interpreter/scheme.h"
#include "platform/objects/foundation.h"

namespace omb {

// A rectangle in canvas coordinates (origin bottom left).
struct CanvasRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    CanvasRect united(const CanvasRect& other) const;
};

// What shows a canvas on screen. The windowed program supplies one per canvas; every call comes from the thread
// named, and none may wait for the main thread. close() may also come from whichever thread lets go of the canvas
// last (the scheduler's, when a task held it).
class CanvasWindow {
public:
    virtual ~CanvasWindow() = default;
    // Executer thread: (re)shows the window for the rectangle (screen coordinates), full screen or not, and logs
    // "Draw window ... to screen ..." naming both.
    virtual void show(const CanvasRect& frame, bool fullscreen, int screen) = 0;
    virtual void close() = 0;
    virtual void lock_size(double width, double height) = 0;
    virtual void to_front() = 0;
    // Executer thread: the size of screen `screen` (the main screen when there is no such screen), which a
    // full-screen canvas takes; nothing when the window system cannot say.
    virtual std::optional<CanvasRect> screen_frame(int screen) const {
        (void)screen;
        return std::nullopt;
    }
    // Main thread: recomposite this part of the canvas from its bitmap.
    virtual void redraw(const CanvasRect& dirty) = 0;
};

class GraphicView : public Object {
public:
    // The largest canvas side; bigger sizes are refused before anything is allocated.
    static constexpr int MAX_SIDE = 5000;
    // Where a full-screen canvas goes when there is no display to ask.
    static constexpr double HEADLESS_SCREEN_WIDTH = 1920, HEADLESS_SCREEN_HEIGHT = 1080;

    using WindowFactory = std::function<std::unique_ptr<CanvasWindow>(GraphicView&)>;
    // Set once by the windowed program before the first canvas; unset, canvases have no window.
    static void set_window_factory(WindowFactory factory);

    GraphicView();
    ~GraphicView() override;
    std::string class_name() const override { return "GraphicView"; }
    // The title of the canvas's window when it is not full screen.
    virtual std::string window_title() const { return "Graphic Window"; }

    // Whether width and height make a canvas (1 to MAX_SIDE each, finite); reports why not.
    static bool valid_size(double width, double height);
    // Makes (or remakes) the bitmap for `frame` and shows the window; the old picture is kept at the bottom left.
    // False, with the reason reported, when the bitmap cannot be made (the canvas keeps its old one).
    bool open(CanvasRect frame, bool fullscreen, int screen);
    void close();
    bool is_open() const { return open_; }
    void lock_size();
    void to_front();

    double width() const { return width_; }
    double height() const { return height_; }
    double x() const { return x_; }
    double y() const { return y_; }

    // Scheduler's thread (or any thread but the main one): `fn` draws on the bitmap's context, origin bottom left,
    // state saved around it. Returns false when there is no bitmap.
    bool draw(const std::function<void(cairo_t*)>& fn);
    // The PDF capture's context, if one runs: called inside draw() only. Origin bottom left as well.
    cairo_t* pdf_context() const { return pdf_cr_; }
    // Main thread: `fn` reads the bitmap (flushed, not drawn on meanwhile).
    void read(const std::function<void(cairo_surface_t*)>& fn) const;
    // A copy of the bitmap as it is now; null when there is none.
    cairo_surface_t* snapshot() const;
    // The bitmap itself, referenced for the caller (cairo_surface_destroy when done); null when there is none.
    cairo_surface_t* surface() const;

    // Any thread: asks the main thread to recomposite `dirty` (nothing when it is empty), or the whole canvas.
    // Never waits.
    void redraw_in_bounds(const CanvasRect& dirty);
    void redraw();
    // How often the main thread recomposited, and the last rectangle it did: what headless tests look at.
    long redraws() const { return redraws_.load(); }
    CanvasRect last_redrawn() const;
    // Main thread, from the window at the end of each paint: a recomposite only shows once the window has painted,
    // so benchmarks and tests watch this count to see the window catch up.
    void note_composited() { ++composites_; }
    long composites() const { return composites_.load(); }

    // Writes the bitmap as a PNG file, atomically: a file at `path` is whole or absent. False with the reason.
    bool capture_png(const std::string& path) const;
    // PDF capture: drawing tasks draw into the file too until stopped. The file appears whole when stopped.
    bool start_pdf(const std::string& path);
    bool stop_pdf();
    bool pdf_active() const { return pdf_cr_ != nullptr; }

    // The interpreters that receive this canvas's mouse events, in pointer order.
    void add_scheme(scheme* sc);
    void remove_scheme(scheme* sc);
    std::set<scheme*> schemes() const;

    // The pointer in window coordinates, as the last event left it.
    void set_pointer(float px, float py);
    std::pair<double, double> pointer() const;

    // How many canvases exist now.
    static long live();

protected:
    // Any thread: puts `surface` (ARGB32, the canvas's size) in place of the bitmap, for views whose picture is made
    // whole elsewhere (an OpenGL view's frame). Images handed out before keep the old bitmap. False, with `surface`
    // released, when the canvas has no bitmap or the sizes differ.
    bool replace_bitmap(cairo_surface_t* surface);

private:
    void request_redraw();
    void finish_pdf_locked(bool keep);

    mutable std::mutex bitmap_mutex_;  // surface_, cr_, the PDF: drawing, compositing and reopening
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    cairo_surface_t* pdf_surface_ = nullptr;
    cairo_t* pdf_cr_ = nullptr;
    std::string pdf_path_, pdf_temp_;
    FILE* pdf_file_ = nullptr;

    double x_ = 0, y_ = 0, width_ = 0, height_ = 0;
    bool open_ = false, fullscreen_ = false;
    int screen_ = 0;
    std::unique_ptr<CanvasWindow> window_;

    mutable std::mutex dirty_mutex_;  // dirty_, last_redrawn_
    CanvasRect dirty_, last_redrawn_;
    bool whole_dirty_ = false;
    std::atomic<bool> redraw_posted_{false};
    std::atomic<long> redraws_{0};
    std::atomic<long> composites_{0};

    mutable std::mutex schemes_mutex_;
    std::set<scheme*> schemes_;
    float pointer_x_ = 0, pointer_y_ = 0;
};

}  // namespace omb
