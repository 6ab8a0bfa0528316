// The port-message wire format: one message from one copy of the program to a named procedure of a named process
// in another, over TCP. Pure bytes to values and back, no sockets, so that the decoder can be fuzzed on its own.
//
// A frame is the magic "OMBM", the length of the body (32 bits, big-endian) and the body: the sender's own
// port-message port (16 bits), the process name and the procedure name (each a 16-bit length and ASCII bytes), then
// one object. An object is a tag byte and its payload, big-endian throughout:
//   's' string      32-bit length, UTF-8 bytes        'd' data        32-bit length, bytes
//   'i' integer     64-bit two's complement           'r' real        IEEE 754 double
//   'b' boolean     one byte, 0 or 1                  'a' array       32-bit count, that many objects
//   'D' dictionary  32-bit count, that many key and value objects
// Nothing else travels: the foundation classes of platform/objects/foundation.h are the whole vocabulary.
//
// The decoder trusts nothing it reads: every length and count is checked against the bytes actually there, nesting
// and dictionary sizes are bounded, names must be printable ASCII, and the body must end exactly where the object
// does.
//
// Threads: any; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/objects/foundation.h"

namespace omb {

struct PortMessage {
    uint16_t reply_port = 0;  // the sender's own port-message port; 0 when it does not listen
    std::string process;
    std::string procedure;
    Ref<Object> object;
};

inline constexpr char kPortMessageMagic[4] = {'O', 'M', 'B', 'M'};
inline constexpr size_t kPortFrameHeader = 8;
// The largest body either end accepts: a big data object fits, a hostile length does not reserve memory.
inline constexpr size_t kPortMessageMaxBody = size_t{16} << 20;
// Arrays and dictionaries inside one another, at most.
inline constexpr int kPortMessageMaxDepth = 32;
// Dictionary entries in one message, at most: building a dictionary compares each key with those before it, so
// the count bounds the receiver's work whatever a hostile sender puts in.
inline constexpr size_t kPortMessageMaxEntries = 1024;
// Process and procedure names, at most (in bytes).
inline constexpr size_t kPortMessageMaxName = 255;

// The whole frame; nothing, with the reason in `problem`, when the object holds something that cannot travel (an
// object of another class, nesting beyond the bound) or the frame would exceed kPortMessageMaxBody.
std::optional<std::vector<uint8_t>> encode_port_message(const PortMessage& message, std::string* problem = nullptr);

// The body length a frame header announces; nothing when the bytes are not our magic or announce more than
// `max_body`.
std::optional<size_t> port_frame_body_length(const uint8_t* header, size_t max_body = kPortMessageMaxBody);

// One body, exactly `size` bytes. False, with the reason in `problem`, when anything in it does not hold.
bool decode_port_message_body(const uint8_t* body, size_t size, PortMessage& out, std::string* problem = nullptr);

}  // namespace omb
