// LV2 plugins made for the tests, so that what reaches a plugin can be read back exactly:
// - "gate", an instrument: while a note is held its output is the note's velocity / 127 times "level", from the
//   note's frame on; "notes" (a control output) counts the note-ons it has seen.
// - "needs-more" asks for a feature no host has: it must be listed and never instantiated.
// - "worker", an amplifier whose gain only its worker sets: a new "target" is sent to the worker from run(), the
//   worker answers it, and the answer becomes the gain when the host delivers it; "worked" (a control output) is 1
//   once the work has been done on a thread other than the one that runs the plugin.
// - "memory", an instrument whose output is a value only its state holds (set by controller 7: value / 127), kept
//   and restored through the state interface; "clash" (a control output) is 1 if a restore ever overlapped a run of
//   the same instance, which a host must never let happen. Controller 9 makes its output not a number. The library
//   tells how many "memory" instances are alive (ombrel_test_memory_instances).
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <cstdlib>
#include <iterator>
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

struct Worker {
    const float* in = nullptr;
    float* out = nullptr;
    const float* target = nullptr;
    float* worked = nullptr;
    const LV2_Worker_Schedule* schedule = nullptr;
    float asked = 1, gain = 1;
    std::thread::id runner;
    std::atomic<bool> elsewhere{false};
};

LV2_Handle worker_instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const* features) {
    auto* w = new Worker;
    for (int i = 0; features && features[i]; ++i)
        if (std::strcmp(features[i]->URI, LV2_WORKER__schedule) == 0)
            w->schedule = static_cast<const LV2_Worker_Schedule*>(features[i]->data);
    if (!w->schedule) {
        delete w;
        return nullptr;
    }
    return w;
}

void worker_connect(LV2_Handle h, uint32_t port, void* data) {
    auto* w = static_cast<Worker*>(h);
    switch (port) {
    case 0: w->in = static_cast<const float*>(data); break;
    case 1: w->out = static_cast<float*>(data); break;
    case 2: w->target = static_cast<const float*>(data); break;
    case 3: w->worked = static_cast<float*>(data); break;
    }
}

void worker_run(LV2_Handle h, uint32_t frames) {
    auto* w = static_cast<Worker*>(h);
    w->runner = std::this_thread::get_id();
    if (*w->target != w->asked) {
        w->asked = *w->target;
        w->schedule->schedule_work(w->schedule->handle, sizeof w->asked, &w->asked);
    }
    for (uint32_t i = 0; i < frames; ++i) w->out[i] = w->in[i] * w->gain;
    *w->worked = w->elsewhere.load() ? 1.0f : 0.0f;
}

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
    auto* w = static_cast<Worker*>(h);
    if (std::this_thread::get_id() != w->runner) w->elsewhere = true;
    return respond(handle, size, data);
}

LV2_Worker_Status work_response(LV2_Handle h, uint32_t size, const void* data) {
    if (size == sizeof(float)) std::memcpy(&static_cast<Worker*>(h)->gain, data, sizeof(float));
    return LV2_WORKER_SUCCESS;
}

const void* worker_extension(const char* uri) {
    static const LV2_Worker_Interface interface = {work, work_response, nullptr};
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &interface : nullptr;
}

void worker_cleanup(LV2_Handle h) { delete static_cast<Worker*>(h); }

std::atomic<int> memory_instances{0};

struct Memory {
    Memory() { ++memory_instances; }
    ~Memory() { --memory_instances; }
    const LV2_Atom_Sequence* midi = nullptr;
    float* out = nullptr;
    float* remembered = nullptr;
    float* clash = nullptr;
    LV2_URID midi_event = 0, key = 0, float_type = 0;
    float value = 0;
    std::atomic<bool> running{false}, clashed{false};
};

LV2_Handle memory_instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features && features[i]; ++i)
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0) map = static_cast<const LV2_URID_Map*>(features[i]->data);
    if (!map) return nullptr;
    auto* m = new Memory;
    m->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
    m->key = map->map(map->handle, "urn:ombrel:test:memory#value");
    m->float_type = map->map(map->handle, LV2_ATOM__Float);
    return m;
}

void memory_connect(LV2_Handle h, uint32_t port, void* data) {
    auto* m = static_cast<Memory*>(h);
    switch (port) {
    case 0: m->midi = static_cast<const LV2_Atom_Sequence*>(data); break;
    case 1: m->out = static_cast<float*>(data); break;
    case 2: m->remembered = static_cast<float*>(data); break;
    case 3: m->clash = static_cast<float*>(data); break;
    }
}

void memory_run(LV2_Handle h, uint32_t frames) {
    auto* m = static_cast<Memory*>(h);
    m->running = true;
    LV2_ATOM_SEQUENCE_FOREACH (m->midi, ev) {
        const auto* msg = reinterpret_cast<const uint8_t*>(ev + 1);
        if (ev->body.type != m->midi_event || (msg[0] & 0xF0) != 0xB0) continue;
        if (msg[1] == 7) m->value = static_cast<float>(msg[2]) / 127.0f;
        if (msg[1] == 9) m->value = std::nanf("");  // a faulty plugin's output
    }
    for (uint32_t i = 0; i < frames; ++i) m->out[i] = m->value;
    *m->remembered = m->value;
    *m->clash = m->clashed ? 1.0f : 0.0f;
    m->running = false;
}

LV2_State_Status memory_save(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                             const LV2_Feature* const*) {
    auto* m = static_cast<Memory*>(h);
    const float value = m->value;
    return store(handle, m->key, &value, sizeof value, m->float_type, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

// Slow on purpose, so that a run of the same instance in the meantime would be seen.
LV2_State_Status memory_restore(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                                const LV2_Feature* const*) {
    auto* m = static_cast<Memory*>(h);
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(handle, m->key, &size, &type, &flags);
    if (!value || size != sizeof(float) || type != m->float_type) return LV2_STATE_ERR_NO_PROPERTY;
    for (int i = 0; i < 20; ++i) {
        if (m->running) m->clashed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::memcpy(&m->value, value, sizeof(float));
    return LV2_STATE_SUCCESS;
}

const void* memory_extension(const char* uri) {
    static const LV2_State_Interface interface = {memory_save, memory_restore};
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &interface : nullptr;
}

void memory_cleanup(LV2_Handle h) { delete static_cast<Memory*>(h); }

const LV2_Descriptor kGate = {"urn:ombrel:test:gate", instantiate, connect, nullptr, run, nullptr, cleanup, nullptr};
const LV2_Descriptor kNeedsMore = {"urn:ombrel:test:needs-more", refuse, nothing, nullptr, run_nothing, nullptr,
                                   cleanup_nothing, nullptr};
const LV2_Descriptor kWorker = {"urn:ombrel:test:worker", worker_instantiate, worker_connect, nullptr, worker_run,
                                nullptr, worker_cleanup, worker_extension};
const LV2_Descriptor kMemory = {"urn:ombrel:test:memory", memory_instantiate, memory_connect, nullptr, memory_run,
                                nullptr, memory_cleanup, memory_extension};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT int ombrel_test_memory_instances() { return memory_instances.load(); }

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    const LV2_Descriptor* const all[] = {&kGate, &kNeedsMore, &kWorker, &kMemory};
    return index < std::size(all) ? all[index] : nullptr;
}
