// Soak: the eval path under a performer's mixed work, on the null device's real-time clock.
//
//   build-rel/bin/soak_eval_path [--evaluations 20000] [--callbacks-each 6]
//
// One client sends EVALUATIONS requests of every kind a performer sends (definitions, arithmetic, errors, output
// before an error, empty printed values, nothing to evaluate), six of every seven also scheduling CALLBACKS-EACH
// callbacks: about 100 000 callbacks by default. Every 2 000 requests a row shows the replies that came back wrong,
// the callbacks run, the protected cells and the resident memory. The first row is the warm-up; exit status 1
// when a reply was wrong, a callback went missing, or protected cells or memory grew after it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/native_libraries.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"
#include "tests/support/free_port.h"

namespace {

using namespace std::chrono;

long resident_kib() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void soak_scheme_init(omb::SchemeInterface* process) {
    process->addForeignFunc("soak:protected-count", [](omb::scheme* sc, omb::pointer) -> omb::pointer {
        return omb::mk_integer(sc, static_cast<int64_t>(sc->protected_cells->size()));
    });
}

struct Request {
    std::string text;
    std::string reply;       // what must come back
    bool tail_only = false;  // output printed before an error may precede the report
};

bool matches(const Request& r, const std::string& got) {
    if (!r.tail_only) return got == r.reply;
    return got.size() >= r.reply.size() && got.compare(got.size() - r.reply.size(), r.reply.size(), r.reply) == 0;
}

// The i-th request of the mix.
Request request(int i, int callbacks) {
    const std::string n = std::to_string(i);
    std::string schedule = "(let loop ((k 0)) (if (< k " + std::to_string(callbacks) +
                           ") (begin (callback (+ (now) (* k 97)) soak-hit) (loop (+ k 1)))))";
    switch (i % 7) {
    case 0: {  // redefinitions, as when a performer re-evaluates the same functions
        const std::string f = "soak-f" + std::to_string(i % 10);
        return {"(begin " + schedule + " (define (" + f + " x) (* x " + n + ")) (" + f + " 2))", std::to_string(2 * i)};
    }
    case 1: return {"(begin " + schedule + " (car '()))", "Error: car: argument 1 must be: pair \n"};
    case 2: return {"(begin " + schedule + " (string->symbol \"\"))", ""};
    case 3: return {"(begin " + schedule + " (display (make-string 300 #\\a)) (car " + n + "))",
                    "Error: car: argument 1 must be: pair \n", true};
    case 4: return {"(begin " + schedule + " (length (make-list 1000 'x)))", "1000"};
    case 5: return {"(begin " + schedule + " 'done) ; a comment after", "done"};
    default: return {"   ; nothing to evaluate", "!"};
    }
}

}  // namespace

int main(int argc, char** argv) {
    int evaluations = 20000, callbacks = 6;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--evaluations")) evaluations = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--callbacks-each")) callbacks = std::atoi(argv[i + 1]);
    }
    if (evaluations < 4000 || callbacks < 0) {
        std::fputs("usage: soak_eval_path [--evaluations N>=4000] [--callbacks-each K]\n", stderr);
        return 2;
    }
    auto empty = std::filesystem::temp_directory_path() / ("ombrel-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty / "ombrel" / "library");
    ::setenv("XDG_DATA_HOME", empty.c_str(), 1);

    omb::main_queue::set_main_thread();
    omb::ConsoleLog log(stderr);
    omb::AUHost& host = omb::AUHost::singleton();
    omb::AUHost::FRAMES = 256;
    if (!host.start(omb::make_audio_device("null"))) return 1;
    omb::add_native_library(omb::au_scheme_init);
    omb::add_native_library(soak_scheme_init);
    const int port = omb::test::free_port();
    omb::SchemeInterface process(OMBREL_SCHEME_DIR, "primary process", port);
    if (!process.start()) return 1;
    omb::ReplClient client;
    for (int i = 0; i < 500 && !client.connect("127.0.0.1", port); ++i) std::this_thread::sleep_for(milliseconds(10));
    client.eval("(begin (define soak-hits 0) (define (soak-hit) (set! soak-hits (+ soak-hits 1))))", seconds(10));

    std::printf("%8s %8s %10s %10s %9s\n", "requests", "wrong", "callbacks", "protected", "rss[KiB]");
    long warm_rss = 0, max_rss = 0;
    long long warm_protected = -1, max_protected = 0, hits = 0;
    int wrong = 0;
    auto row = [&](int done) {
        std::this_thread::sleep_for(milliseconds(50));  // the callbacks just scheduled have run
        omb::main_queue::run_pending();  // the log is not attached: errors of the mix are dropped unprinted
        auto h = client.eval("soak-hits", seconds(10));
        auto p = client.eval("(soak:protected-count)", seconds(10));
        hits = h ? std::atoll(h->c_str()) : -1;
        const long long protected_cells = p ? std::atoll(p->c_str()) : -1;
        const long rss = resident_kib();
        if (warm_protected < 0) {
            warm_protected = protected_cells;
            warm_rss = rss;
        }
        max_rss = std::max(max_rss, rss);
        max_protected = std::max(max_protected, protected_cells);
        std::printf("%8d %8d %10lld %10lld %9ld\n", done, wrong, hits, protected_cells, rss);
        std::fflush(stdout);
    };
    for (int i = 1; i <= evaluations; ++i) {
        const Request r = request(i, callbacks);
        auto reply = client.eval(r.text, seconds(10));
        if (!reply || !matches(r, *reply)) {
            if (wrong++ < 5)
                std::fprintf(stderr, "request %d: got '%s', wanted '%s'\n", i, reply ? reply->c_str() : "(none)",
                             r.reply.c_str());
        }
        if (i % 2000 == 0) row(i);
    }
    // Every callback falls due within a buffer or two of its scheduling.
    const long long expected = static_cast<long long>(evaluations - (evaluations + 1) / 7) * callbacks;
    for (int i = 0; i < 100 && hits < expected; ++i) {
        std::this_thread::sleep_for(milliseconds(50));
        auto h = client.eval("soak-hits", seconds(10));
        hits = h ? std::atoll(h->c_str()) : -1;
    }
    client.close();
    process.stop();
    host.stop();
    std::filesystem::remove_all(empty);

    const bool grew = max_protected > warm_protected + 16 || max_rss > warm_rss + 2048;
    std::printf("\n%d requests, %d wrong replies; %lld of about %lld callbacks ran\n", evaluations, wrong, hits,
                expected);
    std::printf("resident %ld KiB after warm-up, at most %ld KiB after it; protected cells %lld -> at most %lld\n",
                warm_rss, max_rss, warm_protected, max_protected);
    const bool ok = wrong == 0 && hits >= expected - callbacks && !grew;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
