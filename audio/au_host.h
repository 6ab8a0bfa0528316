// The audio engine: the one sample clock, the device that drives it, the graph of units it renders, and the
// scheduler it wakes every buffer.
//
// Threads: the device's render thread calls render() (clock step, a wake-up, the graph, the capture: no lock, no
// allocation); the scheduler's queue thread runs the timed targets below, which post events to units; process
// threads build the graph and read parameters; a lost device is replaced off the render thread. The capture and the
// movie tap are handed to the render thread by atomic pointer; detaching one waits until no render is inside it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "audio/audio_device.h"
#include "audio/graph.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"
#include "scheduler/tasks.h"

namespace omb {

class AudioCapture;
class MovieTap;
class SchemeInterface;

class AUHost : public SampleClock {
public:
    static AUHost& singleton();
    // Registers the engine's Scheme names into a process: the first native library (audio/au_scheme.cpp).
    static void schemeInit(SchemeInterface* process);

    // Opens the device (FRAMES and SAMPLERATE asked; a device with its own, such as a JACK server, sets them) and
    // starts rendering. False when the device cannot be opened or started.
    bool start(std::unique_ptr<AudioDevice> device);
    // The best device this machine has (JACK, the system's default, else null with a notification).
    bool start_default();
    void stop();

    Scheduler& scheduler() { return scheduler_; }
    Graph& graph() { return graph_; }
    std::string device_name();
    // JACK MIDI's way onto the engine's JACK client: installs the hook and gives the client (a jack_client_t*);
    // null when the engine does not run on JACK.
    void* share_jack_client(ProcessHook hook);
    uint64_t dropped_buffers();

    // The render notification: TIME advances by FRAMES before each buffer, the scheduler wakes, the graph renders
    // the window that started at the previous TIME.
    static void render(void* user, const float* const* inputs, int input_channels, float* const* outputs,
                       int output_channels, uint32_t frames);
    // Reports, off the render thread, what the render thread could only count.
    void report_render_problems();

    // ---- timed targets (scheduler's queue thread): each reads its task's argument list -------------------------
    void on(TaskI* task);
    void off(TaskI* task);
    void start_note(TaskI* task);
    void stop_note(TaskI* task);
    void aumidi(TaskI* task);
    void ausysex(TaskI* task);
    void setAUParam(TaskI* task);
    void setBypassAU(TaskI* task);

    // The window and frame an event due at `time` lands on: the buffer that starts at TIME, at the difference
    // (frame 0 when late). Queue thread.
    static void place(UnitEvent& event, int64_t time);

    // Note instances by node and note id, under their own lock.
    void remember_note(int node, int id, uint32_t instance);
    uint32_t forget_note(int node, int id);  // 0 when the id was not there

    // The capture of the rendered output: one at a time. Off the render thread.
    bool start_capture(std::unique_ptr<AudioCapture> capture);
    std::unique_ptr<AudioCapture> stop_capture();
    bool capturing() const { return capture_.load() != nullptr; }

    // The movie tap: one at a time, owned by the movie recording that attaches it. False when one is attached.
    // Off the render thread.
    bool attach_movie_tap(MovieTap* tap);
    // Once this returns, the render thread no longer touches `tap` (nothing happens when it is not the one attached).
    void detach_movie_tap(MovieTap* tap);
    bool movie_tap_attached() const { return movie_tap_.load() != nullptr; }

private:
    AUHost() = default;
    bool run(std::unique_ptr<AudioDevice> device);
    static void device_lost(void* user);
    static void frames_changed(void* user, uint32_t frames);

    Scheduler& scheduler_ = Scheduler::singleton();  // the engine drives the program's one queue
    Graph graph_;
    std::mutex device_mutex_;  // device_ and retired_device_ change when a device is lost
    std::unique_ptr<AudioDevice> device_;
    std::unique_ptr<AudioDevice> retired_device_;
    std::atomic<bool> frame_mismatch_{false};
    std::atomic<bool> buffer_changed_{false};
    uint64_t dropped_reported_ = 0;

    std::mutex note_mutex_;
    std::map<int, std::map<int, uint32_t>> note_maps_;

    std::atomic<AudioCapture*> capture_{nullptr};
    std::atomic<MovieTap*> movie_tap_{nullptr};
    // Render threads inside a push to the capture or the movie tap: one count for both, taken once a buffer.
    std::atomic<int> output_users_{0};
};

}  // namespace omb
