// The audio engine's names in every process: the clock, the globals, the scheduler's built-ins.
#include "audio/au_scheme.h"

#include "audio/au_host.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer first_arg(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }

pointer get_time(scheme* sc, pointer) { return mk_integer(sc, static_cast<int64_t>(AUHost::TIME.load())); }

pointer set_time(scheme* sc, pointer args) {
    pointer a = first_arg(sc, args);
    if (!is_number(a)) return sc->F;
    AUHost::TIME = static_cast<uint64_t>(ivalue(a));
    return sc->T;
}

pointer set_beat(scheme* sc, pointer args) {
    pointer a = first_arg(sc, args);
    if (!is_number(a)) return sc->F;
    AUHost::BEAT = rvalue(a);
    return sc->T;
}

pointer set_tempo(scheme* sc, pointer args) {
    pointer a = first_arg(sc, args);
    if (!is_number(a)) return sc->F;
    AUHost::TEMPO = rvalue(a);
    return sc->T;
}

pointer set_block(scheme* sc, pointer args) {
    pointer a = first_arg(sc, args);
    if (!is_number(a)) return sc->F;
    AUHost::singleton().scheduler().set_block(static_cast<int32_t>(ivalue(a)));
    return sc->T;
}

pointer remove_block(scheme* sc, pointer args) {
    pointer a = first_arg(sc, args);
    if (!is_number(a)) return sc->F;
    AUHost::singleton().scheduler().remove_block(static_cast<int32_t>(ivalue(a)));
    return sc->T;
}

pointer clear_scheduler(scheme* sc, pointer) {
    AUHost::singleton().scheduler().clear();
    return sc->T;
}

}  // namespace

void au_scheme_init(SchemeInterface* process) {
    scheme* sc = process->getScheme();
    process->addForeignFunc("now", get_time);
    process->addForeignFunc("sys:set-block", set_block);
    process->addForeignFunc("sys:remove-block", remove_block);
    process->addForeignFunc("sys:clear-scheduler", clear_scheduler);
    process->addForeignFunc("au:set-global-time", set_time);
    process->addForeignFunc("au:set-global-beat", set_beat);
    process->addForeignFunc("au:set-global-tempo", set_tempo);
    process->addGlobal("*au:samplerate*", mk_integer(sc, AUHost::SAMPLERATE.load()));
    process->addGlobal("*au:channels*", mk_integer(sc, AUHost::CHANNELS.load()));
    process->addGlobal("*au:frames*", mk_integer(sc, AUHost::FRAMES.load()));
}

}  // namespace omb
