// What the audio unit tests share: a folder of their own, events posted for a frame counted from the first render,
// and rendering in 256-frame windows as the graph does, checked to allocate nothing. It brings the allocation
// counter, so exactly one file of a test program includes it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/unit.h"
#include "audio/unit_registry.h"
#include "allocation_counter.h"

namespace omb::test {

constexpr uint32_t kFrames = 256;
constexpr double kRate = 48000;

// A built-in unit made through the registry and prepared as the graph prepares it.
inline std::unique_ptr<Unit> make_unit(FourCC type, FourCC subtype, int channels) {
    const RegisteredUnit* found = UnitRegistry::builtin().find(type, subtype, kOmbrel);
    if (!found) throw std::runtime_error("no unit " + fourcc_text(subtype));
    std::string error;
    auto unit = found->make(found->description, channels, &error);
    if (!unit) throw std::runtime_error(error);
    unit->prepare(kRate, kFrames);
    return unit;
}

// Every default lies in its range, and an id names one parameter in its scope.
inline void expect_sane_parameters(const Unit& unit) {
    for (const ParameterInfo& p : unit.parameters()) {
        EXPECT_TRUE(p.min <= p.initial && p.initial <= p.max && !p.name.empty()) << p.name;
        EXPECT_EQ(unit.parameter(p.id, p.scope), &p) << p.name << ": ids are unique per scope";
    }
}

// A new folder for each use (never a fixed name), removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ombrel-test-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline UnitEvent at(int64_t frame, UnitEvent::Kind kind = UnitEvent::Kind::sysex) {
    UnitEvent e;
    e.kind = kind;
    e.window = frame / kFrames * kFrames;
    e.frame = static_cast<uint32_t>(frame % kFrames);
    return e;
}
inline UnitEvent note_start(int64_t frame, uint32_t instance, float pitch, float velocity = 100) {
    UnitEvent e = at(frame, UnitEvent::Kind::note_start);
    return e.note = {instance, pitch, velocity}, e;
}
inline UnitEvent note_stop(int64_t frame, uint32_t instance) {
    UnitEvent e = at(frame, UnitEvent::Kind::note_stop);
    return e.note = {instance, 0, 0}, e;
}
inline UnitEvent midi(int64_t frame, uint8_t status, uint8_t data1, uint8_t data2 = 0) {
    UnitEvent e = at(frame, UnitEvent::Kind::midi);
    return e.midi = {status, data1, data2}, e;
}
inline UnitEvent parameter(int64_t frame, uint32_t id, float value, int scope = kScopeGlobal, int element = 0) {
    UnitEvent e = at(frame, UnitEvent::Kind::parameter);
    return e.parameter = {id, scope, element, value}, e;
}
inline UnitEvent bypass(int64_t frame, bool on) {
    UnitEvent e = at(frame, UnitEvent::Kind::bypass);
    return e.bypass.on = on, e;
}

using Signal = std::vector<float>;
using Channels = std::vector<Signal>;  // one signal per channel

// Renders whole windows from sample time `window` on until `frames` frames are out, reading each input bus from
// `buses` at the same frames (whole windows of them).
inline Channels render_unit(Unit& unit, size_t frames, int64_t window = 0, const std::vector<Channels>& buses = {}) {
    if (!buses.empty()) {
        EXPECT_EQ(frames % kFrames, 0u);
    }
    frames = (frames + kFrames - 1) / kFrames * kFrames;
    Channels out(static_cast<size_t>(unit.output_channels()), Signal(frames));
    std::vector<std::vector<float*>> in_pointers(buses.size());
    std::vector<BusBuffer> inputs(buses.size());
    std::vector<float*> out_pointers(out.size());
    long allocated = 0;
    for (size_t at = 0; at < frames; at += kFrames, window += kFrames) {
        for (size_t b = 0; b < buses.size(); ++b) {
            in_pointers[b].clear();
            for (const Signal& s : buses[b]) in_pointers[b].push_back(const_cast<float*>(s.data() + at));
            inputs[b] = BusBuffer{in_pointers[b].data(), static_cast<int>(buses[b].size())};
        }
        for (size_t c = 0; c < out.size(); ++c) out_pointers[c] = out[c].data() + at;
        BusBuffer output{out_pointers.data(), static_cast<int>(out.size())};
        allocated += alloc_count::during([&] { unit.render(inputs.data(), output, kFrames, window); });
    }
    EXPECT_EQ(allocated, 0) << fourcc_text(unit.description().subtype) << " allocates in render()";
    return out;
}

}  // namespace omb::test
