// ombrel-repl: the terminal client of a running process's eval server. Evaluates expressions given with -e, files
// (or standard input) sent whole, or, on a terminal, what the performer types at a readline prompt.
//
// Replies go to standard output (with their control characters shown, not obeyed, when that is a terminal); what
// the client itself has to say (errors, a lost connection) goes through the log bridge to standard error,
// delivered on the main thread as in the program proper.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/repl_client.h"
#include "runtime/wire_protocol.h"

namespace {

using namespace std::chrono_literals;

// As long as the server itself waits for an evaluation before giving up on it.
constexpr auto REPLY_WAIT = std::chrono::milliseconds(250s);
constexpr const char* PROMPT = "ombrel> ";
constexpr const char* CONTINUATION_PROMPT = "...> ";
// The server gives up a longer request, so a longer source is not even read whole (/dev/zero has no end).
constexpr std::size_t MAX_REQUEST = omb::wire::MAX_REQUEST_BYTES;

void usage(std::FILE* out) {
    std::fputs(
        "usage: ombrel-repl [--host H] [--port P] [-e EXPR]... [FILE...]\n"
        "Talks to the eval server of a running Ombrel process (default localhost, port 7010).\n"
        "\n"
        "  -e EXPR     send EXPR, print the reply; several -e are sent in turn\n"
        "  FILE        send the whole text of FILE as one request, print the reply\n"
        "  -           the same with standard input\n"
        "  --host H    the host the process runs on (default localhost)\n"
        "  --port P    the process's eval port (default 7010, the primary process)\n"
        "  -h, --help  this text\n"
        "\n"
        "Without -e or FILE, on a terminal: an interactive prompt \"ombrel> \" with line editing and history.\n"
        "Input goes on at \"...> \" until its parentheses balance, then is sent. Ctrl-C while a reply is awaited\n"
        "asks the process to interrupt the evaluation; Ctrl-C at the prompt clears the input; Ctrl-D quits.\n"
        "When standard input is not a terminal it is sent whole, as with \"-\".\n"
        "\n"
        "From an editor, pipe the selected code into \"ombrel-repl -\" and show what it prints:\n"
        "  Vim      select, then  :'<,'>w !ombrel-repl -\n"
        "  Emacs    select, then  M-| ombrel-repl -   (shell-command-on-region)\n"
        "  VS Code  a task or keybinding that runs \"ombrel-repl -\" with the selection on standard input\n"
        "Each request's reply (the printed value, or the error report) is printed on its own line. On a terminal\n"
        "its control characters are shown in caret notation (ESC as ^[); elsewhere its bytes go out as they came.\n"
        "\n",
        out);
    std::fprintf(out, "A request is at most %zu bytes, what a process accepts: a longer FILE is not sent.\n\n",
                 MAX_REQUEST);
    std::fputs(
        "Exit status: 0 when every reply came; 1 when the connection failed or ended, a file could not be read\n"
        "or was too long, or a reply did not come within 250 seconds; 2 for a wrong command line.\n",
        out);
}

struct Options {
    std::string host = "localhost";
    int port = 7010;
    std::vector<std::string> requests;  // in command-line order
    bool interactive = false;
    bool refused = false;  // a source was too long to send
};

enum class Source { read, unreadable, too_long };

// The whole text of a file, or of standard input for "-", read no further than one byte past the request limit.
Source read_source(const std::string& name, std::string& text) {
    const char* shown = name == "-" ? "standard input" : name.c_str();
    std::FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    bool ok = f != nullptr;
    if (ok) {
        char buf[65536];
        std::size_t n;
        while (text.size() <= MAX_REQUEST && (n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        ok = !std::ferror(f);
        if (f != stdin) std::fclose(f);
    }
    if (!ok) {
        std::fprintf(stderr, "ombrel-repl: cannot read %s: %s\n", shown, std::strerror(errno));
        return Source::unreadable;
    }
    if (text.size() > MAX_REQUEST) {
        std::fprintf(stderr, "ombrel-repl: %s: more than %zu bytes; not sent\n", shown, MAX_REQUEST);
        text.clear();
        text.shrink_to_fit();
        return Source::too_long;
    }
    return Source::read;
}

// Reads a source into the requests; false when it could not be read at all.
bool add_source(const std::string& name, Options& opt) {
    std::string text;
    switch (read_source(name, text)) {
        case Source::read: opt.requests.push_back(std::move(text)); return true;
        case Source::too_long: opt.refused = true; return true;
        case Source::unreadable: return false;
    }
    return false;
}

bool parse_port(const char* text, int& port) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno || end == text || *end || value < 1 || value > 65535) return false;
    port = static_cast<int>(value);
    return true;
}

// 0 when the command line is good, -1 after --help, else the exit status.
int parse(int argc, char** argv, Options& opt) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // The value of an option given as "--name value" or "--name=value".
        auto value = [&](const std::string& name) -> const char* {
            if (arg == name) return i + 1 < argc ? argv[++i] : nullptr;
            if (arg.rfind(name + "=", 0) == 0) return argv[i] + name.size() + 1;
            return nullptr;
        };
        const char* v = nullptr;
        if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
            if (!add_source(arg, opt)) return 1;
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return -1;
        } else if ((v = value("-e"))) {
            opt.requests.emplace_back(v);
        } else if ((v = value("--host"))) {
            opt.host = v;
        } else if ((v = value("--port"))) {
            if (!parse_port(v, opt.port)) {
                std::fprintf(stderr, "ombrel-repl: not a port number: %s\n", v);
                return 2;
            }
        } else {
            std::fprintf(stderr, "ombrel-repl: unknown option or missing value: %s\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (opt.requests.empty() && !opt.refused) {
        if (::isatty(STDIN_FILENO)) {
            opt.interactive = true;
        } else if (!add_source("-", opt)) {
            return 1;
        }
    }
    return 0;
}

// Decided once: whether replies go to a terminal, which would obey the escape sequences in them.
bool g_stdout_is_terminal = false;

// A reply on a line of its own. An editor or a file reading the output gets the bytes as they came.
void print_reply(const std::string& reply) {
    if (g_stdout_is_terminal) {
        std::string shown = omb::escape_controls(reply);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    } else {
        std::fwrite(reply.data(), 1, reply.size(), stdout);
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Signals only set a flag and wake the main loop through a pipe; the work happens outside the handler.
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_resized{false};
int g_wake_pipe[2] = {-1, -1};

void on_signal(int sig) {
    int saved = errno;
    (sig == SIGINT ? g_interrupted : g_resized).store(true);
    char byte = 0;
    [[maybe_unused]] ssize_t n = ::write(g_wake_pipe[1], &byte, 1);
    errno = saved;
}

void catch_signals() {
    if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGWINCH, &sa, nullptr);
}

void drain_wake_pipe() {
    char buf[64];
    while (::read(g_wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

// Sends one request and waits for its reply, passing Ctrl-C on to the process as an interrupt meanwhile.
std::optional<std::string> evaluate(omb::ReplClient& client, const std::string& text) {
    g_interrupted = false;  // a Ctrl-C from before this request is not meant for it
    auto reply = client.eval(text, REPLY_WAIT, [&] {
        omb::main_queue::run_pending();
        if (g_interrupted.exchange(false)) client.interrupt();
    });
    omb::main_queue::run_pending();
    if (reply) {
        print_reply(*reply);
    } else if (client.connected()) {
        std::fputs("ombrel-repl: no reply within 250 seconds\n", stderr);
    }
    return reply;
}

int run_requests(omb::ReplClient& client, const std::vector<std::string>& requests) {
    for (const auto& text : requests) {
        if (!evaluate(client, text)) return 1;
    }
    return 0;
}

// The interactive prompt, on readline's callback interface so that the main loop can also watch for signals
// and log messages while the performer types.
class Terminal {
public:
    explicit Terminal(omb::ReplClient& client) : client_(client) { current_ = this; }
    ~Terminal() {
        remove_handler();
        current_ = nullptr;
    }

    int run() {
        rl_catch_signals = 0;  // Ctrl-C is ours: it clears the input or interrupts an evaluation
        rl_readline_name = "ombrel";
        // Typed UTF-8 goes to the process, and back to the screen, as it is: in the C locale readline would echo
        // "é" as \303\251, and with convert-meta take its bytes for Meta keys. Set after the init file is read.
        rl_initialize();
        rl_variable_bind("input-meta", "on");
        rl_variable_bind("convert-meta", "off");
        rl_variable_bind("output-meta", "on");
        using_history();
        stifle_history(1000);
        install_handler();
        while (!eof_) {
            pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_pipe[0], POLLIN, 0},
                             {omb::main_queue::wake_fd(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents) on_signals();
            if (fds[2].revents) with_prompt_hidden([] { omb::main_queue::run_pending(); });
            if (!client_.connected()) return 1;
            if (fds[0].revents) rl_callback_read_char();
            if (ready_) {
                std::string text = std::move(*ready_);
                ready_.reset();
                add_history(text.c_str());
                evaluate(client_, text);
                if (!client_.connected()) return 1;
                install_handler();
            }
        }
        std::fputc('\n', stdout);
        return 0;
    }

private:
    static void on_line(char* line) { current_->take_line(line); }

    void take_line(char* line) {
        if (!line) {
            eof_ = true;
            remove_handler();
            return;
        }
        if (!pending_.empty()) pending_ += '\n';
        pending_ += line;
        std::free(line);
        if (pending_.find_first_not_of(" \t\r\n") == std::string::npos) {
            pending_.clear();
        } else if (pending_.size() > MAX_REQUEST) {
            // The accepted line has been ended: this goes on a line of its own, before the next prompt.
            std::fprintf(stderr, "ombrel-repl: input: more than %zu bytes; not sent\n", MAX_REQUEST);
            pending_.clear();
            rl_set_prompt(PROMPT);
        } else if (omb::repl_input_complete(pending_)) {
            ready_ = std::move(pending_);
            pending_.clear();
            remove_handler();  // no prompt while the reply is awaited
        } else {
            rl_set_prompt(CONTINUATION_PROMPT);
        }
    }

    void on_signals() {
        drain_wake_pipe();
        if (g_resized.exchange(false)) rl_resize_terminal();
        if (g_interrupted.exchange(false) && installed_) clear_input();
    }

    void clear_input() {
        pending_.clear();
        rl_callback_sigcleanup();
        rl_replace_line("", 1);
        rl_crlf();
        rl_set_prompt(PROMPT);
        rl_on_new_line();
        rl_redisplay();
    }

    // Prints above the line being edited, then puts the line back as it was.
    template <class Fn>
    void with_prompt_hidden(Fn fn) {
        if (!installed_) {
            fn();
            return;
        }
        int point = rl_point;
        char* line = rl_copy_text(0, rl_end);
        rl_save_prompt();
        rl_replace_line("", 0);
        rl_redisplay();
        fn();
        rl_restore_prompt();
        rl_replace_line(line, 0);
        rl_point = point;
        rl_redisplay();
        std::free(line);
    }

    void install_handler() {
        rl_callback_handler_install(pending_.empty() ? PROMPT : CONTINUATION_PROMPT, on_line);
        installed_ = true;
    }

    void remove_handler() {
        if (installed_) rl_callback_handler_remove();
        installed_ = false;
    }

    static inline Terminal* current_ = nullptr;  // readline's line handler is a plain function
    omb::ReplClient& client_;
    std::string pending_;
    std::optional<std::string> ready_;
    bool installed_ = false;
    bool eof_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (int status = parse(argc, argv, opt)) return status < 0 ? 0 : status;

    omb::main_queue::set_main_thread();
    omb::ConsoleLog log(stderr);
    omb::CPPBridge::attach(&log);

    g_stdout_is_terminal = ::isatty(STDOUT_FILENO);
    int status = 1;
    if (opt.interactive || !opt.requests.empty()) {
        omb::ReplClient client;
        if (client.connect(opt.host, opt.port)) {
            catch_signals();
            if (opt.interactive) {
                print_reply(client.greeting());
                // A reply that comes after its wait ran out is still the process's answer: show it.
                client.on_reply([](std::string reply) {
                    omb::main_queue::post([reply = std::move(reply)] { print_reply(reply); });
                });
                status = Terminal(client).run();
            } else {
                status = run_requests(client, opt.requests);
            }
            client.close();
        }
    }
    if (opt.refused) status = 1;
    omb::main_queue::run_pending();
    omb::CPPBridge::detach();
    return status;
}
