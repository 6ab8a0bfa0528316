// What the native library needs of the application: its processes and the REPL clients that reach them, the log
// view, the editor's buffers and message bar, the pasteboard, the help dictionary, the screens and the menu bars. The windowed application and
// the headless program each provide one (editor/native_controller.cpp, app/headless_controller.cpp) and set it at
// start, before the first process.
//
// Threads: called from process executers. An implementation posts to the main thread what must run there; calls
// that answer a value wait for it (never from the main thread itself).
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace omb {

class Documentation;
class LiveVideo;

class NativeController {
public:
    virtual ~NativeController() = default;

    // ---- processes ---------------------------------------------------------------------------------------------
    // Creates and starts a process with its own eval server and a REPL client to it; returns at once.
    virtual void new_process(const std::string& name, int port) = 0;
    // A REPL client for a process already listening, here or on another machine; returns at once.
    virtual void connect_to_process(const std::string& name, const std::string& host, int port) = 0;
    // The REPL client registered under a process name; kNotFound when there is none.
    static constexpr int kNotFound = 2147483647;
    virtual int index_of_repl(const std::string& name) = 0;
    // Sends the text, with the request terminator, through that client; nothing for an unknown index.
    virtual void write_to_repl(const std::string& text, int index) = 0;

    // ---- log view, editor, pasteboard, help --------------------------------------------------------------------
    virtual void clear_log() = 0;
    // The log's whole text to a file, atomically; false when it cannot be written.
    virtual bool write_log(const std::string& path) = 0;
    // The message bar of the code editor with the keyboard focus; "" when the focus is elsewhere (or headless).
    virtual std::string message_bar_text() = 0;
    // The text of editor buffer `index` in the buffer list; nothing for an index it does not have.
    virtual std::optional<std::string> buffer_text(int index) = 0;
    virtual bool set_buffer_text(int index, const std::string& text) = 0;
    // The general pasteboard as plain text (headless: a text of the program's own).
    virtual void set_pasteboard(const std::string& text) = 0;
    virtual const Documentation& documentation() = 0;

    // ---- screens and menus -------------------------------------------------------------------------------------
    // The defaults are the answers without a display; the windowed application overrides them.
    // The main screen's size in pixels; nothing when there is no screen to ask (the caller has its own answer).
    virtual std::optional<std::pair<double, double>> screen_size() { return std::nullopt; }
    // Linux desktops have no system-wide menu bar or dock for a program to hide: these hide and show the menu bars
    // of the program's own windows. Return at once.
    virtual void hide_menu() {}
    virtual void show_menu() {}

    // ---- live video --------------------------------------------------------------------------------------------
    // Main thread: shows the video settings window for the running feed, without waiting for the performer; false
    // where there are no windows.
    virtual bool open_video_preferences(LiveVideo& /*feed*/) { return false; }
};

// The application's controller; null until the program sets it (tests may set their own).
NativeController* native_controller();
void set_native_controller(NativeController* controller);

}  // namespace omb
