// The eval wire protocol, shared by the eval server and every client: Scheme text ended by byte 7 goes in, each
// request gets one reply ended by byte 0; a byte 3 from the client interrupts the evaluation it is waiting for.
#pragma once

#include <cstddef>

namespace omb::wire {

constexpr char TERMINATOR = 7;   // ends a request
constexpr char REPLY_END = 0;    // ends the greeting and every reply
constexpr char INTERRUPT = 3;    // stops the running evaluation with the error "interrupted"
constexpr size_t READ_SIZE = 1024;  // the server reads in pieces of at most this many bytes
// A request whose text (its terminator not counted) is longer than this, about 1 MB, is given up: answered with
// GIVEN_UP, the rest of it, through its terminator, discarded unread. A request with nothing to evaluate is
// answered with GIVEN_UP too.
constexpr size_t MAX_REQUEST_BYTES = 1026 * READ_SIZE;
constexpr const char* GIVEN_UP = "!";
// A client's goodbye: answered with the same text, never evaluated.
constexpr const char* GOODBYE = "shutdownreplthread";

}  // namespace omb::wire
