// The application with windows: the Qt event loop as the main loop, the log window and the editor windows around
// the audio engine and the Scheme processes, and the controller (`OmbrelResources`) that owns what they share: the
// preferences, the buffers, the processes and the REPL connections to them, the help dictionary.
//
// Threads: everything here runs on the main thread. Other threads reach it through the main-thread queue, which
// the event loop drains as soon as something is posted.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/preferences.h"
#include "editor/text/documentation.h"

class QWidget;

namespace omb {

class EditorWindow;
class LogWindow;
class ReplClient;
class SchemeInterface;

struct ApplicationStart {
    Preferences* prefs = nullptr;
    std::filesystem::path prefs_file;
    std::string scheme_folder;  // where init.scm and the standard files are
    int port = 7010;            // the primary process's
    std::vector<std::string> files;  // opened in buffers at start
    const std::atomic<bool>* quit = nullptr;  // set by a signal: the application ends as if the performer quit
    // Runs the stopping of the processes, ending the program should it hang.
    std::function<void(const std::function<void()>&)> stop_or_exit;
};

// One text buffer: what an editor window shows. The text itself lives in the window's editor document.
struct TextStoreContainer {
    std::string name = "No Name";
    std::string fileName = "No Name";
    void* document = nullptr;  // the QsciDocument, owned by the controller
    int location = 0;          // the cursor, saved when a window leaves the buffer
    bool modified = false;
};

class OmbrelResources {
public:
    explicit OmbrelResources(const ApplicationStart& start);
    ~OmbrelResources();
    static OmbrelResources* sharedInstance();

    // Starts a process and connects a REPL to it. With the port taken, asks "Cannot Bind To Port": "Try Next Port"
    // tries port + 1 (up to 9999), "Quit" ends the application. False when no process was made.
    bool newProcess(const std::string& name, int port);
    bool connectToProcess(const std::string& name, const std::string& host, int port);
    // Any thread (a process's executer sends inter-process text through it).
    void writeString(const std::string& text, int repl);
    // Stops the evaluation that process is running (a runaway loop); the process and its definitions stay.
    void interrupt(int repl);
    static constexpr int kNotFound = 2147483647;
    // Any thread.
    int indexOfRepl(const std::string& name) const;
    // Main thread: only the main thread changes the list.
    const std::vector<std::string>& replNames() const { return repl_names_; }

    EditorWindow* newEditor();
    // Opens a file in a new buffer, shown in the frontmost editor window (or a new one). "File already open" when
    // a buffer holds it already; a file that cannot be read is reported and no buffer is lost.
    void openFile(const std::string& path);
    int addBuffer(const std::string& name, const std::string& file_name, const std::string& text);
    void removeBuffer(int index);
    std::vector<TextStoreContainer>& buffers() { return buffers_; }

    Preferences& preferences() { return *start_.prefs; }
    const Documentation& documentation() const { return documentation_; }
    LogWindow* logView() const { return log_.get(); }
    // The log window, opened before the first process so that its start is in the log.
    void openLog();
    void openPreferences();
    void applyPreferences();

    // The application is quitting: asks about unsaved buffers (false: stay), then records window frames and
    // saves the preferences.
    bool applicationShouldTerminate();
    void applicationWillTerminate();
    // Stops the processes (their threads end); the engine is the caller's.
    void stopProcesses();
    // With "startup.scm" in the performer's configuration folder the application runs without windows.
    bool windowless() const { return windowless_; }

private:
    ApplicationStart start_;
    Documentation documentation_;
    std::unique_ptr<LogWindow> log_;
    std::vector<std::unique_ptr<SchemeInterface>> processes_;
    std::vector<std::string> process_names_;
    // Changed on the main thread under repls_mutex_, read under it from other threads.
    mutable std::mutex repls_mutex_;
    std::vector<std::unique_ptr<ReplClient>> repls_;
    std::vector<std::string> repl_names_;
    std::vector<TextStoreContainer> buffers_;
    bool windowless_ = false;
    bool terminated_ = false;
};

// Runs the application until the performer quits; the audio engine is already running. Returns the exit status.
int run_application(int& argc, char** argv, const ApplicationStart& start);

}  // namespace omb
