// LV2 plugins made for the tests, so that what reaches a plugin can be read back exactly:
// - "gate", an instrument: while a note is held its output is the note's velocity / 127 times "level", from the
//   note's frame on; "notes" (a control output) counts the note-ons it has seen.
// - "needs-more" asks for a feature no host has: it must be listed and never instantiated.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cstdlib>
#include <cstring>

namespace {

struct Gate {
    const LV2_Atom_Sequence* midi = nullptr;
    float* out = nullptr;
    const float* level = nullptr;
    float* notes = nullptr;
    LV2_URID midi_event = 0;
    float value = 0;
    float count = 0;
};

LV2_Handle instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features && features[i]; ++i)
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0) map = static_cast<const LV2_URID_Map*>(features[i]->data);
    if (!map) return nullptr;
    auto* gate = new Gate;
    gate->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
    return gate;
}

void connect(LV2_Handle h, uint32_t port, void* data) {
    auto* g = static_cast<Gate*>(h);
    switch (port) {
    case 0: g->midi = static_cast<const LV2_Atom_Sequence*>(data); break;
    case 1: g->out = static_cast<float*>(data); break;
    case 2: g->level = static_cast<const float*>(data); break;
    case 3: g->notes = static_cast<float*>(data); break;
    }
}

void run(LV2_Handle h, uint32_t frames) {
    auto* g = static_cast<Gate*>(h);
    uint32_t at = 0;
    LV2_ATOM_SEQUENCE_FOREACH (g->midi, ev) {
        const auto until = static_cast<uint32_t>(ev->time.frames);
        for (; at < until && at < frames; ++at) g->out[at] = g->value * *g->level;
        if (ev->body.type != g->midi_event) continue;
        const auto* msg = reinterpret_cast<const uint8_t*>(ev + 1);
        if ((msg[0] & 0xF0) == 0x90 && msg[2] > 0) {
            g->value = static_cast<float>(msg[2]) / 127.0f;
            g->count += 1;
        } else if ((msg[0] & 0xF0) == 0x80 || (msg[0] & 0xF0) == 0x90) {
            g->value = 0;
        }
    }
    for (; at < frames; ++at) g->out[at] = g->value * *g->level;
    *g->notes = g->count;
}

void cleanup(LV2_Handle h) { delete static_cast<Gate*>(h); }

// "needs-more" is never instantiated by a host that checks its required features; if one is, it fails.
LV2_Handle refuse(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) { std::abort(); }
void nothing(LV2_Handle, uint32_t, void*) {}
void run_nothing(LV2_Handle, uint32_t) {}
void cleanup_nothing(LV2_Handle) {}

const LV2_Descriptor kGate = {"urn:ombrel:test:gate", instantiate, connect, nullptr, run, nullptr, cleanup, nullptr};
const LV2_Descriptor kNeedsMore = {"urn:ombrel:test:needs-more", refuse, nothing, nullptr, run_nothing, nullptr,
                                   cleanup_nothing, nullptr};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &kGate : index == 1 ? &kNeedsMore : nullptr;
}
