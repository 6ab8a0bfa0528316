// The application with windows, as the native library sees it (native/controller.h): processes and REPL clients
// through the controller (OmbrelResources), the log window, the editor buffers and the focused editor's message
// board, the clipboard, the help dictionary, the screens and the menu bars.
//
// Threads: made, shut and destroyed on the main thread. The native procedures call it from process executers:
// what touches windows runs on the main thread, posted; what answers a value waits for it there, unless the
// application is shutting down, when it answers at once as if there were nothing (so no executer waits for a main
// thread that waits for it to stop).
#pragma once

#include <atomic>
#include <functional>

#include "native/controller.h"

namespace omb {

class OmbrelResources;

class EditorNativeController : public NativeController {
public:
    explicit EditorNativeController(OmbrelResources& resources) : resources_(resources) {}

    // From here on, nothing waits for the main thread and nothing new is posted to it.
    void shut() { shut_ = true; }

    void new_process(const std::string& name, int port) override;
    void connect_to_process(const std::string& name, const std::string& host, int port) override;
    int index_of_repl(const std::string& name) override;
    void write_to_repl(const std::string& text, int index) override;

    void clear_log() override;
    bool write_log(const std::string& path) override;
    std::string message_bar_text() override;
    std::optional<std::string> buffer_text(int index) override;
    bool set_buffer_text(int index, const std::string& text) override;
    void set_pasteboard(const std::string& text) override;
    const Documentation& documentation() override;

    std::optional<std::pair<double, double>> screen_size() override;
    // The menu bars of the editor windows: the desktop's own panels are not the program's to hide.
    void hide_menu() override;
    void show_menu() override;
    // The video settings window (editor/video_settings_window.h).
    bool open_video_preferences(LiveVideo& feed) override;

private:
    // Runs `work` on the main thread and waits for it; false when the application shuts before it has run.
    bool on_main(const std::function<void()>& work);
    void post(std::function<void()> work);

    OmbrelResources& resources_;
    std::atomic<bool> shut_{false};
};

}  // namespace omb
