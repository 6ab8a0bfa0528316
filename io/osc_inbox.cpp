#include "io/osc_inbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "runtime/scheme_interface.h"

namespace omb {

namespace {
SchemeInterface* process_of(scheme* sc) { return sc ? SchemeInterface::I(sc) : nullptr; }
}  // namespace

bool OscProcessInbox::ready() {
    SchemeInterface* process = process_of(receiver());
    // Without a process, calls are taken at once, to be dropped with their message.
    return !process || process->queueSize() < WINDOW;
}

void OscProcessInbox::take(OscCall call) {
    scheme* sc = receiver();
    SchemeInterface* process = process_of(sc);
    if (!process) {
        std::puts("NO OSC REGISTERED");
        std::fflush(stdout);
        return;
    }
    char* text = ::strdup(call.text.c_str());
    if (call.blobs.empty()) {
        process->createSchemeTask(text, "OSC TASK", SchemeTaskType::eval_string);
        return;
    }
    // Claimable before the call can run. Tasks run one at a time in queue order, so once the process has finished
    // as many tasks as it had finished plus those queued now (ours among them) and the one it may be running,
    // ours is done.
    Pending* pending;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back({sc, std::numeric_limits<uint64_t>::max(), std::move(call.blobs)});
        pending = &pending_.back();
    }
    process->createSchemeTask(text, "OSC TASK", SchemeTaskType::eval_string);
    const uint64_t queued = process->queueSize();
    const uint64_t done = process->tasksDone();
    std::lock_guard lock(mutex_);
    pending->done_at = done + queued + 1;
}

void OscProcessInbox::tick() {
    std::vector<scheme*> owners;
    {
        std::lock_guard lock(mutex_);
        for (const Pending& p : pending_)
            if (owners.empty() || owners.back() != p.sc) owners.push_back(p.sc);
    }
    if (owners.empty()) return;
    // What each owner has finished; an idle process (or one that is gone) has finished everything it was given.
    std::vector<uint64_t> finished;
    for (scheme* sc : owners) {
        SchemeInterface* process = process_of(sc);
        finished.push_back(!process || process->isIdle() ? std::numeric_limits<uint64_t>::max()
                                                         : process->tasksDone());
    }
    std::deque<Pending> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            size_t i = 0;
            while (owners[i] != it->sc) ++i;
            if (finished[i] >= it->done_at) {
                done.push_back(std::move(*it));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // `done` lets go of the blobs here, outside the lock.
}

Object* OscProcessInbox::claim(std::string_view address) {
    const std::string text(address);
    char* end = nullptr;
    const uintptr_t wanted = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != 0) return nullptr;
    std::lock_guard lock(mutex_);
    for (const Pending& p : pending_)
        for (const OscDataRef& blob : p.blobs)
            if (reinterpret_cast<uintptr_t>(blob.get()) == wanted) {
                blob->retain();
                return blob.get();
            }
    return nullptr;
}

size_t OscProcessInbox::pending_blobs() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Pending& p : pending_) n += p.blobs.size();
    return n;
}

}  // namespace omb
