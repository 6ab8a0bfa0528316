// Soak: temporal recursion on the null device's real-time clock.
//
//   build-rel/bin/soak_temporal_recursion [--seconds 60] [--period 441] [--frames 256]
//
// One process runs a Scheme procedure that reschedules itself every PERIOD samples through `callback`, as a
// performer's loop does. Every 5 seconds a row reports the scheduler's counters, the callbacks Scheme ran, how many
// of those ran after their buffer had begun, the interpreter's protected cells and the process's resident memory.
// Reaping (3.25 s, callbacks included) is armed so that a reaped task would show. Exit status 1 when a task was
// reaped, ran late, a callback went missing, or protected cells or memory grew after the first row.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "audio/au_host.h"
#include "tests/support/free_port.h"
#include "audio/au_scheme.h"
#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/native_libraries.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"

namespace {

using namespace std::chrono;

using omb::test::free_port;

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

// The performer's loop: note how late Scheme got to run it, then schedule the next step.
const char* kLoop =
    "(begin (define soak-ran 0) (define soak-late 0) (define soak-max-late 0) (define soak-period PERIOD)"
    " (define (soak-loop t)"
    "   (let ((lag (- (now) t)))"
    "     (if (> lag 0) (begin (set! soak-late (+ soak-late 1))"
    "                          (if (> lag soak-max-late) (set! soak-max-late lag)))))"
    "   (set! soak-ran (+ soak-ran 1))"
    "   (callback (+ t soak-period) soak-loop (+ t soak-period)))"
    " (define soak-start (+ (now) 4410)) (soak-loop soak-start) soak-start)";

long long eval_number(omb::ReplClient& client, const std::string& expr) {
    auto reply = client.eval(expr, seconds(10));
    return reply ? std::atoll(reply->c_str()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds_total = 60, period = 441, frames = 256;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds_total = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--period")) period = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--frames")) frames = std::atoi(argv[i + 1]);
    }
    if (seconds_total < 10 || period < 1 || frames < 16) {
        std::fputs("usage: soak_temporal_recursion [--seconds N>=10] [--period SAMPLES] [--frames N]\n", stderr);
        return 2;
    }
    // Only the standard files: the user's own library stays out of the measurement.
    auto empty = std::filesystem::temp_directory_path() / ("ombrel-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty / "ombrel" / "library");
    ::setenv("XDG_DATA_HOME", empty.c_str(), 1);

    omb::main_queue::set_main_thread();
    omb::ConsoleLog log(stderr);
    omb::CPPBridge::attach(&log);
    omb::AUHost& host = omb::AUHost::singleton();
    omb::AUHost::FRAMES = frames;
    if (!host.start(omb::make_audio_device("null"))) return 1;
    omb::AUHost::REAPER_TIME = static_cast<int64_t>(3.25 * omb::AUHost::SAMPLERATE);
    omb::AUHost::REAP_CALLBACKS = true;
    omb::add_native_library(omb::au_scheme_init);
    omb::add_native_library(soak_scheme_init);
    const int port = free_port();
    omb::SchemeInterface process(OMBREL_SCHEME_DIR, "primary process", port);
    if (!process.start()) return 1;
    omb::ReplClient client;
    for (int i = 0; i < 500 && !client.connect("127.0.0.1", port); ++i) std::this_thread::sleep_for(milliseconds(10));
    std::string loop = kLoop;
    loop.replace(loop.find("PERIOD"), 6, std::to_string(period));
    const long long start = eval_number(client, loop);
    if (start < 0) {
        std::fputs("soak: the loop did not start\n", stderr);
        return 1;
    }

    std::printf("%6s %10s %9s %8s %9s %10s %10s %9s %10s %9s\n", "t[s]", "callbacks", "expected", "reaped",
                "sch-late", "sch-maxlat", "scm-late", "scm-max", "protected", "rss[KiB]");
    long long first_protected = -1;
    long first_rss = 0, last_rss = 0, max_rss = 0;
    long long protected_cells = 0, protected_max = 0, ran = 0, expected = 0, scheme_late = 0, scheme_max = 0;
    omb::Scheduler::Stats st;
    const auto begin = steady_clock::now();
    for (int t = 5; t <= seconds_total; t += 5) {
        std::this_thread::sleep_until(begin + seconds(t));
        omb::main_queue::run_pending();
        ran = eval_number(client, "soak-ran");
        scheme_late = eval_number(client, "soak-late");
        scheme_max = eval_number(client, "soak-max-late");
        protected_cells = eval_number(client, "(soak:protected-count)");
        const long long clock = static_cast<long long>(omb::AUHost::TIME.load());
        expected = clock > start ? (clock - start) / period : 0;
        st = host.scheduler().stats();
        last_rss = resident_kib();
        if (first_protected < 0) {
            first_protected = protected_cells;
            first_rss = last_rss;
        }
        protected_max = std::max(protected_max, protected_cells);
        max_rss = std::max(max_rss, last_rss);
        std::printf("%6d %10lld %9lld %8llu %9llu %10lld %10lld %9lld %10lld %9ld\n", t, ran, expected,
                    static_cast<unsigned long long>(st.reaped), static_cast<unsigned long long>(st.late),
                    static_cast<long long>(st.max_lateness), scheme_late, scheme_max, protected_cells, last_rss);
        std::fflush(stdout);
    }
    const uint64_t dropped = host.dropped_buffers();
    client.close();
    process.stop();
    host.stop();
    omb::main_queue::run_pending();
    omb::CPPBridge::detach();
    std::filesystem::remove_all(empty);

    // One callback may be in flight between the clock read and the count.
    const bool missing = ran + 2 < expected;
    const bool grew = protected_max > first_protected + 16 || max_rss > first_rss + 2048;
    std::printf("\nscheduler: %llu slices, %llu tasks run, %llu late (max %lld samples), %llu reaped\n",
                static_cast<unsigned long long>(st.slices), static_cast<unsigned long long>(st.executed),
                static_cast<unsigned long long>(st.late), static_cast<long long>(st.max_lateness),
                static_cast<unsigned long long>(st.reaped));
    std::printf("device: %llu buffers dropped (the render thread was held up a whole period or more)\n",
                static_cast<unsigned long long>(dropped));
    std::printf("scheme: %lld of %lld callbacks ran, %lld after their buffer began (max %lld samples)\n", ran,
                expected, scheme_late, scheme_max);
    std::printf("protected cells %lld -> %lld (max %lld); resident %ld -> %ld KiB (max %ld)\n", first_protected,
                protected_cells, protected_max, first_rss, last_rss, max_rss);
    const bool ok = st.reaped == 0 && st.late == 0 && !missing && !grew;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
