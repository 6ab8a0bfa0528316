// A Scheme process: one named interpreter, the eval server that feeds it over TCP and the task executer that alone
// evaluates in it. Other threads hand work over with createSchemeTask; processes are found through I().
//
// Threads: the constructor and start() run on the main thread; after start() the interpreter belongs to the task
// thread. The task queue and the results map are shared under the process guard "Scheme Guard".
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "interpreter/process_switches.h"
#include "interpreter/scheme.h"
#include "platform/thread.h"
#include "runtime/scheme_obj.h"
#include "scheduler/sample_clock.h"

namespace omb {

// The kinds of work a process's executer does; the numbers are the ones the task records have always carried.
enum class SchemeTaskType : int {
    eval_string = 0,       // pointer: a malloc'ed text, freed by the executer; label: the reply key
    closure_callback = 1,  // pointer: a SchemeObj holding (procedure . arguments), destroyed after the call
    release = 2,           // pointer: a protected cell to let go of
    runloop_callback = 4,  // pointer: a platform object; label: the name of a global procedure to call with it
};

// Work for a process's executer.
struct SchemeTask {
    int32_t time;
    void* pointer;
    std::string label;
    SchemeTaskType type;
    uint64_t reply_to = 0;  // the eval server's request number its reply is awaited under; 0: nobody awaits one
};

class SchemeInterface {
public:
    // The address the eval servers listen on; loopback unless opened to the network on purpose.
    static inline std::string LISTEN_ADDRESS = "127.0.0.1";
    // How long the eval server waits for a reply before it answers with what it has (tests shorten it).
    static inline std::atomic<int64_t> REPLY_LIMIT_MS{250000};
    // What the strings of each process's interpreter may hold, in bytes; 0 keeps the interpreter's default (a
    // quarter of physical memory). Set from the preferences before processes are made.
    static inline std::atomic<size_t> STRING_MEMORY_LIMIT{0};

    SchemeInterface(std::string path, std::string name, int port);
    ~SchemeInterface();
    SchemeInterface(const SchemeInterface&) = delete;
    SchemeInterface& operator=(const SchemeInterface&) = delete;

    // Port 0: no eval server (an offline render); the executer alone.
    bool start();
    void stop();
    bool loadFile(const std::string& name, const std::string& folder);
    static void banner(std::ostream& os);

    void addGlobal(const char* name, pointer value);
    void addForeignFunc(const char* name, foreign_func f);
    void addGlobalCptr(const char* name, void* p);

    static SchemeInterface* I(size_t index);
    static SchemeInterface* I(scheme* sc);
    static SchemeInterface* I(const std::string& name);
    static size_t count();
    // A REPL connection made from Scheme to a process elsewhere: INSTANCES gains one more entry for it, the primary
    // process again, so that entries stay one per connection. Nothing when no process runs.
    static void addConnectionEntry();

    // Any thread but the executer's while it holds the guard: queue work for the executer.
    void createSchemeTask(void* pointer, const std::string& label, SchemeTaskType type);
    void createSchemeTask(int32_t time, void* pointer, const std::string& label, SchemeTaskType type);
    // The target of "*callback*": hands a due Scheme callback to the executer.
    void schemeCallback(TaskI* task);

    // The eval server's side. A request (`text` malloc'ed, owned by the executer from here) is evaluated in turn and
    // its reply kept under `request` until taken; the wake descriptor becomes readable whenever a reply arrives.
    void queueRequest(uint64_t request, char* text, const std::string& label);
    // Takes the reply to `request` if it has arrived, and forgets replies to earlier requests (given up).
    // `failed` (when given) tells whether the evaluation ended in an error.
    bool takeReply(uint64_t request, std::string& reply, bool* failed = nullptr);
    int replyWakeFd() const { return reply_wake_fd_; }

    scheme* getScheme() const { return sc_; }
    const std::string& getName() const { return name_; }
    int getPort() const { return port_; }
    bool isRunning() const { return running_; }
    // True once the executer has registered the libraries and loaded the standard files.
    bool isReady() const { return ready_; }
    size_t queueSize();
    // No task queued and none running: what the offline clock waits for before it renders the next buffer.
    bool isIdle();
    // Tasks the executer has finished since it started: a clock that waits for the work sees any it missed.
    uint64_t tasksDone() const { return tasks_done_.load(); }

    // The process built-ins (foreign functions).
    static pointer callCPPAtTime(scheme* sc, pointer args);
    static pointer randomInt(scheme* sc, pointer args);
    static pointer randomDouble(scheme* sc, pointer args);
    static pointer randomGaussian(scheme* sc, pointer args);
    static pointer modulo(scheme* sc, pointer args);
    static pointer rremainder(scheme* sc, pointer args);
    static pointer readMIDIFile(scheme* sc, pointer args);
    static pointer sexprToString(scheme* sc, pointer args);
    static pointer print(scheme* sc, pointer args);
    static pointer printError(scheme* sc, pointer args);
    static pointer printNotification(scheme* sc, pointer args);
    static pointer setCapsThrough(scheme* sc, pointer args);
    static pointer collectGarbage(scheme* sc, pointer args);
    static pointer dumpStack(scheme* sc, pointer args);
    static pointer extendedErrorLogging(scheme* sc, pointer args);
    static pointer taskQueueLogging(scheme* sc, pointer args);
    static pointer schemeEvalTimer(scheme* sc, pointer args);

private:
    friend class EvalServer;
    void executerBody();
    void startInterpreter();
    void runTask(SchemeTask& task);
    void dispatch(SchemeTask& task);
    void taskFailed(SchemeTask& task, const char* what);
    void unregister();
    void registerProcess();
    bool startWithoutServer();
    void interruptUntilExecuterEnds();
    void runEvalString(SchemeTask& task);
    void runClosureCallback(SchemeTask& task);
    void runRunloopCallback(SchemeTask& task);
    void reset_output();
    void forget_callback_error(uint64_t errors_logged_before);
    void storeReply(const SchemeTask& task, std::string text, bool failed = false);

    char output_[256];
    std::string path_;
    std::string name_;
    scheme* sc_ = nullptr;
    std::unique_ptr<Thread> task_thread_;
    std::unique_ptr<Thread> server_thread_;
    Guard guard_{"Scheme Guard"};
    int port_;
    std::atomic<bool> running_{true};
    std::atomic<bool> ready_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> executer_done_{false};
    std::atomic<uint64_t> tasks_done_{0};
    bool executing_ = false;  // under the guard
    int server_socket_ = -1;
    std::deque<SchemeTask> task_queue_;
    struct Reply {
        std::string text;
        bool failed;
    };
    std::map<uint64_t, Reply> replies_;  // by request number; under the guard
    int reply_wake_fd_ = -1;                    // an eventfd: the server's poll wakes when a reply is stored
    std::unique_ptr<CMI<SchemeInterface>> callback_target_;
};

// The text a process's printed value is replied with: `printSchemeCell` in short form.
std::string printed(scheme* sc, pointer x);

// The performer's own start-up file, loaded by the primary process after the library folder:
// $XDG_CONFIG_HOME/ombrel/startup.scm, else ~/.config/ombrel/startup.scm. With it, the application starts without
// windows (an installation piece).
std::filesystem::path user_startup_file();

}  // namespace omb
