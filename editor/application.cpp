#include "editor/application.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <Qsci/qscidocument.h>

#include <fstream>
#include <sstream>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "editor/editor_window.h"
#include "editor/au_window.h"
#include "editor/canvas_window.h"
#include "editor/log_window.h"
#include "editor/native_controller.h"
#include "editor/preferences_window.h"
#include "editor/video_settings_window.h"
#include "native/port_messages.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "platform/resources.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

OmbrelResources* g_resources = nullptr;
constexpr int kLastPort = 65535;
constexpr std::size_t kQueueTurn = 2000;  // main-thread tasks per turn of the event loop

// "Try Next Port" or "Quit": true to try the next port.
bool ask_bind_retry(int port) {
    QMessageBox box(QMessageBox::Warning, "Cannot Bind To Port",
                    QString::asprintf("This is because you are (a) running another instance of Ombrel. Close the "
                                      "other instance and restart. (b) another application is using port %d or (c) "
                                      "OSX has not released port %d after a previous instance of Ombrel crashed in "
                                      "which case you will need to wait and try again later.",
                                      port, port));
    box.setWindowTitle("Cannot Bind To Port");
    QPushButton* retry = box.addButton("Try Next Port", QMessageBox::AcceptRole);
    box.addButton("Quit", QMessageBox::RejectRole);
    box.setDefaultButton(retry);
    box.exec();
    return box.clickedButton() == retry;
}

std::string read_file(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ok = in.good() || in.eof();
    ok = ok && static_cast<bool>(in);
    return text.str();
}

}  // namespace

OmbrelResources::OmbrelResources(const ApplicationStart& start)
    : start_(start), documentation_(Documentation::load_default()) {
    g_resources = this;
    const auto startup = user_startup_file();
    std::error_code ec;
    windowless_ = !startup.empty() && std::filesystem::exists(startup, ec);
}

OmbrelResources::~OmbrelResources() {
    stopProcesses();
    // The buffers' documents are left to the end of the program: a Scintilla document freed after the views that
    // showed it are gone takes the program down with it.
    if (log_) CPPBridge::detach();
    g_resources = nullptr;
}

OmbrelResources* OmbrelResources::sharedInstance() { return g_resources; }

bool OmbrelResources::newProcess(const std::string& name, int port) {
    // Any unprivileged port: ports above 9999 are as usual on Linux as below.
    if (name.empty() || port < 1025 || port > kLastPort) {
        CPPBridge::error("A process needs a name and a port from 1025 to %d", kLastPort);
        return false;
    }
    for (; port <= kLastPort; ++port) {
        CPPBridge::log("Start New Scheme Process: %s  on port %d", name.c_str(), port);
        auto process = std::make_unique<SchemeInterface>(start_.scheme_folder, name, port);
        if (process->start()) {
            processes_.push_back(std::move(process));
            process_names_.push_back(name);
            connectToProcess(name, "localhost", port);
            CPPBridge::log("Created Process: %s", name.c_str());
            return true;
        }
        process.reset();
        if (!ask_bind_retry(port)) {
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(1); });
            return false;
        }
    }
    return false;
}

bool OmbrelResources::connectToProcess(const std::string& name, const std::string& host, int port) {
    if (port < 1025 || host.empty() || name.empty()) return false;
    CPPBridge::log("Connect REPL to port %d", port);
    auto repl = std::make_unique<ReplClient>();
    // Replies arrive on the client's reader thread: shown on the main thread, in the focused editor's message board
    // and in the log.
    repl->on_reply([](std::string reply) {
        main_queue::post([reply = std::move(reply)] {
            CPPBridge::log_text(reply);
            if (auto* editor = EditorWindow::focused()) editor->setMessageBoard(reply);
        });
    });
    const bool connected = repl->connect(host, port);
    {
        std::lock_guard lock(repls_mutex_);
        repls_.push_back(std::move(repl));
        repl_names_.push_back(name);
    }
    if (connected) CPPBridge::notification("Connected to process");
    else CPPBridge::error("Unable to connect to port!");
    return connected;
}

void OmbrelResources::writeString(const std::string& text, int repl) {
    std::lock_guard lock(repls_mutex_);
    if (repl < 0 || repl >= static_cast<int>(repls_.size())) return;
    repls_[static_cast<size_t>(repl)]->write_string(text);
}

void OmbrelResources::interrupt(int repl) {
    std::lock_guard lock(repls_mutex_);
    if (repl < 0 || repl >= static_cast<int>(repls_.size())) return;
    repls_[static_cast<size_t>(repl)]->interrupt();
}

int OmbrelResources::indexOfRepl(const std::string& name) const {
    std::lock_guard lock(repls_mutex_);
    for (size_t i = 0; i < repl_names_.size(); ++i)
        if (repl_names_[i] == name) return static_cast<int>(i);
    return kNotFound;
}

EditorWindow* OmbrelResources::newEditor() {
    if (buffers_.empty()) addBuffer("No Name", "No Name", "");
    auto* window = new EditorWindow(*this);
    window->show();
    return window;
}

int OmbrelResources::addBuffer(const std::string& name, const std::string& file_name, const std::string& text) {
    TextStoreContainer buffer;
    buffer.name = name;
    buffer.fileName = file_name;
    buffer.document = EditorWindow::makeDocument(text);
    buffers_.push_back(buffer);
    return static_cast<int>(buffers_.size()) - 1;
}

void OmbrelResources::removeBuffer(int index) {
    if (index < 0 || index >= static_cast<int>(buffers_.size()) || buffers_.size() == 1) return;
    EditorWindow::bufferRemoved(index);
    delete static_cast<QsciDocument*>(buffers_[static_cast<size_t>(index)].document);
    buffers_.erase(buffers_.begin() + index);
}

void OmbrelResources::openFile(const std::string& path) {
    const std::string absolute = std::filesystem::absolute(path).string();
    for (size_t i = 0; i < buffers_.size(); ++i)
        if (buffers_[i].fileName == absolute) {
            CPPBridge::log("File already open");
            if (auto* editor = EditorWindow::frontmost()) editor->changeTextStore(static_cast<int>(i));
            return;
        }
    bool ok = false;
    const std::string text = read_file(absolute, ok);
    if (!ok) {
        CPPBridge::error("Error loading file: %s cannot be read", absolute.c_str());
        return;
    }
    const int index = addBuffer(std::filesystem::path(absolute).filename().string(), absolute, text);
    EditorWindow* editor = EditorWindow::frontmost();
    if (!editor) editor = newEditor();
    editor->changeTextStore(index);
}

void OmbrelResources::openLog() {
    if (!log_) {
        log_ = std::make_unique<LogWindow>(preferences());
        CPPBridge::attach(log_.get());
    }
    log_->show();
}

void OmbrelResources::openPreferences() {
    // One preferences window at a time; it deletes itself when closed.
    static QPointer<PreferencesWindow> window;
    if (!window) {
        window = new PreferencesWindow(preferences(), [this] {
            applyPreferences();
            if (!start_.prefs_file.empty()) preferences().save(start_.prefs_file);
        });
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
}

void OmbrelResources::applyPreferences() {
    if (log_) log_->apply(preferences());
    EditorWindow::applyPreferencesToAll();
}

bool OmbrelResources::applicationShouldTerminate() {
    int unsaved = 0;
    for (const auto& b : buffers_) unsaved += b.modified ? 1 : 0;
    if (unsaved == 0) return true;
    const auto answer = QMessageBox::question(
        nullptr, "Unsaved buffers",
        QString::asprintf("%d buffer%s changes that are not saved. Quit anyway?", unsaved,
                          unsaved == 1 ? " has" : "s have"),
        QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Discard;
}

void OmbrelResources::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    // The frames of the first editor window and of the log window, found by their titles.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        const QString title = w->windowTitle();
        const QRect g = w->geometry();
        const Rect frame{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
        if (title.startsWith("Editor") && w->isVisible()) preferences().set_window_frame(0, frame);
    }
    if (log_) {
        const QRect g = log_->geometry();
        preferences().set_window_frame(1, Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())});
    }
    if (start_.prefs_file.empty()) return;
    if (preferences().file_unreadable()) {
        CPPBridge::error("Preferences not saved: %s could not be read; fix or remove it", start_.prefs_file.c_str());
        return;
    }
    std::string error;
    if (!preferences().save(start_.prefs_file, &error)) CPPBridge::error("Preferences not saved: %s", error.c_str());
}

void OmbrelResources::stopProcesses() {
    std::vector<std::unique_ptr<ReplClient>> closing;
    {
        std::lock_guard lock(repls_mutex_);
        closing.swap(repls_);
    }
    for (auto& repl : closing) repl->close();
    closing.clear();
    for (auto& process : processes_) process->stop();
    processes_.clear();
}

// ---- the main loop -------------------------------------------------------------------------------------------------

int run_application(int& argc, char** argv, const ApplicationStart& start) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Ombrel");
    QApplication::setQuitOnLastWindowClosed(false);
    // Work other threads post for the main thread runs as soon as it is posted, in bounded turns: a flood of log
    // lines from a runaway loop leaves the windows their own events in between.
    QSocketNotifier queue(main_queue::wake_fd(), QSocketNotifier::Read);
    QObject::connect(&queue, &QSocketNotifier::activated, [] { main_queue::run_pending(kQueueTurn); });

    OmbrelResources resources(start);
    // Before the first process: its executer may reach the application from its first evaluation.
    EditorNativeController controller(resources);
    set_native_controller(&controller);
    // Canvases have windows even when a startup file leaves the editor closed: an installation shows its canvases.
    install_canvas_windows();
    set_unit_view_opener([&resources](int node, bool generic) {
        return open_au_window(node, resources.preferences(), generic);
    });
    if (!resources.windowless()) {
        resources.openLog();
    }
    if (!resources.newProcess("primary process", start.port)) {
        uninstall_canvas_windows();
        controller.shut();
        resources.stopProcesses();
        set_native_controller(nullptr);
        return 1;
    }
    if (!resources.windowless()) {
        resources.newEditor();
        for (const auto& file : start.files) resources.openFile(file);
    }
    CPPBridge::log("Reaper Delay: %d\nReap Callbacks: %d", static_cast<int>(AUHost::REAPER_TIME.load()),
                   AUHost::REAP_CALLBACKS.load() ? 1 : 0);
    CPPBridge::notification("Ombrel is ready; the clock is at %llu",
                            static_cast<unsigned long long>(AUHost::TIME.load()));
    // A signal (Ctrl-C in the terminal that started us) ends the application as quitting does.
    QTimer signal_poll;
    QObject::connect(&signal_poll, &QTimer::timeout, [&] {
        if (start.quit && start.quit->load()) QCoreApplication::exit(0);  // not quit(): that would ask every window first
    });
    signal_poll.start(100);
    const int status = QApplication::exec();
    set_unit_view_opener(nullptr);
    close_au_windows();
    close_video_settings_window();
    uninstall_canvas_windows();
    resources.applicationWillTerminate();
    EditorWindow::closeAll();
    controller.shut();  // an executer waiting for the main thread stops waiting, so its process can stop
    port_messages::stop();  // nothing more is handed to the processes about to stop
    if (start.stop_or_exit) start.stop_or_exit([&] { resources.stopProcesses(); });
    else resources.stopProcesses();
    set_native_controller(nullptr);
    main_queue::run_pending();
    return status;
}

}  // namespace omb
