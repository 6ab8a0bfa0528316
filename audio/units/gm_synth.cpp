// "dls ": a General MIDI synth on FluidSynth, playing a SoundFont (a GM one from Debian unless a preset names
// another).
//
// Each unit owns one FluidSynth made without its API lock; once the unit renders, only the render thread calls it.
// A SoundFont is read the first time a unit asks for it and then kept loaded by a synth that never plays, so
// FluidSynth's sample cache serves every later unit without reading the samples again. Loading another SoundFont
// builds a whole new synth off the render thread and hands it over; the render thread adopts it between two
// stretches of audio and gives back the old one, which the loading side frees.
#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "audio/units/handoff.h"
#include "audio/units/instruments.h"

namespace omb {
namespace {

// Parameters (documented in docs/units-instruments.md).
enum GmParameter : uint32_t { kTuning = 0, kVolume = 1, kReverb = 2, kChorus = 3 };

constexpr size_t kMaxSysex = 4096;
// Note instances become FluidSynth voice ids in a range its own note-on counter (from 0) never reaches.
constexpr unsigned kInstanceIds = 0x40000000u;
// Fractional pitches: key tunings made with the synth, one per cent from -50 to +50, in a bank of their own;
// a note instance activates one on channel 0 just while it starts.
constexpr int kTuningBank = 127;
constexpr int kTuningCents = 50;

const char* const kDefaultSoundFonts[] = {
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/sounds/sf2/default-GM.sf2",
};

struct FluidSynth {
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    double rate = 0;
    FluidSynth() = default;
    FluidSynth(const FluidSynth&) = delete;
    FluidSynth& operator=(const FluidSynth&) = delete;
    ~FluidSynth() {
        if (synth) delete_fluid_synth(synth);
        if (settings) delete_fluid_settings(settings);
    }
};

// A synth at `rate` with `path` loaded; null with the reason when the file is no SoundFont.
std::unique_ptr<FluidSynth> make_fluid(const std::string& path, double rate, std::string* error) {
    auto f = std::make_unique<FluidSynth>();
    f->rate = rate;
    f->settings = new_fluid_settings();
    // Called from one thread at a time (the loader, then only the render thread): no API lock to take.
    fluid_settings_setint(f->settings, "synth.threadsafe-api", 0);
    fluid_settings_setnum(f->settings, "synth.sample-rate", rate);
    // Samples stay in memory: selecting a preset on the render thread must not read the disk.
    fluid_settings_setint(f->settings, "synth.dynamic-sample-loading", 0);
    fluid_settings_setint(f->settings, "synth.cpu-cores", 1);
    f->synth = new_fluid_synth(f->settings);
    if (!f->synth || fluid_synth_sfload(f->synth, path.c_str(), 1) == FLUID_FAILED) {
        if (error) *error = "Cannot load SoundFont " + path + ": not a SoundFont file";
        return nullptr;
    }
    for (int cents = -kTuningCents; cents <= kTuningCents; ++cents) {
        double pitches[128];
        for (int key = 0; key < 128; ++key) pitches[key] = key * 100.0 + cents;
        fluid_synth_activate_key_tuning(f->synth, kTuningBank, cents + kTuningCents, "ombrel", pitches, 0);
    }
    return f;
}

// A RIFF file of SoundFont ("sfbk") or DLS form: anything else is refused before FluidSynth's loaders, which
// complain on standard error about files they cannot parse.
bool looks_like_soundfont(const std::string& path) {
    char head[12] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(head, sizeof head)) return false;
    const std::string_view riff(head, 4), form(head + 8, 4);
    return riff == "RIFF" && (form == "sfbk" || form == "DLS ");
}

// The SoundFonts read so far, each kept loaded by a synth that never plays.
class SoundFontCache {
public:
    static SoundFontCache& instance() {
        // Never destroyed: units may outlive static destruction at exit.
        static SoundFontCache* cache = new SoundFontCache;
        return *cache;
    }

    bool ensure(const std::string& path, std::string* error) {
        std::lock_guard lock(mutex_);
        if (keepers_.count(path)) return true;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            if (error) *error = "Cannot load SoundFont " + path + ": no such file";
            return false;
        }
        if (!looks_like_soundfont(path)) {
            if (error) *error = "Cannot load SoundFont " + path + ": not a SoundFont file";
            return false;
        }
        auto keeper = make_fluid(path, 44100, error);
        if (!keeper) return false;
        keepers_.emplace(path, std::move(keeper));
        return true;
    }

private:
    SoundFontCache() {
        // FluidSynth would log from whatever thread calls it, the render thread included; our own messages say
        // what failed.
        for (int level = 0; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, nullptr, nullptr);
    }
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<FluidSynth>> keepers_;
};

std::string default_soundfont() {
    std::error_code ec;
    for (const char* path : kDefaultSoundFonts)
        if (std::filesystem::is_regular_file(path, ec)) return path;
    return {};
}

std::vector<ParameterInfo> gm_parameters() {
    return {
        {kTuning, "Tuning", kUnitCents, -1200, 1200, 0},
        {kVolume, "Volume", kUnitDecibels, -120, 20, 0},
        {kReverb, "Reverb", kUnitBoolean, 0, 1, 1},
        {kChorus, "Chorus", kUnitBoolean, 0, 1, 0},
    };
}

class GmSynth final : public Unit {
public:
    GmSynth(int channels, std::string soundfont)
        : Unit({fourcc("aumu"), fourcc("dls "), kOmbrel, "Ombrel: General MIDI Synth"}, gm_parameters(), {},
               channels),
          path_(std::move(soundfont)) {}

    ~GmSynth() override { delete current_; }

    void prepare(double sample_rate, uint32_t max_frames) override {
        std::lock_guard lock(loader_);
        Unit::prepare(sample_rate, max_frames);
        // Not rendering now: take over whatever was published, then make sure the synth runs at this rate.
        if (FluidSynth* next = handoff_.take()) {
            delete current_;
            current_ = next;
        }
        handoff_.reclaim();
        if (!current_ || current_->rate != sample_rate) {
            std::string error;
            auto fresh = make_fluid(path_, sample_rate, &error);
            delete current_;
            current_ = fresh.release();
        }
        if (current_) set_all_parameters(current_->synth);
        prepared_ = true;
        scratch_.assign(2 * static_cast<size_t>(max_frames), 0.0f);
    }

    size_t max_sysex() const override { return kMaxSysex; }

    plist::Value extra_state() const override {
        std::lock_guard lock(loader_);
        plist::Dict state;
        state.set("soundfont", path_);
        return plist::Value(std::move(state));
    }

    bool set_extra_state(const plist::Value& state, std::string* error) override {
        const plist::Value* path = state.find("soundfont");
        if (!path) return true;  // nothing of ours in it
        if (!path->as_string()) {
            if (error) *error = "The SoundFont of a preset must be a file name";
            return false;
        }
        const std::string& file = *path->as_string();
        if (!SoundFontCache::instance().ensure(file, error)) return false;
        std::lock_guard lock(loader_);
        if (file == path_) return true;
        if (prepared_) {
            // The unit may be playing: a new synth takes over at the next stretch the render thread plays.
            auto next = make_fluid(file, sample_rate(), error);
            if (!next) return false;
            handoff_.publish(std::move(next));
        }
        path_ = file;
        return true;
    }

protected:
    void process(const BusBuffer*, BusBuffer& out, uint32_t offset, uint32_t count) override {
        adopt_published();
        if (!current_ || out.count == 0) {
            for (int c = 0; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, 0.0f);
            return;
        }
        for (int c = 2; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, 0.0f);
        if (out.count >= 2) {
            fluid_synth_write_float(current_->synth, static_cast<int>(count), out.channels[0] + offset, 0, 1,
                                    out.channels[1] + offset, 0, 1);
            return;
        }
        // Mono: the mean of left and right, in pieces the scratch buffers hold.
        const uint32_t piece = std::max<uint32_t>(1, static_cast<uint32_t>(scratch_.size() / 2));
        float* left = scratch_.data();
        float* right = left + piece;
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = std::min(piece, count - done);
            fluid_synth_write_float(current_->synth, static_cast<int>(n), left, 0, 1, right, 0, 1);
            float* to = out.channels[0] + offset + done;
            for (uint32_t i = 0; i < n; ++i) to[i] = 0.5f * (left[i] + right[i]);
            done += n;
        }
    }

    void apply(const UnitEvent& event) override {
        adopt_published();
        if (!current_) return;
        fluid_synth_t* synth = current_->synth;
        switch (event.kind) {
            case UnitEvent::Kind::midi: play_midi(synth, event.midi.status, event.midi.data1, event.midi.data2); break;
            case UnitEvent::Kind::note_start: start_note(synth, event.note.instance, event.note.pitch,
                                                         event.note.velocity);
                break;
            case UnitEvent::Kind::note_stop: fluid_synth_stop(synth, voice_id(event.note.instance)); break;
            case UnitEvent::Kind::sysex: send_sysex(synth, sysex_bytes()); break;
            case UnitEvent::Kind::parameter:
            case UnitEvent::Kind::bypass: break;
        }
    }

    void parameter_changed(uint32_t id, int, int, float value) override {
        adopt_published();
        if (current_) set_parameter(current_->synth, id, value);
    }

private:
    static unsigned voice_id(uint32_t instance) { return kInstanceIds | (instance & (kInstanceIds - 1)); }

    // Render thread: switch to a synth published by set_extra_state(), keeping the parameters' values.
    void adopt_published() {
        if (!handoff_.can_retire()) return;
        FluidSynth* next = handoff_.take();
        if (!next) return;
        handoff_.retire(current_);
        current_ = next;
        set_all_parameters(current_->synth);
    }

    void set_all_parameters(fluid_synth_t* synth) {
        for (uint32_t id : {kTuning, kVolume, kReverb, kChorus}) set_parameter(synth, id, value(id));
    }

    static void set_parameter(fluid_synth_t* synth, uint32_t id, float value) {
        switch (id) {
            case kTuning: {
                // Channel generator offsets: every voice of every channel, drums included.
                const float coarse = std::round(value / 100.0f);
                for (int channel = 0; channel < 16; ++channel) {
                    fluid_synth_set_gen(synth, channel, GEN_COARSETUNE, coarse);
                    fluid_synth_set_gen(synth, channel, GEN_FINETUNE, value - 100.0f * coarse);
                }
                break;
            }
            case kVolume: fluid_synth_set_gain(synth, std::min(10.0f, std::pow(10.0f, value / 20.0f))); break;
            case kReverb: fluid_synth_reverb_on(synth, -1, value >= 0.5f); break;
            case kChorus: fluid_synth_chorus_on(synth, -1, value >= 0.5f); break;
            default: break;
        }
    }

    static void play_midi(fluid_synth_t* synth, uint8_t status, uint8_t data1, uint8_t data2) {
        const int channel = status & 0x0F;
        const int a = data1 & 0x7F, b = data2 & 0x7F;
        switch (status & 0xF0) {
            case 0x80: fluid_synth_noteoff(synth, channel, a); break;
            case 0x90: fluid_synth_noteon(synth, channel, a, b); break;  // velocity 0 is a note off
            case 0xA0: fluid_synth_key_pressure(synth, channel, a, b); break;
            case 0xB0: fluid_synth_cc(synth, channel, a, b); break;  // bank select included
            case 0xC0: fluid_synth_program_change(synth, channel, a); break;
            case 0xD0: fluid_synth_channel_pressure(synth, channel, a); break;
            case 0xE0: fluid_synth_pitch_bend(synth, channel, a | (b << 7)); break;
            default: break;  // system messages: nothing for a synth to do
        }
    }

    // A note instance on channel 0: the key nearest its pitch, tuned to the cent by one of our key tunings, which
    // the voices keep once started.
    static void start_note(fluid_synth_t* synth, uint32_t instance, float pitch, float velocity) {
        if (!(velocity >= 0.5f) || !std::isfinite(pitch)) return;
        const float clamped = std::clamp(pitch, 0.0f, 127.0f);
        const int key = static_cast<int>(std::lround(clamped));
        const int cents = static_cast<int>(std::lround((clamped - static_cast<float>(key)) * 100.0f));
        const int vel = static_cast<int>(std::lround(std::min(velocity, 127.0f)));
        fluid_preset_t* preset = fluid_synth_get_channel_preset(synth, 0);
        if (!preset) return;
        if (cents != 0) fluid_synth_activate_tuning(synth, 0, kTuningBank, cents + kTuningCents, 0);
        fluid_synth_start(synth, voice_id(instance), preset, 0, 0, key, vel);
        if (cents != 0) fluid_synth_deactivate_tuning(synth, 0, 0);
    }

    static void send_sysex(fluid_synth_t* synth, std::span<const uint8_t> bytes) {
        // FluidSynth takes the message without its framing bytes.
        if (!bytes.empty() && bytes.front() == 0xF0) bytes = bytes.subspan(1);
        if (!bytes.empty() && bytes.back() == 0xF7) bytes = bytes.first(bytes.size() - 1);
        if (bytes.empty() || bytes.size() > kMaxSysex) return;
        // MIDI Tuning Standard messages make FluidSynth allocate a tuning: not on the render thread.
        if (bytes.size() >= 3 && (bytes[0] == 0x7E || bytes[0] == 0x7F) && bytes[2] == 0x08) return;
        int handled = 0;
        fluid_synth_sysex(synth, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                          nullptr, nullptr, &handled, 0);
    }

    mutable std::mutex loader_;     // path_ and publishing, off the render thread
    std::string path_;              // the SoundFont in use (or about to be)
    bool prepared_ = false;         // a synth exists: another SoundFont goes through the hand-off
    FluidSynth* current_ = nullptr;  // owned; the render thread's once the unit renders
    Handoff<FluidSynth> handoff_;
    std::vector<float> scratch_;  // mono output: left and right before they are mixed
};

}  // namespace

std::unique_ptr<Unit> make_gm_synth(const ComponentDescription&, int output_channels, std::string* error) {
    if (output_channels < 1) {
        if (error) *error = "The General MIDI synth needs at least one output channel";
        return nullptr;
    }
    const std::string soundfont = default_soundfont();
    if (soundfont.empty()) {
        if (error)
            *error = "No General MIDI SoundFont found: install fluid-soundfont-gm or timgm6mb-soundfont";
        return nullptr;
    }
    if (!SoundFontCache::instance().ensure(soundfont, error)) return nullptr;
    return std::make_unique<GmSynth>(output_channels, soundfont);
}

}  // namespace omb
