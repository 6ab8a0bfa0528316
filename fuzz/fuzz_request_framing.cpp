// Feeds arbitrary bytes, cut into arbitrary pieces, to the eval server's request framing. Whatever a client sends,
// the framing must give the same requests however the bytes are split, each request free of the framing bytes and
// within the size limit, one given-up request per overflow, and hold no more than the limit in waiting.
//
// The first input byte picks the piece sizes; a small limit makes overflows frequent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>

#include "runtime/request_framer.h"
#include "runtime/wire_protocol.h"

namespace {

constexpr size_t LIMIT = 64;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_request_framing: %s\n", what);
    std::abort();
}

struct Outcome {
    std::deque<omb::FramedRequest> requests;
    int interrupts = 0;
};

Outcome frame(std::string_view bytes, size_t piece) {
    omb::RequestFramer framer(LIMIT);
    Outcome o;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        o.interrupts += framer.feed(bytes.substr(at, piece), o.requests);
        if (framer.pending() > LIMIT) fail("holds more than the limit");
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 17;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Outcome whole = frame(bytes, bytes.size() + 1);
    const Outcome pieces = frame(bytes, piece);
    if (whole.interrupts != pieces.interrupts || whole.requests.size() != pieces.requests.size())
        fail("the split changes the requests");
    size_t terminators = 0;
    for (char b : bytes) terminators += b == omb::wire::TERMINATOR;
    if (whole.requests.size() > terminators + bytes.size() / LIMIT + 1) fail("more requests than the bytes allow");
    for (size_t i = 0; i < whole.requests.size(); ++i) {
        const auto& a = whole.requests[i];
        const auto& b = pieces.requests[i];
        if (a.text != b.text || a.given_up != b.given_up) fail("the split changes a request");
        if (a.text.size() > LIMIT) fail("a request over the limit");
        if (a.given_up && !a.text.empty()) fail("a given-up request carries text");
        for (char ch : a.text)
            if (ch == omb::wire::TERMINATOR || ch == omb::wire::INTERRUPT || ch == omb::wire::REPLY_END)
                fail("a framing byte inside a request");
    }
    return 0;
}
