// ombrel-scheme: the console interpreter. Loads the given files into one interpreter with the language files
// preloaded, or, with no file, reads and evaluates standard input with a "> " prompt.
//
// The interpreter runs on its own thread while the main thread delivers log messages, as in the program proper.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "interpreter/scheme.h"
#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "platform/resources.h"

namespace {

const char* const LANGUAGE_FILES[] = {"init.scm", "comlist.scm", "sort.scm", "mbe.scm"};

void usage() {
    std::fputs("usage: ombrel-scheme [-v] [FILE...]\n"
               "  Loads each FILE into one interpreter (output on standard output, errors on standard error)\n"
               "  and exits 0, or 1 when the last load ended in an error. Without FILE, a console REPL.\n"
               "  -v  also show notifications (memory growth, collections)\n",
               stderr);
}

// Shows errors and output; notifications only when asked for.
class ConsoleTarget : public omb::ConsoleLog {
public:
    ConsoleTarget(std::FILE* out, bool verbose) : ConsoleLog(out), verbose_(verbose) {}
    void notification(std::string_view text) override {
        if (verbose_) ConsoleLog::notification(text);
    }

private:
    bool verbose_;
};

bool load_path(omb::scheme* sc, const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) {
        std::fprintf(stderr, "ombrel-scheme: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    omb::scheme_load_file(sc, f);
    std::fclose(f);
    std::fflush(stdout);
    return sc->retcode == 0;
}

int run(omb::scheme* sc, const std::vector<const char*>& files) {
    for (const char* name : LANGUAGE_FILES) {
        auto path = omb::resource_path(std::string("scheme/") + name);
        if (path.empty()) {
            std::fprintf(stderr, "ombrel-scheme: %s not found\n", name);
            if (std::strcmp(name, "init.scm") == 0) return 1;
            continue;
        }
        load_path(sc, path.c_str());
    }
    if (files.empty()) {
        omb::scheme_load_file(sc, stdin);
        return 0;
    }
    bool ok = true;
    for (const char* f : files) ok = load_path(sc, f);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            usage();
            return 0;
        } else {
            files.push_back(argv[i]);
        }
    }
    omb::main_queue::set_main_thread();
    ConsoleTarget log(stderr, verbose);
    omb::CPPBridge::attach(&log);

    omb::scheme* sc = omb::scheme_init_new();
    if (!sc) {
        std::fputs("ombrel-scheme: not enough memory for an interpreter\n", stderr);
        return 1;
    }
    omb::scheme_set_output_port_file(sc, stdout);

    std::atomic<bool> done{false};
    int status = 0;
    std::thread interpreter([&] {
        status = run(sc, files);
        std::fflush(stdout);
        done = true;
        omb::main_queue::post([] {});  // wake the main loop
    });
    while (!done) omb::main_queue::wait_and_run(std::chrono::milliseconds(50));
    interpreter.join();
    omb::main_queue::run_pending();
    omb::CPPBridge::detach();
    omb::scheme_deinit(sc);
    std::free(sc);
    return status;
}
