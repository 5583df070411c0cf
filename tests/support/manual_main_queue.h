#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "corvane/engine/main_queue.h"

namespace corvane::testing {

// A main queue the test pumps by hand, on its own thread: deterministic order,
// and delayed closures run only when the test says so.
class ManualMainQueue : public MainQueue {
 public:
  void post(std::function<void()> closure) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(closure));
    }
    posted_.notify_all();
  }

  void postAfter(std::chrono::milliseconds delay, std::function<void()> closure) override {
    std::lock_guard lock(mutex_);
    delays_.push_back(delay);
    delayed_.push_back(std::move(closure));
  }

  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  // Runs the oldest posted closure; false when none is waiting.
  bool runOne() {
    std::function<void()> closure;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return false;
      closure = std::move(queue_.front());
      queue_.pop_front();
    }
    closure();
    return true;
  }

  // Runs what is posted now, and what that posts in turn, until none is left.
  std::size_t runAll() {
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
  }

  // Runs closures as they arrive until `done` holds; false on timeout. `done`
  // may depend on other threads, so it is polled as well.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (runOne()) continue;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::unique_lock lock(mutex_);
      posted_.wait_for(lock, std::chrono::milliseconds(2), [this] { return !queue_.empty(); });
    }
    return true;
  }

  // Drops every closure still waiting. Queued closures may hold what holds
  // this queue; tests call this last so nothing is left in a cycle.
  void discardAll() {
    std::deque<std::function<void()>> queued;
    std::deque<std::function<void()>> delayed;
    {
      std::lock_guard lock(mutex_);
      queued.swap(queue_);
      delayed.swap(delayed_);
      delays_.clear();
    }
  }

  // Delayed closures, with their delays, in posting order.
  std::deque<std::chrono::milliseconds> delays() {
    std::lock_guard lock(mutex_);
    return delays_;
  }
  bool runDelayed() {
    std::function<void()> closure;
    {
      std::lock_guard lock(mutex_);
      if (delayed_.empty()) return false;
      closure = std::move(delayed_.front());
      delayed_.pop_front();
      delays_.pop_front();
    }
    closure();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
  std::deque<std::function<void()>> delayed_;
  std::deque<std::chrono::milliseconds> delays_;
};

}  // namespace corvane::testing
