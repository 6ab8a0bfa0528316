// Hands immutable objects (a loaded sample set, a ready synth) from a loading thread to the render thread, and
// the ones it replaced back to be freed, without locks and without the render thread ever freeing anything.
//
// Loading side (any thread but the render thread; callers serialise their loaders): publish(), reclaim().
// Render side: take() a newly published object, and retire() the one it replaced once nothing plays from it.
#pragma once

#include <atomic>
#include <memory>

namespace omb {

template <typename T>
class Handoff {
public:
    Handoff() = default;
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    // Only when the render thread no longer runs for the owner.
    ~Handoff() {
        delete pending_.load(std::memory_order_acquire);
        delete retired_.load(std::memory_order_acquire);
    }

    // ---- loading side ----
    // The next object; one published earlier and not taken yet is freed here instead.
    void publish(std::unique_ptr<T> next) {
        reclaim();
        delete pending_.exchange(next.release(), std::memory_order_acq_rel);
    }
    // Frees what the render thread retired.
    void reclaim() { delete retired_.exchange(nullptr, std::memory_order_acquire); }

    // ---- render side ----
    // The newly published object, or null.
    T* take() { return pending_.exchange(nullptr, std::memory_order_acq_rel); }
    // Whether retire() would succeed now: the previous retired object has been freed.
    bool can_retire() const { return retired_.load(std::memory_order_acquire) == nullptr; }
    // Gives back an object the render thread no longer touches. False (keep it, try later) while the previous one
    // waits to be freed.
    bool retire(T* old) {
        if (!can_retire()) return false;
        retired_.store(old, std::memory_order_release);
        return true;
    }

private:
    std::atomic<T*> pending_{nullptr};
    std::atomic<T*> retired_{nullptr};
};

}  // namespace omb
