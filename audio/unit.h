// An audio unit: one node's instrument, effect, mixer or source in the engine's graph.
//
// A unit is made and prepared off the render thread, then joins the graph. From then on only the render thread
// calls render(); every change that must land at a frame (MIDI, notes, parameters, bypass) reaches it as a
// UnitEvent through the unit's event queue, posted by any thread and applied by the render thread at its frame.
// Parameter values are mirrored in atomics, so any thread reads them without touching the render thread.
//
// To write a unit: derive from Unit, pass its description, parameters and buses to the constructor, allocate in
// prepare(), and implement process() (audio for a stretch of frames with no event inside it) and apply() (one
// event, at its frame). Neither may allocate, lock, log or wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/event_queue.h"
#include "platform/plist.h"

namespace omb {

using FourCC = uint32_t;

// 'aumu' from "aumu": the first character in the highest byte, as four-character codes are written.
constexpr FourCC fourcc(const char (&code)[5]) {
    return (FourCC(uint8_t(code[0])) << 24) | (FourCC(uint8_t(code[1])) << 16) | (FourCC(uint8_t(code[2])) << 8) |
           FourCC(uint8_t(code[3]));
}
std::string fourcc_text(FourCC code);
// A four-character string as its code; false for any other length.
bool fourcc_from(const std::string& text, FourCC& code);

struct ComponentDescription {
    FourCC type = 0, subtype = 0, manufacturer = 0;
    std::string name;  // what the component listing shows
};

// Parameter unit kinds, as the parameter info reports them.
enum ParameterUnit : int {
    kUnitGeneric = 0, kUnitIndexed = 1, kUnitBoolean = 2, kUnitPercent = 3, kUnitSeconds = 4, kUnitSampleFrames = 5,
    kUnitPhase = 6, kUnitRate = 7, kUnitHertz = 8, kUnitCents = 9, kUnitRelativeSemiTones = 10,
    kUnitMIDINoteNumber = 11, kUnitMIDIController = 12, kUnitDecibels = 13, kUnitLinearGain = 14, kUnitDegrees = 15,
    kUnitEqualPowerCrossfade = 16, kUnitMixerFaderCurve1 = 17, kUnitPan = 18, kUnitMeters = 19,
    kUnitAbsoluteCents = 20, kUnitOctaves = 21, kUnitBPM = 22, kUnitBeats = 23, kUnitMilliseconds = 24,
    kUnitRatio = 25, kUnitCustomUnit = 26,
};

// Parameter scopes, as Scheme names them.
enum ParameterScope : int { kScopeGlobal = 0, kScopeInput = 1, kScopeOutput = 2 };

struct ParameterInfo {
    uint32_t id = 0;
    std::string name;
    int unit = kUnitGeneric;
    float min = 0, max = 1, initial = 0;
    int scope = kScopeGlobal;
    // Per-element parameters (a mixer's volume per input bus): one value per element 0..elements-1.
    int elements = 1;
};

// What a unit's own data says of a parameter beyond its info.
struct ParameterTraits {
    std::string unit_text;  // its unit's name where the unit kind has none (kUnitCustomUnit)
    bool clamped = false;   // values outside [min, max] are clamped, with an error, before they reach the unit
    bool output = false;    // read only: the unit reports it
};

// Non-interleaved float channels of one bus for one stretch of frames.
struct BusBuffer {
    float* const* channels = nullptr;  // `count` pointers, each to at least the frames being processed
    int count = 0;
};

class Unit {
public:
    // `inputs`: channel count of each input bus (none for an instrument). The output is one bus of
    // `output_channels` channels.
    Unit(ComponentDescription description, std::vector<ParameterInfo> parameters, std::vector<int> inputs,
         int output_channels);
    virtual ~Unit() = default;
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    const ComponentDescription& description() const { return description_; }
    const std::vector<ParameterInfo>& parameters() const { return parameters_; }
    const ParameterInfo* parameter(uint32_t id, int scope) const;
    // Off the render thread; null when the unit's data says nothing more (the default).
    virtual const ParameterTraits* traits(uint32_t id, int scope) const {
        (void)id, (void)scope;
        return nullptr;
    }
    int input_buses() const { return static_cast<int>(inputs_.size()); }
    int input_channels(int bus) const { return inputs_[static_cast<size_t>(bus)]; }
    int output_channels() const { return output_channels_; }

    // Off the render thread, before the unit renders, and again whenever the rate or the largest buffer changes.
    virtual void prepare(double sample_rate, uint32_t max_frames);
    double sample_rate() const { return sample_rate_; }
    uint32_t max_frames() const { return max_frames_; }

    // ---- any thread ----------------------------------------------------------------------------------------
    // Queue an event for the render thread. False when the queue is full (the event is dropped).
    bool post(const UnitEvent& event) { return events_.push(event); }
    bool post_sysex(const UnitEvent& event, std::span<const uint8_t> bytes) { return events_.push_sysex(event, bytes); }
    // The largest system-exclusive message the unit takes; 0: none.
    virtual size_t max_sysex() const { return 0; }
    // A new note instance number for note_start events; never 0.
    uint32_t new_note_instance() { return next_instance_.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The value the render thread last applied (or the initial value); 0 for an unknown parameter.
    float parameter_value(uint32_t id, int scope, int element) const;
    bool bypassed() const { return bypassed_.load(std::memory_order_relaxed); }
    // Events dropped because the queue was full, since the last call (for reporting off the render thread).
    uint64_t take_dropped_events() { return events_.take_dropped(); }
    // Samples of the unit's output that were not numbers and were silenced, since the last call.
    uint64_t take_silenced_samples() {
        // Asked every buffer: a read leaves the render thread's cache line alone when there is nothing to take.
        return silenced_.load(std::memory_order_relaxed) == 0 ? 0 : silenced_.exchange(0, std::memory_order_relaxed);
    }

    // The unit's own settings beyond its parameters (a SoundFont path, loaded samples): saved in presets.
    // Off the render thread. The default has none.
    virtual plist::Value extra_state() const { return plist::Value(plist::Dict{}); }
    // Applies settings saved by extra_state(); false with a reason when they cannot be used.
    virtual bool set_extra_state(const plist::Value& state, std::string* error);

    // ---- render thread ---------------------------------------------------------------------------------------
    // Renders `frames` frames of the window that starts at sample time `window`: applies the events due in it at
    // their frames (later ones wait), calling process() for the stretches between them. A bypassed unit with an
    // input passes its input through; a bypassed instrument renders silence.
    void render(const BusBuffer* inputs, BusBuffer& output, uint32_t frames, int64_t window);

protected:
    // Audio for frames [offset, offset + count) of the buffers. Inputs hold their mix of connected sources
    // (silence where nothing is connected).
    virtual void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) = 0;
    // One event at its frame. Parameter events are applied by the base class first (mirror and
    // parameter_changed), then given here too; most units need only parameter_changed().
    virtual void apply(const UnitEvent& event) { (void)event; }
    virtual void parameter_changed(uint32_t id, int scope, int element, float value) {
        (void)id, (void)scope, (void)element, (void)value;
    }
    // Render thread: reports a value the unit itself produced, for parameter `index` of parameters().
    void publish(size_t index, float value) {
        values_[static_cast<size_t>(first_slot_[index])].store(value, std::memory_order_relaxed);
    }
    // Render thread: counts samples of the output that were not numbers and that the unit silenced.
    void count_silenced(uint64_t samples) { silenced_.fetch_add(samples, std::memory_order_relaxed); }
    // Render thread, inside apply() of a sysex event: its bytes.
    std::span<const uint8_t> sysex_bytes() const { return events_.sysex_bytes(); }
    // Render thread: the current value of a parameter (element 0 unless given).
    float value(uint32_t id, int scope = kScopeGlobal, int element = 0) const {
        return parameter_value(id, scope, element);
    }

private:
    int slot(uint32_t id, int scope, int element) const;  // index into values_, -1 when unknown

    ComponentDescription description_;
    std::vector<ParameterInfo> parameters_;
    std::vector<int> inputs_;
    int output_channels_;
    double sample_rate_ = 44100;
    uint32_t max_frames_ = 512;
    std::unique_ptr<std::atomic<float>[]> values_;  // one per parameter element
    std::vector<int> first_slot_;                    // per parameter: its first index in values_
    std::atomic<bool> bypassed_{false};
    std::atomic<uint32_t> next_instance_{0};
    std::atomic<uint64_t> silenced_{0};
    EventQueue events_;
};

// Makes a unit of one built-in component; null when it cannot be made (the reason in *error).
using UnitFactory = std::unique_ptr<Unit> (*)(const ComponentDescription& asked, int output_channels,
                                               std::string* error);

}  // namespace omb
