// Feeds arbitrary bytes to the OSC decoder as one received datagram, and evaluates every call it makes in a real
// interpreter whose io:osc-receive only counts and inspects its arguments. Whatever a datagram holds, each call text
// must read and evaluate without error as exactly one call of io:osc-receive, with an address string and items
// that are numbers, strings and lists of them; the decoder must never read past the bytes given (the sanitizers
// watch an exactly sized copy).
//
// The first input byte says whether the datagram counts as cut; a second pass encodes values taken from the input
// and checks that they decode back to the call they should.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "interpreter/scheme.h"
#include "io/osc_decode.h"
#include "io/osc_encode.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "fuzz_osc: %s: %s\n", what, text.c_str());
    std::abort();
}

int calls = 0;
bool bad_argument = false;

bool plain_item(omb::scheme* sc, omb::pointer x) {
    if (omb::is_number(x) || omb::is_string(x)) return true;
    for (; omb::is_pair(x); x = omb::pair_cdr(x))
        if (!plain_item(sc, omb::pair_car(x))) return false;
    return x == sc->NIL;
}

omb::pointer receive(omb::scheme* sc, omb::pointer args) {
    ++calls;
    if (!omb::is_pair(args) || !omb::is_string(omb::pair_car(args))) bad_argument = true;
    for (omb::pointer p = args; omb::is_pair(p); p = omb::pair_cdr(p))
        if (!plain_item(sc, omb::pair_car(p))) bad_argument = true;
    return sc->T;
}

omb::scheme* make_instance() {
    omb::scheme* made = omb::scheme_init_new();
    if (!made) std::abort();
    omb::scheme_define(made, made->global_env, omb::mk_symbol(made, "io:osc-receive"),
                       omb::mk_foreign_func(made, receive));
    // As the standard files define it: a fresh list of its arguments.
    omb::scheme_load_string(made, "(define (list . items) (append items '()))");
    return made;
}

// One instance serves a few thousand inputs, then a fresh one: what the evaluations leave behind stays small.
omb::scheme* instance() {
    static omb::scheme* sc = nullptr;
    static int inputs = 0;
    if (sc && ++inputs >= 5000) {
        omb::scheme_deinit(sc);
        std::free(sc);
        sc = nullptr;
        inputs = 0;
    }
    if (!sc) sc = make_instance();
    return sc;
}

void evaluate(const omb::OscDecoded& decoded) {
    omb::scheme* sc = instance();
    for (const omb::OscCall& call : decoded.calls) {
        if (!call.text.starts_with("(io:osc-receive \"")) fail("not a call of io:osc-receive", call.text);
        for (const auto& blob : call.blobs) {
            char address[32];
            std::snprintf(address, sizeof address, "\"%p\"", static_cast<void*>(blob.get()));
            if (call.text.find(address) == std::string::npos) fail("a blob the text does not name", call.text);
        }
        calls = 0;
        bad_argument = false;
        omb::scheme_load_string(sc, call.text.c_str());
        if (sc->retcode != 0) fail("the call does not evaluate", call.text);
        if (calls != 1) fail("not exactly one call", call.text);
        if (bad_argument) fail("an argument that is not a literal", call.text);
    }
}

// Values drawn from the input, encoded and decoded again: integers and strings come back as they went.
void round_trip(const uint8_t* data, size_t size) {
    omb::OscMessageWriter w;
    std::string expected = "(io:osc-receive \"/r\"";
    for (size_t i = 0; i + 1 < size && i < 40; i += 2) {
        if (data[i] % 2) {
            const int32_t v = static_cast<int8_t>(data[i + 1]) * 1000003;
            w.add_int(v);
            expected += " " + std::to_string(v);
        } else {
            const std::string s(1 + data[i + 1] % 5, static_cast<char>(1 + data[i + 1] % 127));
            w.add_string(s);
            expected += " \"";
            omb::append_scheme_string_contents(expected, s.data(), s.size());
            expected += "\"";
        }
    }
    expected += ")";
    const auto packet = w.packet("/r");
    if (packet.size() > omb::OSC_DATAGRAM_LIMIT) return;
    omb::OscDecoded decoded;
    omb::decode_osc_datagram(packet.data(), packet.size(), false, decoded);
    if (!decoded.problem.empty() || decoded.calls.size() != 1 || decoded.calls[0].text != expected)
        fail("an encoded message decodes differently", expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool cut = data[0] & 1;
    const size_t n = size - 1;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(exact.get(), data + 1, n);
    omb::OscDecoded decoded;
    omb::decode_osc_datagram(exact.get(), n, cut, decoded);
    evaluate(decoded);
    round_trip(data + 1, n);
    return 0;
}
