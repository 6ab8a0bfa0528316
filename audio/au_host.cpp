#include "audio/au_host.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "audio/capture.h"
#include "audio/movie_tap.h"
#include "audio/speech.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/argument_target.h"

namespace omb {

AUHost& AUHost::singleton() {
    static AUHost host;
    return host;
}

// ---- the device ----------------------------------------------------------------------------------------------------

bool AUHost::start(std::unique_ptr<AudioDevice> device) {
    if (!device || !device->open(static_cast<uint32_t>(FRAMES.load()), SAMPLERATE.load())) {
        if (device) CPPBridge::error("Audio device %s: %s", device->name().c_str(), device->error().c_str());
        return false;
    }
    return run(std::move(device));
}

bool AUHost::start_default() {
    bool fell_back = false;
    auto device = open_default_audio_device(static_cast<uint32_t>(FRAMES.load()), SAMPLERATE.load(), &fell_back);
    if (fell_back) CPPBridge::notification("No sound device found: the clock runs on the null driver, silently");
    return device && run(std::move(device));
}

namespace {

// Buffers are 32-bit float, one per channel ('lpcm', float | packed | non-interleaved).
constexpr unsigned kLinearPCM = 0x6c70636d, kFloatPackedNonInterleaved = 0x29;

void print_stream_format(double rate, int channels) {
    std::printf("-------------------------------\nSAMPLERATE: %g\nID: %u\nFORMAT FLAGS: %u\nBYTES PER PACKET: 4\n"
                "FRAMES PER PACKET: 1\nBYTES PER FRAME: 4\nCHANNELS PER FRAME: %d\nBITS PER CHANNEL: 32\n\n\n",
                rate, kLinearPCM, kFloatPackedNonInterleaved, channels);
}

std::string stream_description(double rate, int channels) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "AudioStreamBasicDescription: %d ch, %g Hz, 'lpcm' (0x%08X) 32-bit little-endian float, deinterleaved",
                  channels, rate, kFloatPackedNonInterleaved);
    return text;
}

// What the device was opened with, on standard output, as the engine has always shown it at start.
void print_device_formats(const AudioDevice& device, const char* when) {
    const double rate = device.sample_rate();
    std::printf("%s\nDefault Output Unit Input Format: %s\nDefault Output Unit Output Format: %s\n", when,
                stream_description(rate, device.input_channels()).c_str(),
                stream_description(rate, device.channels()).c_str());
}

}  // namespace

bool AUHost::run(std::unique_ptr<AudioDevice> device) {
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(std::clock()));
    // A device that keeps its own buffer size and rate (a JACK server) sets the engine's.
    FRAMES = static_cast<int>(device->frames());
    set_sample_rate(device->sample_rate());
    CHANNELS = device->channels();
    graph_.set_format(SAMPLERATE.load(), std::max<uint32_t>(device->frames(), 4096), device->channels());
    scheduler_.set_slice_hook([this] { report_render_problems(); });
    scheduler_.start_thread();
    std::puts("\n\nDEVICE OUTPUT AUDIO STREAM FORMAT");
    print_stream_format(device->sample_rate(), device->channels());
    std::puts("\n\nDEVICE INPUT AUDIO STREAM FORMAT");
    print_stream_format(device->sample_rate(), device->input_channels());
    std::printf("CHANNEL COUNT = %d\nSAMPLERATE = %d\n", device->channels(), SAMPLERATE.load());
    print_device_formats(*device, "PRE GRAPH INIT");
    std::lock_guard lock(device_mutex_);
    device_ = std::move(device);
    dropped_reported_ = 0;
    if (!device_->start(RenderTarget{&AUHost::render, &AUHost::device_lost, &AUHost::frames_changed, this})) {
        CPPBridge::error("Audio device %s did not start: %s", device_->name().c_str(), device_->error().c_str());
        return false;
    }
    print_device_formats(*device_, "POST GRAPH INIT");
    std::fflush(stdout);
    devlog("AUDIO SERVER STARTED (%s, %d Hz, %d frames)", device_->name().c_str(), SAMPLERATE.load(), FRAMES.load());
    return true;
}

void AUHost::stop() {
    std::puts("STOPPING AUHOST");
    std::unique_ptr<AudioDevice> device, retired;
    {
        std::lock_guard lock(device_mutex_);
        device = std::move(device_);
        retired = std::move(retired_device_);
    }
    if (device) device->stop();
    scheduler_.stop_thread();
    // A capture still running is finished, never left half-written.
    if (auto capture = stop_capture()) capture->close(nullptr);
}

void* AUHost::share_jack_client(ProcessHook hook) {
    std::lock_guard lock(device_mutex_);
    if (!device_) return nullptr;
    void* client = device_->jack_client();
    return client && device_->set_process_hook(hook) ? client : nullptr;
}

std::string AUHost::device_name() {
    std::lock_guard lock(device_mutex_);
    return device_ ? device_->name() : "none";
}

uint64_t AUHost::dropped_buffers() {
    std::lock_guard lock(device_mutex_);
    return device_ ? device_->dropped_buffers() : 0;
}

// The device went away (a JACK server stopped): the clock goes on with the null driver, so nothing a performer
// evaluates stops; the old device is kept until the next change, since this runs on one of its threads.
void AUHost::device_lost(void* user) {
    auto* host = static_cast<AUHost*>(user);
    std::thread([host] {
        std::lock_guard lock(host->device_mutex_);
        if (!host->device_) return;
        const std::string name = host->device_->name();
        std::puts("NOTE: Device has changed");
        CPPBridge::notification("Audio device has changed.");
        CPPBridge::error("Audio device %s is gone; Ombrel goes on without sound on the null driver", name.c_str());
        host->retired_device_ = std::move(host->device_);
        auto null = make_audio_device("null");
        if (null && null->open(static_cast<uint32_t>(FRAMES.load()), SAMPLERATE.load()) &&
            null->start(RenderTarget{&AUHost::render, &AUHost::device_lost, &AUHost::frames_changed, host}))
            host->device_ = std::move(null);
        else
            CPPBridge::error("The null audio driver did not start: the clock has stopped");
        host->dropped_reported_ = 0;
    }).detach();
}

// A JACK server's new buffer size is taken as the engine's, so the clock keeps counting the frames that play.
void AUHost::frames_changed(void* user, uint32_t frames) {
    auto* host = static_cast<AUHost*>(user);
    FRAMES.store(static_cast<int>(frames));
    host->buffer_changed_.store(true);
}

void AUHost::render(void* user, const float* const*, int, float* const* outputs, int output_channels,
                    uint32_t frames) {
    auto* host = static_cast<AUHost*>(user);
    const int64_t window = static_cast<int64_t>(
        TIME.fetch_add(static_cast<uint64_t>(FRAMES.load(std::memory_order_relaxed)), std::memory_order_acq_rel));
    if (frames != static_cast<uint32_t>(FRAMES.load(std::memory_order_relaxed)))
        host->frame_mismatch_.store(true, std::memory_order_relaxed);
    host->scheduler_.wake();
    host->graph_.render(outputs, output_channels, frames, window);
    speech_mix(outputs, output_channels, frames, window);
    // The capture and the movie tap are handed over by their pointers; stop_capture() and detach_movie_tap() wait
    // until no render is inside a push.
    host->output_users_.fetch_add(1, std::memory_order_seq_cst);
    if (AudioCapture* capture = host->capture_.load(std::memory_order_seq_cst))
        capture->push(outputs, output_channels, frames);
    if (MovieTap* tap = host->movie_tap_.load(std::memory_order_seq_cst))
        tap->push(outputs, output_channels, frames, window);
    host->output_users_.fetch_sub(1, std::memory_order_seq_cst);
}

bool AUHost::start_capture(std::unique_ptr<AudioCapture> capture) {
    AudioCapture* expected = nullptr;
    if (!capture_.compare_exchange_strong(expected, capture.get())) return false;
    capture.release();
    return true;
}

std::unique_ptr<AudioCapture> AUHost::stop_capture() {
    std::unique_ptr<AudioCapture> capture(capture_.exchange(nullptr, std::memory_order_seq_cst));
    while (output_users_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    return capture;
}

bool AUHost::attach_movie_tap(MovieTap* tap) {
    MovieTap* expected = nullptr;
    return tap && movie_tap_.compare_exchange_strong(expected, tap);
}

void AUHost::detach_movie_tap(MovieTap* tap) {
    MovieTap* expected = tap;
    if (!tap || !movie_tap_.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) return;
    while (output_users_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void AUHost::report_render_problems() {
    for (const std::string& line : graph_.take_unit_reports()) CPPBridge::error("%s", line.c_str());
    if (frame_mismatch_.exchange(false)) {
        devlog("FRAME MISMATCH IN AUHOST!");
        CPPBridge::error("FRAME MISMATCH IN AUHOST!");
    }
    if (buffer_changed_.exchange(false)) {
        std::puts("Device Buffer has changed ");
        CPPBridge::notification("Audio device buffer has changed.");
    }
    std::unique_lock lock(device_mutex_, std::try_to_lock);  // never wait here: this is the queue thread
    if (!lock.owns_lock() || !device_) return;
    const uint64_t dropped = device_->dropped_buffers();
    if (dropped > dropped_reported_) {
        dropped_reported_ = dropped;
        std::puts("NOTE: Audio Dropout");
        CPPBridge::notification("Audio Dropout. If this occurs regularly try increasing Ombrel's buffer size.");
    }
}

// ---- timed targets ---------------------------------------------------------------------------------------------------

void AUHost::place(UnitEvent& event, int64_t time) {
    const int64_t now = static_cast<int64_t>(TIME.load(std::memory_order_acquire));
    const int32_t offset = static_cast<int32_t>(time - now);
    event.window = now;
    event.frame = offset > 0 ? static_cast<uint32_t>(offset) : 0;
}

namespace {

// The unit of a task's node: null, quietly, for a node the graph no longer holds (cleared while the note waited);
// an error for a number that never was a node.
std::shared_ptr<Unit> unit_for(Graph& graph, int node) {
    auto unit = graph.unit(node);
    if (!unit && (node < 1 || node > graph.node_count())) CPPBridge::error("No audio unit at node %d", node);
    return unit;
}

void post_midi(Unit& unit, int64_t time, int status, int data1, int data2) {
    UnitEvent e;
    e.kind = UnitEvent::Kind::midi;
    e.midi = {static_cast<uint8_t>(status), static_cast<uint8_t>(data1), static_cast<uint8_t>(data2)};
    AUHost::place(e, time);
    if (!unit.post(e)) CPPBridge::error("Error sending MIDI Event: %d", -1);
}

bool in_midi_range(int v) { return v >= 1 && v <= 127; }

}  // namespace

void AUHost::on(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    const int pitch = a.integer(2), velocity = a.integer(3);
    if (!in_midi_range(pitch) || !in_midi_range(velocity)) return;
    if (auto unit = unit_for(graph_, a.integer(0))) post_midi(*unit, task->time(), (a.integer(1) | 0x90), pitch, velocity);
}

void AUHost::off(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    const int pitch = a.integer(2);
    if (!in_midi_range(pitch)) return;
    if (auto unit = unit_for(graph_, a.integer(0))) post_midi(*unit, task->time(), (a.integer(1) | 0x80), pitch, 0);
}

void AUHost::aumidi(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    if (auto unit = unit_for(graph_, a.integer(0)))
        post_midi(*unit, task->time(), a.integer(1) * 16 + a.integer(2), a.integer(3), a.integer(4));
}

void AUHost::start_note(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    const int node = a.integer(0);
    if (!in_midi_range(a.integer(2)) || !in_midi_range(a.integer(3))) return;
    auto unit = unit_for(graph_, node);
    if (!unit) return;
    UnitEvent e;
    e.kind = UnitEvent::Kind::note_start;
    e.note = {unit->new_note_instance(), static_cast<float>(a.number(2)), static_cast<float>(a.number(3))};
    place(e, task->time());
    remember_note(node, a.integer(4), e.note.instance);
    if (!unit->post(e)) CPPBridge::error("Error sending MIDI Event: %d", -1);
}

void AUHost::stop_note(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    const int node = a.integer(0);
    if (!in_midi_range(a.integer(2))) return;
    const uint32_t instance = forget_note(node, a.integer(3));
    auto unit = unit_for(graph_, node);
    if (!unit || instance == 0) return;  // instance 0 is no note: nothing to stop
    UnitEvent e;
    e.kind = UnitEvent::Kind::note_stop;
    e.note = {instance, static_cast<float>(a.number(2)), 0.0f};
    place(e, task->time());
    if (!unit->post(e)) CPPBridge::error("Error sending MIDI Event: %d", -1);
}

void AUHost::ausysex(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    auto unit = unit_for(graph_, a.integer(0));
    if (!unit) return;
    devlog("Sending Sys Ex Message: %zu bytes  length: %zu", a.bytes.size(), a.bytes.size());
    if (a.bytes.size() > unit->max_sysex()) {
        CPPBridge::error("Error sending MIDI Sys Ex Message: %d (%zu bytes; node %d takes at most %zu)", -1,
                         a.bytes.size(), a.integer(0), unit->max_sysex());
        return;
    }
    UnitEvent e;
    e.kind = UnitEvent::Kind::sysex;
    place(e, static_cast<int64_t>(TIME.load()));  // sent at once: the start of the coming buffer
    if (!unit->post_sysex(e, a.bytes)) CPPBridge::error("Error sending MIDI Sys Ex Message: %d", -1);
}

void AUHost::setAUParam(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    auto unit = unit_for(graph_, a.integer(0));
    if (!unit) return;
    const uint32_t id = static_cast<uint32_t>(a.integer(1));
    const int scope = a.integer(2), element = a.integer(3);
    const ParameterInfo* info = unit->parameter(id, scope);
    float value = static_cast<float>(a.number(4));
    // Read where the unit keeps them: this runs for every scheduled parameter change.
    const ParameterTraits* traits = info ? unit->traits(id, scope) : nullptr;
    if (traits && traits->output) {
        CPPBridge::error("au:set-param: parameter %u of node %d is a value the unit reports; it cannot be set", id,
                         a.integer(0));
        return;
    }
    if (traits && traits->clamped && !(value >= info->min && value <= info->max)) {
        const float used = std::isnan(value) ? info->initial : std::clamp(value, info->min, info->max);
        CPPBridge::error("au:set-param: %g is outside %g to %g for parameter %u of node %d: %g is used", value,
                         info->min, info->max, id, a.integer(0), used);
        value = used;
    }
    UnitEvent e;
    e.kind = UnitEvent::Kind::parameter;
    e.parameter = {id, scope, element, value};
    place(e, task->time());
    if (!info || element < 0 || element >= info->elements || !unit->post(e)) {
        devlog("Error setting AudioUnit param");
        CPPBridge::error("Error setting AudioUnit param");
    }
}

void AUHost::setBypassAU(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    auto unit = unit_for(graph_, a.integer(0));
    if (!unit) return;
    UnitEvent e;
    e.kind = UnitEvent::Kind::bypass;
    e.bypass.on = a.number(1) != 0;
    place(e, task->time());
    if (!unit->post(e)) CPPBridge::error("Error setting AudioUnit bypass");
}

// ---- note instances ----------------------------------------------------------------------------------------------

void AUHost::remember_note(int node, int id, uint32_t instance) {
    std::lock_guard lock(note_mutex_);
    note_maps_[node][id] = instance;
}

uint32_t AUHost::forget_note(int node, int id) {
    std::lock_guard lock(note_mutex_);
    auto& table = note_maps_[node];
    auto it = table.find(id);
    if (it == table.end()) return 0;
    const uint32_t instance = it->second;
    table.erase(it);
    return instance;
}

}  // namespace omb
