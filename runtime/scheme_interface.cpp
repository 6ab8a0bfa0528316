#include "runtime/scheme_interface.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interpreter/cell_renderer.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/objects/object.h"
#include "runtime/native_libraries.h"
#include "runtime/wire_protocol.h"
#include "scheduler/scheduler.h"

namespace omb {

void run_eval_server(SchemeInterface* process);

namespace {

std::mutex registry_mutex;
std::vector<SchemeInterface*> INSTANCES;
std::map<scheme*, SchemeInterface*> SCHEME_MAP;
std::map<std::string, SchemeInterface*> SCHEME_NAME_MAP;

// The files every process loads after its native libraries, from the resources folder, in this order.
const char* const STANDARD_FILES[] = {"comlist.scm", "sort.scm", "mbe.scm",      "ombrel.scm",
                                      "au.scm",      "io.scm",   "graphics.scm", "openglconst.scm"};

int32_t clock_low32() { return static_cast<int32_t>(SampleClock::TIME.load()); }


bool applicable(pointer p) {
    return is_closure(p) || is_continuation(p) || is_proc(p) || is_foreign(p);
}

std::filesystem::path user_library_folder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::filesystem::path(data) / "ombrel" / "library";
    if (const char* home = std::getenv("HOME")) return std::filesystem::path(home) / ".local/share/ombrel/library";
    return {};
}

}  // namespace

std::filesystem::path user_startup_file() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::filesystem::path(config) / "ombrel" / "startup.scm";
    if (const char* home = std::getenv("HOME")) return std::filesystem::path(home) / ".config/ombrel/startup.scm";
    return {};
}

std::string printed(scheme* sc, pointer x) {
    std::ostringstream os;
    printSchemeCell(sc, os, x, false);
    return os.str();
}

// ---- SchemeObj ---------------------------------------------------------------------------------------------------

SchemeObj::SchemeObj(scheme* sc, pointer value, pointer environment)
    : scheme_(sc), environment_(environment), value_(value) {
    // A null cell used to end the program; here it is an error the caller sees as an invalid object.
    if (!environment_) {
        CPPBridge::error("SchemeObj built without a cell to protect");
        return;
    }
    protect_cell(sc, environment_);
}

SchemeObj::~SchemeObj() {
    if (!environment_) return;
    // The release happens on the executer, the only thread that may touch the interpreter.
    if (SchemeInterface* owner = SchemeInterface::I(scheme_))
        owner->createSchemeTask(environment_, "destroy SchemeObj", SchemeTaskType::release);
}

// ---- construction, start, stop ---------------------------------------------------------------------------------

SchemeInterface::SchemeInterface(std::string path, std::string name, int port)
    : path_(std::move(path)), name_(std::move(name)), port_(port) {
    task_thread_ = std::make_unique<Thread>("ombrel executer", [this] { executerBody(); });
    server_thread_ = std::make_unique<Thread>("ombrel server", [this] { run_eval_server(this); });
    if (path_.empty() || path_.back() != '/') path_ += '/';
    sc_ = scheme_init_new();
    if (!sc_) {
        CPPBridge::error("Not enough memory for the interpreter of %s", name_.c_str());
        running_ = false;
        return;
    }
    scheme_set_external_data(sc_, this);
    if (const size_t limit = STRING_MEMORY_LIMIT.load()) scheme_set_string_limit(sc_, limit);
    std::memset(output_, 0, sizeof output_);
    scheme_set_output_port_string(sc_, output_, output_ + 255);
    if (!loadFile("init.scm", path_.substr(0, path_.size() - 1))) {
        std::fputs("ERROR: Could not locate file: init.scm\nExiting system!!\n", stdout);
        std::exit(1);
    }
    reply_wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    server_socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server_socket_ < 0) std::fputs("Error opening ombrel socket\n", stdout);
    addGlobal("*omb-envs*", sc_->NIL);
    callback_target_ = std::make_unique<CMI<SchemeInterface>>(&SchemeInterface::schemeCallback, this);
    addGlobalCptr("*callback*", callback_target_.get());
    addForeignFunc("call-cpp-at-time", callCPPAtTime);
    addForeignFunc("random-int", randomInt);
    addForeignFunc("random-real", randomDouble);
    addForeignFunc("random-gaussian", randomGaussian);
    addForeignFunc("fmod", modulo);
    addForeignFunc("omb-rem", rremainder);
    addForeignFunc("io:read-midi-file", readMIDIFile);
    addForeignFunc("sexpr->string", sexprToString);
    addForeignFunc("print", print);
    addForeignFunc("print-error", printError);
    addForeignFunc("print-notification", printNotification);
    addForeignFunc("io:set-caps-through", setCapsThrough);
    addForeignFunc("sys:run-gc", collectGarbage);
    addForeignFunc("sys:dump-stack", dumpStack);
    addForeignFunc("sys:verbose-error-logging", extendedErrorLogging);
    addForeignFunc("sys:task-queue-logging", taskQueueLogging);
    addForeignFunc("sys:scheme-eval-timer", schemeEvalTimer);
    // Raised, but time-shared: a runaway evaluation must not starve the audio or the server that interrupts it.
    task_thread_->set_scheduling(Scheduling::raised);
    server_thread_->set_scheduling(Scheduling::raised);
}

SchemeInterface::~SchemeInterface() {
    if (!stopped_) stop();
    if (sc_) {
        scheme_deinit(sc_);
        std::free(sc_);
    }
    if (server_socket_ >= 0) ::close(server_socket_);
    if (reply_wake_fd_ >= 0) ::close(reply_wake_fd_);
    for (auto& task : task_queue_) {
        if (task.type == SchemeTaskType::eval_string) std::free(task.pointer);
        if (task.type == SchemeTaskType::closure_callback) delete static_cast<SchemeObj*>(task.pointer);
    }
}

bool SchemeInterface::start() {
    if (!sc_ || server_socket_ < 0) {
        running_ = false;
        return false;
    }
    if (port_ == 0) return startWithoutServer();
    int yes = 1;
    ::setsockopt(server_socket_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    if (::inet_pton(AF_INET, LISTEN_ADDRESS.c_str(), &addr.sin_addr) != 1) addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(server_socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fputs("Error binding ombrel address to socket\n", stdout);
        running_ = false;
        return false;
    }
    if (::listen(server_socket_, 5) != 0) {
        running_ = false;
        std::fputs("Problem listening to ombrel socket\n", stdout);
        return false;
    }
    std::fputs("STARTED OMBREL SERVER\n", stdout);
    std::fflush(stdout);
    registerProcess();
    task_thread_->start();
    server_thread_->start();
    return true;
}

// An offline render takes no requests from outside: the process evaluates only what the renderer hands it.
bool SchemeInterface::startWithoutServer() {
    ::close(server_socket_);
    server_socket_ = -1;
    registerProcess();
    task_thread_->start();
    return true;
}

void SchemeInterface::registerProcess() {
    std::lock_guard lock(registry_mutex);
    SCHEME_NAME_MAP[name_] = this;
    INSTANCES.push_back(this);
    SCHEME_MAP[sc_] = this;
}

void SchemeInterface::stop() {
    if (stopped_.exchange(true)) return;
    if (task_thread_->started()) std::fputs("Stop Scheme Interface\n", stdout);  // not for one that never started
    unregister();  // nothing hands this process out or queues work for it any more
    running_ = false;
    guard_.notify_all();
    // Shutting the listening socket down ends the server's wait; it is closed only once the server has let go of
    // it, so its number cannot be reused under the server's feet.
    if (server_socket_ >= 0 && ::shutdown(server_socket_, SHUT_RDWR) != 0 && errno != ENOTCONN)
        std::fprintf(stderr, "SchemeInterface Error: Error shutting down server socket %s\n", std::strerror(errno));
    interruptUntilExecuterEnds();
    task_thread_->join();
    server_thread_->join();
    if (server_socket_ >= 0 && ::close(server_socket_) != 0)
        std::fprintf(stderr, "SchemeInterface Error: Error closing server socket %s\n", std::strerror(errno));
    server_socket_ = -1;
    // The executer can schedule no more: what it scheduled refers to this process and its interpreter.
    Scheduler::singleton().withdraw(sc_);
}

void SchemeInterface::unregister() {
    std::lock_guard lock(registry_mutex);
    std::erase(INSTANCES, this);
    std::erase_if(SCHEME_MAP, [this](const auto& entry) { return entry.second == this; });
    std::erase_if(SCHEME_NAME_MAP, [this](const auto& entry) { return entry.second == this; });
}

// A runaway evaluation never looks at the running flag: it is interrupted, again if a new one has begun, until the
// executer has seen the flag and ended.
void SchemeInterface::interruptUntilExecuterEnds() {
    if (!task_thread_->started()) return;
    while (!executer_done_.load(std::memory_order_acquire)) {
        if (sc_) scheme_interrupt(sc_);
        guard_.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool SchemeInterface::loadFile(const std::string& name, const std::string& folder) {
    std::string path = folder + "/" + name;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        std::printf("ERROR: Unable to locate file: %s\n", path.c_str());
        return false;
    }
    // A library file that fails in native code must not take the start-up (or the executer) with it.
    try {
        scheme_load_file(sc_, f);
    } catch (const std::exception& e) {
        CPPBridge::error("Loading %s failed: %s", path.c_str(), e.what());
    } catch (...) {
        CPPBridge::error("Loading %s failed: unknown exception", path.c_str());
    }
    std::fclose(f);
    return true;
}

void SchemeInterface::banner(std::ostream& os) {
    auto framed = [&](const std::string& text) {
        std::string line = text.substr(0, 38);
        size_t pad = 38 - line.size();
        os << "##" << std::string(pad / 2, ' ') << line << std::string(pad - pad / 2, ' ') << "##\n";
    };
    os << "\n" << std::string(42, '#') << "\n";
    framed("Ombrel");
    framed("");
    framed("live coding for music and graphics");
    os << "##" << std::string(38, '-') << "##\n";
    framed("");
    framed("free software, GPL-3.0-or-later");
    framed("evaluate with care: it is live");
    framed("");
    os << std::string(42, '#') << "\n";
    os << std::string(5, ' ') << std::string(32, '#') << "\n";
    os << std::string(10, ' ') << std::string(22, '#') << "\n";
    os << std::string(15, ' ') << std::string(12, '#') << "\n";
    os << std::string(20, ' ') << std::string(2, '#') << "\n\n";
}

// ---- globals -----------------------------------------------------------------------------------------------------

void SchemeInterface::addGlobal(const char* name, pointer value) {
    scheme_define(sc_, sc_->global_env, mk_symbol(sc_, name), value);
}

void SchemeInterface::addForeignFunc(const char* name, foreign_func f) { addGlobal(name, mk_foreign_func(sc_, f)); }

void SchemeInterface::addGlobalCptr(const char* name, void* p) { addGlobal(name, mk_cptr(sc_, p)); }

// ---- registries --------------------------------------------------------------------------------------------------

SchemeInterface* SchemeInterface::I(size_t index) {
    std::lock_guard lock(registry_mutex);
    return index < INSTANCES.size() ? INSTANCES[index] : nullptr;
}

SchemeInterface* SchemeInterface::I(scheme* sc) {
    std::lock_guard lock(registry_mutex);
    auto it = SCHEME_MAP.find(sc);
    return it == SCHEME_MAP.end() ? nullptr : it->second;
}

SchemeInterface* SchemeInterface::I(const std::string& name) {
    std::lock_guard lock(registry_mutex);
    auto it = SCHEME_NAME_MAP.find(name);
    return it == SCHEME_NAME_MAP.end() ? nullptr : it->second;
}

size_t SchemeInterface::count() {
    std::lock_guard lock(registry_mutex);
    return INSTANCES.size();
}

void SchemeInterface::addConnectionEntry() {
    std::lock_guard lock(registry_mutex);
    if (!INSTANCES.empty()) INSTANCES.push_back(INSTANCES.front());
}

// ---- tasks -------------------------------------------------------------------------------------------------------

void SchemeInterface::createSchemeTask(void* pointer, const std::string& label, SchemeTaskType type) {
    createSchemeTask(clock_low32(), pointer, label, type);
}

void SchemeInterface::createSchemeTask(int32_t time, void* pointer, const std::string& label, SchemeTaskType type) {
    if (guard_.is_owned_by_current_thread()) {
        CPPBridge::notification("Thread trying to relock creating scheme task. Potential deadlock. Dropping Task!");
        return;
    }
    std::lock_guard lock(guard_);
    task_queue_.push_back(SchemeTask{time, pointer, label, type});
    // All: the server thread may be waiting on the same guard for a reply, and a single notification could wake it
    // instead of the executer, leaving the task for the executer's next time-out.
    guard_.notify_all();
}

size_t SchemeInterface::queueSize() {
    std::lock_guard lock(guard_);
    return task_queue_.size();
}

bool SchemeInterface::isIdle() {
    std::lock_guard lock(guard_);
    return ready_ && task_queue_.empty() && !executing_;
}

void SchemeInterface::schemeCallback(TaskI* task) {
    auto* t = static_cast<Task<SchemeObj*>*>(task);
    if (guard_.is_owned_by_current_thread()) {
        CPPBridge::notification("Thread trying to relock during scheme callback. Potential deadlock. Dropping Task!");
        delete t->getArg();
        return;
    }
    std::lock_guard lock(guard_);
    task_queue_.push_back(
        SchemeTask{static_cast<int32_t>(task->time()), t->getArg(), "tmp_label", SchemeTaskType::closure_callback});
    guard_.notify_all();  // as in createSchemeTask
}

void SchemeInterface::queueRequest(uint64_t request, char* text, const std::string& label) {
    std::lock_guard lock(guard_);
    task_queue_.push_back(SchemeTask{0, text, label, SchemeTaskType::eval_string, request});
    guard_.notify_all();
}

// Only the eval server awaits replies, each under its request's number: a task from anyone else (MIDI, a mouse)
// has no reply to keep, and a reply can never land on a request it does not answer.
void SchemeInterface::storeReply(const SchemeTask& task, std::string text, bool failed) {
    if (task.reply_to == 0) return;
    {
        std::lock_guard lock(guard_);
        replies_[task.reply_to] = Reply{std::move(text), failed};
    }
    const uint64_t one = 1;
    if (reply_wake_fd_ >= 0) [[maybe_unused]] auto n = ::write(reply_wake_fd_, &one, sizeof one);
}

bool SchemeInterface::takeReply(uint64_t request, std::string& reply, bool* failed) {
    std::lock_guard lock(guard_);
    auto it = replies_.find(request);
    const bool arrived = it != replies_.end();
    if (arrived) {
        reply = std::move(it->second.text);
        if (failed) *failed = it->second.failed;
    }
    replies_.erase(replies_.begin(), arrived ? std::next(it) : replies_.lower_bound(request));
    return arrived;
}

// ---- the executer --------------------------------------------------------------------------------------------------

void SchemeInterface::startInterpreter() {
    std::string resources = path_.substr(0, path_.size() - 1);
    try {
        register_native_libraries(this);
    } catch (const std::exception& e) {
        CPPBridge::error("Native libraries of %s failed to register: %s", name_.c_str(), e.what());
    }
    devlog("Loading standard scheme files");
    // A stop during start-up (a library file that runs away) skips what is left.
    for (const char* file : STANDARD_FILES)
        if (running_) loadFile(file, resources);
    devlog("Loading library scheme files");
    auto folder = user_library_folder();
    std::error_code ec;
    if (!folder.empty() && std::filesystem::is_directory(folder, ec)) {
        std::vector<std::filesystem::path> files;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".scm") files.push_back(it->path());
        std::sort(files.begin(), files.end());  // a stable order a performer can predict
        for (const auto& f : files) {
            if (!running_) break;
            devlog("Load File %s,%s", f.lexically_relative(folder).c_str(), folder.c_str());
            loadFile(f.filename().string(), f.parent_path().string());
        }
    }
    if (name_ == "primary process" && running_) {
        std::puts("Check for startup file");
        const auto startup = user_startup_file();
        if (!startup.empty() && std::filesystem::exists(startup, ec)) {
            std::puts("Loading startup file");
            loadFile(startup.filename().string(), startup.parent_path().string());
        }
    }
    std::fflush(stdout);
    ready_ = true;
}

void SchemeInterface::executerBody() {
    startInterpreter();
    for (;;) {
        if (!running_) {
            std::puts("Exiting task thread");
            executer_done_.store(true, std::memory_order_release);
            return;
        }
        for (;;) {
            SchemeTask task;
            {
                std::lock_guard lock(guard_);
                executing_ = false;
                if (task_queue_.empty() || !running_) break;
                task = std::move(task_queue_.front());
                task_queue_.pop_front();
                executing_ = true;
            }
            runTask(task);
            tasks_done_.fetch_add(1);
        }
        std::unique_lock lock(guard_);
        if (task_queue_.empty() && running_) guard_.wait_for(std::chrono::milliseconds(5));
    }
}

// Whatever a task throws is reported once and the executer goes on with the next: an evaluation that failed in
// native code still gets its reply, and later evaluations and callbacks run as before.
void SchemeInterface::runTask(SchemeTask& task) {
    try {
        dispatch(task);
    } catch (const std::exception& e) {
        taskFailed(task, e.what());
    } catch (...) {
        taskFailed(task, "unknown exception");
    }
    // An interrupt aimed at this evaluation must not outlive it.
    sc_->interrupt.store(0, std::memory_order_relaxed);
}

void SchemeInterface::dispatch(SchemeTask& task) {
    switch (task.type) {
    case SchemeTaskType::eval_string: runEvalString(task); break;
    case SchemeTaskType::closure_callback: runClosureCallback(task); break;
    case SchemeTaskType::release: unprotect_cell(sc_, static_cast<pointer>(task.pointer)); break;
    case SchemeTaskType::runloop_callback: runRunloopCallback(task); break;
    default: std::fputs("ERROR: BAD SchemeTask type!!\n", stderr); break;
    }
}

void SchemeInterface::taskFailed(SchemeTask& task, const char* what) {
    std::string report = std::string("Evaluation failed: ") + what;
    CPPBridge::error_text(report);
    reset_output();
    if (task.type == SchemeTaskType::eval_string) storeReply(task, report, true);
}

namespace {
void report_eval_time(uint64_t started) {
    if (SCHEME_EVAL_TIMING)
        CPPBridge::notification("EXEC TIME: %d", static_cast<int>(SampleClock::TIME.load() - started));
}
}  // namespace

void SchemeInterface::runEvalString(SchemeTask& task) {
    std::unique_ptr<char, decltype(&std::free)> owned(static_cast<char*>(task.pointer), &std::free);
    task.pointer = nullptr;
    char* text = owned.get();
    size_t n = std::strlen(text);
    if (n > 0 && text[n - 1] == wire::TERMINATOR) text[n - 1] = 0;
    uint64_t started = SampleClock::TIME.load();
    scheme_load_string(sc_, text);
    report_eval_time(started);
    if (sc_->retcode == 0 && sc_->loaded_data == 0) {
        storeReply(task, wire::GIVEN_UP);  // nothing to evaluate: no value, least of all one left from before
    } else if (sc_->retcode == 0) {
        storeReply(task, printed(sc_, sc_->value));
    } else {
        storeReply(task, std::string(output_, strnlen(output_, sizeof output_)), true);
        reset_output();
    }
}

void SchemeInterface::reset_output() {
    std::memset(output_, 0, sizeof output_);
    scheme_set_output_port_string(sc_, output_, output_ + 255);
}

// A callback's error must reach the log, and its report must not turn up in the reply to some later evaluation.
// The evaluator logs its own errors; one raised by the `error` primitive is only in the output, where no reply
// will carry it: it goes to the log from there.
void SchemeInterface::forget_callback_error(uint64_t errors_logged_before) {
    if (sc_->retcode == 0) return;
    if (sc_->errors_logged == errors_logged_before) {
        const std::string report(output_, strnlen(output_, sizeof output_));
        if (!report.empty()) CPPBridge::error_text(report.back() == '\n' ? report.substr(0, report.size() - 1) : report);
    }
    reset_output();
}

void SchemeInterface::runClosureCallback(SchemeTask& task) {
    std::unique_ptr<SchemeObj> obj(static_cast<SchemeObj*>(task.pointer));  // destroyed after the call, come what may
    task.pointer = nullptr;
    pointer value = obj->getValue();
    pointer proc = is_pair(value) ? pair_car(value) : value;
    if (!is_pair(value) || !applicable(proc)) {
        std::string text = printed(sc_, value);
        std::fprintf(stderr, "Bad Closure ... %s Ignoring callback request \n", text.c_str());
        CPPBridge::error("Bad closure %s Ignoring callback request", text.c_str());
    } else {
        uint64_t started = SampleClock::TIME.load();
        const uint64_t errors = sc_->errors_logged;
        scheme_call(sc_, proc, pair_cdr(value));
        report_eval_time(started);
        forget_callback_error(errors);
    }
}

// Runloop callbacks come from other copies of the program (port messages): they may call the performer's own
// procedures, never a native one by name (a file or script procedure would hand the network the machine).
void SchemeInterface::runRunloopCallback(SchemeTask& task) {
    pointer slot = find_slot_in_env(sc_, sc_->global_env, mk_symbol(sc_, task.label.c_str()), 1);
    pointer proc = slot != sc_->NIL ? slot_value_in_env(slot) : sc_->NIL;
    if (!is_closure(proc)) {
        std::string text = printed(sc_, proc);
        std::fprintf(stderr, "Bad Closure From Symbol ... %s Ignoring runloop-callback request \n", text.c_str());
        CPPBridge::error("Bad closure %s Ignoring runloop-callback request", text.c_str());
        if (task.pointer) static_cast<Object*>(task.pointer)->release();
        return;
    }
    pointer args = s_cons(sc_, mk_objc(sc_, static_cast<Object*>(task.pointer)), sc_->NIL);
    uint64_t started = SampleClock::TIME.load();
    const uint64_t errors = sc_->errors_logged;
    scheme_call(sc_, proc, args);
    report_eval_time(started);
    forget_callback_error(errors);
}

}  // namespace omb
