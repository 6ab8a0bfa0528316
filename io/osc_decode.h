// Received OSC datagrams (messages and bundles) turned into the Scheme calls that hand them to io:osc-receive.
//
// Each message becomes the text of one call, (io:osc-receive "address" item ...), whose items are number and string
// literals and (list ...) forms for arrays. Strings received are escaped, so a datagram can put any bytes it likes
// in them and the text still calls io:osc-receive and nothing else. Every length and offset is checked against the
// bytes received: a malformed message is dropped with a reason, never read past its end.
//
// Pure functions: any thread. Blobs become data objects (io/osc_data.h) that travel with their call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/osc_data.h"

namespace omb {

// Longer datagrams are cut to this many bytes, which also keeps every string received within what the Scheme
// reader takes in one literal.
constexpr size_t OSC_DATAGRAM_LIMIT = 256;
constexpr int OSC_ARRAY_DEPTH_LIMIT = 16;
constexpr int OSC_BUNDLE_DEPTH_LIMIT = 8;

inline constexpr const char* OSC_BAD_TYPE = "Bad or unsupported argument type - dropping message";

// One message for Scheme: the call's text and the data objects its blob items name.
struct OscCall {
    std::string text;
    std::vector<OscDataRef> blobs;
};

struct OscDecoded {
    std::vector<OscCall> calls;  // in datagram order (bundle elements in turn)
    // Empty when the whole datagram was delivered; otherwise the log message saying what was not. A message that
    // fails ends the datagram: later elements of its bundle are dropped with it.
    std::string problem;
    void clear() {
        calls.clear();
        problem.clear();
    }
};

// `cut`: the datagram arrived longer than `size` and these are its first bytes; the message it ends in is delivered
// with its whole arguments only (arrays left open are closed). More than OSC_DATAGRAM_LIMIT bytes count as cut.
// Appends to `into`, which the caller may reuse from datagram to datagram.
void decode_osc_datagram(const uint8_t* data, size_t size, bool cut, OscDecoded& into);

// A string as a Scheme string literal's contents: double quotes and backslashes escaped.
void append_scheme_string_contents(std::string& text, const char* chars, size_t size);

}  // namespace omb
