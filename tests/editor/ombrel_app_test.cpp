// The real `ombrel` with windows, on an Xvfb display of the test's own, played with real key events (xdotool):
// evaluation from the editor, marks and buffers, the bind-port retry, the generic unit view, quitting.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include "tests/editor/program_under_xvfb.h"
#include "tests/support/free_port.h"

namespace {

using namespace omb::test;

class OmbrelApp : public ProgramUnderXvfb {};

TEST_F(OmbrelApp, PlayedFromTheEditorWithKeys) {
    const int port = omb::test::free_port();
    pid_t& program = start(port);
    const std::string editor = window("^Editor");
    ASSERT_FALSE(editor.empty()) << contents(dir_ / "ombrel.out");
    ASSERT_FALSE(window("^Log$").empty());
    ASSERT_EQ(eval(port, "(+ 1 2)"), "3");

    // Ctrl+Return: the top-level expression around the cursor; its reply reaches the log.
    type(editor, "(define typed (* 6 7))");
    keys(editor, "ctrl+Return");
    EXPECT_TRUE(eval_becomes(port, "typed", "42")) << contents(dir_ / "ombrel.out");
    EXPECT_TRUE(eventually([&] { return log_file().find("typed") != std::string::npos; }, 5s)) << log_file();

    // Alt+Return: only the innermost expression at the cursor.
    keys(editor, "Return");
    type(editor, "(set! typed (* 111 3))");
    keys(editor, "Left Left Left");
    keys(editor, "alt+Return");
    EXPECT_TRUE(eventually([&] { return log_file().find("333") != std::string::npos; }, 5s)) << log_file();
    EXPECT_EQ(eval(port, "typed"), "42") << "the inner expression alone was evaluated";
    keys(editor, "ctrl+Return");
    EXPECT_TRUE(eval_becomes(port, "typed", "333"));

    // Tab completes a name that only one word of the dictionary begins with.
    keys(editor, "End Return");
    type(editor, "(define completed (vector? (au:get-node-vec");
    keys(editor, "Tab");
    type(editor, " \"aumu\")))");
    keys(editor, "ctrl+Return");
    EXPECT_TRUE(eval_becomes(port, "completed", "#t"));

    // A runaway loop is stopped from the editor; the process and its definitions stay.
    keys(editor, "End Return");
    type(editor, "(let forever () (forever))");
    keys(editor, "ctrl+Return");
    std::this_thread::sleep_for(300ms);
    keys(editor, "ctrl+period");
    EXPECT_TRUE(eval_becomes(port, "typed", "333"));

    // A mark set here is evaluated from another buffer, and brings the cursor back to it.
    keys(editor, "End Return");
    type(editor, "(set! typed (quote marked))");
    keys(editor, "Left Left ctrl+alt+1");
    keys(editor, "ctrl+t");
    type(editor, "(set! typed (quote second-buffer))");
    keys(editor, "ctrl+Return");
    EXPECT_TRUE(eval_becomes(port, "typed", "second-buffer"));
    keys(editor, "ctrl+1");
    EXPECT_TRUE(eval_becomes(port, "typed", "marked"));
    keys(editor, "ctrl+Prior ctrl+Return");  // the previous buffer: the mark's
    EXPECT_TRUE(eval_becomes(port, "typed", "marked"));
    keys(editor, "ctrl+Next");
    eval(port, "(set! typed 0)");
    keys(editor, "alt+1 ctrl+Return");  // back to the mark, and what is there
    EXPECT_TRUE(eval_becomes(port, "typed", "marked"));

    // Caps lock on: keys go to the primary process as events, not into the text.
    ASSERT_EQ(eval(port, "(begin (define caps-keys (list)) (define (io:caps-key-down k) (set! caps-keys (cons k "
                         "caps-keys))) #t)"),
              "#t");
    // Without --clearmodifiers, which would lift caps lock for the key.
    xdotool("windowfocus --sync " + editor);
    xdotool("key --delay 30 Caps_Lock a Caps_Lock");
    EXPECT_TRUE(eval_becomes(port, "(map char->integer caps-keys)", "(97)")) << "one key down: a";

    // The generic view of a unit moves its parameter when its control moves.
    ASSERT_EQ(eval(port, "(begin (define rev (au:make-node \"aufx\" \"mrev\" \"ombr\")) (> rev 1))"), "#t");
    const std::string id = eval(port, "(vector-ref (au:get-param-ids rev 0) 0)");
    const std::string before = eval(port, "(au:get-param rev " + id + " 0 0)");
    EXPECT_EQ(eval(port, "(au:open-view rev)"), "#t");
    const std::string view = window("^AU Generic View");
    ASSERT_FALSE(view.empty());
    keys(view, "Tab Prior Prior");
    EXPECT_TRUE(eventually([&] { return eval(port, "(au:get-param rev " + id + " 0 0)") != before; }, 5s))
        << "still " << before;

    // Quitting by signal saves the window frames.
    EXPECT_EQ(end_child(program, SIGTERM), 0) << contents(dir_ / "ombrel.out");
    EXPECT_NE(contents(dir_ / "config" / "ombrel" / "ombrel.plist").find("window_size_key"), std::string::npos);
}

// The native library reaches the application: a second process made from Scheme, text sent to it, the editor's
// buffers and the log window.
TEST_F(OmbrelApp, SchemeDrivesProcessesBuffersAndTheLog) {
    const int port = omb::test::free_port(), second = omb::test::free_port();
    pid_t& program = start(port);
    ASSERT_FALSE(window("^Editor").empty()) << contents(dir_ / "ombrel.out");
    ASSERT_EQ(eval(port, "(sys:ipc-new-process \"second\" " + std::to_string(second) + ")"), "#t");
    ASSERT_TRUE(eval_becomes(second, "(+ 2 2)", "4")) << contents(dir_ / "ombrel.out");
    EXPECT_EQ(eval(port, "(sys:ipc-define \"second\" (quote shared) (list 1 2))"), "#t");
    EXPECT_TRUE(eval_becomes(second, "shared", "(1 2)"));

    EXPECT_EQ(eval(port, "(sys:set-text-buffer 0 \"(define from-buffer 5)\")"), "#t");
    EXPECT_EQ(eval(port, "(objc:nsstring->string (sys:get-text-buffer 0))"), "\"(define from-buffer 5)\"");
    EXPECT_EQ(eval(port, "(sys:get-text-buffer 99)"), "#f");

    EXPECT_EQ(eval(port, "(print \"written to the log\")"), "#t");
    const std::string saved = (dir_ / "saved.log").string();
    EXPECT_TRUE(eventually([&] {
        eval(port, "(sys:write-log-view \"" + saved + "\")");
        return contents(saved).find("written to the log") != std::string::npos;
    }, 5s));
    EXPECT_EQ(eval(port, "(sys:clear-log-view)"), "#t");
    EXPECT_EQ(end_child(program, SIGTERM), 0) << contents(dir_ / "ombrel.out");
}

// With the performer's own startup.scm the piece starts by itself and no window opens: an installation.
TEST_F(OmbrelApp, AStartupFileStartsWithoutWindows) {
    fs::create_directories(dir_ / "config" / "ombrel");
    std::ofstream(dir_ / "config" / "ombrel" / "startup.scm") << "(define started-by-startup 'yes)\n";
    const int port = omb::test::free_port();
    pid_t& program = start(port);
    EXPECT_TRUE(eval_becomes(port, "started-by-startup", "yes")) << contents(dir_ / "ombrel.out");
    EXPECT_TRUE(window("^Editor", 1s).empty());
    EXPECT_TRUE(window("^Log$", 1s).empty());
    EXPECT_EQ(end_child(program, SIGTERM), 0);
}

TEST_F(OmbrelApp, ATakenPortIsRetriedOnTheNextWhenThePerformerSaysSo) {
    // Something else listens on the port; the next one is free.
    int port = 0;
    int blocker = -1;
    for (int attempt = 0; attempt < 20 && blocker < 0; ++attempt) {
        port = omb::test::free_port();
        blocker = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(blocker, 1) != 0 ||
            omb::test::free_port() == port + 1) {
            close(blocker);
            blocker = -1;
        }
    }
    ASSERT_GE(blocker, 0);
    // Files named at start open in buffers; one that cannot be read is reported and opens nothing.
    std::ofstream(dir_ / "song.scm") << "(define from-the-file 1)\n";
    pid_t& program = start(port, {(dir_ / "song.scm").string(), (dir_ / "missing.scm").string()});
    const std::string alert = window("^Cannot Bind To Port");
    ASSERT_FALSE(alert.empty()) << contents(dir_ / "ombrel.out");
    keys(alert, "Return");  // "Try Next Port" is the default
    EXPECT_TRUE(eval_becomes(port + 1, "(+ 1 2)", "3")) << contents(dir_ / "ombrel.out");
    const std::string editor = window("^Editor: song.scm");
    ASSERT_FALSE(editor.empty());
    EXPECT_TRUE(eventually([&] { return log_file().find("missing.scm cannot be read") != std::string::npos; }, 5s))
        << log_file();
    keys(editor, "ctrl+Return");
    EXPECT_TRUE(eval_becomes(port + 1, "from-the-file", "1"));
    EXPECT_EQ(end_child(program, SIGTERM), 0);
    close(blocker);
}

}  // namespace
