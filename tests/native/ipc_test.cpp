// Inter-process calls: the texts the built-ins send and to which REPL client (against a recording controller), and
// the real thing: a second process made and fed from the first inside one `ombrel --headless`, and port messages
// between two `ombrel` programs on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "editor/text/documentation.h"
#include "native/controller.h"
#include "native/native_scheme.h"
#include "platform/objects/foundation.h"
#include "tests/runtime/process_support.h"
#include "tests/support/log_capture.h"

namespace omb::test {
namespace {

// What the built-ins asked of the application.
class RecordingController : public NativeController {
public:
    void new_process(const std::string& name, int port) override { note("new " + name + " " + std::to_string(port)); }
    void connect_to_process(const std::string& name, const std::string& host, int port) override {
        note("connect " + name + " " + host + " " + std::to_string(port));
    }
    int index_of_repl(const std::string& name) override { return name == "other" ? 3 : kNotFound; }
    void write_to_repl(const std::string& text, int index) override { note(std::to_string(index) + " " + text); }
    void clear_log() override {}
    bool write_log(const std::string&) override { return false; }
    std::string message_bar_text() override { return ""; }
    std::optional<std::string> buffer_text(int) override { return std::nullopt; }
    bool set_buffer_text(int, const std::string&) override { return false; }
    void set_pasteboard(const std::string&) override {}
    const Documentation& documentation() override { return documentation_; }

    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

private:
    void note(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
    Documentation documentation_;
};

class NativeEnvironment : public ProcessEnvironment {
public:
    void SetUp() override {
        add_native_library(NativeScheme::schemeInit);
        ProcessEnvironment::SetUp();
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new NativeEnvironment);

class Ipc : public ::testing::Test {
protected:
    void SetUp() override {
        set_native_controller(&controller);
        ASSERT_TRUE(c.greet());
    }
    void TearDown() override { set_native_controller(nullptr); }
    LogCapture log;
    RecordingController controller;
    Conn c{ProcessEnvironment::port};
};

const std::string kNotFoundText = std::to_string(NativeController::kNotFound);
constexpr auto npos = std::string::npos;

TEST_F(Ipc, EachTextGoesToTheReplClientOfItsProcess) {
    for (const char* call : {"(sys:ipc-eval-string \"other\" \"(+ 1 2)\")", "(sys:ipc-load \"other\" \"/tmp/a b.scm\")",
                             "(sys:ipc-define \"other\" 'notes '(60 (62 \"x\") 64))",
                             "(sys:ipc-define \"other\" 'id (lambda (x) x))", "(sys:ipc-define 'other 'v (vector 1 2))",
                             "(sys:ipc-call \"other\" 'tick)",
                             "(sys:ipc-call \"other\" 'play 60 \"say \\\"hi\\\"\\n\" '(a () #\\b) (lambda () 1) #t)",
                             "(sys:ipc-define \"other\" 'r (list 0.1 2.0 1/3 (/ 1.0 3)))",
                             "(sys:ipc-eval-string \"nobody\" \"(say \\\"hi\\\")\")"})
        EXPECT_EQ(c.eval(call), "#t") << call;
    EXPECT_EQ(controller.take(), (std::vector<std::string>{
                                     "3 (eval-string \"(+ 1 2)\")",
                                     "3 (load \"/tmp/a b.scm\")",
                                     "3 (define notes '(60 (62 \"x\") 64))",
                                     "3 (define id (lambda (x) x))",
                                     "3 (define v '#(1 2))",
                                     "3 (tick)",
                                     "3 (play 60 \"say \\\"hi\\\"\\n\" '(a () #\\b) (lambda () 1) #t)",
                                     "3 (define r '(0.1 2.0 1/3 0.3333333333333333))",
                                     kNotFoundText + " (eval-string \"(say \"hi\")\")",
                                 }));
}

TEST_F(Ipc, ProcessesAndConnectionsArePassedOnAndMisuseIsRefused) {
    const size_t entries = SchemeInterface::count();
    EXPECT_EQ(c.eval("(sys:ipc-new-process \"second\" 7020)"), "#t");
    EXPECT_EQ(c.eval("(sys:ipc-connect-to-process \"far\" \"10.0.0.2\" 7010)"), "#t");
    EXPECT_EQ(controller.take(), (std::vector<std::string>{"new second 7020", "connect far 10.0.0.2 7010"}));
    EXPECT_EQ(SchemeInterface::count(), entries + 1) << "one more entry for the connection";
    EXPECT_EQ(SchemeInterface::I(entries), SchemeInterface::I(size_t{0}));

    for (const char* misuse :
         {"(sys:ipc-new-process \"second\")", "(sys:ipc-new-process 7 7020)",
          "(sys:ipc-connect-to-process \"far\" 1 2)",
          "(sys:ipc-eval-string \"other\")", "(sys:ipc-define \"other\" \"not-a-symbol\" 1)",
          "(sys:ipc-define \"other\" 'x)", "(sys:ipc-call \"other\")", "(sys:ipc-load \"other\" 'file)",
          "(io:send-port-message \"localhost\" \"f\")", "(io:send-port-message \"localhost\" \"f\" 42)"})
        EXPECT_EQ(c.eval(misuse), "#f") << misuse;
    EXPECT_TRUE(controller.take().empty());
    EXPECT_TRUE(log.saw(log.errors, "sys:ipc-define needs a process name, a symbol and a value"));

    set_native_controller(nullptr);
    EXPECT_EQ(c.eval("(sys:ipc-eval-string \"other\" \"1\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "no application to reach other processes through"));
    EXPECT_EQ(SchemeInterface::count(), entries + 1);
}

// ---- the program ---------------------------------------------------------------------------------------------------

// One `ombrel --headless` child on the null driver, with its eval and port-message ports; ended with the test.
class Ombrel {
public:
    Ombrel(const std::filesystem::path& out) : port(free_port()), messages(free_port()), out_(out) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const std::string p = std::to_string(port), m = std::to_string(messages);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes takes its programs with it
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl(OMBREL_BIN, OMBREL_BIN, "--headless", "--audio", "null", "--midi", "none", "--port", p.c_str(),
                    "--port-message-port", m.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fd);
    }
    ~Ombrel() {
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 500 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // A connection to an eval server of this program, greeted, once it listens (within 30 s).
    std::unique_ptr<Conn> connect(int to) const {
        for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
            auto conn = std::make_unique<Conn>(to);
            if (conn->ok() && conn->greet()) return conn;
            std::this_thread::sleep_for(20ms);
        }
        return nullptr;
    }
    std::string output() const {
        std::stringstream text;
        text << std::ifstream(out_).rdbuf();
        return text.str();
    }

    const int port, messages;

private:
    std::filesystem::path out_;
    pid_t pid_ = -1;
};

// What arrives later through another connection: asks until the reply is `want`; the last reply.
std::string until(Conn& conn, const std::string& expression, const std::string& want) {
    std::string reply;
    eventually([&] { return (reply = conn.eval(expression)) == want; }, 10s);
    return reply;
}

class IpcProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("ombrel-ipc-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(IpcProgram, ASecondProcessIsMadeAndFedFromTheFirst) {
    Ombrel program(dir_ / "out.txt");
    auto first = program.connect(program.port);
    ASSERT_TRUE(first) << program.output();
    const int second_port = free_port();
    EXPECT_EQ(first->eval("(sys:ipc-new-process \"second\" " + std::to_string(second_port) + ")"), "#t");
    auto second = program.connect(second_port);
    ASSERT_TRUE(second) << program.output();
    // The REPL client to the new process is made on the main thread, soon after its server listens: until then the
    // text has no client to go through.
    EXPECT_TRUE(eventually([&] {
        first->eval("(sys:ipc-eval-string \"second\" \"(define counter 0)\")");
        return second->eval("counter") == "0";
    })) << program.output();

    std::ofstream(dir_ / "piece.scm") << "(define (bump . by) (set! counter (+ counter (if (null? by) 1 (car by)))))";
    EXPECT_EQ(first->eval("(sys:ipc-load \"second\" \"" + (dir_ / "piece.scm").string() + "\")"), "#t");
    EXPECT_EQ(first->eval("(sys:ipc-define \"second\" 'notes (list 60 62 64))"), "#t");
    EXPECT_EQ(first->eval("(sys:ipc-define \"second\" 'twice (lambda (x) (* 2 x)))"), "#t");
    EXPECT_EQ(first->eval("(sys:ipc-call \"second\" 'bump)"), "#t");
    EXPECT_EQ(first->eval("(sys:ipc-call \"second\" 'bump 10)"), "#t");
    EXPECT_EQ(until(*second, "(list counter notes (twice 21))", "(11 (60 62 64) 42)"), "(11 (60 62 64) 42)");
    EXPECT_EQ(first->eval("(defined? 'notes)"), "#f") << "the first defines nothing of its own";

    // A connection made from Scheme reaches the same process under a second name.
    EXPECT_EQ(first->eval("(sys:ipc-connect-to-process \"again\" \"127.0.0.1\" " + std::to_string(second_port) + ")"),
              "#t");
    EXPECT_TRUE(eventually([&] {
        first->eval("(sys:ipc-call \"again\" 'bump 100)");
        return second->eval("(> counter 100)") == "#t";
    }));
}

TEST_F(IpcProgram, PortMessagesTravelBetweenTwoPrograms) {
    Ombrel sender(dir_ / "sender.txt"), receiver(dir_ / "receiver.txt");
    auto from = sender.connect(sender.port), to = receiver.connect(receiver.port);
    ASSERT_TRUE(from && to) << sender.output() << receiver.output();
    ASSERT_EQ(to->eval("(define got '()) (define (take x) (set! got (cons (sexpr->string x) got)))"), "take");
    const std::string host = "\"127.0.0.1:" + std::to_string(receiver.messages) + "\" ";
    const std::string every_kind =
        "(objc:list->nsarray (list \"t\xC3\xA9xt\" 42 2.5 (objc:string->nsdata \"ab\") (objc:list->nsarray "
        "(list \"inner\"))))";
    EXPECT_EQ(from->eval("(io:send-port-message " + host + "\"take\" " + every_kind + ")"), "#t") << sender.output();
    EXPECT_EQ(until(*to, "(length got)", "1"), "1") << receiver.output();

    // Bytes that are no port message cost their connection only.
    Conn garbage(receiver.messages);
    garbage.send(std::string(64, 'x'));
    EXPECT_EQ(from->eval("(io:send-port-message " + host + "\"primary process\" \"take\" (objc:string->nsstring "
                         "\"second\"))"),
              "#t");
    EXPECT_EQ(until(*to, "(car got)", "\"#<OBJC: second>\""), "\"#<OBJC: second>\"") << receiver.output();

    Ref<Object> expected = make_object<NSArray>(std::vector<Ref<Object>>{
        make_object<NSString>("t\xC3\xA9xt"), NSNumber::integer(42), NSNumber::real(2.5),
        make_object<NSData>(std::vector<uint8_t>{'a', 'b'}),
        make_object<NSArray>(std::vector<Ref<Object>>{make_object<NSString>("inner")})});
    EXPECT_EQ(to->eval("(cadr got)"), "\"#<OBJC: " + expected->description() + ">\"");
    EXPECT_TRUE(eventually([&] { return receiver.output().find("Port message dropped: bytes that are not") != npos; }))
        << receiver.output();
}

}  // namespace
}  // namespace omb::test
