#include "native/native_scheme_helper.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/main_queue.h"

namespace omb {

bool NativeSchemeHelper::on_main(scheme* sc, std::function<void()> work, bool wait) {
    if (main_queue::is_main_thread()) {
        work();
        return true;
    }
    if (!wait) {
        main_queue::post(std::move(work));
        return true;
    }
    struct Waiting {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
    };
    auto waiting = std::make_shared<Waiting>();
    main_queue::post([waiting, work = std::move(work)] {
        work();
        std::lock_guard lock(waiting->mutex);
        waiting->done = true;
        waiting->ran.notify_all();
    });
    std::unique_lock lock(waiting->mutex);
    while (!waiting->ran.wait_for(lock, std::chrono::milliseconds(20), [&] { return waiting->done; }))
        if (sc && sc->interrupt.load(std::memory_order_relaxed)) return false;
    return true;
}

void NativeSchemeHelper::keep_feed(std::unique_ptr<LiveVideo> feed) {
    feed_ = std::move(feed);
    published_.store(feed_.get());
}

void NativeSchemeHelper::stop_feed() {
    published_.store(nullptr);
    // A reader that loaded the pointer just before may still be taking the frame's reference: let it finish.
    while (readers_.load() != 0) std::this_thread::yield();
    feed_.reset();
}

Ref<BitmapImage> NativeSchemeHelper::newest_frame() const {
    readers_.fetch_add(1);
    LiveVideo* feed = published_.load();
    Ref<BitmapImage> frame = feed ? feed->newest_frame() : Ref<BitmapImage>{};
    readers_.fetch_sub(1);
    return frame;
}

NativeSchemeHelper& native_scheme_helper() {
    static NativeSchemeHelper helper;
    return helper;
}

}  // namespace omb
