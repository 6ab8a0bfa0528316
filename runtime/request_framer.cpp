#include "runtime/request_framer.h"

#include "runtime/wire_protocol.h"

namespace omb {

RequestFramer::RequestFramer(size_t max_text_bytes) : max_text_(max_text_bytes) {}

int RequestFramer::feed(std::string_view bytes, std::deque<FramedRequest>& out) {
    int interrupts = 0;
    for (char b : bytes) {
        if (b == wire::INTERRUPT) {
            ++interrupts;
        } else if (b == wire::TERMINATOR) {
            if (mode_ != Mode::discarding) out.push_back(FramedRequest{std::move(text_), false});
            text_.clear();
            mode_ = Mode::text;
        } else if (mode_ != Mode::text) {
            // after a byte 0, or the rest of a request given up: skipped up to the terminator
        } else if (b == wire::REPLY_END) {
            mode_ = Mode::after_zero;
        } else if (text_.size() >= max_text_) {
            out.push_back(FramedRequest{{}, true});
            text_.clear();
            text_.shrink_to_fit();  // a megabyte held for nothing
            mode_ = Mode::discarding;
        } else {
            text_.push_back(b);
        }
    }
    return interrupts;
}

}  // namespace omb
