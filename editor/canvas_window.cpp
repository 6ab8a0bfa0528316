#include "editor/canvas_window.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <Qsci/qsciscintilla.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "editor/editor_window.h"
#include "graphics/canvas_events.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"

namespace omb {

namespace {

// Shows where the bitmap is transparent: the window is not opaque, so with a compositing desktop this is a faint
// blue veil over what lies behind; without one the desktop cannot show through and it lies over black.
const QColor kBackground = QColor::fromRgbF(0.2f, 0.5f, 0.9f, 0.1f);
// How long "gfx:get-code-image" waits for the main thread before it answers with an empty image.
constexpr auto kCodeImageWait = std::chrono::seconds(2);
// How long a key's release waits for the press that would make it an auto-repeat.
constexpr int kRepeatWindowMs = 25;
// How often the pointer is looked up for "io:get-mouse-position" when it is not over a canvas.
constexpr int kPointerPollMs = 50;

// Main thread sets and clears it; work posted to the main thread looks at it before touching any window.
std::atomic<bool> installed{false};

struct ScreenInfo {
    QRect geometry;
    std::string name;
};
std::mutex screens_mutex;
std::vector<ScreenInfo> screens;  // in QGuiApplication::screens() order
int main_screen = -1;             // its index there

QObject* watcher = nullptr;  // owns the connections and the pointer timer while installed

class CanvasWidget;
std::set<CanvasWidget*> live_widgets;  // main thread

// What a canvas's window handle and its current widget share. Main thread only.
struct WidgetSlot {
    CanvasWidget* widget = nullptr;
    // The last frame shown with a title: where a full-screen window goes back to when Escape leaves full screen.
    std::optional<QRect> titled_frame;
};

void remember_screens() {
    std::vector<ScreenInfo> now;
    const QList<QScreen*> all = QGuiApplication::screens();
    int primary = -1;
    for (QScreen* s : all) {
        if (s == QGuiApplication::primaryScreen()) primary = static_cast<int>(now.size());
        now.push_back({s->geometry(), s->name().toStdString()});
    }
    if (primary < 0 && !now.empty()) primary = 0;
    std::lock_guard lock(screens_mutex);
    screens = std::move(now);
    main_screen = primary;
}

// The screen a canvas opens on: the one at `index` when there are more screens than that, else the main one.
QScreen* chosen_screen(int index) {
    const QList<QScreen*> all = QGuiApplication::screens();
    if (index >= 0 && index < all.size()) return all[index];
    return QGuiApplication::primaryScreen();
}

std::optional<ScreenInfo> screen_info(int index) {
    std::lock_guard lock(screens_mutex);
    if (index >= 0 && index < static_cast<int>(screens.size())) return screens[static_cast<size_t>(index)];
    if (main_screen >= 0) return screens[static_cast<size_t>(main_screen)];
    return std::nullopt;
}

// The key's characters without Ctrl, Alt or Meta (Shift still counts), UTF-8. Keys that type nothing give the
// function-key characters performers' pieces already compare against (the arrows are U+F700 to U+F703, F1 is
// U+F704, ...); Backspace is DEL, as on the keyboards those pieces were written on.
std::string key_characters(const QKeyEvent& e) {
    const int key = e.key();
    char16_t code = 0;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) code = static_cast<char16_t>(0xF704 + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Up: code = 0xF700; break;
    case Qt::Key_Down: code = 0xF701; break;
    case Qt::Key_Left: code = 0xF702; break;
    case Qt::Key_Right: code = 0xF703; break;
    case Qt::Key_Insert: code = 0xF727; break;
    case Qt::Key_Delete: code = 0xF728; break;
    case Qt::Key_Home: code = 0xF729; break;
    case Qt::Key_End: code = 0xF72B; break;
    case Qt::Key_PageUp: code = 0xF72C; break;
    case Qt::Key_PageDown: code = 0xF72D; break;
    case Qt::Key_Backspace: code = 0x7F; break;
    default: break;
    }
    if (code) return QString(QChar(code)).toUtf8().toStdString();
    QString text = e.text();
    const bool chord = e.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (chord && key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde) {
        // Ctrl+A types a control character; the key itself is what counts. Qt names a letter key by its capital.
        const QChar c(key);
        text = (e.modifiers() & Qt::ShiftModifier) ? QString(c) : QString(c.toLower());
    }
    return text.toUtf8().toStdString();
}

class CanvasWidget : public QWidget {
public:
    CanvasWidget(Ref<GraphicView> view, std::shared_ptr<WidgetSlot> slot)
        : view_(std::move(view)), slot_(std::move(slot)) {
        setAttribute(Qt::WA_DeleteOnClose);
        setAttribute(Qt::WA_TranslucentBackground);  // transparent canvas pixels are see-through
        setAttribute(Qt::WA_OpaquePaintEvent);       // every paint covers its region itself
        setMouseTracking(true);                      // the pointer is followed for io:get-mouse-position
        setFocusPolicy(Qt::StrongFocus);
        setWindowTitle(QString::fromStdString(view_->window_title()));
        up_timer_.setSingleShot(true);
        up_timer_.setInterval(kRepeatWindowMs);
        QObject::connect(&up_timer_, &QTimer::timeout, this, [this] { flush_up(); });
        live_widgets.insert(this);
        slot_->widget = this;
    }
    ~CanvasWidget() override {
        live_widgets.erase(this);
        if (slot_->widget == this) slot_->widget = nullptr;
    }

    // Shows the window for `frame` (screen coordinates): titled, or borderless over the whole of `screen`.
    void show_at(const QRect& frame, bool fullscreen, QScreen* screen) {
        fullscreen_ = fullscreen;
        if (screen) setScreen(screen);
        if (fullscreen) {
            setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
            setGeometry(screen ? screen->geometry() : frame);
            showFullScreen();
            raise();
            activateWindow();  // Escape has to reach it
            return;
        }
        setWindowFlags(Qt::Window);
        slot_->titled_frame = frame;
        setGeometry(frame);
        // In front, without taking the keys from the editor the performer is typing in.
        setAttribute(Qt::WA_ShowWithoutActivating);
        show();
        raise();
        setAttribute(Qt::WA_ShowWithoutActivating, false);
    }

    // Escape: titled again, at the frame it had before it went full screen (where it is when it never had one).
    void leave_fullscreen() {
        const QRect frame = slot_->titled_frame.value_or(QRect(geometry().topLeft(), size()));
        fullscreen_ = false;
        setWindowState(windowState() & ~Qt::WindowFullScreen);
        setWindowFlags(Qt::Window);
        setGeometry(frame);
        show();
        raise();
        activateWindow();
    }

    void lock(int width, int height) { setFixedSize(width, height); }

    // Closed by the program: the window goes, the canvas stays.
    void discard() {
        if (slot_->widget == this) slot_->widget = nullptr;
        close();
    }

    // `dirty` is in canvas coordinates, y up from the bottom edge, which the bitmap shares with the window.
    void redraw(const CanvasRect& dirty) {
        const double top = height() - (dirty.y + dirty.height);
        update(QRectF(dirty.x, top, dirty.width, dirty.height).toAlignedRect());
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        try {
            QPainter painter(this);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(event->rect(), kBackground);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            view_->read([&](cairo_surface_t* s) {
                // Cairo's ARGB32 is Qt's premultiplied ARGB32, pixel for pixel: the bitmap is shown without a copy.
                const QImage image(cairo_image_surface_get_data(s), cairo_image_surface_get_width(s),
                                   cairo_image_surface_get_height(s), cairo_image_surface_get_stride(s),
                                   QImage::Format_ARGB32_Premultiplied);
                // The bitmap's bottom edge on the window's, as the canvas counts y from there.
                painter.drawImage(QPoint(0, height() - image.height()), image);
            });
            if (GraphicEngine::DEBUG_GRAPHICS) {
                painter.setPen(Qt::red);
                painter.setBrush(Qt::NoBrush);
                for (const QRect& r : event->region()) painter.drawRect(r.adjusted(0, 0, -1, -1));
            }
            view_->note_composited();
        } catch (const std::exception& e) {
            CPPBridge::error("%s", e.what());
        }
    }

    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) mouse(e, MouseEvent::down);
        else if (e->button() == Qt::RightButton) mouse(e, MouseEvent::right_down);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton) mouse(e, MouseEvent::up);
        else if (e->button() == Qt::RightButton) mouse(e, MouseEvent::right_up);
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (e->buttons() & Qt::LeftButton) mouse(e, MouseEvent::drag);
        else if (e->buttons() & Qt::RightButton) mouse(e, MouseEvent::right_drag);
        else {
            const auto [x, y] = canvas_point(e);
            view_->set_pointer(x, y);
            GraphicEngine::set_screen_pointer(e->globalPosition().x(), e->globalPosition().y());
        }
    }

    // A held key repeats as a release and a press at one instant, which Qt does not always mark as a repeat (it
    // misses it when the press has not been read yet). So a release waits a moment: a press of the same key with
    // its timestamp cancels both, and a key already down does not go down again.
    void keyPressEvent(QKeyEvent* e) override {
        if (e->isAutoRepeat()) return;
        const quint32 code = key_code(*e);
        if (pending_up_ && pending_up_->code == code && pending_up_->time == e->timestamp()) {
            pending_up_.reset();
            up_timer_.stop();
            return;
        }
        flush_up();
        if (!down_.insert(code).second) return;
        if (e->key() == Qt::Key_Escape && fullscreen_) {
            CPPBridge::notification("Canvas Responded to ESC call");
            leave_fullscreen();
        }
        send_key_event(true, key_characters(*e), false);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        if (e->isAutoRepeat()) return;
        flush_up();
        pending_up_ = PendingUp{key_code(*e), e->timestamp(), key_characters(*e)};
        up_timer_.start();
    }
    // Keys let go elsewhere never come back here as releases.
    void focusOutEvent(QFocusEvent* e) override {
        flush_up();
        down_.clear();
        QWidget::focusOutEvent(e);
    }

private:
    struct PendingUp {
        quint32 code;
        quint64 time;
        std::string characters;
    };
    static quint32 key_code(const QKeyEvent& e) {
        return e.nativeScanCode() ? e.nativeScanCode() : static_cast<quint32>(e.key());
    }
    void flush_up() {
        up_timer_.stop();
        if (!pending_up_) return;
        const PendingUp up = std::move(*pending_up_);
        pending_up_.reset();
        down_.erase(up.code);
        send_key_event(false, up.characters, false);
    }

    std::pair<float, float> canvas_point(const QMouseEvent* e) const {
        return {static_cast<float>(e->position().x()), static_cast<float>(height() - e->position().y())};
    }
    void mouse(const QMouseEvent* e, MouseEvent kind) {
        const auto [x, y] = canvas_point(e);
        GraphicEngine::set_screen_pointer(e->globalPosition().x(), e->globalPosition().y());
        send_mouse_event(*view_, kind, x, y);
    }

    // Keeps the canvas while its window shows it, as a window keeps its view.
    Ref<GraphicView> view_;
    std::shared_ptr<WidgetSlot> slot_;
    bool fullscreen_ = false;
    std::set<quint32> down_;  // keys down, by scan code
    std::optional<PendingUp> pending_up_;
    QTimer up_timer_;
};

// The window of one canvas, as the canvas drives it. Owned by the canvas; it may go on any thread, and what it
// posted may run after it went, so the posted work holds the slot, never this.
class QtCanvasWindow : public CanvasWindow {
public:
    explicit QtCanvasWindow(GraphicView& view) : view_(view) {}

    void show(const CanvasRect& frame, bool fullscreen, int screen) override {
        const std::optional<ScreenInfo> on = screen_info(screen);
        CPPBridge::log("Draw window <Graphic Window %p> to screen <%s> size %f,%f,%f,%f", static_cast<void*>(this),
                       on ? on->name.c_str() : "none", frame.x, frame.y, frame.width, frame.height);
        const QRect rect = QRectF(frame.x, frame.y, frame.width, frame.height).toAlignedRect();
        post([slot = slot_, view = Ref<GraphicView>::retain(&view_), rect, fullscreen, screen] {
            // A reopened canvas gets a new window, as its frame and kind may both change.
            if (slot->widget) slot->widget->discard();
            auto* widget = new CanvasWidget(view, slot);
            widget->show_at(rect, fullscreen, chosen_screen(screen));
        });
    }

    void close() override {
        post([slot = slot_] {
            if (slot->widget) slot->widget->discard();
        });
    }

    void lock_size(double width, double height) override {
        post([slot = slot_, w = static_cast<int>(width), h = static_cast<int>(height)] {
            if (slot->widget) slot->widget->lock(w, h);
        });
    }

    void to_front() override {
        post([slot = slot_] {
            if (!slot->widget) return;
            slot->widget->raise();
            slot->widget->activateWindow();
        });
    }

    void redraw(const CanvasRect& dirty) override {
        if (installed && slot_->widget) slot_->widget->redraw(dirty);
    }

    std::optional<CanvasRect> screen_frame(int screen) const override {
        const std::optional<ScreenInfo> on = screen_info(screen);
        if (!on) return std::nullopt;
        const QRect& g = on->geometry;
        return CanvasRect{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
    }

private:
    static void post(std::function<void()> work) {
        if (!installed) return;
        main_queue::post([work = std::move(work)] {
            if (installed) work();
        });
    }

    GraphicView& view_;
    const std::shared_ptr<WidgetSlot> slot_ = std::make_shared<WidgetSlot>();
};

// Main thread: the focused code editor's text view (or the frontmost one's) as a bitmap of the canvases' kind.
Ref<BitmapImage> grab_code_image() {
    EditorWindow* editor = EditorWindow::focused();
    if (!editor) editor = EditorWindow::frontmost();
    if (!editor || !editor->text()) return {};
    // Painted straight into the canvases' pixel format: no conversion afterwards.
    QWidget* text = editor->text();
    QImage image(text->size() * text->devicePixelRatioF(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) return {};
    image.setDevicePixelRatio(text->devicePixelRatioF());
    image.fill(Qt::transparent);
    text->render(&image);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.width(), image.height());
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return {};
    }
    cairo_surface_flush(s);
    // Same pixel layout; the rows may differ in padding. Top row first in memory, as every bitmap here keeps it.
    const int stride = cairo_image_surface_get_stride(s);
    const size_t row = static_cast<size_t>(image.width()) * 4;
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(cairo_image_surface_get_data(s) + static_cast<ptrdiff_t>(y) * stride, image.constScanLine(y), row);
    cairo_surface_mark_dirty(s);
    return make_object<BitmapImage>(s);
}

// Any thread but the main one waits here for the main thread's picture; the main thread makes it at once.
Ref<BitmapImage> code_image() {
    if (main_queue::is_main_thread()) return grab_code_image();
    struct Wait {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        Ref<BitmapImage> image;
    };
    auto wait = std::make_shared<Wait>();
    main_queue::post([wait] {
        Ref<BitmapImage> image = installed ? grab_code_image() : Ref<BitmapImage>{};
        std::lock_guard lock(wait->mutex);
        wait->image = std::move(image);
        wait->done = true;
        wait->done_cv.notify_all();
    });
    std::unique_lock lock(wait->mutex);
    const auto end = std::chrono::steady_clock::now() + kCodeImageWait;
    // Looks up now and then whether the windows are going: then nobody will make the picture.
    while (!wait->done_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return wait->done; })) {
        if (!installed || std::chrono::steady_clock::now() >= end) {
            CPPBridge::error("gfx:get-code-image: the editor did not answer; the image is empty");
            return {};
        }
    }
    return std::move(wait->image);
}

void follow_screen(QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, watcher, [] { remember_screens(); });
}

}  // namespace

void install_canvas_windows() {
    if (installed) return;
    watcher = new QObject;
    remember_screens();
    for (QScreen* s : QGuiApplication::screens()) follow_screen(s);
    QObject::connect(qApp, &QGuiApplication::screenAdded, watcher, [](QScreen* s) {
        follow_screen(s);
        remember_screens();
    });
    QObject::connect(qApp, &QGuiApplication::screenRemoved, watcher, [] { remember_screens(); });
    QObject::connect(qApp, &QGuiApplication::primaryScreenChanged, watcher, [] { remember_screens(); });
    auto* pointer = new QTimer(watcher);
    QObject::connect(pointer, &QTimer::timeout, [] {
        const QPoint at = QCursor::pos();
        GraphicEngine::set_screen_pointer(at.x(), at.y());
    });
    pointer->start(kPointerPollMs);
    installed = true;
    GraphicView::set_window_factory([](GraphicView& view) { return std::make_unique<QtCanvasWindow>(view); });
    GraphicEngine::set_code_image_source(code_image);
}

void uninstall_canvas_windows() {
    if (!installed) return;
    installed = false;
    GraphicView::set_window_factory(nullptr);
    GraphicEngine::set_code_image_source(nullptr);
    // A widget may hold the last reference to its canvas, whose going touches no window: deleting is safe here.
    const std::set<CanvasWidget*> widgets = live_widgets;
    for (CanvasWidget* w : widgets) delete w;
    delete watcher;
    watcher = nullptr;
    std::lock_guard lock(screens_mutex);
    screens.clear();
    main_screen = -1;
}

std::optional<QRect> screen_geometry(int index) {
    const std::optional<ScreenInfo> on = screen_info(index);
    return on ? std::optional(on->geometry) : std::nullopt;
}

std::optional<QRect> main_screen_geometry() { return screen_geometry(-1); }

}  // namespace omb
