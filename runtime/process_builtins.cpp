// The built-ins every process defines: scheduling at a sample time, random numbers, rounding-sensitive
// remainders, printing to the log, printed text of values, the process switches and two diagnostic aids.
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "runtime/argument_target.h"
#include "runtime/scheme_obj.h"
#include "scheduler/scheduler.h"
#include "interpreter/cell_renderer.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer arg(scheme* sc, pointer args, int i) {
    for (; i > 0 && is_pair(args); --i) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

double real_of(pointer p) { return is_number(p) ? rvalue(p) : 0.0; }
int64_t int_of(pointer p) { return is_number(p) ? ivalue(p) : 0; }

double unit_random() { return std::rand() / 2147483647.0; }

// The argument list's printed form without its outer parentheses: values separated by single blanks.
std::string text_of_args(scheme* sc, pointer args) {
    if (args == sc->NIL) return "";
    std::string text = printed(sc, args);
    return text.size() >= 2 ? text.substr(1, text.size() - 2) : text;
}

pointer set_switch(std::atomic<bool>& flag, scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    flag = a == sc->T;
    return a;
}

}  // namespace

pointer SchemeInterface::callCPPAtTime(scheme* sc, pointer args) {
    pointer when = arg(sc, args, 0);
    pointer target = arg(sc, args, 2);
    if (!is_cptr(target) || !CM::live(cptr_value(target))) {
        CPPBridge::error("Bad task needs valid CM ptr");
        return sc->F;
    }
    bool callback = arg(sc, args, 1) == sc->T;
    int64_t time = 0;
    int32_t tag = 0;
    if (is_pair(when)) {
        time = int_of(pair_car(when));
        tag = static_cast<int32_t>(int_of(pair_cdr(when)));
    } else {
        time = int_of(when);
    }
    auto* cm = static_cast<CM*>(cptr_value(target));
    // A native target reads its arguments here, on the process's own thread, into plain values.
    if (auto* native = dynamic_cast<ArgumentTarget*>(cm)) {
        TaskArguments values;
        if (!native->read(sc, arg(sc, args, 3), values)) return sc->F;
        Scheduler::singleton().insert(new Task<TaskArguments>(time, callback, tag, cm, std::move(values)));
        return sc->T;
    }
    auto* obj = new SchemeObj(sc, arg(sc, args, 3), arg(sc, args, 4));
    if (!obj->valid()) {
        delete obj;
        return sc->F;
    }
    Scheduler::singleton().insert(new Task<SchemeObj*>(time, callback, tag, cm, obj));
    return sc->T;
}

pointer SchemeInterface::randomInt(scheme* sc, pointer args) {
    double n = real_of(arg(sc, args, 0));
    return mk_integer(sc, static_cast<int64_t>(std::trunc(unit_random() * n)));
}

pointer SchemeInterface::randomDouble(scheme* sc, pointer) { return mk_real(sc, unit_random()); }

pointer SchemeInterface::randomGaussian(scheme* sc, pointer args) {
    // The polar method; the second value of each pair is kept for the next call, whoever makes it.
    static std::mutex m;
    static int phase = 0;
    static double S = 0, V1 = 0, V2 = 0;
    double mean = args != sc->NIL ? real_of(arg(sc, args, 0)) : 0.0;
    double deviation = list_length(sc, args) >= 2 ? real_of(arg(sc, args, 1)) : 1.0;
    double x;
    std::lock_guard lock(m);
    if (phase == 1) {
        x = V2 * std::sqrt(-2 * std::log(S) / S);
    } else {
        do {
            V1 = 2 * unit_random() - 1;
            V2 = 2 * unit_random() - 1;
            S = V1 * V1 + V2 * V2;
        } while (S >= 1 || S == 0);
        x = V1 * std::sqrt(-2 * std::log(S) / S);
    }
    phase = 1 - phase;
    return mk_real(sc, x * deviation + mean);
}

pointer SchemeInterface::modulo(scheme* sc, pointer args) {
    double a = std::round(10000 * real_of(arg(sc, args, 0))) * 0.0001;
    double b = std::round(real_of(arg(sc, args, 1)) * 10000) * 0.0001;
    return mk_real(sc, std::round(std::fmod(a, b) * 10000) * 0.0001);
}

pointer SchemeInterface::rremainder(scheme* sc, pointer args) {
    return mk_real(sc, std::remainder(real_of(arg(sc, args, 0)), real_of(arg(sc, args, 1))));
}

pointer SchemeInterface::readMIDIFile(scheme* sc, pointer) {
    // Standard MIDI files are read by the MIDI library; until it is linked every file is refused.
    CPPBridge::error("Bad MIDI File");
    return sc->F;
}

pointer SchemeInterface::sexprToString(scheme* sc, pointer args) {
    return mk_string(sc, text_of_args(sc, args).c_str());
}

pointer SchemeInterface::print(scheme* sc, pointer args) {
    CPPBridge::log_text(text_of_args(sc, args));
    return sc->T;
}

pointer SchemeInterface::printError(scheme* sc, pointer args) {
    CPPBridge::error_text(text_of_args(sc, args));
    return sc->T;
}

pointer SchemeInterface::printNotification(scheme* sc, pointer args) {
    CPPBridge::notification_text(text_of_args(sc, args));
    return sc->T;
}

pointer SchemeInterface::setCapsThrough(scheme* sc, pointer args) { return set_switch(CAPS_THROUGH, sc, args); }

pointer SchemeInterface::collectGarbage(scheme* sc, pointer args) {
    gc(sc, arg(sc, args, 0), arg(sc, args, 1));
    return sc->NIL;
}

pointer SchemeInterface::dumpStack(scheme* sc, pointer) {
    CPPBridge::log_text(printed(sc, scheme_dump_as_list(sc)));
    return sc->NIL;
}

pointer SchemeInterface::extendedErrorLogging(scheme* sc, pointer args) {
    return set_switch(EXTENDED_ERROR_LOGGING, sc, args);
}

pointer SchemeInterface::taskQueueLogging(scheme* sc, pointer args) {
    return set_switch(TASK_QUEUE_LOGGING, sc, args);
}

pointer SchemeInterface::schemeEvalTimer(scheme* sc, pointer args) {
    return set_switch(SCHEME_EVAL_TIMING, sc, args);
}

}  // namespace omb
