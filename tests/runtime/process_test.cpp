// A Scheme process run for real: its eval server over loopback sockets, its executer, its built-ins and Scheme
// callbacks through the scheduler on the null device's running clock.
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <sstream>

#include "interpreter/process_switches.h"
#include "process_support.h"
#include "runtime/wire_protocol.h"

namespace omb::test {
namespace {

const std::string CAR_ERROR = "Error: car: argument 1 must be: pair \n";

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok()) << std::strerror(c.error());
        ASSERT_TRUE(c.greet());
    }
    void TearDown() override {
        // Nothing a test scheduled may run into the next one.
        clear_scheduler();
    }
    static SchemeInterface& process() { return *ProcessEnvironment::process; }
    // Evaluates until `text` replies `expected` (bounded): for effects that happen later on the executer.
    bool eval_becomes(const std::string& text, const std::string& expected, std::chrono::milliseconds limit = 10s) {
        return eventually([&] { return c.eval(text) == expected; }, limit);
    }
    // Evaluates each text in turn, expecting its reply.
    void expect_replies(std::initializer_list<std::pair<std::string, std::string>> rows) {
        for (const auto& [text, reply] : rows) EXPECT_EQ(c.eval(text), reply) << text;
    }

    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

// ---- the wire protocol ----------------------------------------------------------------------------------------

TEST_F(Process, GreetingIsTheBannerThenThePromptAtTheClockTime) {
    // An hour boundary ahead of the clock, plus 2 minutes 3 seconds; the null device moves it less than a second.
    const uint64_t hour = SampleClock::HOUR, hours = SampleClock::TIME / hour + 1;
    SampleClock::TIME = hours * hour + 2 * SampleClock::MINUTE + 3 * SampleClock::SECOND + 100;
    Conn fresh(ProcessEnvironment::port);
    auto greeting = fresh.greet();
    ASSERT_TRUE(greeting);
    std::ostringstream banner;
    SchemeInterface::banner(banner);
    char prompt[64];
    std::snprintf(prompt, sizeof prompt, "[ombrel %.2d:02:03]: ", static_cast<int>(hours));
    EXPECT_EQ(*greeting, banner.str() + prompt);

    // The banner is 42 columns: rules of '#', framed lines between "##" and "##".
    std::istringstream lines(banner.str());
    int framed = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 42u) << line;
        framed += line.size() == 42 && line.starts_with("##") && line.ends_with("##");
    }
    EXPECT_GE(framed, 8);
}

// Each terminator ends a request and each request gets its own reply, in order, however the bytes arrive.
TEST_F(Process, EachTerminatorEndsARequestAndEveryRequestIsAnswered) {
    ASSERT_EQ(c.eval("(define pieces 0)"), "pieces");
    for (char ch : std::string("(begin (set! pieces (+ pieces 1)) pieces)\x07")) {
        c.send(std::string(1, ch));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(c.next(), "1") << "evaluated once, when the last byte was the terminator";
    EXPECT_FALSE(c.next(200ms)) << "one request, one reply";

    std::string exact = "(+ 1 2)";
    exact += std::string(1023 - exact.size(), ' ') + '\x07';
    EXPECT_EQ(c.eval(exact.substr(0, 1023)), "3") << "1024 bytes with the terminator fill exactly one read";
    EXPECT_EQ(c.eval(" " + exact.substr(0, 1023)), "3") << "1025 bytes take two reads";

    // Requests in one write, and a request whose printed value is empty: every one answered, in order.
    c.send("(define two 5)\x07(+ two 1)\x07(string->symbol \"\")\x07(+ 3 4)\x07");
    for (const char* want : {"two", "6", "", "7"}) EXPECT_EQ(c.next(), want);
    EXPECT_FALSE(c.next(200ms));

    // After a byte 0 the bytes up to the terminator are dropped; the terminator still ends the request.
    c.send(std::string("(+ 1 2)\0(+ 40 2)\x07", 17));
    EXPECT_EQ(c.next(), "3");

    // Nothing to evaluate is answered "!", never with a value left from before.
    for (const char* nothing : {"", "   \n\t", "; only a comment\n  ; and another"})
        EXPECT_EQ(c.eval(nothing), "!") << "request: '" << nothing << "'";

    // A request that ends inside a datum: the data before it are evaluated, then the error.
    EXPECT_EQ(c.eval("(define whole 1) (define (f x) (+ x 1)"),
              "Error: syntax error: end of input inside a list \n");
    EXPECT_EQ(c.eval("(list whole (procedure? f))"), "Error: eval: unbound variable: f \n");
    EXPECT_EQ(c.eval("whole"), "1");

    // The client's goodbye is answered with itself, never evaluated as Scheme.
    EXPECT_EQ(c.eval("shutdownreplthread"), "shutdownreplthread");
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
    EXPECT_FALSE(log.saw(log.errors, "shutdownreplthread", 0ms)) << "it was evaluated as Scheme";
}

// The limit is about bytes: a long request in tiny pieces is fine; one over the limit is answered "!" at once and
// the rest of it, through its terminator, is never evaluated.
TEST_F(Process, ARequestOverTheLimitIsGivenUpAndItsRestDiscarded) {
    std::string sum = "(+";
    while (sum.size() < 2000) sum += " 1";
    sum += ")\x07";
    for (size_t i = 0; i < sum.size(); i += 2) c.send(sum.substr(i, 2));
    EXPECT_EQ(c.next(), "999");

    c.send(std::string(wire::MAX_REQUEST_BYTES, ' '));
    EXPECT_FALSE(c.next(300ms)) << "at the limit, still a request";
    c.send("(define leaked 1)");
    EXPECT_EQ(c.next(), "!");
    EXPECT_TRUE(log.saw(log.errors, "Error reading eval string from server socket. No terminator received before "
                                    "1M limit."));
    c.send(std::string(5000, ' ') + "(define leaked 2)\x07");
    EXPECT_FALSE(c.next(300ms)) << "the rest of a request given up was answered";
    EXPECT_EQ(c.eval("(+ 1 2)"), "3") << "the connection serves on";
    EXPECT_EQ(c.eval("leaked"), "Error: eval: unbound variable: leaked \n") << "the rest was evaluated";
}

// While one evaluation runs, the server greets new clients and takes their requests in turn, and a byte 3 from any
// client stops it: a runaway loop whose client went away can be stopped from a new connection.
TEST_F(Process, AnotherClientIsGreetedAndCanInterruptWhileAnEvaluationRuns) {
    auto gone = std::make_unique<Conn>(ProcessEnvironment::port);
    ASSERT_TRUE(gone->greet());
    gone->send("(let loop () (loop))\x07");
    std::this_thread::sleep_for(100ms);
    gone.reset();
    Conn rescuer(ProcessEnvironment::port);
    ASSERT_TRUE(rescuer.greet(2s)) << "no greeting while an evaluation runs";
    rescuer.send("(quote after)\x07");
    EXPECT_FALSE(rescuer.next(200ms)) << "answered before the running evaluation ended";
    rescuer.send("\x03");
    auto reply = rescuer.next(5s);
    if (!reply) scheme_interrupt(process().getScheme());
    EXPECT_EQ(reply, "after");
    EXPECT_TRUE(log.saw(log.errors, "interrupted"));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

// A reply that comes after the wait ran out is dropped: the client's next request gets its own reply, not the
// late one, and so does a client that takes over the descriptor.
TEST_F(Process, ALateReplyNeverLandsOnAnotherRequest) {
    SchemeInterface::REPLY_LIMIT_MS = 300;
    {
        HeldExecuter hold;
        ASSERT_TRUE(hold.held);
        EXPECT_EQ(c.eval("(quote late)"), "") << "the wait ran out";
        EXPECT_TRUE(log.saw(log.errors, "Server Thread did not allow time to retreive result."));
    }
    SchemeInterface::REPLY_LIMIT_MS = 250000;
    EXPECT_EQ(c.eval("(+ 10 10)"), "20");
    EXPECT_FALSE(c.next(200ms));
}

TEST_F(Process, ClientsAreServedTogetherAndDroppedWhenTheyLeave) {
    Conn outsider(ProcessEnvironment::port, "127.0.0.2");
    EXPECT_FALSE(outsider.ok()) << "the server listens on the loopback address only";
    EXPECT_EQ(outsider.error(), ECONNREFUSED);

    // While one request waits for the executer, a second client's request waits its turn; both get their own.
    Conn a(ProcessEnvironment::port), b(ProcessEnvironment::port);
    ASSERT_TRUE(a.greet() && b.greet());
    {
        HeldExecuter hold;
        ASSERT_TRUE(hold.held);
        a.send("(quote from-a)\x07");
        b.send("(quote from-b)\x07");
        EXPECT_FALSE(a.next(100ms));
    }
    EXPECT_EQ(a.next(), "from-a");
    EXPECT_EQ(b.next(), "from-b");

    // A client that leaves with its request pending: its reply must not reach whoever gets its descriptor next.
    {
        HeldExecuter hold;
        ASSERT_TRUE(hold.held);
        a.send("(quote for-the-departed)\x07");
        ASSERT_TRUE(eventually([] { return process().queueSize() == 1; }));
        a.close();
        std::this_thread::sleep_for(100ms);
        Conn late(ProcessEnvironment::port);
        late.send("(quote for-the-late)\x07");
        Gate::instance().open();
        ASSERT_TRUE(late.greet());
        EXPECT_EQ(late.next(), "for-the-late");
    }

    // A client that shuts only its sending side while its request is evaluated (a region piped through a socket
    // tool) still gets the reply, then the end of the stream.
    {
        Conn piped(ProcessEnvironment::port);
        ASSERT_TRUE(piped.greet());
        HeldExecuter hold;
        ASSERT_TRUE(hold.held);
        piped.send("(quote for-the-pipe)\x07");
        ASSERT_TRUE(eventually([] { return process().queueSize() == 1; }));
        ::shutdown(piped.fd(), SHUT_WR);
        std::this_thread::sleep_for(100ms);
        Gate::instance().open();
        EXPECT_EQ(piped.next(), "for-the-pipe");
        EXPECT_FALSE(piped.next(1s)) << "closed after its reply";
    }

    // A connection reset (a failed read) drops the client just as a close does.
    Conn rude(ProcessEnvironment::port);
    ASSERT_TRUE(rude.greet());
    rude.send("(+ 1");
    linger abort{1, 0};
    ::setsockopt(rude.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    rude.close();
    EXPECT_EQ(b.eval("(+ 1 2)"), "3");

    // Descriptors of closed clients are freed.
    const size_t before = open_fd_count();
    for (int i = 0; i < 40; ++i) {
        Conn brief(ProcessEnvironment::port);
        ASSERT_TRUE(brief.greet());
        if (i % 2) brief.send("(+ 1");
    }
    EXPECT_TRUE(eventually([&] { return open_fd_count() <= before; }))
        << open_fd_count() - before << " descriptors of closed clients are still open";
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

// Every thread of this test program on one processor, so that threads compete as on a loaded machine; false
// where the system does not allow it.
bool pin_to_one_cpu(bool pin) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pin) CPU_SET(0, &set);
    else
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    bool ok = true;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ok &= ::sched_setaffinity(std::atoi(task.path().filename().c_str()), sizeof set, &set) == 0 || !pin;
    return ok;
}

// A byte 3 interrupts a runaway evaluation. While it runs away it shares the processor: the clock runs on time and
// the server still reads the interrupt, even with every thread of the program on one processor.
TEST_F(Process, ARunawayLoopIsInterruptedAndStarvesNeitherTheClockNorTheServer) {
    const bool pinned = pin_to_one_cpu(true);
    c.send("(define (spin) (spin)) (spin)\x07");
    EXPECT_FALSE(c.next(100ms)) << "the loop does not end by itself";
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t clock0 = SampleClock::TIME;
    std::this_thread::sleep_for(500ms);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double advanced = static_cast<double>(SampleClock::TIME - clock0) / SampleClock::SAMPLERATE;
    c.send("\x03");
    auto reply = c.next(5s);
    if (!reply) scheme_interrupt(process().getScheme());  // unstick the executer, or the process never stops
    pin_to_one_cpu(false);
    EXPECT_TRUE(pinned) << "could not pin the threads: the test ran without competition";
    EXPECT_GT(advanced, 0.8 * seconds) << "the clock fell behind while Scheme ran away";
    ASSERT_TRUE(reply) << "no reply after the interrupt";
    EXPECT_NE(reply->find("interrupted"), std::string::npos) << *reply;
    EXPECT_TRUE(log.saw(log.errors, "interrupted"));
    EXPECT_EQ(c.eval("(procedure? spin)"), "#t") << "definitions made before the interrupt are kept";
    // With nothing running, a byte 3 has nothing to stop and does not spoil the next request.
    c.send("\x03");
    EXPECT_EQ(c.eval("(+ 40 2)"), "42");
}

// Native code that throws ends only its own evaluation or callback: the request is answered, later evaluations
// and callbacks run, and the interpreter (its collector, its load port) is sound afterwards.
TEST_F(Process, ExceptionsFromNativeCodeEndOnlyTheirEvaluation) {
    EXPECT_EQ(c.eval("(test:throw)"), "Evaluation failed: native fault");
    EXPECT_EQ(c.eval("(begin (test:throw 1) 5)"), "Evaluation failed: unknown exception");
    EXPECT_TRUE(log.saw(log.errors, "Evaluation failed: native fault"));
    EXPECT_EQ(c.eval("(begin (sys:run-gc) (length (make-list 100000 'x)))"), "100000");

    ASSERT_EQ(c.eval("(define after #f)"), "after");
    c.eval("(begin (callback (now) test:throw) (callback (+ (now) 441) (lambda () (set! after #t))))");
    EXPECT_TRUE(eval_becomes("after", "#t")) << "the callback after a failed one did not run";
    EXPECT_EQ(c.eval("(car '())"), CAR_ERROR) << "error replies are what they were";
}

// ---- the executer ---------------------------------------------------------------------------------------------

TEST_F(Process, RepliesOfOtherProducersGoToKeyZero) {
    {
        HeldExecuter hold;
        ASSERT_TRUE(hold.held);
        queue_text("(quote from-midi)", "MIDI TASK");
        c.send("(quote mine)\x07");
        ASSERT_TRUE(eventually([] { return process().queueSize() == 2; }));
        queue_text("(quote from-mouse)", "MOUSE TASK");
    }
    EXPECT_EQ(c.next(), "mine");
    EXPECT_EQ(c.eval("(quote again)"), "again");
}

TEST_F(Process, OutputOfSuccessfulEvaluationsPrecedesTheNextErrorReport) {
    EXPECT_EQ(c.eval("(car 1)"), CAR_ERROR) << "an error replies with its report, not \"!\"";
    EXPECT_EQ(c.eval("(display \"hi\")"), "#t") << "output is not part of a successful reply";
    EXPECT_EQ(c.eval("(car 2)"), "hi" + CAR_ERROR);
    EXPECT_EQ(c.eval("(car 3)"), CAR_ERROR) << "an error report empties the output buffer";

    // More output than the 255-byte buffer holds: the buffer stays bounded, the report comes whole after the most
    // recent output, and the buffer is reset by it.
    EXPECT_EQ(c.eval("(begin (display (make-string 300 #\\x)) 1)"), "1");
    std::string overflowed = c.eval("(car 4)");
    EXPECT_EQ(overflowed, std::string(255 - CAR_ERROR.size(), 'x') + CAR_ERROR);
    EXPECT_EQ(c.eval("(car 5)"), CAR_ERROR);

    // A circular irritant is printed with a bound; running out of memory is an error like any other.
    const std::string circular = c.eval("(let ((l (list 1 2))) (set-cdr! (cdr l) l) (error \"bad\" l))");
    EXPECT_EQ(circular.rfind("Error: bad (1 2 1 2 1 2", 0), 0u) << circular;
    EXPECT_LE(circular.size(), 255u);
    EXPECT_EQ(c.eval("(begin (test:string-limit 1000000) (let grow ((s \"ab\")) (grow (string-append s s))))"),
              "Error: No memory! \n");
    EXPECT_EQ(c.eval("(begin (test:string-limit 0) (string-length (make-string 2000000 #\\a)))"), "2000000");
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");

    // A failing callback reports to the log; its report does not leak into a later, unrelated reply.
    ASSERT_EQ(c.eval("(begin (define failed-at #f) (callback (now) (lambda () (set! failed-at (now)) (car 6))))"),
              "#t");
    ASSERT_TRUE(eval_becomes("(if failed-at #t #f)", "#t"));
    EXPECT_EQ(c.eval("(car 7)"), CAR_ERROR);
}

TEST_F(Process, TasksFromSeveralThreadsRunInTheOrderOfTheirAppends) {
    ASSERT_EQ(c.eval("(define *order* '())"), "*order*");
    std::mutex appending;
    std::vector<int> appended;
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                std::lock_guard lock(appending);
                int n = t * 100 + i;
                appended.push_back(n);
                queue_text("(set! *order* (cons " + std::to_string(n) + " *order*))", "ORDER TASK");
            }
        });
    for (auto& p : producers) p.join();
    std::string expected = "(";
    for (size_t i = 0; i < appended.size(); ++i) expected += (i ? " " : "") + std::to_string(appended[i]);
    EXPECT_EQ(c.eval("(reverse *order*)"), expected + ")");
}

// ---- the built-ins --------------------------------------------------------------------------------------------

// Requests without a target or a procedure are reported and skipped; a tag blocks the tasks that carry it.
TEST_F(Process, CallbackRequestsAreCheckedAndTagsBlockTasks) {
    for (const char* target : {"42", "test:not-a-target"}) {
        SCOPED_TRACE(target);
        log.errors.clear();
        EXPECT_EQ(c.eval(std::string("(call-cpp-at-time (now) #t ") + target + " '(x) '(x))"), "#f");
        EXPECT_TRUE(log.saw(log.errors, "Bad task needs valid CM ptr"));
    }
    ASSERT_EQ(c.eval("(define base (test:protected-count)) (define not-a-handler 5)"), "not-a-handler");
    EXPECT_EQ(c.eval("(call-cpp-at-time (now) #t *callback* (list 5 1) (list 5 1))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Bad closure (5 1) Ignoring callback request"));
    EXPECT_TRUE(eval_becomes("(= base (test:protected-count))", "#t")) << "the skipped callback's value is released";

    // A performer's own error in a callback reaches the log once, and never a later reply.
    log.clear();
    EXPECT_EQ(c.eval("(callback (now) (lambda () (error \"boom in a callback\" 5)))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "boom in a callback 5"));
    EXPECT_EQ(c.eval("(callback (now) (lambda () (car 5)))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "car"));
    std::this_thread::sleep_for(100ms);
    log.flush();
    EXPECT_EQ(std::count_if(log.errors.begin(), log.errors.end(),
                            [](const std::string& e) { return e.find("boom") != std::string::npos; }), 1);
    EXPECT_EQ(c.eval("(+ 1 1)"), "2");

    process().createSchemeTask(nullptr, "no-such-handler", SchemeTaskType::runloop_callback);
    EXPECT_TRUE(log.saw(log.errors, "Ignoring runloop-callback request"));
    process().createSchemeTask(nullptr, "not-a-handler", SchemeTaskType::runloop_callback);
    EXPECT_TRUE(log.saw(log.errors, "Bad closure 5 Ignoring runloop-callback request"));

    // Tag 7 is blocked: the task tagged 7 is thrown away when due; untagged and other tags run.
    ASSERT_EQ(c.eval("(begin (define ran '()) (define (mark x) (set! ran (cons x ran))) (sys:set-block 7))"), "#t");
    const std::string later = "(+ (now) 441)";
    expect_replies({{"(call-cpp-at-time (cons " + later + " 7) #t *callback* (list mark 7) '())", "#t"},
                    {"(call-cpp-at-time (cons " + later + " 8) #t *callback* (list mark 8) '())", "#t"},
                    {"(call-cpp-at-time " + later + " #t *callback* (list mark 0) '())", "#t"},
                    {"(callback-tagged " + later + " 7 mark 'tagged)", "#t"}});
    EXPECT_TRUE(eval_becomes("(length ran)", "2"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(c.eval("(sort ran <)"), "(0 8)");
    EXPECT_EQ(c.eval("(sys:remove-block 7)"), "#t");
    EXPECT_EQ(c.eval("(callback " + later + " mark 7)"), "#t");
    EXPECT_TRUE(eval_becomes("(length ran)", "3")) << "a removed block lets the tag through";
}

TEST_F(Process, NumbersRandomnessPrintingAndMidiFiles) {
    expect_replies({
        {"(fmod 7.25 2)", "1.25"}, {"(fmod -7.25 2)", "-1.25"},  // the sign is the dividend's
        // Arguments are quantised to four places: 0.30001 is 0.3, 0.30006 is 0.3001.
        {"(= (fmod 0.30001 0.1) (fmod 0.3 0.1))", "#t"}, {"(< (abs (- (fmod 0.30006 0.1) 0.0001)) 1e-12)", "#t"},
        {"(let ((r (omb-rem 5 3))) (list (= r -1) (exact? r)))", "(#t #f)"},
        {"(omb-rem 7 2)", "-1"},  // ties go to the even quotient
        {"(let loop ((i 0) (seen '())) (if (= i 3000) (sort seen <) (let ((r (random-int 10)))"
         "  (if (or (not (exact? r)) (< r 0) (> r 10)) (list 'bad r)"
         "      (loop (+ i 1) (if (memv r seen) seen (cons r seen)))))))",
         "(0 1 2 3 4 5 6 7 8 9)"},
        {"(let loop ((i 0)) (cond ((= i 1000) #t)"
         "  ((let ((r (random-real))) (and (>= r 0) (<= r 1))) (loop (+ i 1))) (else #f)))",
         "#t"},
        {"(list (random-gaussian 100 0) (real? (random-gaussian)) (real? (random-gaussian 3)))", "(100 #t #t)"},
        // Strings go in bare, without escapes; characters as their codes.
        {"(sexpr->string \"abc\")", "\"\"abc\"\""}, {"(string-length (sexpr->string \"abc\"))", "5"},
        {"(sexpr->string #\\a)", "\"97\""}, {"(sexpr->string 1 'x \"y\" '(2 3))", "\"1 x \"y\" (2 3)\""},
        {"(sexpr->string)", "\"\""},
        {"(print \"hello\")", "#t"}, {"(print 'hello)", "#t"}, {"(print-error 'oops 1)", "#t"},
        {"(print-notification \"note\" 2)", "#t"},
        {"(io:read-midi-file \"/nonexistent/file.mid\")", "#f"},
        {"(begin (sys:run-gc 1 2) (length (make-list 20000 'x)))", "20000"},  // the collector is enabled again
    });
    ASSERT_TRUE(log.saw(log.notes, "\"note\" 2\n"));
    EXPECT_NE(std::find(log.outputs.begin(), log.outputs.end(), "\"hello\"\n"), log.outputs.end());
    EXPECT_NE(std::find(log.outputs.begin(), log.outputs.end(), "hello\n"), log.outputs.end());
    EXPECT_TRUE(log.saw(log.errors, "oops 1"));
    EXPECT_TRUE(log.saw(log.errors, "Bad MIDI File"));
}

TEST_F(Process, SwitchesReturnTheirArgumentAndSetTheFlags) {
    struct Switch {
        const char* name;
        std::atomic<bool>& flag;
    };
    for (Switch s : {Switch{"io:set-caps-through", CAPS_THROUGH}, Switch{"sys:verbose-error-logging",
                                                                         EXTENDED_ERROR_LOGGING},
                     Switch{"sys:task-queue-logging", TASK_QUEUE_LOGGING},
                     Switch{"sys:scheme-eval-timer", SCHEME_EVAL_TIMING}}) {
        EXPECT_EQ(c.eval(std::string("(") + s.name + " #t)"), "#t") << s.name;
        EXPECT_TRUE(s.flag) << s.name;
        EXPECT_EQ(c.eval(std::string("(") + s.name + " 1)"), "1") << s.name << ": only #t switches on";
        EXPECT_FALSE(s.flag) << s.name;
    }
    EXPECT_EQ(c.eval("(sys:scheme-eval-timer #t)"), "#t");
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
    EXPECT_TRUE(log.saw(log.notes, "EXEC TIME: "));
    EXPECT_EQ(c.eval("(sys:scheme-eval-timer #f)"), "#f");
}

// ---- Scheme callbacks through the scheduler -------------------------------------------------------------------

TEST_F(Process, CallbacksRunLaterOnTheExecuter) {
    ASSERT_EQ(c.eval("(begin (define got #f) (define due (+ (now) 22050)))"), "due");
    EXPECT_EQ(c.eval("(callback due (lambda (a b) (set! got (list a b (now)))) 'x 'y)"), "#t");
    EXPECT_EQ(c.eval("got"), "#f") << "half a second early";
    ASSERT_TRUE(eval_becomes("(if got (list (car got) (cadr got)) #f)", "(x y)"));
    // Due tasks run within the buffer ahead of the clock, never earlier.
    EXPECT_EQ(c.eval("(>= (caddr got) (- due *au:frames*))"), "#t");

    // Temporal recursion: a procedure that schedules itself plays on until it stops.
    ASSERT_EQ(c.eval("(define count 0) (define (tick t n) (set! count (+ count 1))"
                     "  (if (< count n) (callback (+ t 441) tick (+ t 441) n)))"),
              "tick");
    c.eval("(tick (now) 10)");
    EXPECT_TRUE(eval_becomes("count", "10"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(c.eval("count"), "10");

    // Clearing and restarting in one evaluation: the old loop goes, the restarted one plays.
    ASSERT_EQ(c.eval("(begin (set! count 0) (callback (+ (now) 44100) tick (now) 1000)"
                     " (sys:clear-scheduler) (tick (now) 5) count)"),
              "1");
    EXPECT_TRUE(eval_becomes("count", "5"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(c.eval("count"), "5") << "the loop scheduled before the clear is gone";
}

TEST_F(Process, ProtectedCellsAreReleasedWhetherTasksRunOrAreDiscarded) {
    ASSERT_EQ(c.eval("(define base (test:protected-count)) (define ran 0) (define (hit) (set! ran (+ ran 1)))"),
              "hit");
    const std::string settled = "(= base (test:protected-count))";
    auto schedule_many = [&](const std::string& one) {
        return c.eval("(let loop ((i 0)) (if (< i 50) (begin " + one + " (loop (+ i 1))) (test:protected-count)))");
    };

    // Run: each callback's value is let go after its call.
    EXPECT_EQ(schedule_many("(callback (+ (now) 441) hit)"), c.eval("(+ base 50)"));
    EXPECT_TRUE(eval_becomes("ran", "50"));
    EXPECT_TRUE(eval_becomes(settled, "#t")) << "after callbacks ran";

    // Cleared: ten seconds ahead, then the scheduler is emptied.
    EXPECT_EQ(schedule_many("(callback (+ (now) 441000) hit)"), c.eval("(+ base 50)"));
    EXPECT_EQ(c.eval("(sys:clear-scheduler)"), "#t");
    EXPECT_TRUE(eval_becomes(settled, "#t")) << "after sys:clear-scheduler";

    // Blocked: thrown away when due.
    EXPECT_EQ(c.eval("(sys:set-block 9)"), "#t");
    schedule_many("(callback-tagged (+ (now) 441) 9 hit)");
    EXPECT_TRUE(eval_becomes(settled, "#t")) << "after tasks with a blocked tag came due";
    EXPECT_EQ(c.eval("(sys:remove-block 9)"), "#t");

    // Reaped: late beyond REAPER_TIME, scheduled without the callback flag.
    SampleClock::REAPER_TIME = 100;
    schedule_many("(let ((v (list hit))) (call-cpp-at-time (- (now) 100000) #f *callback* v v))");
    EXPECT_TRUE(eval_becomes(settled, "#t")) << "after late tasks were reaped";
    SampleClock::REAPER_TIME = 0;
    EXPECT_TRUE(log.saw(log.notes, "Reaping late events"));
    EXPECT_EQ(c.eval("ran"), "50") << "discarded tasks never run";
}

TEST_F(Process, TheClockAdvancesAndCanBeSet) {
    uint64_t first = std::stoull(c.eval("(now)"));
    std::this_thread::sleep_for(100ms);
    uint64_t second = std::stoull(c.eval("(now)"));
    EXPECT_GE(second - first, 2u * 256) << "a tenth of a second is more than two buffers";
    EXPECT_LT(second - first, 10u * 44100);

    const uint64_t target = second + 1000 * 44100ULL;
    EXPECT_EQ(c.eval("(au:set-global-time " + std::to_string(target) + ")"), "#t");
    uint64_t moved = std::stoull(c.eval("(now)"));
    EXPECT_GE(moved, target);
    EXPECT_LT(moved, target + 10 * 44100);
    EXPECT_EQ(c.eval("(au:set-global-time 'soon)"), "#f");
}

// ---- registries -----------------------------------------------------------------------------------------------

TEST_F(Process, ProcessesAreFoundWhileTheyRunAndForgottenWhenStopped) {
    EXPECT_EQ(SchemeInterface::I(size_t{0}), &process()) << "the first started process";
    EXPECT_EQ(SchemeInterface::I("test process"), &process());
    EXPECT_EQ(SchemeInterface::I(process().getScheme()), &process());
    const size_t count = SchemeInterface::count();

    auto second = std::make_unique<SchemeInterface>(OMBREL_SCHEME_DIR "/", "second process", ProcessEnvironment::port);
    EXPECT_FALSE(second->start()) << "the port is in use";
    EXPECT_FALSE(second->isRunning());
    EXPECT_EQ(SchemeInterface::I("second process"), nullptr);
    EXPECT_EQ(SchemeInterface::I(second->getScheme()), nullptr);
    EXPECT_EQ(SchemeInterface::count(), count);
    for (size_t i = 0; i < count; ++i) EXPECT_NE(SchemeInterface::I(i), second.get());
    second.reset();
    EXPECT_EQ(c.eval("(+ 1 2)"), "3") << "the failed process took nothing from the running one";

    // Stopped in the middle of a runaway evaluation, with work still scheduled, a process ends promptly, is found
    // no more, and leaves nothing of its own in the scheduler.
    const int port = free_port();
    auto third = std::make_unique<SchemeInterface>(OMBREL_SCHEME_DIR, "third process", port);
    ASSERT_TRUE(third->start());
    ASSERT_TRUE(eventually([&] { return third->isReady(); }, 30s));
    EXPECT_EQ(SchemeInterface::I("third process"), third.get());
    Conn other(port);
    ASSERT_TRUE(other.greet());
    Scheduler& scheduler = AUHost::singleton().scheduler();
    const size_t queued = scheduler.size();
    EXPECT_EQ(other.eval("(callback (+ (now) 4410000) (lambda () #t))"), "#t");
    EXPECT_EQ(scheduler.size(), queued + 1);
    other.send("(let loop () (loop))\x07");
    std::this_thread::sleep_for(100ms);
    const auto before_stop = std::chrono::steady_clock::now();
    third->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before_stop, 2s);
    EXPECT_EQ(SchemeInterface::I("third process"), nullptr);
    EXPECT_EQ(SchemeInterface::I(third->getScheme()), nullptr);
    EXPECT_EQ(SchemeInterface::count(), count);
    EXPECT_EQ(scheduler.size(), queued) << "its scheduled work was withdrawn";
    third.reset();
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
