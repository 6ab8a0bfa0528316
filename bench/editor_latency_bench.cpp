// The editor as a performer feels it, measured in the real application objects (offscreen when there is no display):
//  - key press to evaluation start: Ctrl+Return pressed in an editor window (a real key event through Qt's
//    shortcut dispatch) until the primary process's executer begins evaluating the expression, through the REPL
//    connection and the eval server, as on stage;
//  - re-colouring after a keystroke: one character typed at the top of a 5000-line buffer until Scintilla has styled
//    the whole buffer again (the worst case: a change that may alter the colouring of everything below it).
// Run by hand: build-rel/bin/bench_editor_latency [presses]
#include <QApplication>
#include <QSocketNotifier>
#include <QTest>
#include <Qsci/qsciscintilla.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/preferences.h"
#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "editor/application.h"
#include "editor/editor_window.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"
#include "tests/support/free_port.h"

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<int64_t> g_started{0};  // steady-clock nanoseconds when (bench:mark) ran

void bench_scheme_init(omb::SchemeInterface* process) {
    process->addForeignFunc("bench:mark", [](omb::scheme* sc, omb::pointer) -> omb::pointer {
        g_started.store(Clock::now().time_since_epoch().count());
        return sc->T;
    });
}

void pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; !done() && Clock::now() < end;)
        QApplication::processEvents(QEventLoop::AllEvents, 1);
}

void report(const char* what, std::vector<double> ms, double goal) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    std::printf("%-40s n=%zu  median %.3f ms  p90 %.3f ms  p99 %.3f ms  max %.3f ms  (goal < %.0f ms)\n", what,
                ms.size(), at(0.5), at(0.9), at(0.99), ms.back(), goal);
}

}  // namespace

int main(int argc, char** argv) {
    const int presses = argc > 1 ? std::atoi(argv[1]) : 200;
    if (!std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const auto home = std::filesystem::temp_directory_path() / ("ombrel-editor-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home / "data" / "ombrel" / "library");
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);

    omb::main_queue::set_main_thread();
    omb::AUHost& host = omb::AUHost::singleton();
    if (!host.start(omb::make_audio_device("null"))) return 1;
    omb::add_native_library(omb::au_scheme_init);
    omb::add_native_library(bench_scheme_init);

    QApplication app(argc, argv);
    omb::Preferences prefs;
    omb::ApplicationStart start;
    start.prefs = &prefs;
    start.scheme_folder = OMBREL_SCHEME_DIR;
    omb::OmbrelResources resources(start);
    QSocketNotifier queue(omb::main_queue::wake_fd(), QSocketNotifier::Read);
    QObject::connect(&queue, &QSocketNotifier::activated, [] { omb::main_queue::run_pending(); });
    if (!resources.newProcess("primary process", omb::test::free_port())) return 1;
    omb::SchemeInterface* primary = omb::SchemeInterface::I(size_t{0});
    pump_until([&] { return primary && primary->isReady(); }, std::chrono::seconds(30));

    omb::EditorWindow* editor = resources.newEditor();
    editor->show();
    QsciScintilla* text = editor->text();
    text->setText("(bench:mark)");
    text->setCursorPosition(0, 5);
    QApplication::processEvents();

    std::vector<double> eval_ms;
    for (int i = 0; i < presses; ++i) {
        g_started = 0;
        const auto t0 = Clock::now();
        QTest::keyClick(text, Qt::Key_Return, Qt::ControlModifier);
        pump_until([] { return g_started.load() != 0; }, std::chrono::seconds(5));
        if (g_started.load() == 0) {
            std::puts("an evaluation never started");
            return 1;
        }
        eval_ms.push_back(double(g_started.load() - t0.time_since_epoch().count()) / 1e6);
        pump_until([] { return false; }, std::chrono::milliseconds(5));  // the reply, the flash
    }
    report("key press to evaluation start", eval_ms, 5);

    // 5000 lines of live-coding Scheme, then keystrokes at the top.
    std::string buffer;
    for (int i = 0; i < 1000; ++i)
        buffer += "(define (loop" + std::to_string(i) + " beat)\n  (play-note (now) synth (+ 60 (random 12)) 80 "
                  "(* 1/4 *second*))\n  ; the next bar \"soon\"\n  (callback (+ (now) 11025) 'loop" +
                  std::to_string(i) + " (+ beat 1/4)))\n\n";
    text->setText(QString::fromStdString(buffer));
    text->SendScintilla(QsciScintilla::SCI_COLOURISE, 0L, -1L);
    std::vector<double> colour_ms;
    for (int i = 0; i < 50; ++i) {
        text->setCursorPosition(0, 1);
        const auto t0 = Clock::now();
        QTest::keyClick(text, i % 2 ? Qt::Key_Backspace : Qt::Key_A);
        text->SendScintilla(QsciScintilla::SCI_COLOURISE, 0L, -1L);
        colour_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    report("keystroke to 5000 lines re-coloured", colour_ms, 10);

    omb::EditorWindow::closeAll();
    resources.stopProcesses();
    host.stop();
    std::filesystem::remove_all(home);
    return 0;
}
