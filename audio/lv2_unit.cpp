// An LV2 plugin as a unit of the graph.
//
// Ports: audio inputs and outputs are fitted to the unit's buses (a mono effect on a stereo bus runs as one
// instance per channel; a plugin with fewer outputs than the bus repeats them across its channels); control
// inputs are the parameters, id = port index, and control outputs are read-only parameters the render thread
// publishes after each run; an atom input that takes MIDI receives the unit's notes and MIDI at their frames.
// Runs are split at every event's frame by Unit::render, so a parameter change lands on its sample.
//
// Threads: instances are made and activated in prepare(), off the render thread and while no plan uses the unit;
// process() and apply() run on the render thread and neither allocate, lock nor wait. A plugin's own state (the
// state interface) is saved from the newest instances while they may run, which the interface allows, but restored
// only into fresh instances, made beside the playing ones and handed to the render thread, which takes them at the
// start of a stretch and gives the old ones back to be freed off it. A plugin's worker runs on a thread of the
// unit's own, fed through single-producer single-consumer rings; it finds an instance by its tag.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/state/state.h>
#include <lv2/units/units.h>
#include <lv2/worker/worker.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <semaphore>
#include <thread>

#include "audio/lv2_world.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

constexpr uint32_t kAtomBytes = 16384;  // per atom port, unless the plugin asks for more
constexpr int kNotesHeld = 256;         // note instances remembered for their note-offs

// Messages of [uint32 size][bytes] between exactly one writer thread and one reader thread.
class MessageRing {
public:
    explicit MessageRing(size_t capacity) : bytes_(capacity), data_(std::make_unique<uint8_t[]>(capacity)) {}

    // A message for `tag` (the instance it concerns).
    bool write(uint32_t tag, const void* message, uint32_t size) {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t tail = tail_.load(std::memory_order_acquire);
        if (bytes_ - (head - tail) < kHeader + size) return false;
        copy_in(head, &size, sizeof size);
        copy_in(head + sizeof size, &tag, sizeof tag);
        copy_in(head + kHeader, message, size);
        head_.store(head + kHeader + size, std::memory_order_release);
        return true;
    }

    // The next message into `out` (at most `room` bytes, the rest dropped); false when there is none.
    bool read(uint32_t& tag, void* out, uint32_t room, uint32_t& size) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (head_.load(std::memory_order_acquire) == tail) return false;
        copy_out(tail, &size, sizeof size);
        copy_out(tail + sizeof size, &tag, sizeof tag);
        copy_out(tail + kHeader, out, std::min(size, room));
        tail_.store(tail + kHeader + size, std::memory_order_release);
        size = std::min(size, room);
        return true;
    }

private:
    void copy_in(size_t at, const void* from, size_t n) {
        for (size_t i = 0; i < n; ++i) data_[(at + i) % bytes_] = static_cast<const uint8_t*>(from)[i];
    }
    void copy_out(size_t at, void* to, size_t n) const {
        for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(to)[i] = data_[(at + i) % bytes_];
    }

    static constexpr size_t kHeader = 2 * sizeof(uint32_t);  // size, tag
    size_t bytes_;
    std::unique_ptr<uint8_t[]> data_;
    std::atomic<size_t> head_{0}, tail_{0};
};

enum class PortKind { audio_in, audio_out, control_in, control_out, atom_in, atom_out, unused };

struct PortPlan {
    PortKind kind = PortKind::unused;
    uint32_t atom_bytes = 0;
    bool midi = false;     // an atom input that takes MIDI
    int parameter = -1;    // index in the unit's parameters (control ports)
    int audio_index = 0;   // among the plugin's audio inputs, or outputs
    ParameterTraits traits;
};

class Lv2Unit;

// One lilv instance with its port buffers, and the worker schedule it alone is given (its work and the answers come
// back to it).
struct Instance {
    Lv2Unit* unit = nullptr;
    uint32_t tag = 0;    // the set's generation and the index in it: what the worker's messages name
    bool live = false;   // handed to the render thread: work is queued from then on, done at once before
    LilvInstance* lilv = nullptr;
    std::vector<float> controls;                    // by port index
    std::vector<std::unique_ptr<uint8_t[]>> atoms;  // by port index, for atom ports
    const LV2_Worker_Interface* worker = nullptr;
    const LV2_State_Interface* state = nullptr;
    LV2_Worker_Schedule schedule{};
    LV2_Feature schedule_feature{};
    std::vector<const LV2_Feature*> features;
};

// The instances run together (one per channel of a paired mono plugin, else one). A restore makes a new set.
struct InstanceSet {
    uint32_t generation = 0;
    std::vector<std::unique_ptr<Instance>> instances;
};

constexpr uint32_t kTagIndexBits = 16;
constexpr uint32_t tag_of(uint32_t generation, size_t index) {
    return (generation << kTagIndexBits) | static_cast<uint32_t>(index);
}
constexpr uint32_t generation_of(uint32_t tag) { return tag >> kTagIndexBits; }
constexpr size_t index_of(uint32_t tag) { return tag & ((1u << kTagIndexBits) - 1); }

// The parameter's unit kind; a unit without a kind of its own gives its symbol ("dB", "Hz"...) as the text.
int unit_kind(LilvWorld* w, const Lv2Nodes& n, const LilvPlugin* p, const LilvPort* port, std::string& text) {
    if (lilv_port_has_property(p, port, n.toggled)) return kUnitBoolean;
    if (lilv_port_has_property(p, port, n.integer) || lilv_port_has_property(p, port, n.enumeration))
        return kUnitIndexed;
    LilvNode* unit = lilv_port_get(p, port, n.units_unit);
    if (!unit) return kUnitGeneric;
    static const std::pair<const char*, int> known[] = {
        {LV2_UNITS__db, kUnitDecibels},     {LV2_UNITS__hz, kUnitHertz},
        {LV2_UNITS__ms, kUnitMilliseconds}, {LV2_UNITS__s, kUnitSeconds},
        {LV2_UNITS__semitone12TET, kUnitRelativeSemiTones}, {LV2_UNITS__bpm, kUnitBPM},
        {LV2_UNITS__cent, kUnitCents},      {LV2_UNITS__pc, kUnitPercent},
        {LV2_UNITS__midiNote, kUnitMIDINoteNumber}, {LV2_UNITS__degree, kUnitDegrees},
        {LV2_UNITS__oct, kUnitOctaves},     {LV2_UNITS__m, kUnitMeters},
        {LV2_UNITS__beat, kUnitBeats},      {LV2_UNITS__frame, kUnitSampleFrames},
        {LV2_UNITS__coef, kUnitLinearGain}};
    int kind = kUnitCustomUnit;
    if (lilv_node_is_uri(unit))
        for (auto [uri, k] : known)
            if (std::strcmp(lilv_node_as_uri(unit), uri) == 0) kind = k;
    if (kind == kUnitCustomUnit) {
        LilvNode* symbol = lilv_world_get(w, unit, n.units_symbol, nullptr);
        text = symbol ? lilv_node_as_string(symbol) : lilv_node_as_string(unit);
        lilv_node_free(symbol);
    }
    lilv_node_free(unit);
    return kind;
}

// Why the plugin's library does not load (": its library does not load: ..."), or nothing when it does: lilv only
// prints the reason, and a performer needs it in the log.
std::string library_failure(const LilvPlugin* plugin) {
    char* path = lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_library_uri(plugin)), nullptr);
    if (!path) return {};
    std::string why;
    if (void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        dlclose(library);
    } else if (const char* reason = dlerror()) {
        why = std::string(": its library does not load (") + reason + ")";
    }
    lilv_free(path);
    return why;
}

class Lv2Unit final : public Unit {
public:
    const LilvPlugin* plugin() const { return plugin_; }
    Lv2World& world() const { return world_; }
    // The parameter of the port with this symbol, or null. The world's lock is held.
    const ParameterInfo* parameter_by_symbol(const char* symbol) const {
        LilvNode* name = lilv_new_string(world_.world, symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, name);
        lilv_node_free(name);
        return port ? parameter(lilv_port_get_index(plugin_, port), kScopeGlobal) : nullptr;
    }

    Lv2Unit(Lv2World& world, const LilvPlugin* plugin, ComponentDescription description,
            std::vector<ParameterInfo> parameters, std::vector<int> inputs, int channels,
            std::vector<PortPlan> ports, int audio_in, int audio_out)
        : Unit(std::move(description), std::move(parameters), std::move(inputs), channels), world_(world),
          plugin_(plugin), ports_(std::move(ports)), audio_in_(audio_in), audio_out_(audio_out),
          requests_(1 << 16), responses_(1 << 16), message_(1 << 16) {}

    ~Lv2Unit() override {
        stop_worker();
        std::lock_guard guard(world_.lock);
        free_all_sets();
    }

    const ParameterTraits* traits(uint32_t id, int scope) const override {
        return scope == kScopeGlobal && id < ports_.size() ? &ports_[id].traits : nullptr;
    }

    // The instances made when the unit was made serve when the format is the same.
    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        std::lock_guard loading(loader_lock_);
        if (current_ && sample_rate == made_rate_ && max_frames == made_frames_) return;
        std::lock_guard guard(world_.lock);
        if (!instantiate_all(sample_rate, max_frames))
            CPPBridge::error("The LV2 plugin %s could not be instantiated", description().name.c_str());
    }

    // While no plan uses the unit; the loader's and the world's locks are held.
    bool instantiate_all(double sample_rate, uint32_t max_frames) {
        stop_worker();
        free_all_sets();
        made_rate_ = sample_rate;
        made_frames_ = max_frames;
        scratch_.assign(static_cast<size_t>(max_frames) * static_cast<size_t>(std::max(1, audio_out_)), 0.0f);
        silence_.assign(max_frames, 0.0f);
        make_options(sample_rate, max_frames);
        InstanceSet* set = make_set();
        if (!set) return false;
        for (auto& inst : set->instances) inst->live = true;
        current_ = newest_ = set;
        if (worker_needed(*set)) start_worker();
        return true;
    }

    // ---- the plugin's own state (any thread but the render thread) ----------------------------------------------

    // The state of the newest instances as LV2 state text; nothing for a plugin without the state interface.
    plist::Value extra_state() const override {
        std::lock_guard loading(loader_lock_);
        std::lock_guard guard(world_.lock);
        if (!newest_ || !newest_->instances.front()->state) return plist::Value(plist::Dict{});
        struct Ports {
            const Lv2Unit* unit;
            LV2_URID float_type;
            float value;
        } ports{this, world_.urids.map(LV2_ATOM__Float), 0};
        const LilvGetPortValueFunc port_value = [](const char* symbol, void* data, uint32_t* size, uint32_t* type)
            -> const void* {
            auto* p = static_cast<Ports*>(data);
            const ParameterInfo* info = p->unit->parameter_by_symbol(symbol);
            if (!info || p->unit->traits(info->id, info->scope)->output) return nullptr;
            p->value = p->unit->parameter_value(info->id, info->scope, 0);  // lilv copies it at once
            *size = sizeof(float);
            *type = p->float_type;
            return &p->value;
        };
        LilvState* state = lilv_state_new_from_instance(
            plugin_, newest_->instances.front()->lilv, world_.urids.map_feature(), nullptr, nullptr, nullptr, nullptr,
            port_value, &ports, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, newest_->instances.front()->features.data());
        if (!state) return plist::Value(plist::Dict{});
        char* text = lilv_state_to_string(world_.world, world_.urids.map_feature(), world_.urids.unmap_feature(),
                                          state, kStateUri, nullptr);
        lilv_state_free(state);
        plist::Dict saved;
        if (text) saved.set(kStateKey, std::string(text));
        lilv_free(text);
        return plist::Value(std::move(saved));
    }

    bool set_extra_state(const plist::Value& saved, std::string* error) override {
        const plist::Value* entry = saved.find(kStateKey);
        if (!entry) return true;  // saved from a plugin with no state of its own, or by hand
        const std::string* text = entry->as_string();
        std::lock_guard loading(loader_lock_);
        std::lock_guard guard(world_.lock);
        LilvState* state = text ? lilv_state_new_from_string(world_.world, world_.urids.map_feature(), text->c_str())
                                : nullptr;
        if (!state) return fail(error, "its LV2 state could not be read");
        const bool ok = restore_state(state, error);
        lilv_state_free(state);
        return ok;
    }

    // Restores `state` into fresh instances handed over to the render thread. The loader's and the world's locks
    // are held.
    bool restore_state(const LilvState* state, std::string* error) {
        if (!lilv_node_equals(lilv_state_get_plugin_uri(state), lilv_plugin_get_uri(plugin_)))
            return fail(error, std::string("its LV2 state is for ") +
                                   lilv_node_as_uri(lilv_state_get_plugin_uri(state)));
        if (!current_) return fail(error, "the plugin has no instances to restore");
        reclaim();
        InstanceSet* set = make_set();
        if (!set) return fail(error, "the plugin could not be instantiated");
        for (auto& inst : set->instances)
            lilv_state_restore(state, inst->lilv, nullptr, nullptr, 0, inst->features.data());
        for (auto& inst : set->instances) inst->live = true;
        if (InstanceSet* never_taken = pending_.exchange(set, std::memory_order_acq_rel)) free_set(never_taken);
        newest_ = set;
        free_replaced_set();
        return true;
    }

    // The set a restore replaced, freed as soon as the render thread has taken the new one, so that a plugin's
    // memory is not held twice. Only while the unit is being rendered: one that is not (or is rendered by this very
    // thread, offline) keeps its old set until the next restore. The loader's and the world's locks are held.
    void free_replaced_set() {
        using namespace std::chrono;
        const auto quiet = duration_cast<steady_clock::duration>(
            duration<double>(made_rate_ > 0 ? 2 * made_frames_ / made_rate_ : 0.0) + milliseconds(5));
        auto still = steady_clock::now() + quiet;
        const auto limit = steady_clock::now() + milliseconds(250);
        uint64_t seen = stretches_.load(std::memory_order_relaxed);
        while (pending_.load(std::memory_order_acquire) && steady_clock::now() < std::min(still, limit)) {
            std::this_thread::sleep_for(milliseconds(1));
            if (const uint64_t now = stretches_.load(std::memory_order_relaxed); now != seen) {
                seen = now;
                still = steady_clock::now() + quiet;
            }
        }
        reclaim();
    }

    // One of the presets the plugin's bundles bring: its port values as parameter changes in the buffer that
    // starts at `window`, and its own state beyond them, if any, restored as a saved state is.
    bool load_bundled_preset(const std::string& preset_uri, int64_t window, std::string* error) {
        std::lock_guard loading(loader_lock_);
        std::lock_guard guard(world_.lock);
        LilvNode* node = lilv_new_uri(world_.world, preset_uri.c_str());
        LilvState* state = lilv_state_new_from_world(world_.world, world_.urids.map_feature(), node);
        lilv_node_free(node);
        if (!state) return fail(error, "the preset " + preset_uri + " could not be read");
        const bool ok = lilv_state_get_num_properties(state) == 0 || restore_state(state, error);
        if (ok) post_port_values(state, window);
        lilv_state_free(state);
        return ok;
    }

protected:
    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        stretches_.store(stretches_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        take_restored_set();
        if (!current_) {
            for (int c = 0; c < output.count; ++c) std::fill_n(output.channels[c] + offset, count, 0.0f);
            return;
        }
        deliver_responses();
        const auto& instances = current_->instances;
        const bool paired = instances.size() > 1;
        for (size_t k = 0; k < instances.size(); ++k) {
            Instance& inst = *instances[k];
            for (size_t p = 0; p < ports_.size(); ++p) {
                const PortPlan& plan = ports_[p];
                const auto index = static_cast<uint32_t>(p);
                if (plan.kind == PortKind::audio_in) {
                    const float* from = silence_.data();
                    if (input_buses() > 0 && inputs[0].count > 0) {
                        const int c = paired ? static_cast<int>(k) : plan.audio_index % inputs[0].count;
                        from = inputs[0].channels[std::min(c, inputs[0].count - 1)] + offset;
                    }
                    lilv_instance_connect_port(inst.lilv, index, const_cast<float*>(from));
                } else if (plan.kind == PortKind::audio_out) {
                    float* to = scratch_.data() + static_cast<size_t>(plan.audio_index) * max_frames();
                    const int c = paired ? static_cast<int>(k) : plan.audio_index;
                    if (c < output.count) to = output.channels[c] + offset;
                    lilv_instance_connect_port(inst.lilv, index, to);
                } else if (plan.kind == PortKind::atom_out) {
                    auto* atom = reinterpret_cast<LV2_Atom*>(inst.atoms[p].get());
                    atom->type = chunk_urid_;
                    atom->size = plan.atom_bytes - static_cast<uint32_t>(sizeof(LV2_Atom));
                }
            }
            lilv_instance_run(inst.lilv, count);
            if (inst.worker && inst.worker->end_run) inst.worker->end_run(lilv_instance_get_handle(inst.lilv));
            clear_atom_inputs(inst);
        }
        fill_missing_outputs(output, offset, count);
        silence_non_numbers(output, offset, count);
        publish_outputs();
    }

    void parameter_changed(uint32_t id, int scope, int, float value) override {
        if (scope != kScopeGlobal || id >= ports_.size() || ports_[id].kind != PortKind::control_in) return;
        if (current_)
            for (auto& inst : current_->instances) inst->controls[id] = value;
    }

    void apply(const UnitEvent& event) override {
        uint8_t bytes[3];
        uint32_t size = 0;
        switch (event.kind) {
        case UnitEvent::Kind::midi:
            bytes[0] = event.midi.status, bytes[1] = event.midi.data1, bytes[2] = event.midi.data2;
            size = midi_size(event.midi.status);
            break;
        case UnitEvent::Kind::note_start: {
            const uint8_t note = to_7bit(event.note.pitch);
            held_[event.note.instance % kNotesHeld] = {event.note.instance, note};
            bytes[0] = 0x90, bytes[1] = note, bytes[2] = std::max<uint8_t>(1, to_7bit(event.note.velocity));
            size = 3;
            break;
        }
        case UnitEvent::Kind::note_stop: {
            const Held& h = held_[event.note.instance % kNotesHeld];
            bytes[0] = 0x80, bytes[1] = h.instance == event.note.instance ? h.note : to_7bit(event.note.pitch);
            bytes[2] = 0;
            size = 3;
            break;
        }
        case UnitEvent::Kind::sysex: {
            const auto sysex = sysex_bytes();
            if (current_)
                for (auto& inst : current_->instances)
                    append_midi(*inst, sysex.data(), static_cast<uint32_t>(sysex.size()));
            return;
        }
        default: return;
        }
        if (size == 0 || !current_) return;
        for (auto& inst : current_->instances) append_midi(*inst, bytes, size);
    }

    size_t max_sysex() const override { return midi_port_ >= 0 ? kAtomBytes / 2 : 0; }

private:
    struct Held {
        uint32_t instance = 0;
        uint8_t note = 0;
    };

    static uint8_t to_7bit(float v) { return static_cast<uint8_t>(std::clamp<long>(std::lround(v), 0, 127)); }
    static uint32_t midi_size(uint8_t status) {
        if (status < 0x80) return 0;
        if (status >= 0xF0) return status == 0xF1 || status == 0xF3 ? 2 : status == 0xF2 ? 3 : 1;
        const uint8_t kind = status & 0xF0;
        return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    }

    // The world's lock is held.
    void post_port_values(const LilvState* state, int64_t window) {
        struct Target {
            Lv2Unit* unit;
            int64_t window;
            LV2_URID float_type;
        } target{this, window, world_.urids.map(LV2_ATOM__Float)};
        lilv_state_emit_port_values(
            state,
            [](const char* symbol, void* data, const void* value, uint32_t size, uint32_t type) {
                auto* t = static_cast<Target*>(data);
                const ParameterInfo* p = t->unit->parameter_by_symbol(symbol);
                if (!p || type != t->float_type || size != sizeof(float) || t->unit->traits(p->id, p->scope)->output)
                    return;
                UnitEvent e;
                e.kind = UnitEvent::Kind::parameter;
                e.window = t->window;
                e.parameter = {p->id, p->scope, 0, std::clamp(*static_cast<const float*>(value), p->min, p->max)};
                t->unit->post(e);
            },
            &target);
    }

    static bool fail(std::string* error, const std::string& why) {
        if (error) *error = why;
        return false;
    }

    // A new set of activated instances at the made format, owned by sets_; null when the plugin fails. The loader's
    // and the world's locks are held.
    InstanceSet* make_set() {
        auto set = std::make_unique<InstanceSet>();
        set->generation = ++generation_;
        const int count = audio_in_ == 1 && audio_out_ == 1 && output_channels() > 1 ? output_channels() : 1;
        for (int i = 0; i < count; ++i)
            if (!instantiate(*set)) {
                free_instances(*set);
                return nullptr;
            }
        std::lock_guard held(sets_lock_);
        return sets_.emplace_back(std::move(set)).get();
    }

    bool instantiate(InstanceSet& set) {
        auto made = std::make_unique<Instance>();
        Instance& inst = *made;
        inst.unit = this;
        inst.tag = tag_of(set.generation, set.instances.size());
        inst.schedule = {&inst, [](LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
                             auto* i = static_cast<Instance*>(h);
                             return i->unit->schedule_work(*i, size, data);
                         }};
        inst.schedule_feature = {LV2_WORKER__schedule, &inst.schedule};
        for (LV2_Feature& f : feature_list_) inst.features.push_back(&f);
        inst.features.push_back(&inst.schedule_feature);
        inst.features.push_back(nullptr);
        inst.controls.assign(ports_.size(), 0.0f);
        inst.atoms.resize(ports_.size());
        for (size_t p = 0; p < ports_.size(); ++p) {
            const PortPlan& plan = ports_[p];
            if (plan.parameter >= 0) inst.controls[p] = parameter_value(static_cast<uint32_t>(p), kScopeGlobal, 0);
            if (plan.atom_bytes > 0) inst.atoms[p] = std::make_unique<uint8_t[]>(plan.atom_bytes);
        }
        inst.lilv = lilv_plugin_instantiate(plugin_, made_rate_, inst.features.data());
        if (!inst.lilv) return false;
        for (size_t p = 0; p < ports_.size(); ++p) {
            const PortPlan& plan = ports_[p];
            const auto index = static_cast<uint32_t>(p);
            if (plan.kind == PortKind::control_in || plan.kind == PortKind::control_out)
                lilv_instance_connect_port(inst.lilv, index, &inst.controls[p]);
            else if (plan.kind == PortKind::atom_in || plan.kind == PortKind::atom_out)
                lilv_instance_connect_port(inst.lilv, index, inst.atoms[p].get());
            else if (plan.kind == PortKind::unused)
                lilv_instance_connect_port(inst.lilv, index, nullptr);
        }
        clear_atom_inputs(inst);
        inst.worker = static_cast<const LV2_Worker_Interface*>(
            lilv_instance_get_extension_data(inst.lilv, LV2_WORKER__interface));
        inst.state = static_cast<const LV2_State_Interface*>(
            lilv_instance_get_extension_data(inst.lilv, LV2_STATE__interface));
        set.instances.push_back(std::move(made));
        lilv_instance_activate(inst.lilv);
        return true;
    }

    static void free_instances(InstanceSet& set) {
        for (auto& inst : set.instances) {
            lilv_instance_deactivate(inst->lilv);
            lilv_instance_free(inst->lilv);
        }
        set.instances.clear();
    }

    // A set the render thread no longer runs (or never ran); the world's lock is held. The worker may be working
    // on one of its instances: sets_lock_ waits for that.
    void free_set(InstanceSet* set) {
        std::lock_guard held(sets_lock_);
        free_instances(*set);
        std::erase_if(sets_, [set](const auto& s) { return s.get() == set; });
    }

    // The set the render thread gave back, if any. The loader's and the world's locks are held.
    void reclaim() {
        if (InstanceSet* old = retired_.exchange(nullptr, std::memory_order_acq_rel)) free_set(old);
    }

    // Only when the render thread does not run the unit; the world's lock is held.
    void free_all_sets() {
        std::lock_guard held(sets_lock_);
        for (auto& set : sets_) free_instances(*set);
        sets_.clear();
        current_ = newest_ = nullptr;
        pending_.store(nullptr);
        retired_.store(nullptr);
    }

    // Render thread, at the start of a stretch: runs a restored set from now on. The parameter values and the MIDI
    // applied to the old set since the new one was made carry over; the old set goes back to be freed. While the
    // set before it waits to be freed, the new one waits too.
    void take_restored_set() {
        // Reads first: nothing is waiting in almost every stretch.
        if (retired_.load(std::memory_order_acquire) || !pending_.load(std::memory_order_relaxed)) return;
        InstanceSet* next = pending_.exchange(nullptr, std::memory_order_acq_rel);
        if (!next) return;
        if (current_) carry_over(*current_, *next);
        retired_.store(current_, std::memory_order_release);
        current_ = next;
    }

    void carry_over(const InstanceSet& from, InstanceSet& to) {
        for (size_t k = 0; k < to.instances.size() && !from.instances.empty(); ++k) {
            const Instance& old = *from.instances[std::min(k, from.instances.size() - 1)];
            Instance& inst = *to.instances[k];
            for (size_t p = 0; p < ports_.size(); ++p) {
                if (ports_[p].kind == PortKind::control_in) inst.controls[p] = old.controls[p];
                if (ports_[p].kind != PortKind::atom_in) continue;
                const auto* seq = reinterpret_cast<const LV2_Atom*>(old.atoms[p].get());
                std::memcpy(inst.atoms[p].get(), seq, sizeof(LV2_Atom) + seq->size);
            }
        }
    }

    void make_options(double sample_rate, uint32_t max_frames) {
        Lv2Urids& u = world_.urids;
        chunk_urid_ = u.map(LV2_ATOM__Chunk);
        sequence_urid_ = u.map(LV2_ATOM__Sequence);
        midi_urid_ = u.map(LV2_MIDI__MidiEvent);
        sample_rate_value_ = static_cast<float>(sample_rate);
        min_block_ = 1;
        max_block_ = static_cast<int32_t>(max_frames);
        const LV2_URID int_type = u.map(LV2_ATOM__Int), float_type = u.map(LV2_ATOM__Float);
        options_ = {{LV2_OPTIONS_INSTANCE, 0, u.map(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), int_type, &min_block_},
                    {LV2_OPTIONS_INSTANCE, 0, u.map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), int_type, &max_block_},
                    {LV2_OPTIONS_INSTANCE, 0, u.map(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t), int_type,
                     &max_block_},
                    {LV2_OPTIONS_INSTANCE, 0, u.map(LV2_PARAMETERS__sampleRate), sizeof(float), float_type,
                     &sample_rate_value_},
                    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
        feature_list_ = {{LV2_URID__map, u.map_feature()},
                         {LV2_URID__unmap, u.unmap_feature()},
                         {LV2_OPTIONS__options, options_.data()},
                         {LV2_BUF_SIZE__boundedBlockLength, nullptr},
                         {LV2_STATE__loadDefaultState, nullptr}};  // and each instance's worker schedule
    }

    // ---- MIDI into atom sequences (render thread) ---------------------------------------------------------------

    void clear_atom_inputs(Instance& inst) {
        for (size_t p = 0; p < ports_.size(); ++p) {
            if (ports_[p].kind != PortKind::atom_in) continue;
            auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(inst.atoms[p].get());
            seq->atom.type = sequence_urid_;
            seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
            seq->body.unit = 0;
            seq->body.pad = 0;
        }
    }

    // At frame 0 of the next run: the run starts at the event's frame.
    void append_midi(Instance& inst, const uint8_t* bytes, uint32_t size) {
        if (midi_port_ < 0) return;
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(inst.atoms[static_cast<size_t>(midi_port_)].get());
        const uint32_t capacity = ports_[static_cast<size_t>(midi_port_)].atom_bytes - sizeof(LV2_Atom);
        const uint32_t needed = lv2_atom_pad_size(sizeof(LV2_Atom_Event) + size);
        if (seq->atom.size + needed > capacity) return;  // a full buffer drops the rest of this stretch's events
        auto* ev = reinterpret_cast<LV2_Atom_Event*>(reinterpret_cast<uint8_t*>(&seq->body) + seq->atom.size);
        ev->time.frames = 0;
        ev->body.type = midi_urid_;
        ev->body.size = size;
        std::memcpy(ev + 1, bytes, size);
        seq->atom.size += needed;
    }

    void fill_missing_outputs(BusBuffer& output, uint32_t offset, uint32_t count) {
        if (current_->instances.size() > 1) return;
        for (int c = audio_out_; c < output.count; ++c) {
            float* to = output.channels[c] + offset;
            if (audio_out_ == 0) std::fill_n(to, count, 0.0f);
            else std::copy_n(output.channels[c % audio_out_] + offset, count, to);
        }
    }

    // A plugin's fault (a NaN or an infinity) would spread through every unit it feeds and stay in their filters:
    // it stops here, and the log is told off the render thread.
    void silence_non_numbers(BusBuffer& output, uint32_t offset, uint32_t count) {
        uint64_t silenced = 0;
        for (int c = 0; c < output.count; ++c) {
            float* samples = output.channels[c] + offset;
            if (all_finite(samples, count)) continue;
            for (uint32_t i = 0; i < count; ++i)
                if (!std::isfinite(samples[i])) {
                    samples[i] = 0.0f;
                    ++silenced;
                }
        }
        if (silenced > 0) count_silenced(silenced);
    }

    // On the bits, so that the compiler checks many samples at once: a float is not finite when its exponent's bits
    // are all ones.
    static bool all_finite(const float* samples, uint32_t count) {
        constexpr uint32_t kExponent = 0x7f800000u;
        uint32_t found = 0;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, samples + i, sizeof bits);
            found |= static_cast<uint32_t>((bits & kExponent) == kExponent);
        }
        return found == 0;
    }

    void publish_outputs() {
        const Instance& first = *current_->instances.front();
        for (size_t p = 0; p < ports_.size(); ++p)
            if (ports_[p].kind == PortKind::control_out) publish(static_cast<size_t>(ports_[p].parameter), first.controls[p]);
    }

    // ---- the worker ---------------------------------------------------------------------------------------------

    static bool worker_needed(const InstanceSet& set) {
        return std::any_of(set.instances.begin(), set.instances.end(), [](const auto& i) { return i->worker; });
    }

    LV2_Worker_Status schedule_work(Instance& inst, uint32_t size, const void* data) {
        if (!inst.worker) return LV2_WORKER_ERR_UNKNOWN;
        if (!inst.live)  // while being made or restored: at once, on this thread
            return inst.worker->work(lilv_instance_get_handle(inst.lilv), respond, &inst, size, data);
        if (!requests_.write(inst.tag, data, size)) return LV2_WORKER_ERR_NO_SPACE;
        wake_.release();
        return LV2_WORKER_SUCCESS;
    }

    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
        auto* inst = static_cast<Instance*>(h);
        if (!inst->live) {  // work done at once while being made or restored: nothing runs it, so answer at once
            if (inst->worker->work_response)
                return inst->worker->work_response(lilv_instance_get_handle(inst->lilv), size, data);
            return LV2_WORKER_SUCCESS;
        }
        return inst->unit->responses_.write(inst->tag, data, size) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
    }

    void deliver_responses() {
        uint32_t tag = 0, size = 0;
        while (responses_.read(tag, message_.data(), static_cast<uint32_t>(message_.size()), size)) {
            // Answers to a set the render thread no longer runs are dropped.
            if (generation_of(tag) != current_->generation || index_of(tag) >= current_->instances.size()) continue;
            Instance& inst = *current_->instances[index_of(tag)];
            if (inst.worker && inst.worker->work_response)
                inst.worker->work_response(lilv_instance_get_handle(inst.lilv), size, message_.data());
        }
    }

    void start_worker() {
        stopping_ = false;
        worker_ = std::thread([this] {
            std::vector<uint8_t> request(1 << 16);
            for (;;) {
                wake_.acquire();
                if (stopping_.load()) return;
                uint32_t tag = 0, size = 0;
                while (requests_.read(tag, request.data(), static_cast<uint32_t>(request.size()), size)) {
                    std::lock_guard held(sets_lock_);  // the instance stays while it works
                    if (Instance* inst = find_instance(tag); inst && inst->worker)
                        inst->worker->work(lilv_instance_get_handle(inst->lilv), respond, inst, size, request.data());
                }
            }
        });
    }

    // sets_lock_ held.
    Instance* find_instance(uint32_t tag) const {
        for (const auto& set : sets_)
            if (set->generation == generation_of(tag) && index_of(tag) < set->instances.size())
                return set->instances[index_of(tag)].get();
        return nullptr;
    }

    void stop_worker() {
        if (!worker_.joinable()) return;
        stopping_ = true;
        wake_.release();
        worker_.join();
    }

    Lv2World& world_;
    const LilvPlugin* plugin_;
    std::vector<PortPlan> ports_;
    int audio_in_, audio_out_;
    int midi_port_ = -1;
    static constexpr const char* kStateKey = "lv2-state";
    static constexpr const char* kStateUri = "urn:ombrel:state";

    // Loader side (prepare, save, restore): serialised by loader_lock_, then the world's lock.
    mutable std::mutex loader_lock_;
    InstanceSet* newest_ = nullptr;  // the last made or restored: what a save reads
    uint32_t generation_ = 0;
    // Every set alive (running, waiting to be taken, given back); the worker holds sets_lock_ while it works.
    std::mutex sets_lock_;
    std::vector<std::unique_ptr<InstanceSet>> sets_;
    // Render side: the set it runs; a restored set waits in pending_, the one it replaced in retired_.
    InstanceSet* current_ = nullptr;
    std::atomic<InstanceSet*> pending_{nullptr}, retired_{nullptr};
    std::atomic<uint64_t> stretches_{0};  // counted by the render thread: whether anyone renders the unit
    std::vector<float> scratch_, silence_;
    Held held_[kNotesHeld];

    LV2_URID chunk_urid_ = 0, sequence_urid_ = 0, midi_urid_ = 0;
    float sample_rate_value_ = 44100;
    double made_rate_ = 0;
    uint32_t made_frames_ = 0;
    int32_t min_block_ = 1, max_block_ = 512;
    std::vector<LV2_Options_Option> options_;
    std::vector<LV2_Feature> feature_list_;

    MessageRing requests_, responses_;
    std::vector<uint8_t> message_;
    std::counting_semaphore<1 << 20> wake_{0};  // a release per request, at most as many as the ring holds
    std::atomic<bool> stopping_{false};
    std::thread worker_;

    friend std::unique_ptr<Unit> omb::make_lv2_unit(Lv2World&, const LilvPlugin*, const Lv2Component&, int, double,
                                                    uint32_t, std::string*);
};

}  // namespace

std::vector<std::pair<std::string, std::string>> lv2_presets(const Unit& unit) {
    const auto* lv2 = dynamic_cast<const Lv2Unit*>(&unit);
    if (!lv2) return {};
    Lv2World& w = lv2->world();
    std::lock_guard guard(w.lock);
    std::vector<std::pair<std::string, std::string>> found;
    LilvNodes* presets = lilv_plugin_get_related(lv2->plugin(), w.nodes.preset_class);
    LILV_FOREACH (nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(w.world, preset);
        LilvNode* label = lilv_world_get(w.world, preset, w.nodes.rdfs_label, nullptr);
        found.emplace_back(label ? lilv_node_as_string(label) : lilv_node_as_uri(preset), lilv_node_as_uri(preset));
        lilv_node_free(label);
    }
    lilv_nodes_free(presets);
    std::sort(found.begin(), found.end());
    return found;
}

bool lv2_load_preset(Unit& unit, const std::string& preset_uri, int64_t window, std::string* error) {
    auto* lv2 = dynamic_cast<Lv2Unit*>(&unit);
    const auto presets = lv2_presets(unit);
    if (!lv2 || std::none_of(presets.begin(), presets.end(), [&](const auto& p) { return p.second == preset_uri; })) {
        *error = "not a preset of " + unit.description().name + ": " + preset_uri;
        return false;
    }
    return lv2->load_bundled_preset(preset_uri, window, error);
}

std::unique_ptr<Unit> make_lv2_unit(Lv2World& world, const LilvPlugin* plugin, const Lv2Component& component,
                                    int channels, double sample_rate, uint32_t max_frames, std::string* error) {
    const Lv2Nodes& n = world.nodes;
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    std::vector<float> mins(count), maxs(count), defaults(count);
    lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defaults.data());
    std::vector<PortPlan> ports(count);
    std::vector<ParameterInfo> parameters;
    int audio_in = 0, audio_out = 0, midi_port = -1;
    for (uint32_t i = 0; i < count; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        const bool input = lilv_port_is_a(plugin, port, n.input_port);
        PortPlan& plan = ports[i];
        if (lilv_port_is_a(plugin, port, n.audio_port)) {
            plan.kind = input ? PortKind::audio_in : PortKind::audio_out;
            plan.audio_index = input ? audio_in++ : audio_out++;
        } else if (lilv_port_is_a(plugin, port, n.control_port)) {
            plan.kind = input ? PortKind::control_in : PortKind::control_out;
            ParameterInfo info;
            info.id = i;
            LilvNode* name = lilv_port_get_name(plugin, port);
            info.name = name ? lilv_node_as_string(name) : lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            lilv_node_free(name);
            const float scale = lilv_port_has_property(plugin, port, n.sample_rate) ? 44100.0f : 1.0f;
            info.min = std::isnan(mins[i]) ? 0.0f : mins[i] * scale;
            info.max = std::isnan(maxs[i]) ? std::max(1.0f, info.min) : maxs[i] * scale;
            info.initial = std::isnan(defaults[i]) ? info.min : std::clamp(defaults[i] * scale, info.min, info.max);
            plan.traits.unit_text.clear();
            info.unit = unit_kind(world.world, n, plugin, port, plan.traits.unit_text);
            plan.traits.clamped = input && info.min < info.max;
            plan.traits.output = !input;
            plan.parameter = static_cast<int>(parameters.size());
            parameters.push_back(std::move(info));
        } else if (lilv_port_is_a(plugin, port, n.atom_port)) {
            plan.kind = input ? PortKind::atom_in : PortKind::atom_out;
            plan.atom_bytes = kAtomBytes;
            if (LilvNode* min = lilv_port_get(plugin, port, n.minimum_size)) {
                if (lilv_node_is_int(min))
                    plan.atom_bytes = std::max<uint32_t>(kAtomBytes, static_cast<uint32_t>(lilv_node_as_int(min)));
                lilv_node_free(min);
            }
            plan.midi = input && lilv_port_supports_event(plugin, port, n.midi_event);
            if (plan.midi && midi_port < 0) midi_port = static_cast<int>(i);
        }
    }
    std::vector<int> inputs;
    if (audio_in > 0) inputs.push_back(channels);
    auto unit = std::make_unique<Lv2Unit>(world, plugin, component.description, std::move(parameters),
                                          std::move(inputs), channels, std::move(ports), audio_in, audio_out);
    unit->midi_port_ = midi_port;
    if (!lilv_plugin_has_feature(plugin, n.hard_rt_capable) && world.told_not_hard_rt.insert(component.uri).second)
        CPPBridge::notification("The LV2 plugin %s does not say it is hard real-time capable: it runs, but may "
                                "cause dropouts",
                                component.description.name.c_str());
    if (!unit->instantiate_all(sample_rate, max_frames)) {
        *error = "The LV2 plugin " + component.description.name + " could not be instantiated" +
                 library_failure(plugin);
        return nullptr;
    }
    return unit;
}

}  // namespace omb
