// The null driver: a real-time thread wakes once per buffer period and renders into a silent buffer, so the
// sample clock runs at the device's pace on a machine without a sound card. Like a sound card after an overrun,
// it does not catch up on buffers it missed while the thread was held up: a burst of buffers would leave Scheme
// callbacks no time to reschedule themselves, and every task in the burst would run late.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "audio/audio_device.h"
#include "platform/thread.h"

namespace omb {

namespace {

class NullDevice : public AudioDevice {
public:
    ~NullDevice() override { stop(); }

    bool open(uint32_t frames, int sample_rate) override {
        frames_ = frames;
        rate_ = sample_rate;
        buffer_ = std::make_unique<float[]>(static_cast<size_t>(frames) * 2);
        return true;
    }

    bool start(RenderTarget target) override {
        if (thread_ || !target.render || !buffer_) return false;
        target_ = target;
        running_ = true;
        thread_ = std::make_unique<Thread>("ombrel audio", [this] { run(); }, Scheduling::realtime_audio);
        return thread_->start();
    }

    void stop() override {
        running_ = false;
        if (thread_) thread_->join();
        thread_.reset();
    }

    int sample_rate() const override { return rate_; }
    uint32_t frames() const override { return frames_; }
    int channels() const override { return 2; }
    std::string name() const override { return "null"; }
    uint64_t dropped_buffers() const override { return dropped_.load(std::memory_order_relaxed); }

private:
    void run() {
        const long period_ns = static_cast<long>(1e9 * frames_ / rate_);
        float* outputs[2] = {buffer_.get(), buffer_.get() + frames_};
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (running_) {
            std::memset(buffer_.get(), 0, sizeof(float) * frames_ * 2);
            target_.render(target_.user, nullptr, 0, outputs, 2, frames_);
            // Absolute deadlines: a slightly late wake-up does not shift every later buffer.
            advance(next, period_ns);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
            skip_missed_buffers(next, period_ns);
        }
    }

    static void advance(timespec& t, long ns) {
        t.tv_nsec += ns;
        while (t.tv_nsec >= 1000000000L) {
            t.tv_nsec -= 1000000000L;
            ++t.tv_sec;
        }
    }

    // A whole period or more behind: the missed buffers are dropped and the deadlines restart from now.
    void skip_missed_buffers(timespec& next, long period_ns) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long behind = (now.tv_sec - next.tv_sec) * 1000000000LL + (now.tv_nsec - next.tv_nsec);
        if (behind < period_ns) return;
        dropped_.store(dropped_.load(std::memory_order_relaxed) + static_cast<uint64_t>(behind / period_ns),
                       std::memory_order_relaxed);
        next = now;
    }

    RenderTarget target_;
    std::atomic<uint64_t> dropped_{0};
    uint32_t frames_ = 256;
    int rate_ = 44100;
    std::unique_ptr<float[]> buffer_;
    std::atomic<bool> running_{false};
    std::unique_ptr<Thread> thread_;
};

}  // namespace

std::unique_ptr<AudioDevice> make_null_device() { return std::make_unique<NullDevice>(); }

}  // namespace omb
