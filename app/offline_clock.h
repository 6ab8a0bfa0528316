// The offline clock: with the offline driver the program renders buffers as fast as the work allows, in lock step.
//
// Each buffer is rendered only after the scheduler's slice for the previous one has completed and every Scheme
// process has run all the work that slice handed it, so no task is ever late however long Scheme takes, and a
// run is repeatable. The clock runs on its own thread, started by `start` and joined by `stop` (or destruction).
#pragma once

#include <atomic>
#include <memory>

#include "platform/thread.h"

namespace omb {

class OfflineDevice;
class Scheduler;

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
    bool settled() const;

    OfflineDevice& device_;
    Scheduler& scheduler_;
    std::atomic<bool> running_{false};
    std::unique_ptr<Thread> thread_;
};

}  // namespace omb
