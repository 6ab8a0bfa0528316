// The offline clock: with the offline driver the program renders buffers as fast as the work allows, in lock step.
//
// Each buffer is rendered only after the scheduler's slice for the previous one has completed and every Scheme
// process has run all the work that slice handed it, so no task is ever late however long Scheme takes, and a
// run is repeatable. The clock runs on its own thread, started by `start` and joined by `stop` (or destruction).
// render_piece() is the same lock step driven to a file: `ombrel --render`.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/thread.h"

namespace omb {

class OfflineDevice;
class Scheduler;
class SchemeInterface;

// The scheduler has served the current TIME and no process has work left: the next buffer may be rendered.
bool work_settled(Scheduler& scheduler);

class OfflineClock {
public:
    OfflineClock(OfflineDevice& device, Scheduler& scheduler);
    ~OfflineClock();
    OfflineClock(const OfflineClock&) = delete;
    OfflineClock& operator=(const OfflineClock&) = delete;

    bool start();
    void stop();

private:
    void run();

    OfflineDevice& device_;
    Scheduler& scheduler_;
    std::atomic<bool> running_{false};
    std::unique_ptr<Thread> thread_;
};

struct RenderJob {
    std::string piece;  // a Scheme file, loaded into `process` at TIME 0
    double seconds = 0;
    std::string out;  // ".aif"/".aiff": 32-bit float AIFF-C; anything else: 32-bit float WAV
};

// Loads the piece, renders the seconds asked for and writes them, frame i of the file being sample time i. The
// program's exit status: 0, or 1 with the reason on standard error.
int render_piece(OfflineDevice& device, Scheduler& scheduler, SchemeInterface& process, const RenderJob& job);

}  // namespace omb
