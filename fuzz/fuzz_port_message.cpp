// Feeds arbitrary bytes to the port-message decoder, as one body and as a stream of frames. Whatever arrives, the
// decoder must never read past the bytes given (the sanitizers watch an exactly sized copy) nor take long, and what
// it accepts must encode again, to bytes that decode and encode to the same bytes once more: the receiver never
// holds an object the format cannot carry.
//
// The first input byte says whether the rest is one body or a stream of frames.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "native/port_codec.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_port_message: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Decoded, encoded again, decoded again: the same message, and the same bytes the second time round.
void round_trip(const omb::PortMessage& message) {
    std::string why;
    const auto frame = omb::encode_port_message(message, &why);
    if (!frame) fail("a decoded message does not encode", why);
    const auto body = omb::port_frame_body_length(frame->data());
    if (!body || *body + omb::kPortFrameHeader != frame->size()) fail("a frame announces the wrong length", "");
    omb::PortMessage again;
    if (!omb::decode_port_message_body(frame->data() + omb::kPortFrameHeader, *body, again, &why))
        fail("an encoded message does not decode", why);
    if (again.process != message.process || again.procedure != message.procedure ||
        again.reply_port != message.reply_port)
        fail("the names change on their way", message.procedure);
    // Bytes, not values: a real that is not a number equals nothing, itself included.
    if (omb::encode_port_message(again) != frame) fail("the object changes on its way", message.procedure);
}

void one_body(const uint8_t* data, size_t size) {
    omb::PortMessage message;
    if (omb::decode_port_message_body(data, size, message)) round_trip(message);
}

// Frames one after another, as a listener's connection buffer holds them; a bad one ends the stream.
void stream(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (size - at >= omb::kPortFrameHeader) {
        const auto body = omb::port_frame_body_length(data + at);
        if (!body || size - at - omb::kPortFrameHeader < *body) return;
        one_body(data + at + omb::kPortFrameHeader, *body);
        at += omb::kPortFrameHeader + *body;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = size - 1;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(exact.get(), data + 1, n);
    if (data[0] & 1) stream(exact.get(), n);
    else one_body(exact.get(), n);
    return 0;
}
