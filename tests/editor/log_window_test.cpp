#include "editor/log_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextBlock>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "platform/main_queue.h"

namespace fs = std::filesystem;
using namespace omb;

namespace {

// One QApplication for the binary; the Qt event loop drains the main-thread queue, as in the program.
struct QtEnvironment : ::testing::Environment {
    void SetUp() override {
        if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "log_window_test";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
        main_queue::set_main_thread();
        auto* pump = new QSocketNotifier(main_queue::wake_fd(), QSocketNotifier::Read);
        QObject::connect(pump, &QSocketNotifier::activated, [] { main_queue::run_pending(); });
    }
};
const auto* const qt_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

QColor qcolour(Colour c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }

QTextCharFormat format_at(const LogWindow& w, const char* text) {
    QTextCursor c = w.view()->document()->find(QString::fromUtf8(text));
    EXPECT_FALSE(c.isNull()) << text;
    c.setPosition(c.selectionStart() + 1);
    return c.charFormat();
}

Preferences with(const char* key, plist::Value v) {
    Preferences p;
    p.preferences().as_dict()->set(key, std::move(v));
    return p;
}

// Each test writes its log file in a state folder of its own.
class LogWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        setenv("XDG_STATE_HOME", dir_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }
    const fs::path dir_ = fs::temp_directory_path() / ("log_window_test." + std::to_string(::getpid()));
};

TEST_F(LogWindowTest, StylesFileMirrorAndRestyling) {
    Preferences prefs;
    LogWindow w(prefs);
    EXPECT_EQ(w.windowTitle(), "Log");
    w.output("plain ");
    w.output("text\n");
    w.error(":ERROR: broken\n");
    w.notification("notice\n");
    w.styled({"shaded\n", 0x102030, 0xa0b0c0, true});
    w.output("héllo\n");
    w.flush();

    const char* all = "plain text\n:ERROR: broken\nnotice\nshaded\nhéllo\n";
    EXPECT_EQ(w.view()->toPlainText(), all);
    EXPECT_EQ(slurp(dir_ / "ombrel" / "ombrel.log"), all);
    EXPECT_EQ(format_at(w, "plain").foreground().color(), qcolour(prefs.colour("editor_fg")));
    EXPECT_EQ(format_at(w, "plain").background().style(), Qt::NoBrush);
    EXPECT_EQ(format_at(w, "broken").foreground().color(), qcolour(prefs.colour("error_fg")));
    EXPECT_EQ(format_at(w, "broken").background().color(), qcolour(prefs.colour("error_bg")));
    EXPECT_EQ(format_at(w, "notice").foreground().color(), qcolour(prefs.colour("note_fg")));
    EXPECT_EQ(format_at(w, "notice").background().color(), qcolour(prefs.colour("note_bg")));
    EXPECT_EQ(format_at(w, "shaded").background().color(), QColor(0xa0, 0xb0, 0xc0));
    EXPECT_EQ(format_at(w, "shaded").fontWeight(), QFont::Bold);
    EXPECT_EQ(w.view()->palette().color(QPalette::Base), qcolour(prefs.colour("editor_bg")));
    EXPECT_EQ(w.view()->palette().color(QPalette::Highlight), qcolour(prefs.colour("editor_selection")));

    // New colours reach the text already shown; text styled by its sender keeps its colours.
    w.apply(with("error_bg", colour_value({0, 1, 0, 1})));
    EXPECT_EQ(format_at(w, "broken").background().color(), QColor(0, 255, 0));
    EXPECT_EQ(format_at(w, "shaded").foreground().color(), QColor(0x10, 0x20, 0x30));

    LogWindow again(prefs);  // a new window starts a new file
    EXPECT_EQ(slurp(log_file_path()), "");
}

TEST_F(LogWindowTest, LineCapAndScrollingRule) {
    LogWindow w(with("log_max_lines", 100));
    w.resize(400, 300);
    w.show();
    auto lines = [&](int from, int to) {
        for (int i = from; i < to; ++i) w.output("line " + std::to_string(i) + "\n");
        w.flush();
    };
    auto top_line = [&] { return w.view()->cursorForPosition(QPoint(4, 4)).block().text(); };
    QTextDocument* doc = w.view()->document();
    QScrollBar* bar = w.view()->verticalScrollBar();
    lines(0, 300);
    EXPECT_EQ(doc->blockCount(), 101);  // 100 lines, then the empty block after the last line end
    EXPECT_EQ(doc->firstBlock().text(), "line 200");
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    // Scrolled back: the same text stays in view while old lines are trimmed above it.
    bar->setValue(40);
    const QString shown = top_line();
    lines(300, 330);
    EXPECT_EQ(doc->blockCount(), 101);
    EXPECT_EQ(top_line(), shown);

    // Back at the end: the view follows again.
    bar->setValue(bar->maximum());
    lines(330, 360);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(doc->firstBlock().text(), "line 260");

    // A batch far over the cap shows its newest lines, not glued to an older partial line; the file gets all.
    w.output("partial");
    w.flush();
    for (int i = 0; i < 5000; ++i) w.error("e" + std::to_string(i) + "\n");
    w.flush();
    EXPECT_EQ(doc->firstBlock().text(), "e4900");
    const std::string file = slurp(log_file_path());
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5360);
}

TEST_F(LogWindowTest, ClearAndWriteToFile) {
    LogWindow w{Preferences()};
    w.output("before\n");
    w.flush();
    w.output("pending\n");
    w.clear();
    w.error(":ERROR: after\n");
    w.output("ünïcode ✓\n");
    w.flush();
    EXPECT_EQ(w.view()->toPlainText(), ":ERROR: after\nünïcode ✓\n");
    EXPECT_EQ(slurp(log_file_path()), "before\npending\n:ERROR: after\nünïcode ✓\n");

    const fs::path out = dir_ / "saved.txt";
    std::ofstream(out) << "older and longer contents than the log has";
    std::string error;
    ASSERT_TRUE(w.write_to_file(out, &error)) << error;
    EXPECT_EQ(slurp(out), ":ERROR: after\nünïcode ✓\n");
    EXPECT_FALSE(w.write_to_file(dir_ / "missing" / "saved.txt", &error));
    EXPECT_FALSE(error.empty());
    for (const auto& e : fs::directory_iterator(dir_))  // no temporary file left behind
        EXPECT_TRUE(e.path().filename() == "saved.txt" || e.path().filename() == "ombrel") << e.path();
}

TEST_F(LogWindowTest, UnusableLogFileIsReportedOnceAndTheViewWorks) {
    std::ofstream(dir_ / "blocked") << "a file where the state folder should be";
    setenv("XDG_STATE_HOME", (dir_ / "blocked").c_str(), 1);
    {
        LogWindow w{Preferences()};
        w.output("still shown\n");
        w.flush();
        const QString text = w.view()->toPlainText();
        EXPECT_TRUE(text.startsWith(":ERROR: Cannot open the log file ")) << text.toStdString();
        EXPECT_TRUE(text.endsWith("\nstill shown\n"));
    }
    // A file that takes no more bytes, as on a full disk.
    setenv("XDG_STATE_HOME", dir_.c_str(), 1);
    fs::create_directories(dir_ / "ombrel");
    fs::create_symlink("/dev/full", dir_ / "ombrel" / "ombrel.log");
    LogWindow w{Preferences()};
    w.output("one\n");
    w.flush();
    w.output("two\n");
    w.flush();
    const QString text = w.view()->toPlainText();
    EXPECT_EQ(text.count("Cannot write the log file"), 1) << text.toStdString();
    EXPECT_TRUE(text.startsWith("one\n:ERROR: Cannot write the log file "));
    EXPECT_TRUE(text.endsWith("\ntwo\n"));
}

TEST_F(LogWindowTest, FloodFromAnotherThreadKeepsTheInterfaceResponsive) {
    constexpr int N = 100000;
    LogWindow w{Preferences()};
    w.show();
    CPPBridge::attach(&w);
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worst = std::max(worst, clock.elapsed() - last);
        last = clock.elapsed();
    });
    tick.start(5);
    clock.start();
    std::thread producer([&] {
        for (int i = 0; i < N; ++i) CPPBridge::log("flood %d", i);
        main_queue::post([&] { loop.quit(); });  // runs after every message this thread posted
    });
    loop.exec();
    producer.join();
    worst = std::max(worst, clock.elapsed() - last);
    CPPBridge::detach();
    w.flush();

    EXPECT_LT(worst, 200) << "the main thread stalled for " << worst << " ms";
    EXPECT_EQ(w.view()->document()->lastBlock().previous().text(), "flood 99999");
    EXPECT_LE(w.view()->document()->blockCount(), w.max_lines() + 1);
    std::istringstream file(slurp(log_file_path()));
    std::string line;
    int i = 0;
    while (std::getline(file, line) && line == "flood " + std::to_string(i)) ++i;
    EXPECT_EQ(i, N) << "the file breaks off at line " << i << ": " << line;
}

}  // namespace
