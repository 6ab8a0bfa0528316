// The headless program's application controller, as the native library sees it (native/controller.h): the Scheme
// processes, each with its eval server, and a REPL client to each under the process's name; the log on the console,
// with a memory of its text for "sys:write-log-view"; a pasteboard text of the program's own; the help dictionary
// read as the editor reads it. There are no editor buffers and no message bar.
//
// Threads: construction, start_primary(), stop_processes() and destruction on the main thread, whose loop must run
// the main-thread queue: new_process and connect_to_process are posted there and return at once. The log target
// is called on the main thread, as every target is. Everything else may be called from any thread.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "editor/text/documentation.h"
#include "native/controller.h"
#include "platform/console_log.h"

namespace omb {

class ReplClient;
class SchemeInterface;

class HeadlessController : public NativeController {
public:
    // `scheme_folder`: where init.scm and the standard files are. The log writes to `console`.
    explicit HeadlessController(std::string scheme_folder, std::FILE* console = stdout);
    ~HeadlessController() override;  // stops the processes
    HeadlessController(const HeadlessController&) = delete;
    HeadlessController& operator=(const HeadlessController&) = delete;

    // The primary process on the first of `tries` ports from `first_port` that it can bind, each taken port said on
    // standard error; the port, or 0 when none could be had.
    int start_primary(int first_port, int tries);
    // Closes the REPL clients, then stops every process; later requests to create or connect do nothing.
    void stop_processes();
    // The console log that also keeps what it shows: attach it to the log bridge.
    LogTarget& log() { return log_; }
    std::string pasteboard() const;

    void new_process(const std::string& name, int port) override;
    void connect_to_process(const std::string& name, const std::string& host, int port) override;
    int index_of_repl(const std::string& name) override;
    void write_to_repl(const std::string& text, int index) override;

    void clear_log() override;
    bool write_log(const std::string& path) override;
    std::string message_bar_text() override { return ""; }
    std::optional<std::string> buffer_text(int) override { return std::nullopt; }
    bool set_buffer_text(int, const std::string&) override { return false; }
    void set_pasteboard(const std::string& text) override;
    const Documentation& documentation() override { return documentation_; }

    // The console, and the newest text shown on it, up to a bound (the oldest goes first).
    class KeptLog : public LogTarget {
    public:
        explicit KeptLog(std::FILE* console) : console_(console) {}
        void output(std::string_view text) override;
        void error(std::string_view text) override;
        void notification(std::string_view text) override;
        void styled(const StyledText& text) override;
        void clear();
        std::string text() const;

    private:
        void keep(std::string_view text);
        ConsoleLog console_;
        mutable std::mutex mutex_;
        std::deque<std::string> pieces_;
        size_t bytes_ = 0;
    };

private:
    // Main thread.
    SchemeInterface* start_process(const std::string& name, int first_port, int tries, bool quiet);
    void connect_now(const std::string& name, const std::string& host, int port);

    std::string scheme_folder_;
    Documentation documentation_;
    KeptLog log_;
    bool stopped_ = false;  // main thread
    // Work posted to the main thread looks here first: the controller may be gone by the time it runs.
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);
    std::vector<std::unique_ptr<SchemeInterface>> processes_;  // main thread

    mutable std::mutex mutex_;  // the clients, their names and the pasteboard
    std::vector<std::unique_ptr<ReplClient>> repls_;
    std::vector<std::string> repl_names_;
    std::string pasteboard_;
};

}  // namespace omb
