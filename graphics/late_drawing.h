// Late drawing: a drawing task runs on the scheduler's thread, so one that takes longer than an audio buffer holds
// up every task behind it, notes included. Each drawing is timed; the late ones are counted and reported (the first
// at once, then at most once a second with the count since), so a performer sees which drawing is too heavy.
//
// Threads: time_drawing runs on the scheduler's thread; the stats are read from any thread.
#pragma once

#include <cstdint>
#include <functional>

namespace omb {

struct DrawingStats {
    uint64_t drawn = 0;       // drawing tasks run
    uint64_t late = 0;        // of those, the ones that took longer than one buffer
    double longest_ms = 0.0;  // the longest drawing so far
};

// Runs `draw` (the task named `name`), timing it against the buffer's length now.
void time_drawing(const char* name, const std::function<void()>& draw);
DrawingStats drawing_stats();

}  // namespace omb
