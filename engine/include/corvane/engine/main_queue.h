#pragma once

#include <chrono>
#include <functional>

namespace corvane {

// The toolkit's main thread as a serial queue. Closures run one at a time, on
// the main thread, in the order they were posted.
class MainQueue {
 public:
  virtual ~MainQueue() = default;

  // Safe to call from any thread.
  virtual void post(std::function<void()> closure) = 0;

  // Main thread only. Runs the closure no earlier than `delay` from now.
  virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> closure) = 0;
};

}  // namespace corvane
