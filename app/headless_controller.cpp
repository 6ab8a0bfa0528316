#include "app/headless_controller.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// What the log keeps for writing out: the newest few megabytes, as a long performance would fill the memory.
constexpr size_t kKeptLogBytes = size_t{8} << 20;
// Ports tried for a process created from Scheme when the one asked for is taken: nobody is there to ask.
constexpr int kPortTries = 20;
constexpr int kLastPort = 65535;

}  // namespace

// ---- the log ---------------------------------------------------------------------------------------------------

void HeadlessController::KeptLog::output(std::string_view text) { console_.output(text), keep(text); }
void HeadlessController::KeptLog::error(std::string_view text) { console_.error(text), keep(text); }
void HeadlessController::KeptLog::notification(std::string_view text) { console_.notification(text), keep(text); }
void HeadlessController::KeptLog::styled(const StyledText& text) { console_.styled(text), keep(text.text); }

void HeadlessController::KeptLog::keep(std::string_view text) {
    std::lock_guard lock(mutex_);
    pieces_.emplace_back(text);
    bytes_ += text.size();
    while (bytes_ > kKeptLogBytes && pieces_.size() > 1) {
        bytes_ -= pieces_.front().size();
        pieces_.pop_front();
    }
}

void HeadlessController::KeptLog::clear() {
    std::lock_guard lock(mutex_);
    pieces_.clear();
    bytes_ = 0;
}

std::string HeadlessController::KeptLog::text() const {
    std::lock_guard lock(mutex_);
    std::string all;
    all.reserve(bytes_);
    for (const auto& piece : pieces_) all += piece;
    return all;
}

// ---- the controller --------------------------------------------------------------------------------------------

HeadlessController::HeadlessController(std::string scheme_folder, std::FILE* console)
    : scheme_folder_(std::move(scheme_folder)), documentation_(Documentation::load_default()), log_(console) {}

HeadlessController::~HeadlessController() { stop_processes(); }

int HeadlessController::start_primary(int first_port, int tries) {
    SchemeInterface* primary = start_process("primary process", first_port, tries, true);
    if (!primary) return 0;
    connect_now("primary process", "localhost", primary->getPort());
    return primary->getPort();
}

// Each taken port is said and the next one tried, as the windows' "Try Next Port" would.
SchemeInterface* HeadlessController::start_process(const std::string& name, int first_port, int tries, bool quiet) {
    for (int port = first_port; port < first_port + tries && port <= kLastPort; ++port) {
        if (!quiet) CPPBridge::log("Start New Scheme Process: %s  on port %d", name.c_str(), port);
        auto process = std::make_unique<SchemeInterface>(scheme_folder_, name, port);
        if (process->start()) {
            processes_.push_back(std::move(process));
            return processes_.back().get();
        }
        std::fprintf(stderr, "ombrel: port %d is taken, trying %d\n", port, port + 1);
        if (!quiet) CPPBridge::error("Cannot Bind To Port %d", port);
    }
    return nullptr;
}

void HeadlessController::stop_processes() {
    stopped_ = true;
    std::vector<std::unique_ptr<ReplClient>> closing;
    {
        std::lock_guard lock(mutex_);
        closing.swap(repls_);
        repl_names_.clear();
    }
    for (auto& repl : closing) repl->close();
    closing.clear();
    for (auto& process : processes_) process->stop();
    processes_.clear();
}

void HeadlessController::new_process(const std::string& name, int port) {
    main_queue::post([this, alive = std::weak_ptr<void>(alive_), name, port] {
        if (alive.expired() || stopped_) return;
        if (name.empty() || port < 1025 || port > kLastPort) {
            CPPBridge::error("A process needs a name and a port from 1025 to %d", kLastPort);
            return;
        }
        if (SchemeInterface::I(name)) {
            CPPBridge::error("There is a process called %s already", name.c_str());
            return;
        }
        SchemeInterface* process = start_process(name, port, kPortTries, false);
        if (!process) return;
        connect_now(name, "localhost", process->getPort());
        CPPBridge::log("Created Process: %s", name.c_str());
    });
}

void HeadlessController::connect_to_process(const std::string& name, const std::string& host, int port) {
    main_queue::post([this, alive = std::weak_ptr<void>(alive_), name, host, port] {
        if (alive.expired() || stopped_ || port < 1025 || host.empty() || name.empty()) return;
        connect_now(name, host, port);
    });
}

// Replies go to the console: there is no editor to show them, and errors in sent text surface there.
void HeadlessController::connect_now(const std::string& name, const std::string& host, int port) {
    CPPBridge::log("Connect REPL to port %d", port);
    auto repl = std::make_unique<ReplClient>();
    repl->on_reply([](std::string reply) { CPPBridge::log_text(reply); });
    const bool connected = repl->connect(host, port);
    {
        std::lock_guard lock(mutex_);
        repls_.push_back(std::move(repl));
        repl_names_.push_back(name);
    }
    if (connected) CPPBridge::notification("Connected to process");
    else CPPBridge::error("Unable to connect to port!");
}

int HeadlessController::index_of_repl(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < repl_names_.size(); ++i)
        if (repl_names_[i] == name) return static_cast<int>(i);
    return kNotFound;
}

void HeadlessController::write_to_repl(const std::string& text, int index) {
    std::lock_guard lock(mutex_);
    if (index >= 0 && index < static_cast<int>(repls_.size())) repls_[static_cast<size_t>(index)]->write_string(text);
}

void HeadlessController::clear_log() { log_.clear(); }

// Written beside the file and renamed over it: a failed write leaves what was there.
bool HeadlessController::write_log(const std::string& path) {
    const std::string temp = path + ".ombrel-writing-" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        const std::string text = log_.text();
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (!ec) return true;
    std::filesystem::remove(temp, ec);
    return false;
}

void HeadlessController::set_pasteboard(const std::string& text) {
    std::lock_guard lock(mutex_);
    pasteboard_ = text;
}

std::string HeadlessController::pasteboard() const {
    std::lock_guard lock(mutex_);
    return pasteboard_;
}

}  // namespace omb
