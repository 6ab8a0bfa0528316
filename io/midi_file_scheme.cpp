// The Scheme face of the MIDI file reader: the notes as four lists per track, and "io:read-midi-file".
#include "io/midi_file_scheme.h"

#include "interpreter/scheme.h"
#include "io/midi_file.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// The lists are built while unreachable from any root, so the collector waits until they are returned; the
// caller's own setting comes back afterwards (it may have blocked the collector itself).
class CollectorBlocked {
public:
    explicit CollectorBlocked(scheme* sc) : sc_(sc), was_(sc->gc_enabled) { sc_->gc_enabled = 0; }
    ~CollectorBlocked() { sc_->gc_enabled = was_; }
    CollectorBlocked(const CollectorBlocked&) = delete;
    CollectorBlocked& operator=(const CollectorBlocked&) = delete;

private:
    scheme* sc_;
    int was_;
};

pointer integer(scheme* sc, int n) { return mk_integer(sc, n); }

template <class T>
pointer list_of(scheme* sc, const std::vector<T>& values, pointer (*make)(scheme*, T)) {
    pointer list = sc->NIL;
    for (auto it = values.rbegin(); it != values.rend(); ++it) list = s_cons(sc, make(sc, *it), list);
    return list;
}

pointer track_data(scheme* sc, const TrackNotes& notes) {
    pointer columns = s_cons(sc, list_of(sc, notes.durations, mk_real), sc->NIL);
    columns = s_cons(sc, list_of(sc, notes.velocities, integer), columns);
    columns = s_cons(sc, list_of(sc, notes.pitches, integer), columns);
    return s_cons(sc, list_of(sc, notes.starts, mk_real), columns);
}

}  // namespace

pointer SMF::getSchemeData(scheme* sc) const {
    pointer result = sc->NIL;
    for (const TrackNotes& notes : this->notes()) result = s_cons(sc, track_data(sc, notes), result);
    return result;
}

pointer read_midi_file(scheme* sc, pointer args) {
    pointer path = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_string(path)) {
        CPPBridge::error("io:read-midi-file needs the path of a MIDI file");
        return sc->F;
    }
    SMF smf;
    if (!smf.read(string_value(path))) {
        CPPBridge::error("Bad MIDI File");
        CPPBridge::log("%s: %s", string_value(path), smf.error().c_str());
        return sc->F;
    }
    CollectorBlocked blocked(sc);
    return smf.getSchemeData(sc);
}

void midi_file_scheme_init(SchemeInterface* process) { process->addForeignFunc("io:read-midi-file", read_midi_file); }

}  // namespace omb
