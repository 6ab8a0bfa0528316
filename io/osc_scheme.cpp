// The OSC names, and the reading of what "*io:osc-send-msg*" is scheduled with.
#include "io/osc_scheme.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "io/osc.h"
#include "io/osc_data.h"
#include "io/osc_encode.h"
#include "platform/log_bridge.h"
#include "runtime/argument_target.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr int kSendDepthLimit = 64;
constexpr const char* TOO_LARGE = "Error: OSC message too large: UDP 8k message MAX";

pointer nth(scheme* sc, pointer list, int i) {
    for (; i > 0 && is_pair(list); --i) list = pair_cdr(list);
    return is_pair(list) ? pair_car(list) : sc->NIL;
}

// Scheme values as OSC arguments: strings, reals, integers (their low 32 bits), data objects as blobs, lists as
// arrays. Anything else (a vector, a symbol, a boolean) is left out of both the tags and the data.
class ArgumentEncoder {
public:
    ArgumentEncoder(scheme* sc, OscMessageWriter& out) : sc_(sc), out_(out) {}

    // False, with the error reported, for a list that cannot be sent (circular, improper, nested too deep).
    bool list(pointer items, int depth) {
        if (depth > kSendDepthLimit) return fail("*io:osc-send-msg*: lists nested deeper than 64");
        if (list_length(sc_, items) < 0) return fail("*io:osc-send-msg* cannot send a circular or improper list");
        for (pointer p = items; is_pair(p); p = pair_cdr(p))
            if (!value(pair_car(p), depth)) return false;
        return true;
    }

private:
    bool value(pointer x, int depth) {
        if (is_string(x)) {
            out_.add_string(string_value(x));
        } else if (is_integer(x)) {
            out_.add_int(static_cast<int32_t>(static_cast<uint32_t>(ivalue(x))));
        } else if (is_number(x)) {
            out_.add_float(static_cast<float>(rvalue(x)));
        } else if (is_objc(x)) {
            if (const auto* data = dynamic_cast<const NSData*>(objc_value(x)))
                out_.add_blob(data->bytes().data(), data->bytes().size());
        } else if (is_pair(x) || x == sc_->NIL) {
            out_.open_array();
            if (!list(x, depth + 1)) return false;
            out_.close_array();
        }
        // Refused as soon as it outgrows what one UDP datagram carries, before a huge list is encoded whole.
        if (out_.packet_size("") > OSC_PACKET_LIMIT) return fail(TOO_LARGE);
        return true;
    }

    bool fail(const char* message) {
        if (!failed_) CPPBridge::error_text(message);
        failed_ = true;
        return false;
    }

    scheme* sc_;
    OscMessageWriter& out_;
    bool failed_ = false;
};

// (host port address arguments): the host is resolved and the packet built here, on the process's thread, so the
// send at the task's time neither touches the interpreter nor waits on a name lookup.
class SendTarget : public ArgumentCMI<OSC> {
public:
    using ArgumentCMI::ArgumentCMI;
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        const int n = list_length(sc, args);
        pointer host = nth(sc, args, 0), port = nth(sc, args, 1), address = nth(sc, args, 2);
        pointer arguments = n >= 4 ? nth(sc, args, 3) : sc->NIL;
        if ((n != 3 && n != 4) || !is_string(host) || !is_integer(port) || ivalue(port) < 1 || ivalue(port) > 65535 ||
            !is_string(address) || !(is_pair(arguments) || arguments == sc->NIL)) {
            CPPBridge::error("*io:osc-send-msg* needs a host, a port, an address and a list of arguments: %s",
                             printed(sc, args).c_str());
            return false;
        }
        OscMessageWriter message;
        if (!ArgumentEncoder(sc, message).list(arguments, 0)) return false;
        if (message.packet_size(string_value(address)) > OSC_PACKET_LIMIT) {
            CPPBridge::error_text(TOO_LARGE);
            return false;
        }
        OscDestination to;
        if (!OscSender::resolve(string_value(host), static_cast<int>(ivalue(port)), to)) return false;
        into.numbers = {static_cast<double>(to.address), static_cast<double>(to.port)};
        into.bytes = message.packet(string_value(address));
        into.text = string_value(host);
        return true;
    }
};

// Every process gets its own target, bound to the one server.
CM* new_send_target() { return keep_target(std::make_unique<SendTarget>(&OSC::sendOSC, &OSC::singleton())); }

}  // namespace

void OSC::schemeInit(SchemeInterface* process) { osc_scheme_init(process); }

void osc_scheme_init(SchemeInterface* process) {
    process->addGlobalCptr("*io:osc-send-msg*", new_send_target());
    process->addForeignFunc("io:osc-register-events", OSC::registerScheme);
    process->addForeignFunc("io:osc-blob", OSC::blob);
}

}  // namespace omb
