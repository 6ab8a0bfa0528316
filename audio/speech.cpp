#include "audio/speech.h"

#include <espeak-ng/espeak_ng.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/unit.h"
#include "platform/log_bridge.h"
#include "platform/thread.h"
#include "scheduler/sample_clock.h"
#include "scheduler/tasks.h"

namespace omb {

namespace {

constexpr int kSpeechRate = 22050;      // what espeak-ng synthesises at
constexpr int kSynthBufferMs = 100;     // how much it hands over per callback
constexpr int kLongestUtterance = 600;  // seconds: the memory an utterance may take is bounded by it

// Samples of one stretch of an utterance, at the engine's rate. The worker fills it, then links it; the render only
// reads it. 16-bit, as espeak-ng makes them, to halve what a long text holds in memory.
struct Block {
    std::vector<int16_t> samples;
    uint64_t utterance = 0;
    std::atomic<Block*> next{nullptr};
};

enum Property { kRate, kPitchBase, kPitchMod, kVolume, kPropertyCount };
constexpr FourCC kSelectors[kPropertyCount] = {fourcc("rate"), fourcc("pbas"), fourcc("pmod"), fourcc("volm")};
constexpr double kDefaults[kPropertyCount] = {175.0, 46.0, 50.0, 1.0};
using Properties = std::array<int32_t, kPropertyCount>;

int property_of(uint32_t selector) {
    for (int i = 0; i < kPropertyCount; ++i)
        if (kSelectors[i] == selector) return i;
    return -1;
}

}  // namespace

// A channel is also a task target (that does nothing but say so): Scheme holds it as a pointer, and a pointer
// given where a target is expected must not be taken for something it is not.
struct SpeechChannel : CM {
    explicit SpeechChannel(int number) : index(number) {
        for (int i = 0; i < kPropertyCount; ++i) info[static_cast<size_t>(i)] = speech_fixed(kDefaults[i]);
        oldest = newest = reading = new Block;
        read_published.store(reading);
    }
    void execute(TaskI* task) override {
        CPPBridge::error("A speech channel is not a task target");
        task->discard();  // lets go of the Scheme value it carries
    }

    const int index;
    std::array<std::atomic<int32_t>, kPropertyCount> info;
    uint64_t asked = 0;                // utterances asked for, under the worker's queue lock
    // Utterances by number, with the sample time each may start at: published when asked for, so the render cuts
    // the older one off at the newer one's frame, never sooner, however soon the worker gets to it.
    std::atomic<uint64_t> latest{0};
    std::array<std::atomic<int64_t>, 64> starts{};  // by utterance number modulo 64
    uint64_t due = 0;                               // the render's: the newest utterance it has begun to play

    // The worker's: the oldest block not yet freed and the last one linked.
    Block* oldest;
    Block* newest;
    // The render's: where it reads, published so the worker knows what it may free.
    Block* reading;
    size_t position = 0;
    std::atomic<Block*> read_published;
};

namespace {

// Written once per slot under the creation mutex; read lock-free by the render.
std::array<std::atomic<SpeechChannel*>, kMaxSpeechChannels> channels{};
std::atomic<int> channel_count{0};
std::mutex creation_mutex;

// Utterances queued or being synthesised; speech_idle reads it.
std::atomic<int> pending{0};

// An utterance, with the channel's properties as they were when it was asked for.
struct Request {
    SpeechChannel* channel;
    uint64_t utterance;
    Properties properties;
    std::string text;
};

// Linear interpolation from espeak-ng's rate to the engine's, carried across the callbacks of one utterance.
class Resampler {
public:
    explicit Resampler(int engine_rate) : step_(double(kSpeechRate) / std::max(engine_rate, 1)) {}
    void run(const short* in, int n, std::vector<int16_t>& out) {
        // Position p lies between input p-1 and p, with input -1 the last of the previous call.
        auto at = [&](long i) { return i < 0 ? previous_ : double(in[i]); };
        while (t_ < n) {
            const long i = static_cast<long>(t_);
            out.push_back(static_cast<int16_t>(std::lround(at(i - 1) + (at(i) - at(i - 1)) * (t_ - double(i)))));
            t_ += step_;
        }
        t_ -= n;
        previous_ = at(n - 1);
    }

private:
    double step_;
    double t_ = 0;
    double previous_ = 0;
};

// What espeak-ng's callback is synthesising for.
struct Current {
    SpeechChannel* channel = nullptr;
    uint64_t utterance = 0;
    Resampler* resampler = nullptr;
    size_t samples = 0, limit = 0;
};

// The speech worker: owns espeak-ng and the writing side of every channel.
//
// espeak-ng's voice carries a little state from one utterance to the next, so the same sequence of utterances gives
// the same sound only when every one is synthesised whole and in the order asked: nothing is skipped or cut short
// here, however soon a newer utterance replaces it (it is synthesised far faster than it plays); the render skips it.
class Worker {
public:
    Worker() : thread_("speech", [this] { body(); }) { thread_.start(); }

    void enqueue(SpeechChannel* channel, std::string text, int64_t start) {
        Properties properties;
        for (size_t i = 0; i < properties.size(); ++i) properties[i] = channel->info[i].load();
        std::lock_guard lock(mutex_);
        pending.fetch_add(1);
        const uint64_t utterance = ++channel->asked;
        channel->starts[utterance % channel->starts.size()].store(start, std::memory_order_relaxed);
        channel->latest.store(utterance, std::memory_order_release);
        queue_.push_back({channel, utterance, properties, std::move(text)});
        wake_.notify_one();
    }

private:
    void body() {
        ready_ = start_espeak();
        for (;;) {
            Request request;
            {
                std::unique_lock lock(mutex_);
                // Woken now and then without work, to free what the render has finished with.
                if (!wake_.wait_for(lock, std::chrono::milliseconds(500), [&] { return !queue_.empty(); })) {
                    lock.unlock();
                    reclaim_all();
                    continue;
                }
                request = std::move(queue_.front());
                queue_.pop_front();
            }
            if (ready_) speak(request);
            reclaim_all();
            pending.fetch_sub(1);
        }
    }

    static bool start_espeak() {
        espeak_ng_InitializePath(nullptr);
        espeak_ng_ERROR_CONTEXT context = nullptr;
        espeak_ng_STATUS status = espeak_ng_Initialize(&context);
        espeak_ng_ClearErrorContext(&context);
        if (status == ENS_OK) status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, kSynthBufferMs, nullptr);
        if (status == ENS_OK) status = espeak_ng_SetVoiceByName(ESPEAKNG_DEFAULT_VOICE);
        if (status != ENS_OK) {
            char reason[256];
            espeak_ng_GetStatusCodeMessage(status, reason, sizeof reason);
            CPPBridge::error("Speech is unavailable: espeak-ng could not start (%s)", reason);
            return false;
        }
        espeak_SetSynthCallback(&Worker::on_samples);
        return true;
    }

    // The properties as espeak-ng parameters (the mappings are in docs/audio.md).
    static void apply(const Properties& properties) {
        auto value = [&](Property p) { return properties[p] / 65536.0; };
        auto clamped = [](double v, int low, int high) {
            return static_cast<int>(std::clamp(std::round(v), double(low), double(high)));
        };
        espeak_ng_SetParameter(espeakRATE, clamped(value(kRate), espeakRATE_MINIMUM, espeakRATE_MAXIMUM), 0);
        espeak_ng_SetParameter(espeakPITCH, clamped(50 + (value(kPitchBase) - 46) * 4, 0, 100), 0);
        espeak_ng_SetParameter(espeakRANGE, clamped(value(kPitchMod), 0, 100), 0);
        espeak_ng_SetParameter(espeakVOLUME, clamped(value(kVolume) * 100, 0, 200), 0);
    }

    static void speak(const Request& request) {
        apply(request.properties);
        const int rate = SampleClock::SAMPLERATE.load();
        Resampler resampler(rate);
        current_ = {request.channel, request.utterance, &resampler, 0, size_t(kLongestUtterance) * size_t(rate)};
        const espeak_ng_STATUS status = espeak_ng_Synthesize(request.text.c_str(), request.text.size() + 1, 0,
                                                             POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
        const bool cut = current_.samples >= current_.limit;
        current_ = {};
        if (cut) {
            CPPBridge::error("Speech stopped after %d minutes: the text is too long", kLongestUtterance / 60);
        } else if (status != ENS_OK) {
            char reason[256];
            espeak_ng_GetStatusCodeMessage(status, reason, sizeof reason);
            CPPBridge::error("Speech failed: %s", reason);
        }
    }

    // espeak-ng's callback, on the worker: one stretch of samples (null at the end). Returning 1 stops the
    // utterance, which happens only at the length limit, the same wherever it is played.
    static int on_samples(short* samples, int count, espeak_EVENT*) {
        Current& now = current_;
        if (!now.channel) return 1;
        if (samples && count > 0) {
            auto* block = new Block;
            block->utterance = now.utterance;
            block->samples.reserve(static_cast<size_t>(count) * 5);
            now.resampler->run(samples, count, block->samples);
            now.samples += block->samples.size();
            now.channel->newest->next.store(block, std::memory_order_release);
            now.channel->newest = block;
        }
        return now.samples < now.limit ? 0 : 1;
    }

    static void reclaim(SpeechChannel* channel) {
        Block* reading = channel->read_published.load(std::memory_order_acquire);
        while (channel->oldest != reading) {
            Block* next = channel->oldest->next.load(std::memory_order_relaxed);
            delete channel->oldest;
            channel->oldest = next;
        }
    }

    static void reclaim_all() {
        for (int i = 0; i < channel_count.load(); ++i)
            if (SpeechChannel* channel = channels[static_cast<size_t>(i)].load()) reclaim(channel);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool ready_ = false;             // the worker thread's own
    static inline Current current_;  // the worker thread's own
    Thread thread_;
};

// Made with the first channel (under the creation mutex) and never stopped: espeak-ng is only loaded when a piece
// speaks, and the worker outlives every static that the program's end might take away from under it. Whoever holds
// a channel sees it: the channel was published after it.
Worker* worker = nullptr;

// The newest utterance asked for that may start before `until`, or 0. Starts follow the order of asking (tasks run in
// time order), so the first one found going back is it; the look back is bounded, the render's work with it.
uint64_t newest_due(const SpeechChannel& channel, int64_t until) {
    const uint64_t latest = channel.latest.load(std::memory_order_acquire);
    for (uint64_t u = latest; u > channel.due && latest - u < channel.starts.size(); --u)
        if (channel.starts[u % channel.starts.size()].load(std::memory_order_relaxed) < until) return u;
    return 0;
}

// Adds the blocks of utterance `due` to outputs[from, to), skipping older ones and stopping at newer ones.
void play(SpeechChannel& channel, float* const* outputs, int output_channels, uint32_t from, uint32_t to) {
    Block* block = channel.reading;
    size_t position = channel.position;
    for (int hops = 0; from < to;) {
        if (block->utterance > channel.due) break;  // not yet begun
        if (block->utterance < channel.due || position >= block->samples.size()) {
            Block* next = block->next.load(std::memory_order_acquire);
            if (!next || ++hops > 256) break;  // bounded work per buffer, however much is skipped
            block = next;
            position = 0;
            continue;
        }
        const size_t n = std::min<size_t>(to - from, block->samples.size() - position);
        const int16_t* samples = block->samples.data() + position;
        for (int c = 0; c < output_channels; ++c) {
            float* out = outputs[c] + from;
            for (size_t i = 0; i < n; ++i) out[i] += float(samples[i]) * (1.0f / 32768.0f);
        }
        from += static_cast<uint32_t>(n);
        position += n;
    }
    channel.reading = block;
    channel.position = position;
}

// One channel's next buffer: what it was saying up to the frame where a newer utterance begins, then that one.
void mix_channel(SpeechChannel& channel, float* const* outputs, int output_channels, uint32_t frames, int64_t window) {
    uint32_t from = 0;
    if (const uint64_t next = newest_due(channel, window + frames)) {
        const int64_t start = channel.starts[next % channel.starts.size()].load(std::memory_order_relaxed);
        const auto offset = static_cast<uint32_t>(std::clamp<int64_t>(start - window, 0, frames));
        play(channel, outputs, output_channels, 0, offset);
        channel.due = next;
        from = offset;
    }
    play(channel, outputs, output_channels, from, frames);
    channel.read_published.store(channel.reading, std::memory_order_release);
}

}  // namespace

SpeechChannel* speech_channel_new() {
    std::lock_guard lock(creation_mutex);
    const int index = channel_count.load();
    if (index >= kMaxSpeechChannels) {
        CPPBridge::error("No more speech channels: at most %d", kMaxSpeechChannels);
        return nullptr;
    }
    if (!worker) worker = new Worker;
    auto* channel = new SpeechChannel(index);
    channels[static_cast<size_t>(index)].store(channel, std::memory_order_release);
    channel_count.store(index + 1, std::memory_order_release);
    return channel;
}

void* speech_channel_handle(SpeechChannel* channel) { return static_cast<CM*>(channel); }

SpeechChannel* speech_channel_find(const void* handle) {
    if (!handle) return nullptr;
    for (int i = 0; i < channel_count.load(std::memory_order_acquire); ++i) {
        SpeechChannel* channel = channels[static_cast<size_t>(i)].load(std::memory_order_acquire);
        if (channel && speech_channel_handle(channel) == handle) return channel;
    }
    return nullptr;
}

int speech_channel_index(const SpeechChannel* channel) { return channel->index; }

SpeechChannel* speech_channel_at(int index) {
    if (index < 0 || index >= channel_count.load(std::memory_order_acquire)) return nullptr;
    return channels[static_cast<size_t>(index)].load(std::memory_order_acquire);
}

bool speech_selector_known(uint32_t selector) { return property_of(selector) >= 0; }

int32_t speech_fixed(double value) {
    if (std::isnan(value)) return 0;
    constexpr double widest = std::numeric_limits<float>::max();  // beyond it, the conversion to float is undefined
    const double scaled = double(static_cast<float>(std::clamp(value, -widest, widest))) * 65536.0;
    constexpr double low = std::numeric_limits<int32_t>::min(), high = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::trunc(std::clamp(scaled, low, high)));
}

bool speech_set_info(SpeechChannel* channel, uint32_t selector, int32_t fixed) {
    const int p = property_of(selector);
    if (p < 0) return false;
    channel->info[static_cast<size_t>(p)].store(fixed);
    return true;
}

std::optional<int32_t> speech_get_info(const SpeechChannel* channel, uint32_t selector) {
    const int p = property_of(selector);
    if (p < 0) return std::nullopt;
    return channel->info[static_cast<size_t>(p)].load();
}

void speech_speak(SpeechChannel* channel, std::string text, int64_t start) {
    if (channel) worker->enqueue(channel, std::move(text), start);
}

void speech_mix(float* const* outputs, int output_channels, uint32_t frames, int64_t window) {
    const int count = channel_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i)
        if (SpeechChannel* channel = channels[static_cast<size_t>(i)].load(std::memory_order_acquire))
            mix_channel(*channel, outputs, output_channels, frames, window);
}

bool speech_idle() { return pending.load() == 0; }

}  // namespace omb
