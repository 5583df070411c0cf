#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "corvane/engine/main_queue.h"

namespace corvane::testing {

// A main queue the test pumps by hand: deterministic order, and a delayed
// closure runs only when the test says so.
class ManualMainQueue : public MainQueue {
 public:
  void post(std::function<void()> closure) override {
    std::lock_guard lock(mutex_);
    if (!closed_) queue_.push_back(std::move(closure));
    posted_.notify_all();
  }
  void postAfter(std::chrono::milliseconds delay, std::function<void()> closure) override {
    std::lock_guard lock(mutex_);
    delays.push_back(delay);
    if (!closed_) delayed_.push_back(std::move(closure));
  }

  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }
  // Runs the oldest closure of its kind; false when none is waiting.
  bool runOne() { return runFront(queue_); }
  bool runDelayed() { return runFront(delayed_); }
  // Runs closures as they come until `done`, which may depend on other
  // threads, holds; false on timeout.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      // Past the deadline even while work keeps coming.
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (runOne()) continue;
      std::unique_lock lock(mutex_);
      posted_.wait_for(lock, std::chrono::milliseconds(2), [this] { return !queue_.empty(); });
    }
    return true;
  }
  // As the toolkit's queue once its event loop has ended: drops what is queued
  // and every later post. Closures may hold what holds this queue.
  void close() {
    std::deque<std::function<void()>> queued, delayed;
    std::lock_guard lock(mutex_);
    closed_ = true;
    queued.swap(queue_);
    delayed.swap(delayed_);
  }

  std::vector<std::chrono::milliseconds> delays;  // of every postAfter

 private:
  bool runFront(std::deque<std::function<void()>>& from) {
    std::unique_lock lock(mutex_);
    if (from.empty()) return false;
    auto closure = std::move(from.front());
    from.pop_front();
    lock.unlock();
    closure();
    return true;
  }

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_, delayed_;
  bool closed_ = false;
};

}  // namespace corvane::testing
