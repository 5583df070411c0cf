#include "dispatch_main_queue.h"

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace corvane::macos {
namespace {

using Closure = std::function<void()>;

// dispatch_*_f take a plain function and a context pointer; the context owns
// the closure until it has run.
void RunClosure(void* context) {
  std::unique_ptr<Closure> closure(static_cast<Closure*>(context));
  @autoreleasepool {
    (*closure)();
  }
}

class DispatchMainQueue final : public MainQueue {
 public:
  void post(Closure closure) override {
    dispatch_async_f(dispatch_get_main_queue(), new Closure(std::move(closure)), &RunClosure);
  }

  void postAfter(std::chrono::milliseconds delay, Closure closure) override {
    using std::chrono::nanoseconds;
    // Keep the nanosecond count inside int64_t; dispatch_time takes a signed delta.
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(nanoseconds::max());
    const auto clamped = std::clamp(delay, std::chrono::milliseconds::zero(), limit);
    const std::int64_t delta = std::chrono::duration_cast<nanoseconds>(clamped).count();
    dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, delta), dispatch_get_main_queue(),
                     new Closure(std::move(closure)), &RunClosure);
  }
};

}  // namespace

std::shared_ptr<MainQueue> MakeDispatchMainQueue() { return std::make_shared<DispatchMainQueue>(); }

}  // namespace corvane::macos
