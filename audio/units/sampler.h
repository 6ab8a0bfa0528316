// "smpl": a sampler. Sound files, read whole into memory, play across key zones; a note at its zone's root key plays
// the file frame for frame, other keys (and fractional pitches) resample it linearly.
//
// Threads: load(), clear(), set_extra_state() and extra_state() run off the render thread (they read files and
// allocate) and may be called while the unit plays. Each change builds a new, immutable set of zones and hands it
// to the render thread through an atomic exchange; the render thread adopts it between two stretches of audio and
// gives the old set back once no voice reads from it, to be freed by the next loading call (or the destructor).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/unit.h"
#include "audio/unit_registry.h"
#include "audio/units/handoff.h"

namespace omb {

class Sampler final : public Unit {
public:
    explicit Sampler(int output_channels);
    ~Sampler() override;

    // Adds a zone: the sound file at `path` plays for keys low_key..high_key and sounds as recorded at root_key.
    // A zone with the same key range as an existing one replaces it; where ranges overlap, the zone loaded last
    // plays. False, with a message naming the file, when the keys are not 0..127 (low above high) or the file is
    // missing or not a sound file; the zones stay as they were.
    bool load(const std::string& path, int root_key = 60, int low_key = 0, int high_key = 127,
              std::string* error = nullptr);
    // Removes every zone; notes playing fade out.
    void clear();
    size_t zone_count() const;

    void prepare(double sample_rate, uint32_t max_frames) override;
    // {"zones": [{"file": path, "root": key, "low": key, "high": key}, ...]}
    plist::Value extra_state() const override;
    // Loads every zone listed, replacing the current ones; on any failure nothing changes.
    bool set_extra_state(const plist::Value& state, std::string* error) override;

    // Parameter ids.
    enum : uint32_t { kVolume = 0, kOneShot = 1, kAttack = 2, kRelease = 3, kVelocitySensitivity = 4, kTuning = 5 };

protected:
    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override;
    void apply(const UnitEvent& event) override;
    void parameter_changed(uint32_t id, int scope, int element, float value) override;

private:
    struct Sound;  // one file's frames
    struct Zone {
        std::shared_ptr<const Sound> sound;
        int root = 60, low = 0, high = 127;
        std::string file;
    };
    struct ZoneSet {
        std::vector<Zone> zones;
    };
    enum class Stage : uint8_t { attack, hold, release, off };
    struct Voice {
        const Sound* sound = nullptr;
        double position = 0, step = 1;
        float gain = 1;               // from the velocity
        float envelope = 0, envelope_step = 0;
        Stage stage = Stage::off;
        bool one_shot = false;        // note offs leave it playing to its end
        bool orphan = false;          // its zone was removed: fading out before its sound may be freed
        uint8_t channel = 0, key = 0;  // for MIDI note offs
        uint32_t instance = 0;        // 0 for MIDI notes
        uint64_t started = 0;
    };

    // Off the render thread.
    static std::shared_ptr<const Sound> read_sound(const std::string& path, std::string* error);
    void publish_locked();

    // Render thread.
    void adopt_zones();
    void start(float pitch, float velocity, uint32_t instance, uint8_t channel, uint8_t key);
    void release(Voice& voice, float seconds);
    void stop(Voice& voice);
    void render_voices(uint32_t frames);

    mutable std::mutex loader_;
    std::vector<Zone> latest_;  // the zones most recently published (loader side)
    Handoff<ZoneSet> handoff_;

    // The render thread's own, once the unit renders.
    ZoneSet* zones_ = nullptr;     // the set new notes play from
    ZoneSet* draining_ = nullptr;  // the set before it, while orphaned voices still read from it
    int orphans_ = 0;
    std::vector<Voice> voices_;
    std::vector<float> left_, right_;
    float volume_ = 1, volume_target_ = 1;
    uint64_t starts_ = 0;
};

}  // namespace omb
