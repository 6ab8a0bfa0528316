// The audio engine's names in every process: the clock, the graph of units, parameters, presets, the scheduler's
// built-ins, the timed targets for notes and parameters, and speech channels.
#include "audio/au_scheme.h"

#include <cmath>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/au_host.h"
#include "audio/capture.h"
#include "audio/lv2_catalog.h"
#include "audio/presets.h"
#include "audio/speech.h"
#include "audio/unit_registry.h"
#include "audio/units/sampler.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/argument_target.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer arg(scheme* sc, pointer args, int i) {
    for (; i > 0 && is_pair(args); --i) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

int count(scheme* sc, pointer args) { return static_cast<int>(std::max(0L, static_cast<long>(list_length(sc, args)))); }

bool integer_arg(scheme* sc, pointer args, int i, int& into) {
    pointer a = arg(sc, args, i);
    if (!is_number(a)) return false;
    into = static_cast<int>(ivalue(a));
    return true;
}

std::string string_arg(scheme* sc, pointer args, int i) {
    pointer a = arg(sc, args, i);
    return is_string(a) ? string_value(a) : std::string();
}

Graph& graph() { return AUHost::singleton().graph(); }

// The unit of a node named by a Scheme argument; null, with an error, when there is none.
std::shared_ptr<Unit> node_unit(scheme* sc, pointer args, int i, const char* what) {
    int node = 0;
    std::shared_ptr<Unit> unit = integer_arg(sc, args, i, node) ? graph().unit(node) : nullptr;
    if (!unit) CPPBridge::error("%s: no audio unit at node %s", what, printed(sc, arg(sc, args, i)).c_str());
    return unit;
}

// ---- the clock and the scheduler -------------------------------------------------------------------------------------

pointer get_time(scheme* sc, pointer) { return mk_integer(sc, static_cast<int64_t>(AUHost::TIME.load())); }

pointer set_time(scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    if (!is_number(a)) return sc->F;
    AUHost::TIME = static_cast<uint64_t>(ivalue(a));
    return sc->T;
}

pointer set_beat(scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    if (!is_number(a)) return sc->F;
    AUHost::BEAT = rvalue(a);
    return sc->T;
}

pointer set_tempo(scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    if (!is_number(a)) return sc->F;
    AUHost::TEMPO = rvalue(a);
    return sc->T;
}

pointer set_block(scheme* sc, pointer args) {
    int tag = 0;
    if (!integer_arg(sc, args, 0, tag)) return sc->F;
    AUHost::singleton().scheduler().set_block(tag);
    return sc->T;
}

pointer remove_block(scheme* sc, pointer args) {
    int tag = 0;
    if (!integer_arg(sc, args, 0, tag)) return sc->F;
    AUHost::singleton().scheduler().remove_block(tag);
    return sc->T;
}

pointer clear_scheduler(scheme* sc, pointer) {
    AUHost::singleton().scheduler().clear();
    return sc->T;
}

// ---- nodes -------------------------------------------------------------------------------------------------------------

// A description from three strings or three integers; false when they are neither.
bool description_arg(scheme* sc, pointer args, FourCC (&codes)[3]) {
    for (int i = 0; i < 3; ++i) {
        pointer a = arg(sc, args, i);
        if (is_string(a)) {
            if (!fourcc_from(string_value(a), codes[i])) return false;
        } else if (is_number(a)) {
            codes[i] = static_cast<FourCC>(ivalue(a));
        } else {
            return false;
        }
    }
    return true;
}

int add_unit(std::unique_ptr<Unit> unit, const std::string& error) {
    if (!unit) {
        std::printf("ERROR loading audio unit: %s\n", error.c_str());
        if (!error.empty()) CPPBridge::error("%s", error.c_str());
        return -1;
    }
    if (unit->description().type == fourcc("aumu")) std::puts("PREPARING INST");
    std::printf("AudioUnit Number of Busses IN:  %d  OUT: 1\n", unit->input_buses());
    const int node = graph().add(std::move(unit));
    std::fflush(stdout);
    return node;
}

bool channels_ok(int channels) {
    if (channels >= 1 && channels <= 8) return true;
    std::printf("ERROR loading audio unit: %d channels\n", channels);
    return false;
}

// Makes a node, from the built-in units first, then the LV2 plugins (whose catalog this loads on first use); its
// number, or -1 with the reason on standard output (as the platform's status would be).
int make_node(const FourCC (&codes)[3], int channels) {
    const RegisteredUnit* builtin = UnitRegistry::builtin().find(codes[0], codes[1], codes[2]);
    const Lv2Component* plugin = builtin ? nullptr : lv2_find(codes[0], codes[1], codes[2]);
    if (!builtin && !plugin) {
        std::printf("ERROR loading audio unit: no component '%s' '%s' '%s'\n", fourcc_text(codes[0]).c_str(),
                    fourcc_text(codes[1]).c_str(), fourcc_text(codes[2]).c_str());
        return -1;
    }
    if (!channels_ok(channels)) return -1;
    std::string error;
    auto unit = builtin ? builtin->make(builtin->description, channels, &error)
                        : lv2_make_unit(*plugin, channels, graph().sample_rate(), graph().max_frames(), &error);
    return add_unit(std::move(unit), error);
}

pointer make_lv2_node(scheme* sc, pointer args) {
    const std::string uri = string_arg(sc, args, 0);
    int channels = 2;
    if (uri.empty() || (count(sc, args) > 1 && !integer_arg(sc, args, 1, channels)) || !channels_ok(channels)) {
        CPPBridge::error("Unable To Create AudioUnit");
        return mk_integer(sc, -1);
    }
    const Lv2Component* plugin = lv2_find(uri);
    if (!plugin) std::printf("ERROR loading audio unit: no LV2 plugin %s\n", uri.c_str());
    std::string error;
    const int node =
        plugin ? add_unit(lv2_make_unit(*plugin, channels, graph().sample_rate(), graph().max_frames(), &error), error)
               : -1;
    if (node < 0) CPPBridge::error("Unable To Create AudioUnit");
    return mk_integer(sc, node);
}

pointer make_node_scheme(scheme* sc, pointer args) {
    FourCC codes[3];
    int channels = 2;
    if (!description_arg(sc, args, codes) || (count(sc, args) > 3 && !integer_arg(sc, args, 3, channels))) {
        CPPBridge::error("Unable To Create AudioUnit");
        return mk_integer(sc, -1);
    }
    const int node = make_node(codes, channels);
    if (node < 0) CPPBridge::error("Unable To Create AudioUnit");
    return mk_integer(sc, node);
}

pointer make_node_async(scheme* sc, pointer args) {
    FourCC codes[3];
    const std::string name = string_arg(sc, args, 0);
    if (name.empty() || !description_arg(sc, pair_cdr(args), codes)) {
        CPPBridge::error("Unable To Create AudioUnit");
        return sc->T;
    }
    main_queue::post([sc, name, c0 = codes[0], c1 = codes[1], c2 = codes[2]] {
        const FourCC codes[3] = {c0, c1, c2};
        const int node = make_node(codes, 2);
        if (node < 0) {
            CPPBridge::error("Unable To Create AudioUnit");
            return;
        }
        const std::string text = "(define " + name + " " + std::to_string(node) + ")";
        std::puts(text.c_str());
        if (SchemeInterface* process = SchemeInterface::I(sc))
            process->createSchemeTask(::strdup(text.c_str()), "AU TASK", SchemeTaskType::eval_string);
    });
    return sc->T;
}

// ---- connections -----------------------------------------------------------------------------------------------

// Connects, and when the input is taken, disconnects it and tries once more.
// One attempt, traced on standard output as the engine always has.
Graph::Status try_connect(int source, int source_bus, int destination, int destination_bus) {
    std::printf("Connect nodes ... %d:%d -> %d:%d\n", source, source_bus, destination, destination_bus);
    const Graph::Status status = graph().connect(source, source_bus, destination, destination_bus);
    std::printf("CONNECT ERROR: %d\n", static_cast<int>(status));
    return status;
}

void connect_nodes(int source, int source_bus, int destination, int destination_bus) {
    Graph::Status status = try_connect(source, source_bus, destination, destination_bus);
    std::printf("CONNECT AU: %d\n", static_cast<int>(status));
    if (status == Graph::Status::ok) return;
    if (status == Graph::Status::bus_taken) {
        CPPBridge::notification("Failed to connect au. disconnecting output and trying again");
        if (graph().disconnect(destination, destination_bus) != Graph::Status::ok)
            CPPBridge::error("Failed to connect au");
        status = try_connect(source, source_bus, destination, destination_bus);
        if (status == Graph::Status::ok) return;
    }
    CPPBridge::error("Failed to connect au: %s (node %d bus %d -> node %d bus %d)", Graph::text(status), source,
                     source_bus, destination, destination_bus);
}

pointer connect_node(scheme* sc, pointer args, bool wait) {
    int n[4];
    if (count(sc, args) < 4) return mk_string(sc, "failed: wrong number of arguments");
    for (int i = 0; i < 4; ++i)
        if (!integer_arg(sc, args, i, n[i])) return mk_string(sc, "failed: wrong number of arguments");
    if (n[0] < 0 || n[2] < 0) {
        CPPBridge::error("Invalid AudioUnit.  Unable to connect nodes");
        return sc->F;
    }
    if (wait) connect_nodes(n[0], n[1], n[2], n[3]);
    else main_queue::post([=] { connect_nodes(n[0], n[1], n[2], n[3]); });
    return sc->T;
}

pointer connect_node_sync(scheme* sc, pointer args) { return connect_node(sc, args, true); }
pointer connect_node_async(scheme* sc, pointer args) { return connect_node(sc, args, false); }

pointer disconnect_node(scheme* sc, pointer args) {
    int node = 0, bus = 0;
    if (!integer_arg(sc, args, 0, node) || !integer_arg(sc, args, 1, bus) ||
        graph().disconnect(node, bus) != Graph::Status::ok) {
        CPPBridge::error("Failed to disconnect au");
        return sc->F;
    }
    return sc->T;
}

pointer print_graph(scheme* sc, pointer) {
    for (const std::string& line : graph().describe()) CPPBridge::notification_text(line);
    return sc->T;
}

pointer update_graph(scheme* sc, pointer) { return sc->T; }  // changes apply as they are made

pointer clear_graph(scheme* sc, pointer) {
    graph().clear();
    return sc->T;
}

// ---- parameters ----------------------------------------------------------------------------------------------------

pointer get_bypass(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:get-bypass");
    return unit && unit->bypassed() ? sc->T : sc->F;
}

pointer get_param(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:get-param");
    int id = 0, scope = 0, element = 0;
    if (!unit) return sc->F;
    if (!integer_arg(sc, args, 1, id) || !integer_arg(sc, args, 2, scope) || !integer_arg(sc, args, 3, element)) {
        CPPBridge::error("au:get-param: needs a node, a parameter id, a scope and an element");
        return sc->F;
    }
    const ParameterInfo* p = unit->parameter(static_cast<uint32_t>(id), scope);
    if (!p || element < 0 || element >= p->elements) {
        CPPBridge::error("au:get-param: node %s has no parameter %d in scope %d, element %d",
                         printed(sc, arg(sc, args, 0)).c_str(), id, scope, element);
        return sc->F;
    }
    return mk_real(sc, unit->parameter_value(static_cast<uint32_t>(id), scope, element));
}

pointer get_param_ids(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:get-param-ids");
    int scope = 0;
    if (!unit || !integer_arg(sc, args, 1, scope)) return sc->NIL;
    std::vector<uint32_t> ids;
    for (const ParameterInfo& p : unit->parameters())
        if (p.scope == scope) ids.push_back(p.id);
    devlog("Paramlist lenght: %zu", ids.size());
    if (ids.empty()) return sc->NIL;
    pointer v = mk_vector(sc, static_cast<int>(ids.size()));
    protect_cell(sc, v);
    for (size_t i = 0; i < ids.size(); ++i) set_vector_elem(v, static_cast<int>(i), mk_integer(sc, ids[i]));
    unprotect_cell(sc, v);
    return v;
}

const char* const UNIT_TEXTS[] = {
    "kAudioUnitParameterUnit_Generic -  untyped value generally between 0.0 and 1.0 ",
    "kAudioUnitParameterUnit_Indexed -  takes an integer value (good for menu selections) ",
    "kAudioUnitParameterUnit_Boolean -  0.0 means FALSE, non-zero means TRUE ",
    "kAudioUnitParameterUnit_Percent -  usually from 0 -> 100, sometimes -50 -> +50 ",
    "kAudioUnitParameterUnit_Seconds -  absolute or relative time ",
    "kAudioUnitParameterUnit_SampleFrames -  one sample frame equals (1.0/sampleRate) seconds ",
    "kAudioUnitParameterUnit_Phase -  -180 to 180 degrees ",
    "kAudioUnitParameterUnit_Rate -  rate multiplier, for playback speed, etc. (e.g. 2.0 == twice as fast) ",
    "kAudioUnitParameterUnit_Hertz -  absolute frequency/pitch in cycles/second ",
    "kAudioUnitParameterUnit_Cents -  unit of relative pitch ",
    "kAudioUnitParameterUnit_RelativeSemiTones -  useful for coarse detuning ",
    "kAudioUnitParameterUnit_MIDINoteNumber -  absolute pitch as defined in the MIDI spec (exact freq may depend on "
    "tuning table) ",
    "kAudioUnitParameterUnit_MIDIController -  a generic MIDI controller value from 0 -> 127 ",
    "kAudioUnitParameterUnit_Decibels -  logarithmic relative gain ",
    "kAudioUnitParameterUnit_LinearGain -  linear relative gain ",
    "kAudioUnitParameterUnit_Degrees -  -180 to 180 degrees, similar to phase but more general (good for 3D coord "
    "system) ",
    "kAudioUnitParameterUnit_EqualPowerCrossfade -  0 -> 100, crossfade mix two sources according to sqrt(x) and "
    "sqrt(1.0 - x) ",
    "kAudioUnitParameterUnit_MixerFaderCurve1 -  0.0 -> 1.0, pow(x, 3.0) -> linear gain to simulate a reasonable "
    "mixer channel fader response ",
    "kAudioUnitParameterUnit_Pan -  standard left to right mixer pan ",
    "kAudioUnitParameterUnit_Meters -  distance measured in meters ",
    "kAudioUnitParameterUnit_AbsoluteCents -  absolute frequency measurement : if f is freq in hertz then \t -  "
    "absoluteCents = 1200 * log2(f / 440) + 6900\t\t\t\t\t",
    "kAudioUnitParameterUnit_Octaves -  octaves in relative pitch where a value of 1 is equal to 1200 cents",
    "kAudioUnitParameterUnit_BPM -  beats per minute, ie tempo ",
    "kAudioUnitParameterUnit_Beats -  time relative to tempo, ie. 1.0 at 120 BPM would equal 1/2 a second ",
    "kAudioUnitParameterUnit_Milliseconds -  parameter is expressed in milliseconds ",
    "kAudioUnitParameterUnit_Ratio -  for compression, expansion ratio, etc. ",
    "kAudioUnitParameterUnit_CustomUnit -  this is the parameter unit type for parameters that present a custom unit "
    "name ",
};

pointer get_param_info(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:get-param-info");
    int scope = 0, id = 0;
    const ParameterInfo* p = nullptr;
    if (unit && integer_arg(sc, args, 1, scope) && integer_arg(sc, args, 2, id))
        p = unit->parameter(static_cast<uint32_t>(id), scope);
    if (!p) {
        CPPBridge::error("Error retrieving AU info details");
        return sc->NIL;
    }
    const ParameterTraits* traits = unit->traits(p->id, p->scope);
    const char* unit_text = traits && !traits->unit_text.empty() ? traits->unit_text.c_str()
                            : p->unit >= 0 && p->unit < 27 ? UNIT_TEXTS[p->unit]
                                                           : "";
    // Built from its end; what is built so far stays protected while the next element is made.
    pointer list = sc->NIL;
    auto push_front = [&](auto make) {
        protect_cell(sc, list);
        pointer x = make();
        protect_cell(sc, x);
        pointer grown = s_cons(sc, x, list);
        unprotect_cell(sc, x);
        unprotect_cell(sc, list);
        list = grown;
    };
    push_front([&] { return mk_string(sc, unit_text); });
    for (float v : {p->initial, p->max, p->min}) push_front([&] { return mk_real(sc, v); });
    push_front([&] { return mk_string(sc, ("default:" + p->name).c_str()); });
    return list;
}

// ---- presets --------------------------------------------------------------------------------------------------------

std::string expand_home(std::string path) {
    if (!path.empty() && path[0] == '~')
        if (const char* home = std::getenv("HOME")) path = std::string(home) + path.substr(1);
    return path;
}

pointer load_preset(scheme* sc, pointer args) {
    int node = 0;
    const std::string path = expand_home(string_arg(sc, args, 1));
    if (!integer_arg(sc, args, 0, node) || path.empty()) {
        CPPBridge::error("au:load-preset: needs a node and a file path");
        return sc->T;
    }
    main_queue::post([node, path] {
        auto unit = graph().unit(node);
        if (!unit) {
            CPPBridge::error("au:load-preset: no audio unit at node %d", node);
            return;
        }
        std::string error;
        auto preset = plist::read_file(path, &error);
        if (!preset || !apply_preset(*unit, *preset, static_cast<int64_t>(AUHost::TIME.load()), &error))
            CPPBridge::error("Error reading preset %s: %s", path.c_str(), error.c_str());
    });
    return sc->T;
}

pointer save_preset(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:save-preset");
    const std::string path = expand_home(string_arg(sc, args, 1));
    if (!unit) {
        devlog("TROUBLE STARTING HERE WITH AUSAVEPRESET");
        return sc->F;
    }
    std::string error;
    if (path.empty() || !plist::write_file(path, preset_of(*unit), &error)) {
        CPPBridge::error("There was an error writing out %s: %d, %s\n", path.c_str(), -1,
                         error.empty() ? "no file name" : error.c_str());
        return sc->F;
    }
    CPPBridge::notification("Successfully wrote %s\n", path.c_str());
    return sc->T;
}

// The presets an LV2 plugin's bundles bring: a list of (label uri).
pointer get_lv2_presets(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:get-lv2-presets");
    if (!unit) return sc->NIL;
    pointer list = sc->NIL;
    const auto presets = lv2_presets(*unit);
    for (auto it = presets.rbegin(); it != presets.rend(); ++it) {
        protect_cell(sc, list);
        pointer uri = mk_string(sc, it->second.c_str());
        protect_cell(sc, uri);
        pointer label = mk_string(sc, it->first.c_str());
        protect_cell(sc, label);
        pointer pair = s_cons(sc, label, s_cons(sc, uri, sc->NIL));
        unprotect_cell(sc, label);
        unprotect_cell(sc, uri);
        unprotect_cell(sc, list);
        list = s_cons(sc, pair, list);
    }
    return list;
}

// One of them applied now: #t, or #f with the reason.
pointer load_lv2_preset(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:load-lv2-preset");
    const std::string uri = string_arg(sc, args, 1);
    std::string error = "au:load-lv2-preset: needs a node and a preset's URI";
    if (!unit || uri.empty() ||
        !lv2_load_preset(*unit, uri, static_cast<int64_t>(AUHost::TIME.load()), &error)) {
        CPPBridge::error("%s", error.c_str());
        return sc->F;
    }
    return sc->T;
}

std::mutex view_opener_mutex;
UnitViewOpener view_opener;  // under view_opener_mutex

// Waits for the window as callers expect, but never for ever: a busy main thread must not hang the process.
pointer open_view(scheme* sc, pointer args) {
    int node = 0;
    if (!node_unit(sc, args, 0, "au:open-view") || !integer_arg(sc, args, 0, node)) return sc->T;
    const bool generic = count(sc, args) > 1 && arg(sc, args, 1) == sc->T;
    UnitViewOpener opener;
    {
        std::lock_guard lock(view_opener_mutex);
        opener = view_opener;
    }
    if (!opener) {  // headless: no window to wait for
        CPPBridge::notification("No editor window is available here: the unit's view opens in the editor");
        return sc->T;
    }
    auto opened = std::make_shared<std::promise<void>>();
    std::future<void> done = opened->get_future();
    main_queue::post([opener, node, generic, opened] {
        opener(node, generic);
        opened->set_value();
    });
    if (done.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
        devlog("au:open-view: the main thread is busy; node %d's window opens when it is free", node);
    return sc->T;
}

// ---- the sampler ------------------------------------------------------------------------------------------------

// (au:sampler-load node path [root-key [low-key [high-key]]]): #t, or #f with the reason in the log.
pointer sampler_load(scheme* sc, pointer args) {
    auto unit = node_unit(sc, args, 0, "au:sampler-load");
    auto* sampler = dynamic_cast<Sampler*>(unit.get());
    if (unit && !sampler) CPPBridge::error("au:sampler-load: node %s is not a sampler", printed(sc, arg(sc, args, 0)).c_str());
    const std::string path = expand_home(string_arg(sc, args, 1));
    if (!sampler) return sc->F;
    if (path.empty()) {
        CPPBridge::error("au:sampler-load: needs a node and a sound file");
        return sc->F;
    }
    int keys[3] = {60, 0, 127};
    for (int i = 0; i < 3; ++i)
        if (count(sc, args) > 2 + i && !integer_arg(sc, args, 2 + i, keys[i])) {
            CPPBridge::error("au:sampler-load: keys are integers from 0 to 127");
            return sc->F;
        }
    std::string error;
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(path, ec).string();  // presets keep it: it must not move
    if (!sampler->load(ec ? path : absolute, keys[0], keys[1], keys[2], &error)) {
        CPPBridge::error("au:sampler-load: %s", error.c_str());
        return sc->F;
    }
    return sc->T;
}

// ---- capture ----------------------------------------------------------------------------------------------------

pointer start_capture(scheme* sc, pointer args) {
    AUHost& host = AUHost::singleton();
    if (host.capturing()) {
        CPPBridge::error("Stop Current Dump Before Starting New Dump!");
        return sc->F;
    }
    if (!is_string(arg(sc, args, 0))) {
        CPPBridge::error("Argument 1 must be a file name");
        return sc->F;
    }
    const std::string path = expand_home(string_arg(sc, args, 0));
    int channels = 2;
    if (count(sc, args) > 1 && !integer_arg(sc, args, 1, channels)) channels = 2;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        CPPBridge::error("This file already exists");
        return sc->F;
    }
    std::printf("ENGINE OUTPUT FORMAT: %d Hz, %d channels, 32-bit float\n", AUHost::SAMPLERATE.load(),
                AUHost::CHANNELS.load());
    const std::filesystem::path folder = std::filesystem::absolute(path, ec).parent_path();
    if (ec || !std::filesystem::is_directory(folder, ec)) {
        CPPBridge::error("Error Creating New File");
        return sc->F;
    }
    std::string error;
    auto capture = AudioCapture::open(path, format_for_path(path), 44100, channels, AUHost::SAMPLERATE.load(),
                                      AUHost::CHANNELS.load(), &error);
    if (!capture) {
        CPPBridge::error("Error Creating Audio File: %s", error.c_str());
        return sc->F;
    }
    if (!host.start_capture(std::move(capture))) {
        CPPBridge::error("Stop Current Dump Before Starting New Dump!");
        return sc->F;
    }
    return sc->T;
}

pointer stop_capture(scheme* sc, pointer) {
    auto capture = AUHost::singleton().stop_capture();
    if (!capture) return sc->F;
    std::string error;
    if (!capture->close(&error)) CPPBridge::error("Error finishing the audio capture: %s", error.c_str());
    if (const uint64_t lost = capture->lost_frames())
        CPPBridge::error("The audio capture lost %llu frames: the disk did not keep up",
                         static_cast<unsigned long long>(lost));
    return sc->T;
}

// ---- the component listings ----------------------------------------------------------------------------------------

std::string padded(std::string name) {
    if (name.size() < 30) name.append(30 - name.size(), '.');
    return name;
}

std::string listing_line(const ComponentDescription& d) {
    char line[256];
    std::snprintf(line, sizeof line, "type=[%u] '%s' subtype=[%u] '%s' manufacturer=[%u] '%s'", d.type,
                  fourcc_text(d.type).c_str(), d.subtype, fourcc_text(d.subtype).c_str(), d.manufacturer,
                  fourcc_text(d.manufacturer).c_str());
    std::printf("TYPE: %u  SUBTYPE: %u  MANU: %u\n", d.type, d.subtype, d.manufacturer);
    return padded(d.name) + line;
}

// The LV2 plugins of a type, after the built-in units: the catalog is loaded by the first listing.
std::vector<const Lv2Component*> plugins_of_type(FourCC type) {
    std::vector<const Lv2Component*> found;
    for (const Lv2Component& c : lv2_components())
        if (c.description.type == type) found.push_back(&c);
    return found;
}

// Built-in units, then LV2 plugins with their URIs, and the reason when one cannot be made.
pointer node_strings(scheme* sc, pointer args) {
    FourCC type = 0;
    if (!fourcc_from(string_arg(sc, args, 0), type)) return mk_string(sc, "");
    std::string text;
    for (const RegisteredUnit* u : UnitRegistry::builtin().of_type(type)) text += listing_line(u->description) + "\n";
    for (const Lv2Component* c : plugins_of_type(type)) {
        text += listing_line(c->description) + " uri=" + c->uri;
        if (!c->unavailable.empty()) text += " unavailable: " + c->unavailable;
        text += "\n";
    }
    return mk_string(sc, text.c_str());
}

// #(name type subtype manufacturer) per built-in unit; an LV2 plugin adds its URI, and the reason it cannot be
// made when it cannot.
pointer node_vector(scheme* sc, pointer args) {
    FourCC type = 0;
    if (!fourcc_from(string_arg(sc, args, 0), type)) return mk_vector(sc, 0);
    std::vector<std::vector<std::string>> rows;
    auto codes = [](const ComponentDescription& d) {
        return std::vector<std::string>{d.name, fourcc_text(d.type), fourcc_text(d.subtype),
                                        fourcc_text(d.manufacturer)};
    };
    for (const RegisteredUnit* u : UnitRegistry::builtin().of_type(type)) rows.push_back(codes(u->description));
    for (const Lv2Component* c : plugins_of_type(type)) {
        rows.push_back(codes(c->description));
        rows.back().push_back(c->uri);
        if (!c->unavailable.empty()) rows.back().push_back(c->unavailable);
    }
    pointer all = mk_vector(sc, static_cast<int>(rows.size()));
    protect_cell(sc, all);
    for (size_t i = 0; i < rows.size(); ++i) {
        pointer one = mk_vector(sc, static_cast<int>(rows[i].size()));
        set_vector_elem(all, static_cast<int>(i), one);
        for (size_t k = 0; k < rows[i].size(); ++k)
            set_vector_elem(one, static_cast<int>(k), mk_string(sc, rows[i][k].c_str()));
    }
    unprotect_cell(sc, all);
    return all;
}

// ---- speech ---------------------------------------------------------------------------------------------------------

// The channel an argument names: only pointers that au:get-speech-channel handed out count.
SpeechChannel* speech_channel_arg(scheme* sc, pointer args, int i) {
    pointer a = arg(sc, args, i);
    return is_cptr(a) ? speech_channel_find(cptr_value(a)) : nullptr;
}

// A known selector ("rate", "pbas", "pmod", "volm"); false, with an error, for anything else.
bool speech_selector_arg(scheme* sc, pointer args, int i, FourCC& selector) {
    pointer a = arg(sc, args, i);
    if (is_string(a) && fourcc_from(string_value(a), selector) && speech_selector_known(selector)) return true;
    CPPBridge::error("Unknown speech selector %s", printed(sc, a).c_str());
    return false;
}

pointer get_speech_channel(scheme* sc, pointer args) {
    if (args != sc->NIL) {
        CPPBridge::error("au:get-speech-channel takes no arguments");
        return sc->F;
    }
    SpeechChannel* channel = speech_channel_new();
    return channel ? mk_cptr(sc, speech_channel_handle(channel)) : sc->F;
}

pointer get_speech_info(scheme* sc, pointer args) {
    SpeechChannel* channel = count(sc, args) == 2 ? speech_channel_arg(sc, args, 0) : nullptr;
    if (!channel) {
        CPPBridge::error("au:get-speech-info needs a speech channel and a selector: %s", printed(sc, args).c_str());
        return sc->F;
    }
    FourCC selector = 0;
    if (!speech_selector_arg(sc, args, 1, selector)) return sc->F;
    return mk_real(sc, *speech_get_info(channel, selector) / 65536.0);
}

// (speech-channel text): the channel travels as its number, the text as text.
class SpeakTarget : public ArgumentTarget {
public:
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        SpeechChannel* channel = count(sc, args) == 2 ? speech_channel_arg(sc, args, 0) : nullptr;
        if (!channel || !is_string(arg(sc, args, 1))) {
            CPPBridge::error("*au:speak-string* needs a speech channel and a string: %s", printed(sc, args).c_str());
            return false;
        }
        into.numbers.push_back(speech_channel_index(channel));
        into.text = string_value(arg(sc, args, 1));
        return true;
    }
    void execute(TaskI* task) override {
        const TaskArguments& a = task_arguments(task);
        speech_speak(speech_channel_at(a.integer(0)), a.text, task->time());
    }
};

// (speech-channel selector value): checked here, so a bad one is refused before anything is scheduled.
class SpeechInfoTarget : public ArgumentTarget {
public:
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        SpeechChannel* channel = count(sc, args) == 3 ? speech_channel_arg(sc, args, 0) : nullptr;
        pointer value = arg(sc, args, 2);
        if (!channel || !is_number(value) || !std::isfinite(rvalue(value))) {
            CPPBridge::error("*au:set-speech-info* needs a speech channel, a selector and a number: %s",
                             printed(sc, args).c_str());
            return false;
        }
        FourCC selector = 0;
        if (!speech_selector_arg(sc, args, 1, selector)) return false;
        into.numbers = {double(speech_channel_index(channel)), double(selector), double(speech_fixed(rvalue(value)))};
        return true;
    }
    void execute(TaskI* task) override {
        const TaskArguments& a = task_arguments(task);
        if (SpeechChannel* channel = speech_channel_at(a.integer(0)))
            speech_set_info(channel, static_cast<FourCC>(a.number(1)), static_cast<int32_t>(a.number(2)));
    }
};

// ---- timed targets -------------------------------------------------------------------------------------------------

// The system-exclusive target takes a node and the message: a string of bytes, or a list or vector of byte values.
class SysexTarget : public ArgumentCMI<AUHost> {
public:
    using ArgumentCMI::ArgumentCMI;
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        pointer node = arg(sc, args, 0), data = arg(sc, args, 1);
        if (!is_number(node)) return bad(sc, args);
        into.numbers.push_back(rvalue(node));
        return read_bytes(sc, data, into.bytes) || bad(sc, args);
    }

private:
    static bool bad(scheme* sc, pointer args) {
        CPPBridge::error("*au:sysex* needs a node and the message's bytes: %s", printed(sc, args).c_str());
        return false;
    }
};

// Flags (#t, #f) count as 1 and 0, as "*au:set-bypass*" takes one.
class FlagTarget : public ArgumentCMI<AUHost> {
public:
    using ArgumentCMI::ArgumentCMI;
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        for (pointer p = args; is_pair(p); p = pair_cdr(p)) {
            pointer a = pair_car(p);
            if (a == sc->T || a == sc->F) into.numbers.push_back(a == sc->T ? 1 : 0);
            else if (is_number(a)) into.numbers.push_back(rvalue(a));
            else return ArgumentTarget::read(sc, args, into);  // reports the bad argument
        }
        return true;
    }
};

// Every process gets its own target objects, all bound to the one engine.
CM* member(void (AUHost::*m)(TaskI*)) {
    return keep_target(std::make_unique<ArgumentCMI<AUHost>>(m, &AUHost::singleton()));
}

}  // namespace

void set_unit_view_opener(UnitViewOpener opener) {
    std::lock_guard lock(view_opener_mutex);
    view_opener = std::move(opener);
}

void AUHost::schemeInit(SchemeInterface* process) { au_scheme_init(process); }

void au_scheme_init(SchemeInterface* process) {
    scheme* sc = process->getScheme();
    process->addForeignFunc("now", get_time);
    process->addForeignFunc("au:make-node", make_node_scheme);
    process->addForeignFunc("au:make-node-async", make_node_async);
    process->addForeignFunc("au:connect-node", connect_node_sync);
    process->addForeignFunc("au:connect-node-async", connect_node_async);
    process->addForeignFunc("au:disconnect-node", disconnect_node);
    process->addForeignFunc("au:print-graph", print_graph);
    process->addForeignFunc("au:update-graph", update_graph);
    process->addForeignFunc("au:get-bypass", get_bypass);
    process->addForeignFunc("au:get-param-info", get_param_info);
    process->addForeignFunc("au:get-param-ids", get_param_ids);
    process->addForeignFunc("au:get-param", get_param);
    process->addForeignFunc("au:load-preset", load_preset);
    process->addForeignFunc("au:save-preset", save_preset);
    process->addForeignFunc("au:open-view", open_view);
    process->addForeignFunc("au:clear-graph", clear_graph);
    process->addForeignFunc("au:get-node-strings", node_strings);
    process->addForeignFunc("au:get-node-vector", node_vector);
    process->addForeignFunc("au:make-lv2-node", make_lv2_node);
    process->addForeignFunc("au:get-lv2-presets", get_lv2_presets);
    process->addForeignFunc("au:load-lv2-preset", load_lv2_preset);
    process->addForeignFunc("sys:set-block", set_block);
    process->addForeignFunc("sys:remove-block", remove_block);
    process->addForeignFunc("au:get-speech-info", get_speech_info);
    process->addForeignFunc("au:get-speech-channel", get_speech_channel);
    process->addForeignFunc("sys:clear-scheduler", clear_scheduler);
    process->addForeignFunc("au:start-audio-capture", start_capture);
    process->addForeignFunc("au:stop-audio-capture", stop_capture);
    process->addForeignFunc("au:set-global-time", set_time);
    process->addForeignFunc("au:set-global-beat", set_beat);
    process->addForeignFunc("au:set-global-tempo", set_tempo);
    process->addGlobal("*au:samplerate*", mk_integer(sc, AUHost::SAMPLERATE.load()));
    process->addGlobal("*au:channels*", mk_integer(sc, AUHost::CHANNELS.load()));
    process->addGlobalCptr("*note-on*", member(&AUHost::on));
    process->addGlobalCptr("*note-off*", member(&AUHost::off));
    process->addGlobalCptr("*note-start*", member(&AUHost::start_note));
    process->addGlobalCptr("*note-stop*", member(&AUHost::stop_note));
    process->addGlobalCptr("*au:set-param*", member(&AUHost::setAUParam));
    process->addGlobalCptr("*au:set-bypass*",
                           keep_target(std::make_unique<FlagTarget>(&AUHost::setBypassAU, &AUHost::singleton())));
    process->addGlobal("*au:mixer-node*", mk_integer(sc, 0));
    process->addGlobalCptr("*au:speak-string*", keep_target(std::make_unique<SpeakTarget>()));
    process->addGlobalCptr("*au:set-speech-info*", keep_target(std::make_unique<SpeechInfoTarget>()));
    process->addGlobalCptr("*au:midi*", member(&AUHost::aumidi));
    process->addGlobalCptr("*au:sysex*",
                           keep_target(std::make_unique<SysexTarget>(&AUHost::ausysex, &AUHost::singleton())));
    process->addGlobal("*au:input-node*", mk_integer(sc, Graph::kDeviceNode));
    process->addGlobal("*au:output-node*", mk_integer(sc, Graph::kDeviceNode));
    process->addGlobal("*au:frames*", mk_integer(sc, AUHost::FRAMES.load()));
    process->addForeignFunc("au:sampler-load", sampler_load);
}

}  // namespace omb
