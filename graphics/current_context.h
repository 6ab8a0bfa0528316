// The current graphics context: the Cairo context of the drawing in progress on this thread, what objects that draw
// themselves (MYPath's drawMyPath) draw into. Drawings set it for their length with a CurrentContext; outside one
// there is none and such objects draw nothing. Its y counts up from the bottom, as the canvas's does.
#pragma once

#include <cairo.h>

namespace omb {

class CurrentContext {
public:
    explicit CurrentContext(cairo_t* cr) : previous_(current_) { current_ = cr; }
    ~CurrentContext() { current_ = previous_; }
    CurrentContext(const CurrentContext&) = delete;
    CurrentContext& operator=(const CurrentContext&) = delete;

    // Null when no drawing is in progress on this thread.
    static cairo_t* get() { return current_; }

private:
    static inline thread_local cairo_t* current_ = nullptr;
    cairo_t* previous_;
};

}  // namespace omb
