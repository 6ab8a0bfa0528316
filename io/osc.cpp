#include "io/osc.h"

#include <cstdio>
#include <cstdlib>

#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/argument_target.h"

namespace omb {

OSC& OSC::singleton() {
    static OSC* const osc = [] {
        auto* made = new OSC();
        // Before the statics the receive thread uses are destroyed at exit.
        std::atexit([] { singleton().server().stop(); });
        return made;
    }();
    return *osc;
}

OSC::OSC() {
    const int port = PORT.load();
    devlog("Starting OSC server on port: %d", port);
    CPPBridge::notification("Starting OSC server on port: %d", port);
    server_ = std::make_unique<OscServer>(LISTEN_ADDRESS, port, inbox_);
}

void OSC::sendOSC(TaskI* task) {
    const TaskArguments& a = task_arguments(task);
    const OscDestination to{static_cast<uint32_t>(a.number(0)), static_cast<uint16_t>(a.number(1))};
    sender_.send(to, a.bytes.data(), a.bytes.size());
}

pointer OSC::registerScheme(scheme* sc, pointer) {
    OSC& osc = singleton();
    osc.inbox().set_receiver(sc);
    if (!osc.server().started()) {
        std::puts("STARTING THREAD");
        std::fflush(stdout);
        osc.server().start();
    }
    return sc->NIL;
}

pointer OSC::blob(scheme* sc, pointer args) {
    pointer address = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_string(address)) {
        CPPBridge::error("io:osc-blob needs the address string a received blob arrived as");
        return sc->F;
    }
    Object* data = singleton().inbox().claim(string_value(address));
    return data ? mk_objc(sc, data) : sc->F;
}

}  // namespace omb
