#include "editor/native_controller.h"

#include <QApplication>
#include <QClipboard>
#include <QMainWindow>
#include <QMenuBar>
#include <Qsci/qscidocument.h>
#include <Qsci/qsciscintilla.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "editor/application.h"
#include "editor/canvas_window.h"
#include "editor/editor_window.h"
#include "editor/log_window.h"
#include "editor/video_settings_window.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// A view of a buffer's document that no window shows, to read or replace its text.
class BufferView {
public:
    explicit BufferView(void* document) {
        view_.setUtf8(true);
        view_.setDocument(*static_cast<QsciDocument*>(document));
    }
    ~BufferView() { view_.setDocument(QsciDocument()); }  // the document belongs to the buffer
    QsciScintilla& operator*() { return view_; }
    QsciScintilla* operator->() { return &view_; }

private:
    QsciScintilla view_;
};

void show_menu_bars(bool shown) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QMainWindow*>(w)) window->menuBar()->setVisible(shown);
}

}  // namespace

void EditorNativeController::post(std::function<void()> work) {
    if (shut_) return;
    main_queue::post([this, work = std::move(work)] {
        if (!shut_) work();
    });
}

// The work runs only while the application is not shutting down, and shut() runs on the main thread too: a caller
// that gave up waiting can never have the work write into what it has left.
bool EditorNativeController::on_main(const std::function<void()>& work) {
    if (shut_) return false;
    if (main_queue::is_main_thread()) {
        work();
        return true;
    }
    struct Wait {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
    };
    auto wait = std::make_shared<Wait>();
    main_queue::post([this, wait, work] {
        if (!shut_) work();
        std::lock_guard lock(wait->mutex);
        wait->done = true;
        wait->ran.notify_all();
    });
    std::unique_lock lock(wait->mutex);
    while (!wait->ran.wait_for(lock, std::chrono::milliseconds(20), [&] { return wait->done; }))
        if (shut_) return false;
    return true;
}

// ---- processes -------------------------------------------------------------------------------------------------

void EditorNativeController::new_process(const std::string& name, int port) {
    post([this, name, port] {
        if (SchemeInterface::I(name)) CPPBridge::error("There is a process called %s already", name.c_str());
        else resources_.newProcess(name, port);
    });
}

void EditorNativeController::connect_to_process(const std::string& name, const std::string& host, int port) {
    post([this, name, host, port] { resources_.connectToProcess(name, host, port); });
}

int EditorNativeController::index_of_repl(const std::string& name) { return resources_.indexOfRepl(name); }

void EditorNativeController::write_to_repl(const std::string& text, int index) {
    resources_.writeString(text, index);
}

// ---- log, editor, clipboard, help --------------------------------------------------------------------------------

void EditorNativeController::clear_log() {
    post([this] {
        if (LogWindow* log = resources_.logView()) log->clear();
    });
}

bool EditorNativeController::write_log(const std::string& path) {
    bool written = false;
    on_main([&] {
        if (LogWindow* log = resources_.logView()) written = log->write_to_file(path);
    });
    return written;
}

std::string EditorNativeController::message_bar_text() {
    std::string text;
    on_main([&] {
        if (EditorWindow* editor = EditorWindow::focused()) text = editor->messageBoard();
    });
    return text;
}

std::optional<std::string> EditorNativeController::buffer_text(int index) {
    std::optional<std::string> text;
    on_main([&] {
        auto& buffers = resources_.buffers();
        if (index < 0 || index >= static_cast<int>(buffers.size())) return;
        BufferView view(buffers[static_cast<size_t>(index)].document);
        const QByteArray bytes = view->text().toUtf8();
        text = std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
    });
    return text;
}

bool EditorNativeController::set_buffer_text(int index, const std::string& text) {
    bool set = false;
    on_main([&] {
        auto& buffers = resources_.buffers();
        if (index < 0 || index >= static_cast<int>(buffers.size())) return;
        TextStoreContainer& buffer = buffers[static_cast<size_t>(index)];
        BufferView view(buffer.document);
        view->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
        buffer.modified = true;
        set = true;
    });
    return set;
}

void EditorNativeController::set_pasteboard(const std::string& text) {
    post([text] {
        if (QClipboard* clipboard = QApplication::clipboard())
            clipboard->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    });
}

const Documentation& EditorNativeController::documentation() { return resources_.documentation(); }

// ---- screens and menus -----------------------------------------------------------------------------------------

std::optional<std::pair<double, double>> EditorNativeController::screen_size() {
    if (const std::optional<QRect> main = main_screen_geometry())
        return std::pair{double(main->width()), double(main->height())};
    return std::nullopt;
}

void EditorNativeController::hide_menu() {
    post([] { show_menu_bars(false); });
}

void EditorNativeController::show_menu() {
    post([] { show_menu_bars(true); });
}

bool EditorNativeController::open_video_preferences(LiveVideo& feed) {
    if (shut_) return false;
    open_video_settings_window(feed);
    return true;
}

}  // namespace omb
