// REPL client: a terminal's or an editor's connection to one process's eval server.
//
// A request goes out as text ended by byte 7; the server answers every request with one reply ended by byte 0.
// TCP splits and joins those bytes as it likes, so a reader thread of the client's own reassembles each reply
// from the stream and hands it on whole. Requests and replies travel independently: several requests may be in
// flight, and the replies come back in the order the requests were sent.
//
// Threads: connect(), close() and the destructor belong to the owner's thread; write_string(), interrupt() and
// eval() may be called from any thread; the reply callback runs on the reader thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace omb {

class ReplClient {
public:
    ReplClient() = default;
    ~ReplClient();  // closes; never destroy the client from its own reply callback
    ReplClient(const ReplClient&) = delete;
    ReplClient& operator=(const ReplClient&) = delete;

    // Connects over TCP (IPv4 or IPv6, every address the name resolves to in turn), reads the server's greeting
    // and starts the reader thread. True when connected afterwards; true at once when already connected. A client
    // whose connection ended may connect again. Failures are reported to the log.
    bool connect(const std::string& host, int port);
    bool connected() const { return connected_.load(); }
    // The banner and prompt the server greeted with, without the byte 0 that ends them.
    const std::string& greeting() const { return greeting_; }

    // Receives each complete reply on the reader thread, except the one an eval() is waiting for. Replies that
    // arrive with no callback set are dropped.
    void on_reply(std::function<void(std::string)> callback);

    // Sends one request: the text trimmed of white space at both ends, the protocol's own control bytes 0, 3 and 7
    // replaced by '?' (every other byte, UTF-8 included, goes as it is), then byte 7. False, with an error in the
    // log, when the write fails or the trimmed text is longer than wire::MAX_REQUEST_BYTES (the server would give
    // it up; nothing is sent); false, silently, when not connected.
    bool write_string(std::string_view text);

    // Asks the server to interrupt the evaluation it is running (one byte 3).
    void interrupt();

    // Sends the request "shutdownreplthread", shuts the connection down and waits for the reader thread to end.
    // Only after that request is a reply "shutdownreplthread" the server's goodbye; before, it is an ordinary reply.
    void close();

    // Sends `text` and waits for the next reply, up to `timeout`. Nothing when the send fails, the connection
    // ends or the time runs out. `while_waiting`, when given, is called on the waiting thread about every 50 ms
    // (to run the caller's queue or pass on a Ctrl-C as interrupt()). One eval at a time; never call it from
    // the reply callback.
    std::optional<std::string> eval(std::string_view text, std::chrono::milliseconds timeout,
                                    const std::function<void()>& while_waiting = {});

private:
    bool send_request(std::string_view text, bool report_failure);
    void read_loop(std::string pending);
    bool take_reply(std::string reply);  // false when the reply asks the reader to stop
    void deliver(std::string reply);
    void mark_disconnected();
    void release_connection();

    std::atomic<bool> connected_{false};
    std::atomic<bool> closing_{false};
    int fd_ = -1;            // written by the owner only while no reader thread runs
    std::string greeting_;
    std::thread reader_;

    std::mutex write_mutex_;  // one request's pieces never interleave with another's
    std::mutex eval_mutex_;   // one eval at a time

    std::mutex state_mutex_;  // guards what follows, and the moment connected_ turns false
    std::condition_variable state_changed_;
    std::function<void(std::string)> callback_;
    bool awaiting_ = false;
    std::optional<std::string> awaited_;
};

// Whether the text typed so far is a whole input: every parenthesis it opens is closed and no string is left
// open. Parentheses inside strings, character literals (#\( #\)) and comments (; and #! to the line end) do not
// count; a surplus of closing parentheses counts as whole, so the server can report it.
bool repl_input_complete(std::string_view text);

// A reply made safe to write to a terminal: control characters are shown, not obeyed, so that a reply cannot
// clear the screen, move the cursor or retitle the window. Caret notation, as `cat -v` writes it: ESC is ^[,
// byte 1 is ^A, DEL is ^?, and the C1 controls U+0080..U+009F are M-^@..M-^_. Newline and tab are kept.
std::string escape_controls(std::string_view text);

}  // namespace omb
