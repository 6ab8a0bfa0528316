// The JACK driver: a client named "ombrel" with stereo ports out_1/out_2 and in_1/in_2, rendered from JACK's own
// real-time thread. The server owns the rate and the buffer size; the device follows them.
//
// Threads: JACK's process thread calls render(); JACK's notification thread counts xruns and buffer-size changes;
// the shutdown callback (which JACK requires to be async-signal-safe) only posts a semaphore. A watcher thread of
// ours, alive as long as the client, then closes the dead client and calls lost(), where the owner may block, call
// JACK, or stop and destroy the device. open, start, stop and close run on the owner's thread.
#include <jack/jack.h>
#include <jack/thread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "audio/audio_device.h"
#include "platform/dev_log.h"
#include "platform/thread.h"

namespace omb {

namespace {

constexpr int kChannels = 2;

class JackDevice;
// The device whose loss watcher is the calling thread, if any.
thread_local const JackDevice* t_watching = nullptr;
// A watcher's own handle, once its device is gone: freed with the thread's other locals as it exits.
thread_local std::unique_ptr<Thread> t_own_handle;

class JackDevice : public AudioDevice {
public:
    JackDevice() { sem_init(&signal_, 0, 0); }

    ~JackDevice() override {
        close();
        sem_destroy(&signal_);
    }

    bool open(uint32_t, int) override {
        close();
        std::lock_guard lock(control_);
        server_gone_ = false;
        closing_ = false;
        while (sem_trywait(&signal_) == 0) {  // posts meant for an earlier client
        }
        jack_status_t status{};
        // Never start a server: whether one runs is how the default device is chosen.
        client_ = jack_client_open("ombrel", JackNoStartServer, &status);
        if (!client_) {
            error_ = (status & JackServerFailed) ? "No JACK server is running"
                                                 : failure("Could not open a JACK client", status);
            return false;
        }
        if (!register_ports() || !set_callbacks()) {
            release_client();
            return false;
        }
        rate_ = static_cast<int>(jack_get_sample_rate(client_));
        frames_ = jack_get_buffer_size(client_);
        // The scheduler's queue thread must stay below JACK's process thread.
        if (const int level = jack_client_real_time_priority(client_); level > 0) Thread::set_audio_realtime_level(level);
        watcher_ = std::make_unique<Thread>("ombrel jack loss", [this] { watch_for_loss(); });
        watcher_->start();
        return true;
    }

    bool start(RenderTarget target) override {
        std::lock_guard lock(control_);
        if (!client_) {
            error_ = server_gone_ ? "The JACK server has gone away" : "The JACK client is not open";
            return false;
        }
        if (started_ || !target.render) return false;
        target_ = target;
        rendering_.store(true);
        if (jack_activate(client_) != 0) {
            rendering_.store(false);
            error_ = "Could not activate the JACK client";
            return false;
        }
        started_ = true;
        connect_physical_ports();
        return true;
    }

    void stop() override {
        quiesce_render();
        std::lock_guard lock(control_);
        if (client_ && started_) jack_deactivate(client_);
        started_ = false;
    }

    int sample_rate() const override { return rate_; }
    uint32_t frames() const override { return frames_.load(std::memory_order_relaxed); }
    int channels() const override { return kChannels; }
    int input_channels() const override { return kChannels; }
    std::string name() const override { return "jack"; }
    std::string error() const override { return error_; }
    uint64_t dropped_buffers() const override { return xruns_.load(std::memory_order_relaxed); }

    void* jack_client() override {
        std::lock_guard lock(control_);
        return client_;
    }

    bool set_process_hook(ProcessHook hook) override {
        std::lock_guard lock(control_);
        if (!hook.process) return hook.user == hook_.user && remove_hook(false);
        if (!client_ || hook_.process.load()) return false;
        hook_.closing = hook.closing;
        hook_.user = hook.user;
        hook_.process.store(hook.process);  // published last: the render thread reads it first
        return true;
    }

private:
    static std::string failure(const char* what, jack_status_t status) {
        char text[96];
        std::snprintf(text, sizeof text, "%s (JACK status 0x%x)", what, static_cast<unsigned>(status));
        return text;
    }

    bool register_ports() {
        for (int c = 0; c < kChannels; ++c) {
            const std::string out = "out_" + std::to_string(c + 1), in = "in_" + std::to_string(c + 1);
            outputs_[c] = jack_port_register(client_, out.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
            inputs_[c] = jack_port_register(client_, in.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
            if (!outputs_[c] || !inputs_[c]) {
                error_ = "Could not register the JACK ports";
                return false;
            }
        }
        return true;
    }

    // JACK accepts callbacks only while the client is inactive.
    bool set_callbacks() {
        jack_on_info_shutdown(client_, &JackDevice::on_shutdown, this);
        if (jack_set_process_callback(client_, &JackDevice::process, this) == 0 &&
            jack_set_xrun_callback(client_, &JackDevice::on_xrun, this) == 0 &&
            jack_set_buffer_size_callback(client_, &JackDevice::on_buffer_size, this) == 0)
            return true;
        error_ = "Could not set the JACK callbacks";
        return false;
    }

    // Ours to the system's playback ports, the system's capture ports to ours; a missing one is left unconnected.
    void connect_physical_ports() {
        connect_ports(JackPortIsPhysical | JackPortIsInput, [this](const char* system, int c) {
            jack_connect(client_, jack_port_name(outputs_[c]), system);
        });
        connect_ports(JackPortIsPhysical | JackPortIsOutput, [this](const char* system, int c) {
            jack_connect(client_, system, jack_port_name(inputs_[c]));
        });
    }

    template <typename Connect>
    void connect_ports(unsigned long flags, Connect connect) {
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, flags);
        if (!ports) return;
        for (int c = 0; c < kChannels && ports[c]; ++c) connect(ports[c], c);
        jack_free(ports);
    }

    // Caller holds control_. Once JACK's thread is out of the hook, its owner hears it will not run again.
    bool remove_hook(bool server_gone) {
        if (!hook_.process.exchange(nullptr)) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (in_render_.load() && (!server_gone_ || std::chrono::steady_clock::now() < deadline))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (hook_.closing) hook_.closing(hook_.user, server_gone);
        hook_.user = nullptr;
        return true;
    }

    // Caller holds control_. The hook's owner lets go of its ports first; the render thread is out of the hook by
    // then (stopped, or the server is gone).
    void release_client() {
        remove_hook(server_gone_);
        if (client_) jack_client_close(client_);
        client_ = nullptr;
        started_ = false;
    }

    void close() {
        stop();
        if (!watcher_) return;
        closing_ = true;
        sem_post(&signal_);
        watcher_->join();
        // A device destroyed from lost() runs on the watcher, which cannot join itself (Thread lets it go). That
        // thread still runs the handle's body until lost() returns, so the handle goes when the thread ends.
        if (t_watching == this)
            t_own_handle = std::move(watcher_);
        else
            watcher_.reset();
        std::lock_guard lock(control_);
        release_client();
    }

    // Waits until JACK's thread is outside render() and will not enter it again, so that deactivating (which may
    // cancel that thread) never interrupts the owner's code, and the target is free to go once stop() returns.
    // Once the server is gone JACK may have ended that thread inside render(): the wait is then bounded.
    void quiesce_render() {
        rendering_.store(false);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (in_render_.load() && (!server_gone_ || std::chrono::steady_clock::now() < deadline))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    void watch_for_loss() {
        t_watching = this;
        while (sem_wait(&signal_) != 0 && errno == EINTR) {
        }
        if (closing_ || !server_gone_) return;
        RenderTarget target;
        jack_client_t* dead = nullptr;
        {
            std::lock_guard lock(control_);
            if (started_) target = target_;  // a stopped device is not the owner's concern any more
            remove_hook(true);
            dead = std::exchange(client_, nullptr);
            started_ = false;
        }
        close_dead_client(dead);
        // Nothing of the device is touched after lost(): the owner may stop or destroy it from there.
        if (target.lost) target.lost(target.user);
    }

    // Closed at once, off JACK's threads as JACK asks: a server restarted under the same name takes over the shared
    // memory the dead client still points into, and closing it later would touch the new server's. But closing races
    // JACK's own threads as they wind down and may never return, so it runs on a thread of its own and is waited for
    // a bounded time: the owner hears of the loss either way, and nothing of ours is held meanwhile. A close that
    // returns at all does so within a few tens of milliseconds, even under the sanitizers.
    static void close_dead_client(jack_client_t* dead) {
        if (!dead) return;
        struct Closing {
            std::mutex mutex;
            std::condition_variable done;
            bool closed = false;
        };
        auto closing = std::make_shared<Closing>();
        std::thread([dead, closing] {
            jack_client_close(dead);
            std::lock_guard lock(closing->mutex);
            closing->closed = true;
            closing->done.notify_all();
        }).detach();
        std::unique_lock lock(closing->mutex);
        if (!closing->done.wait_for(lock, std::chrono::milliseconds(250), [&] { return closing->closed; }))
            devlog("the lost JACK client did not close within 250 ms; it is left behind");
    }

    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackDevice*>(arg);
        float* outputs[kChannels];
        const float* inputs[kChannels];
        for (int c = 0; c < kChannels; ++c) {
            outputs[c] = static_cast<float*>(jack_port_get_buffer(self->outputs_[c], frames));
            inputs[c] = static_cast<const float*>(jack_port_get_buffer(self->inputs_[c], frames));
            std::memset(outputs[c], 0, sizeof(float) * frames);  // a target that writes nothing plays silence
        }
        self->in_render_.store(true);
        if (auto* hook = self->hook_.process.load()) hook(self->hook_.user, frames);
        if (self->rendering_.load())
            self->target_.render(self->target_.user, inputs, kChannels, outputs, kChannels, frames);
        self->in_render_.store(false);
        return 0;
    }

    static int on_xrun(void* arg) {
        static_cast<JackDevice*>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // JACK holds the process thread while this runs, so the owner learns the size before the first such render.
    static int on_buffer_size(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackDevice*>(arg);
        const uint32_t before = self->frames_.exchange(frames, std::memory_order_relaxed);
        if (before != frames && self->rendering_.load() && self->target_.frames_changed)
            self->target_.frames_changed(self->target_.user, frames);
        return 0;
    }

    // Async-signal-safe only, as JACK asks: a flag and a semaphore post.
    static void on_shutdown(jack_status_t, const char*, void* arg) {
        auto* self = static_cast<JackDevice*>(arg);
        self->server_gone_ = true;
        sem_post(&self->signal_);
    }

    std::mutex control_;  // client_, started_, target_ between the owner and the watcher
    jack_client_t* client_ = nullptr;
    jack_port_t* outputs_[kChannels] = {};
    jack_port_t* inputs_[kChannels] = {};
    RenderTarget target_;
    struct {
        std::atomic<void (*)(void*, uint32_t)> process{nullptr};
        void (*closing)(void*, bool) = nullptr;
        void* user = nullptr;
    } hook_;
    bool started_ = false;
    int rate_ = 0;
    std::atomic<uint32_t> frames_{0};
    std::atomic<uint64_t> xruns_{0};
    // Sequentially consistent pair: either JACK's thread sees rendering_ false, or stop() sees in_render_ true.
    std::atomic<bool> rendering_{false};
    std::atomic<bool> in_render_{false};
    std::atomic<bool> server_gone_{false};
    std::atomic<bool> closing_{false};
    sem_t signal_;  // posted on a loss, and to end the watcher
    std::unique_ptr<Thread> watcher_;
    std::string error_;
};

}  // namespace

std::unique_ptr<AudioDevice> make_jack_device() { return std::make_unique<JackDevice>(); }

}  // namespace omb
