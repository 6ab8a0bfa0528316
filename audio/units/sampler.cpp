#include "audio/units/sampler.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "audio/units/instruments.h"

namespace omb {

namespace {

constexpr size_t kVoices = 128;
constexpr float kOrphanFade = 0.005f;  // seconds: notes of a removed zone fade this fast
constexpr uint32_t kVolumeRamp = 64;   // frames over which a volume change is spread

std::vector<ParameterInfo> sampler_parameters() {
    return {
        {Sampler::kVolume, "Volume", kUnitDecibels, -60, 12, 0},
        {Sampler::kOneShot, "One Shot", kUnitBoolean, 0, 1, 0},
        {Sampler::kAttack, "Attack", kUnitSeconds, 0, 5, 0},
        {Sampler::kRelease, "Release", kUnitSeconds, 0.001f, 5, 0.01f},
        {Sampler::kVelocitySensitivity, "Velocity Sensitivity", kUnitPercent, 0, 100, 100},
        {Sampler::kTuning, "Tuning", kUnitCents, -1200, 1200, 0},
    };
}

float decibels(float db) { return db == 0.0f ? 1.0f : std::pow(10.0f, db / 20.0f); }

}  // namespace

// Frames of one file, interleaved, one or two channels.
struct Sampler::Sound {
    std::vector<float> samples;
    int channels = 1;
    int64_t frames = 0;
};

Sampler::Sampler(int output_channels)
    : Unit({fourcc("aumu"), fourcc("smpl"), kOmbrel, "Ombrel: Sampler"}, sampler_parameters(), {}, output_channels) {}

Sampler::~Sampler() {
    delete zones_;
    delete draining_;
}

std::shared_ptr<const Sampler::Sound> Sampler::read_sound(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "Cannot load sample " + path + ": " + why;
        return nullptr;
    };
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return fail("no such file");
    if (std::filesystem::is_directory(path, ec)) return fail("it is a folder");
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return fail(sf_strerror(nullptr));
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
    if (info.frames <= 0 || info.channels <= 0) return fail("the file holds no audio");
    std::vector<float> all(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, all.data(), info.frames);
    if (got <= 0) return fail("the file could not be read");
    auto sound = std::make_shared<Sound>();
    sound->frames = got;
    sound->channels = std::min(info.channels, 2);  // beyond left and right: not played
    if (sound->channels == info.channels) {
        all.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
        sound->samples = std::move(all);
    } else {
        sound->samples.resize(static_cast<size_t>(got) * 2);
        for (sf_count_t f = 0; f < got; ++f)
            for (int c = 0; c < 2; ++c)
                sound->samples[static_cast<size_t>(f * 2 + c)] = all[static_cast<size_t>(f * info.channels + c)];
    }
    return sound;
}

bool Sampler::load(const std::string& path, int root_key, int low_key, int high_key, std::string* error) {
    auto in_range = [](int key) { return key >= 0 && key <= 127; };
    if (!in_range(root_key) || !in_range(low_key) || !in_range(high_key) || low_key > high_key) {
        if (error)
            *error = "Cannot load sample " + path + ": keys must be 0 to 127, the lowest not above the highest";
        return false;
    }
    auto sound = read_sound(path, error);
    if (!sound) return false;
    std::lock_guard lock(loader_);
    std::erase_if(latest_, [&](const Zone& z) { return z.low == low_key && z.high == high_key; });
    latest_.push_back(Zone{std::move(sound), root_key, low_key, high_key, path});
    publish_locked();
    return true;
}

void Sampler::clear() {
    std::lock_guard lock(loader_);
    latest_.clear();
    publish_locked();
}

size_t Sampler::zone_count() const {
    std::lock_guard lock(loader_);
    return latest_.size();
}

void Sampler::publish_locked() {
    auto set = std::make_unique<ZoneSet>();
    set->zones = latest_;
    handoff_.publish(std::move(set));
}

plist::Value Sampler::extra_state() const {
    std::lock_guard lock(loader_);
    plist::Array zones;
    for (const Zone& z : latest_) {
        plist::Dict d;
        d.set("file", z.file);
        d.set("root", z.root);
        d.set("low", z.low);
        d.set("high", z.high);
        zones.emplace_back(std::move(d));
    }
    plist::Dict state;
    state.set("zones", std::move(zones));
    return plist::Value(std::move(state));
}

bool Sampler::set_extra_state(const plist::Value& state, std::string* error) {
    const plist::Value* listed = state.find("zones");
    if (!listed) return true;  // nothing of ours in it
    if (!listed->as_array()) {
        if (error) *error = "The sampler's zones in a preset must be a list";
        return false;
    }
    std::vector<Zone> zones;
    for (const plist::Value& entry : *listed->as_array()) {
        const plist::Value* file = entry.find("file");
        if (!file || !file->as_string()) {
            if (error) *error = "A sampler zone in a preset names no file";
            return false;
        }
        auto key = [&](const char* name, int fallback) {
            const plist::Value* v = entry.find(name);
            const auto k = v ? v->as_int() : std::nullopt;
            return k ? static_cast<int>(std::clamp<int64_t>(*k, -1, 128)) : fallback;
        };
        Zone zone{nullptr, key("root", 60), key("low", 0), key("high", 127), *file->as_string()};
        if (zone.root < 0 || zone.root > 127 || zone.low < 0 || zone.high > 127 || zone.low > zone.high) {
            if (error) *error = "Cannot load sample " + zone.file + ": keys must be 0 to 127, the lowest not above the highest";
            return false;
        }
        zone.sound = read_sound(zone.file, error);
        if (!zone.sound) return false;
        zones.push_back(std::move(zone));
    }
    std::lock_guard lock(loader_);
    latest_ = std::move(zones);
    publish_locked();
    return true;
}

void Sampler::prepare(double sample_rate, uint32_t max_frames) {
    Unit::prepare(sample_rate, max_frames);
    // Not rendering now: the newest zones become current directly.
    std::lock_guard lock(loader_);
    if (ZoneSet* next = handoff_.take()) {
        delete zones_;
        zones_ = next;
    }
    delete draining_;
    draining_ = nullptr;
    handoff_.reclaim();
    orphans_ = 0;
    voices_.assign(kVoices, Voice{});
    left_.assign(std::max<uint32_t>(max_frames, 1), 0.0f);
    right_.assign(left_.size(), 0.0f);
    volume_ = volume_target_ = decibels(value(kVolume));
}

void Sampler::adopt_zones() {
    if (draining_ && orphans_ == 0 && handoff_.retire(draining_)) draining_ = nullptr;
    if (draining_) return;  // one change at a time: the next waits until the last one's voices are gone
    ZoneSet* next = handoff_.take();
    if (!next) return;
    for (Voice& v : voices_) {
        if (v.stage == Stage::off || v.orphan) continue;
        const bool kept = std::any_of(next->zones.begin(), next->zones.end(),
                                      [&](const Zone& z) { return z.sound.get() == v.sound; });
        if (kept) continue;
        v.orphan = true;
        ++orphans_;
        release(v, kOrphanFade);
    }
    draining_ = zones_;
    zones_ = next;
    if (draining_ && orphans_ == 0 && handoff_.retire(draining_)) draining_ = nullptr;
}

void Sampler::process(const BusBuffer*, BusBuffer& out, uint32_t offset, uint32_t count) {
    adopt_zones();
    for (int c = 0; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, 0.0f);
    if (left_.empty() || out.count == 0) return;
    const uint32_t piece = static_cast<uint32_t>(left_.size());
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(piece, count - done);
        render_voices(n);
        for (uint32_t i = 0; i < n; ++i) {
            if (volume_ != volume_target_) {
                const float step = (volume_target_ - volume_) / static_cast<float>(kVolumeRamp);
                volume_ = std::fabs(volume_target_ - volume_) <= std::fabs(step) ? volume_target_ : volume_ + step;
            }
            left_[i] *= volume_;
            right_[i] *= volume_;
        }
        if (out.count >= 2) {
            std::copy_n(left_.data(), n, out.channels[0] + offset + done);
            std::copy_n(right_.data(), n, out.channels[1] + offset + done);
        } else {
            float* to = out.channels[0] + offset + done;
            for (uint32_t i = 0; i < n; ++i) to[i] = 0.5f * (left_[i] + right_[i]);
        }
        done += n;
    }
}

void Sampler::render_voices(uint32_t frames) {
    std::fill_n(left_.data(), frames, 0.0f);
    std::fill_n(right_.data(), frames, 0.0f);
    for (Voice& v : voices_) {
        if (v.stage == Stage::off) continue;
        const Sound& s = *v.sound;
        const float* data = s.samples.data();
        const int channels = s.channels;
        for (uint32_t i = 0; i < frames; ++i) {
            const int64_t at = static_cast<int64_t>(v.position);
            if (at >= s.frames) {
                stop(v);
                break;
            }
            if (v.stage == Stage::attack) {
                v.envelope += v.envelope_step;
                if (v.envelope >= 1.0f) v.envelope = 1.0f, v.stage = Stage::hold;
            } else if (v.stage == Stage::release) {
                v.envelope -= v.envelope_step;
                if (v.envelope <= 0.0f) {
                    stop(v);
                    break;
                }
            }
            // At the root key the position stays whole: frac is 0 and the file's own samples come out.
            const float frac = static_cast<float>(v.position - static_cast<double>(at));
            const bool last = at + 1 >= s.frames;
            const float gain = v.gain * v.envelope;
            const float* a = data + at * channels;
            const float l0 = a[0], l1 = last ? 0.0f : a[channels];
            const float l = l0 + (l1 - l0) * frac;
            if (channels == 1) {
                left_[i] += l * gain;
                right_[i] += l * gain;
            } else {
                const float r0 = a[1], r1 = last ? 0.0f : a[channels + 1];
                left_[i] += l * gain;
                right_[i] += (r0 + (r1 - r0) * frac) * gain;
            }
            v.position += v.step;
        }
    }
}

void Sampler::apply(const UnitEvent& event) {
    adopt_zones();
    if (voices_.empty()) return;
    switch (event.kind) {
        case UnitEvent::Kind::note_start:
            if (event.note.velocity > 0 && std::isfinite(event.note.pitch))
                start(event.note.pitch, event.note.velocity, event.note.instance, 0, 0);
            break;
        case UnitEvent::Kind::note_stop:
            for (Voice& v : voices_)
                if (v.stage != Stage::off && v.instance == event.note.instance && v.instance != 0 && !v.one_shot)
                    release(v, value(kRelease));
            break;
        case UnitEvent::Kind::midi: {
            const uint8_t kind = event.midi.status & 0xF0, channel = event.midi.status & 0x0F;
            const uint8_t key = event.midi.data1 & 0x7F, velocity = event.midi.data2 & 0x7F;
            if (kind == 0x90 && velocity > 0) {
                start(key, velocity, 0, channel, key);
            } else if (kind == 0x80 || kind == 0x90) {
                for (Voice& v : voices_)
                    if (v.stage != Stage::off && v.instance == 0 && v.channel == channel && v.key == key && !v.one_shot)
                        release(v, value(kRelease));
            } else if (kind == 0xB0 && (key == 120 || key == 123)) {  // all sound off, all notes off
                for (Voice& v : voices_)
                    if (v.stage != Stage::off && v.channel == channel)
                        release(v, key == 120 ? kOrphanFade : value(kRelease));
            }
            break;
        }
        default: break;
    }
}

void Sampler::parameter_changed(uint32_t id, int scope, int, float value) {
    if (scope == kScopeGlobal && id == kVolume && std::isfinite(value))
        volume_target_ = decibels(std::clamp(value, -60.0f, 12.0f));
}

void Sampler::start(float pitch, float velocity, uint32_t instance, uint8_t channel, uint8_t key) {
    if (!zones_) return;
    const int note = static_cast<int>(std::lround(std::clamp(pitch, 0.0f, 127.0f)));
    const Zone* zone = nullptr;
    for (auto z = zones_->zones.rbegin(); z != zones_->zones.rend() && !zone; ++z)
        if (note >= z->low && note <= z->high) zone = &*z;
    if (!zone) return;
    // A free voice, else the oldest released one, else the oldest.
    Voice* voice = nullptr;
    for (Voice& v : voices_) {
        if (v.stage == Stage::off) {
            voice = &v;
            break;
        }
        const bool released = v.stage == Stage::release;
        const bool best_released = voice && voice->stage == Stage::release;
        if (!voice || (released && !best_released) || (released == best_released && v.started < voice->started))
            voice = &v;
    }
    stop(*voice);
    const float sensitivity = std::clamp(value(kVelocitySensitivity), 0.0f, 100.0f) / 100.0f;
    const float attack = std::clamp(value(kAttack), 0.0f, 5.0f);
    const double cents = std::clamp(static_cast<double>(value(kTuning)), -1200.0, 1200.0);
    voice->sound = zone->sound.get();
    voice->position = 0;
    voice->step = std::exp2((static_cast<double>(pitch) + cents / 100.0 - zone->root) / 12.0);
    voice->gain = 1.0f - sensitivity + sensitivity * std::clamp(velocity / 127.0f, 0.0f, 1.0f);
    voice->stage = attack > 0 ? Stage::attack : Stage::hold;
    voice->envelope = attack > 0 ? 0.0f : 1.0f;
    voice->envelope_step = attack > 0 ? static_cast<float>(1.0 / (attack * sample_rate())) : 0.0f;
    voice->one_shot = value(kOneShot) >= 0.5f;
    voice->orphan = false;
    voice->channel = channel;
    voice->key = key;
    voice->instance = instance;
    voice->started = ++starts_;
}

void Sampler::release(Voice& voice, float seconds) {
    if (voice.stage == Stage::off) return;
    const double frames = std::max(1.0, std::clamp(static_cast<double>(seconds), 0.0, 5.0) * sample_rate());
    const float step = static_cast<float>(voice.envelope / frames);
    // Already fading faster: keep that.
    if (voice.stage == Stage::release && voice.envelope_step >= step) return;
    voice.stage = Stage::release;
    voice.envelope_step = std::max(step, 1.0e-9f);
}

void Sampler::stop(Voice& voice) {
    if (voice.orphan) --orphans_;
    voice.orphan = false;
    voice.stage = Stage::off;
    voice.sound = nullptr;
}

std::unique_ptr<Unit> make_sampler(const ComponentDescription&, int output_channels, std::string* error) {
    if (output_channels < 1) {
        if (error) *error = "The sampler needs at least one output channel";
        return nullptr;
    }
    return std::make_unique<Sampler>(output_channels);
}

}  // namespace omb
