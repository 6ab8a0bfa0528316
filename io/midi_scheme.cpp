// The MIDI names of every process, and the reading of what "*io:midi-out*" and "*io:midi-sysex-out*" are scheduled
// with: the destination and the message's bytes are read on the process's thread, so the send at the task's time
// touches no cell.
#include <memory>
#include <mutex>
#include <vector>

#include "io/midi_router.h"
#include "io/osc_data.h"
#include "platform/log_bridge.h"
#include "runtime/argument_target.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer nth(scheme* sc, pointer list, int i) {
    for (; i > 0 && is_pair(list); --i) list = pair_cdr(list);
    return is_pair(list) ? pair_car(list) : sc->NIL;
}

// The destination pointer of a task: one the router handed out, or null (nothing is sent). numbers[0] carries its
// id, -1 for null. Anything else is refused here, so a stray pointer is never followed on the queue thread.
bool read_destination(pointer p, TaskArguments& into) {
    if (is_cptr(p)) {
        void* destination = cptr_value(p);
        if (!destination) {
            into.numbers.push_back(-1);
            return true;
        }
        if (MIDIRouter::singleton().knows(destination)) {
            into.numbers.push_back(static_cast<MidiDestination*>(destination)->id);
            return true;
        }
    }
    CPPBridge::error("Invalid MIDI destination");
    return false;
}

// (destination type channel data1 [data2]): the status byte is type × 16 + channel; data bytes are kept to seven
// bits, so no value can pass for a status byte and corrupt the stream.
class ShortMessageTarget : public ArgumentCMI<MIDIRouter> {
public:
    using ArgumentCMI::ArgumentCMI;
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        if (!read_destination(nth(sc, args, 0), into)) return false;
        const int n = list_length(sc, args);
        if (n != 4 && n != 5) return bad(sc, args);
        int values[4] = {};
        for (int i = 1; i < n; ++i) {
            pointer v = nth(sc, args, i);
            if (!is_number(v)) return bad(sc, args);
            values[i - 1] = static_cast<int>(rvalue(v));
        }
        into.bytes.push_back(static_cast<uint8_t>((values[0] * 16 + values[1]) & 0xFF));
        into.bytes.push_back(static_cast<uint8_t>(values[2] & 0x7F));
        if (n == 5) into.bytes.push_back(static_cast<uint8_t>(values[3] & 0x7F));
        return true;
    }

private:
    static bool bad(scheme* sc, pointer args) {
        CPPBridge::error("*io:midi-out* needs a destination, a type, a channel, data 1 and optionally data 2: %s",
                         printed(sc, args).c_str());
        return false;
    }
};

// (destination data): a data object, or the bytes as a string, list or vector.
class SysexTarget : public ArgumentCMI<MIDIRouter> {
public:
    using ArgumentCMI::ArgumentCMI;
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        if (!read_destination(nth(sc, args, 0), into)) return false;
        pointer data = nth(sc, args, 1);
        if (is_objc(data))
            if (const auto* object = dynamic_cast<const NSData*>(objc_value(data))) {
                into.bytes = object->bytes();
                return true;
            }
        if (list_length(sc, args) == 2 && !is_objc(data) && read_bytes(sc, data, into.bytes) && !into.bytes.empty())
            return true;
        CPPBridge::error("*io:midi-sysex-out* needs a destination and the message's bytes: %s",
                         printed(sc, args).c_str());
        return false;
    }
};

pointer print_midi_devices(scheme* sc, pointer) {
    MIDIRouter::singleton().print_devices();
    return sc->NIL;
}

pointer print_midi_sources(scheme* sc, pointer) {
    MIDIRouter::singleton().print_sources();
    return sc->NIL;
}

pointer print_midi_destinations(scheme* sc, pointer) {
    MIDIRouter::singleton().print_destinations();
    return sc->NIL;
}

pointer print_midi_id(scheme* sc, pointer args) {
    pointer id = nth(sc, args, 0);
    if (!is_integer(id) || ivalue(id) < 0 || ivalue(id) > 0xFFFFFFFFLL) return sc->F;
    return MIDIRouter::singleton().print_id(static_cast<uint32_t>(ivalue(id))) ? sc->T : sc->F;
}

}  // namespace

void MIDIRouter::sendMIDI(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    if (a.number(0) < 0) return;  // a null destination: nothing is sent
    send(static_cast<uint32_t>(a.number(0)), a.bytes.data(), a.bytes.size(), task->time());
}

void MIDIRouter::sendMIDISysEx(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    if (a.number(0) < 0) return;
    send_sysex(static_cast<uint32_t>(a.number(0)), a.bytes.data(), a.bytes.size());
}

pointer MIDIRouter::connectMIDISource(scheme* sc, pointer args) {
    pointer index = nth(sc, args, 0);
    if (!is_integer(index)) {
        CPPBridge::error("Bad MIDI Source");
        return sc->F;
    }
    const uint32_t id = singleton().connect_source(static_cast<long>(ivalue(index)));
    return id ? mk_integer(sc, id) : sc->F;
}

pointer MIDIRouter::connectMIDIDestination(scheme* sc, pointer args) {
    pointer index = nth(sc, args, 0);
    if (!is_integer(index)) {
        CPPBridge::error("Bad MIDI Destination");
        return sc->F;
    }
    MidiDestination* destination = singleton().connect_destination(static_cast<long>(ivalue(index)));
    return destination ? mk_cptr(sc, destination) : sc->F;
}

void MIDIRouter::schemeInit(SchemeInterface* process) {
    MIDIRouter& router = singleton();
    process->addGlobalCptr("*io:midi-out*",
                           keep_target(std::make_unique<ShortMessageTarget>(&MIDIRouter::sendMIDI, &router)));
    process->addGlobalCptr("*io:midi-sysex-out*",
                           keep_target(std::make_unique<SysexTarget>(&MIDIRouter::sendMIDISysEx, &router)));
    process->addGlobalCptr("*io:midi-virtual-device*", router.virtual_device());
    process->addForeignFunc("io:midi-source", connectMIDISource);
    process->addForeignFunc("io:midi-destination", connectMIDIDestination);
    process->addForeignFunc("io:print-midi-devices", print_midi_devices);
    process->addForeignFunc("io:print-midi-sources", print_midi_sources);
    process->addForeignFunc("io:print-midi-destinations", print_midi_destinations);
    process->addForeignFunc("io:print-midi-id", print_midi_id);
}

}  // namespace omb
