#include "graphics/graphic_view.h"

#include <cairo-pdf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/log_bridge.h"
#include "platform/main_queue.h"

namespace omb {

namespace {

std::mutex factory_mutex;
GraphicView::WindowFactory& window_factory() {
    static GraphicView::WindowFactory factory;
    return factory;
}

std::atomic<long> live_views{0};

// The performer's coordinates: y grows upwards from the bottom edge.
void flip(cairo_t* cr, double height) {
    cairo_translate(cr, 0, height);
    cairo_scale(cr, 1, -1);
}

cairo_status_t write_to_fd(void* closure, const unsigned char* data, unsigned int length) {
    const int fd = *static_cast<int*>(closure);
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return CAIRO_STATUS_WRITE_ERROR;
        data += n;
        length -= static_cast<unsigned>(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

cairo_status_t write_to_file(void* closure, const unsigned char* data, unsigned int length) {
    return std::fwrite(data, 1, length, static_cast<FILE*>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                               : CAIRO_STATUS_WRITE_ERROR;
}

// The mode a plainly created file gets: 0666 less the process's umask (read without changing it, as other threads
// may be creating files).
mode_t plain_file_mode() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0) return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    return 0644;
}

// A new file next to `path` (so a rename into place stays on one file system), open for writing, with the mode a
// file made in place would have; -1 with errno.
int temporary_beside(const std::string& path, std::string& temp) {
    temp = path + ".partXXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd >= 0) ::fchmod(fd, plain_file_mode());
    return fd;
}

// Puts the finished temporary file in place without replacing a file that appeared meanwhile where `refuse_existing`.
bool move_into_place(const std::string& temp, const std::string& path, bool refuse_existing) {
    if (refuse_existing) {
        if (::link(temp.c_str(), path.c_str()) == 0) return ::unlink(temp.c_str()), true;
        if (errno == EEXIST) return false;
        // Some file systems have no hard links: fall back to a rename after one more look.
        if (std::filesystem::exists(path)) {
            errno = EEXIST;
            return false;
        }
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

CanvasRect CanvasRect::united(const CanvasRect& o) const {
    if (empty()) return o;
    if (o.empty()) return *this;
    const double left = std::min(x, o.x), bottom = std::min(y, o.y);
    const double right = std::max(x + width, o.x + o.width), top = std::max(y + height, o.y + o.height);
    return {left, bottom, right - left, top - bottom};
}

void GraphicView::set_window_factory(WindowFactory factory) {
    std::lock_guard lock(factory_mutex);
    window_factory() = std::move(factory);
}

GraphicView::GraphicView() { ++live_views; }

GraphicView::~GraphicView() {
    {
        std::lock_guard lock(bitmap_mutex_);
        if (pdf_cr_) finish_pdf_locked(true);
        if (cr_) cairo_destroy(cr_);
        if (surface_) cairo_surface_destroy(surface_);
    }
    if (window_) window_->close();
    --live_views;
}

long GraphicView::live() { return live_views.load(); }

bool GraphicView::valid_size(double width, double height) {
    // Sides are rounded to whole pixels: 0.5 is the smallest that makes one.
    const auto fits = [](double side) { return std::isfinite(side) && side >= 0.5 && side <= MAX_SIDE; };
    if (fits(width) && fits(height)) return true;
    CPPBridge::error("Bad canvas size: %g x %g (each side must be 1 to %d)", width, height, MAX_SIDE);
    return false;
}

bool GraphicView::open(CanvasRect frame, bool fullscreen, int screen) {
    if (!window_) {
        std::lock_guard lock(factory_mutex);
        if (window_factory()) window_ = window_factory()(*this);
    }
    if (fullscreen) {
        const std::optional<CanvasRect> shown = window_ ? window_->screen_frame(screen) : std::nullopt;
        frame = shown ? CanvasRect{0, 0, shown->width, shown->height}
                      : CanvasRect{0, 0, HEADLESS_SCREEN_WIDTH, HEADLESS_SCREEN_HEIGHT};
    }
    if (!valid_size(frame.width, frame.height)) return false;
    const int w = static_cast<int>(std::lround(frame.width)), h = static_cast<int>(std::lround(frame.height));
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        CPPBridge::error("Cannot make a %d x %d canvas bitmap: %s", w, h,
                         cairo_status_to_string(cairo_surface_status(surface)));
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_t* cr = cairo_create(surface);
    flip(cr, h);
    {
        std::lock_guard lock(bitmap_mutex_);
        if (surface_) {
            // The old picture keeps its place at the bottom left.
            cairo_t* copy = cairo_create(surface);
            cairo_set_source_surface(copy, surface_, 0, h - cairo_image_surface_get_height(surface_));
            cairo_paint(copy);
            cairo_destroy(copy);
            cairo_destroy(cr_);
            cairo_surface_destroy(surface_);
        }
        surface_ = surface;
        cr_ = cr;
        x_ = fullscreen ? 0 : frame.x;
        y_ = fullscreen ? 0 : frame.y;
        width_ = w;
        height_ = h;
    }
    fullscreen_ = fullscreen;
    screen_ = screen;
    // The window says which window and screen it drew to ("Draw window ... to screen ...").
    if (window_) window_->show(CanvasRect{x_, y_, width_, height_}, fullscreen, screen);
    open_ = true;
    CPPBridge::log("New Graphic View & Window & Image Buffer ready");
    redraw();
    return true;
}

void GraphicView::close() {
    if (window_) window_->close();
    open_ = false;
}

void GraphicView::lock_size() {
    if (window_) window_->lock_size(width_, height_);
}

void GraphicView::to_front() {
    if (window_) window_->to_front();
}

bool GraphicView::draw(const std::function<void(cairo_t*)>& fn) {
    std::lock_guard lock(bitmap_mutex_);
    if (!cr_) return false;
    cairo_save(cr_);
    fn(cr_);
    cairo_restore(cr_);
    cairo_surface_flush(surface_);
    return true;
}

void GraphicView::read(const std::function<void(cairo_surface_t*)>& fn) const {
    std::lock_guard lock(bitmap_mutex_);
    if (surface_) fn(surface_);
}

cairo_surface_t* GraphicView::snapshot() const {
    std::lock_guard lock(bitmap_mutex_);
    if (!surface_) return nullptr;
    const int w = cairo_image_surface_get_width(surface_), h = cairo_image_surface_get_height(surface_);
    cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(copy) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(copy);
        return nullptr;
    }
    cairo_surface_flush(surface_);
    cairo_surface_flush(copy);
    // Same format and size, so the strides agree.
    std::memcpy(cairo_image_surface_get_data(copy), cairo_image_surface_get_data(surface_),
                static_cast<size_t>(cairo_image_surface_get_stride(surface_)) * static_cast<size_t>(h));
    cairo_surface_mark_dirty(copy);
    return copy;
}

bool GraphicView::replace_bitmap(cairo_surface_t* surface) {
    std::lock_guard lock(bitmap_mutex_);
    if (!surface_ || cairo_image_surface_get_width(surface) != cairo_image_surface_get_width(surface_) ||
        cairo_image_surface_get_height(surface) != cairo_image_surface_get_height(surface_)) {
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_t* cr = cairo_create(surface);
    flip(cr, cairo_image_surface_get_height(surface));
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
    surface_ = surface;
    cr_ = cr;
    return true;
}

cairo_surface_t* GraphicView::surface() const {
    std::lock_guard lock(bitmap_mutex_);
    return surface_ ? cairo_surface_reference(surface_) : nullptr;
}

void GraphicView::redraw_in_bounds(const CanvasRect& dirty) {
    if (dirty.empty()) return;
    {
        std::lock_guard lock(dirty_mutex_);
        dirty_ = dirty_.united(dirty);
    }
    if (!redraw_posted_.exchange(true)) request_redraw();
}

void GraphicView::redraw() {
    {
        std::lock_guard lock(dirty_mutex_);
        whole_dirty_ = true;
    }
    if (!redraw_posted_.exchange(true)) request_redraw();
}

void GraphicView::request_redraw() {
    Ref<GraphicView> self = Ref<GraphicView>::retain(this);
    main_queue::post([self] {
        self->redraw_posted_ = false;
        CanvasRect whole;
        {
            std::lock_guard lock(self->bitmap_mutex_);
            whole = {0, 0, self->width_, self->height_};
        }
        CanvasRect rect;
        {
            std::lock_guard lock(self->dirty_mutex_);
            rect = self->whole_dirty_ ? whole : self->dirty_;
            self->whole_dirty_ = false;
            self->dirty_ = {};
            if (rect.empty()) return;  // taken by the turn before
            self->last_redrawn_ = rect;
        }
        ++self->redraws_;
        if (self->window_) self->window_->redraw(rect);
    });
}

CanvasRect GraphicView::last_redrawn() const {
    std::lock_guard lock(dirty_mutex_);
    return last_redrawn_;
}

bool GraphicView::capture_png(const std::string& path) const {
    cairo_surface_t* copy = snapshot();
    if (!copy) {
        CPPBridge::error("gfx:capture-canvas: the canvas has no bitmap");
        return false;
    }
    std::string temp;
    int fd = temporary_beside(path, temp);
    if (fd < 0) {
        CPPBridge::error("gfx:capture-canvas: cannot write %s: %s", path.c_str(), std::strerror(errno));
        cairo_surface_destroy(copy);
        return false;
    }
    cairo_status_t status = cairo_surface_write_to_png_stream(copy, write_to_fd, &fd);
    cairo_surface_destroy(copy);
    const bool written = status == CAIRO_STATUS_SUCCESS && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!written || !move_into_place(temp, path, false)) {
        CPPBridge::error("gfx:capture-canvas: cannot write %s: %s", path.c_str(),
                         status != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(status)
                                                        : std::strerror(written ? errno : saved));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool GraphicView::start_pdf(const std::string& path) {
    if (std::filesystem::exists(path)) {
        CPPBridge::error("FAILED: File already exists");
        return false;
    }
    std::lock_guard lock(bitmap_mutex_);
    if (pdf_cr_) {
        CPPBridge::error("gfx:start-pdf-capture: this canvas is already capturing to %s", pdf_path_.c_str());
        return false;
    }
    std::string temp;
    const int fd = temporary_beside(path, temp);
    FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!file) {
        CPPBridge::error("gfx:start-pdf-capture: cannot write %s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd), ::unlink(temp.c_str());
        return false;
    }
    cairo_surface_t* pdf = cairo_pdf_surface_create_for_stream(write_to_file, file, width_, height_);
    if (cairo_surface_status(pdf) != CAIRO_STATUS_SUCCESS) {
        CPPBridge::error("gfx:start-pdf-capture: %s", cairo_status_to_string(cairo_surface_status(pdf)));
        cairo_surface_destroy(pdf);
        std::fclose(file);
        ::unlink(temp.c_str());
        return false;
    }
    pdf_surface_ = pdf;
    pdf_cr_ = cairo_create(pdf);
    flip(pdf_cr_, height_);
    pdf_file_ = file;
    pdf_path_ = path;
    pdf_temp_ = temp;
    return true;
}

bool GraphicView::stop_pdf() {
    std::lock_guard lock(bitmap_mutex_);
    if (!pdf_cr_) {
        CPPBridge::error("gfx:stop-pdf-capture: the canvas has no PDF capture running");
        return false;
    }
    const std::string path = pdf_path_;
    finish_pdf_locked(true);
    return std::filesystem::exists(path);
}

// Ends the page and the file; a file that could not be written whole is removed, not left half done.
void GraphicView::finish_pdf_locked(bool keep) {
    cairo_destroy(pdf_cr_);
    cairo_surface_show_page(pdf_surface_);
    cairo_surface_finish(pdf_surface_);
    const cairo_status_t status = cairo_surface_status(pdf_surface_);
    cairo_surface_destroy(pdf_surface_);
    bool ok = status == CAIRO_STATUS_SUCCESS;
    ok = std::fflush(pdf_file_) == 0 && ok;
    ok = ::fsync(::fileno(pdf_file_)) == 0 && ok;
    ok = std::fclose(pdf_file_) == 0 && ok;
    if (!ok) CPPBridge::error("gfx:stop-pdf-capture: cannot write %s", pdf_path_.c_str());
    if (ok && keep && !move_into_place(pdf_temp_, pdf_path_, true))
        CPPBridge::error("gfx:stop-pdf-capture: cannot put %s in place: %s", pdf_path_.c_str(), std::strerror(errno));
    ::unlink(pdf_temp_.c_str());
    pdf_cr_ = nullptr;
    pdf_surface_ = nullptr;
    pdf_file_ = nullptr;
    pdf_path_.clear();
    pdf_temp_.clear();
}

void GraphicView::add_scheme(scheme* sc) {
    std::lock_guard lock(schemes_mutex_);
    schemes_.insert(sc);
}

void GraphicView::remove_scheme(scheme* sc) {
    std::lock_guard lock(schemes_mutex_);
    schemes_.erase(sc);
}

std::set<scheme*> GraphicView::schemes() const {
    std::lock_guard lock(schemes_mutex_);
    return schemes_;
}

void GraphicView::set_pointer(float px, float py) {
    std::lock_guard lock(schemes_mutex_);
    pointer_x_ = px;
    pointer_y_ = py;
}

std::pair<double, double> GraphicView::pointer() const {
    std::lock_guard lock(schemes_mutex_);
    return {pointer_x_, pointer_y_};
}

}  // namespace omb
