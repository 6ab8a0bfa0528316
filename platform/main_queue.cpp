#include "platform/main_queue.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace omb::main_queue {
namespace {

// Vyukov's non-intrusive MPSC queue: producers swap themselves in at head_
// with one atomic exchange and then link the predecessor; the consumer walks
// from tail_, and the node it consumes becomes the new stub. No producer ever
// waits on the consumer or on another producer.
struct Node {
  std::atomic<Node*> next{nullptr};
  std::function<void()> fn;
};

class Queue {
public:
  Queue() : head_(new Node), tail_(head_.load()) {
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0)
      throw std::system_error(errno, std::generic_category(), "eventfd");
  }

  void push(std::function<void()> fn) {
    Node* node = new Node;
    node->fn = std::move(fn);
    Node* prev = head_.exchange(node, std::memory_order_seq_cst);
    prev->next.store(node, std::memory_order_release);
    // One eventfd write per batch: only the producer that flips the flag
    // wakes the consumer, which clears it before taking its snapshot.
    if (!wake_pending_.exchange(true, std::memory_order_seq_cst))
      signal();
  }

  void signal() {
    wake_pending_.store(true, std::memory_order_seq_cst);
    std::uint64_t one = 1;
    ssize_t r;
    do {
      r = ::write(fd_, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: the consumer is woken anyway.
  }

  std::size_t run_pending(std::size_t max_items) {
    drain_fd();
    wake_pending_.exchange(false, std::memory_order_seq_cst);
    Node* last = head_.load(std::memory_order_seq_cst);
    if (last == tail_)
      return 0;
    std::size_t count = 0;
    for (;;) {
      if (count == max_items) {
        // Work is left: the next turn of the consumer's loop is woken for it.
        signal();
        break;
      }
      Node* tail = tail_;
      Node* next = tail->next.load(std::memory_order_acquire);
      // A producer between its exchange and its link: it will signal the
      // eventfd after linking, so stopping here loses nothing.
      if (!next)
        break;
      std::function<void()> fn = std::move(next->fn);
      next->fn = nullptr;
      tail_ = next;
      delete tail;
      run_one(fn);
      ++count;
      if (next == last)
        break;
    }
    return count;
  }

  bool has_linked_work() const {
    return tail_->next.load(std::memory_order_acquire) != nullptr;
  }

  int fd() const { return fd_; }

  std::atomic<std::thread::id> main_thread{};

private:
  void drain_fd() {
    std::uint64_t value;
    while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
  }

  static void run_one(std::function<void()>& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ombrel: main-queue task threw: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "ombrel: main-queue task threw a non-standard exception\n");
    }
  }

  std::atomic<Node*> head_;
  Node* tail_; // consumer-only
  std::atomic<bool> wake_pending_{false};
  int fd_ = -1;
};

// Never destroyed: threads may still post while static destructors run.
Queue& queue() {
  static Queue* q = new Queue;
  return *q;
}

} // namespace

void set_main_thread() {
  queue().main_thread.store(std::this_thread::get_id());
}

bool is_main_thread() {
  return queue().main_thread.load() == std::this_thread::get_id();
}

void post(std::function<void()> fn) {
  if (fn)
    queue().push(std::move(fn));
}

std::size_t run_pending() {
  return queue().run_pending(SIZE_MAX);
}

std::size_t run_pending(std::size_t max_items) {
  return queue().run_pending(max_items);
}

std::size_t wait_and_run(std::chrono::milliseconds timeout) {
  Queue& q = queue();
  if (!q.has_linked_work()) {
    pollfd pfd{q.fd(), POLLIN, 0};
    auto count = timeout.count();
    int ms = count < 0 ? -1 : static_cast<int>(std::min<decltype(count)>(count, INT_MAX));
    while (::poll(&pfd, 1, ms) < 0 && errno == EINTR) {
    }
  }
  return q.run_pending(SIZE_MAX);
}

int wake_fd() {
  return queue().fd();
}

void run_sync(std::function<void()> fn) {
  if (is_main_thread()) {
    fn();
    return;
  }
  auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
  std::future<void> done = task->get_future();
  post([task] { (*task)(); });
  done.get();
}

} // namespace omb::main_queue
