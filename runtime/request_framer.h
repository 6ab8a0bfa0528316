// Cuts the byte stream of one eval client into requests, whatever pieces the bytes arrive in.
//
// Each byte 7 ends a request; a byte 3 anywhere is an interrupt, never text; a byte 0 drops what follows it up to
// the terminator, which still ends the request; a request past the size limit is given up at once and the rest of
// it, through its terminator, is discarded. The same bytes give the same requests however they are split.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace omb {

struct FramedRequest {
    std::string text;       // without its terminator
    bool given_up = false;  // over the size limit: answered without evaluation
};

class RequestFramer {
public:
    explicit RequestFramer(size_t max_text_bytes);

    // Appends the requests the bytes complete to `out`; returns how many interrupts they held.
    int feed(std::string_view bytes, std::deque<FramedRequest>& out);
    // Bytes held for the request not yet ended.
    size_t pending() const { return text_.size(); }

private:
    enum class Mode { text, after_zero, discarding };
    size_t max_text_;
    std::string text_;
    Mode mode_ = Mode::text;
};

}  // namespace omb
