#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "corvane/engine/install_receiver.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

// Hands output and the exit status from the runner's threads to the main
// thread. Posting one closure per chunk floods the main queue under heavy
// output and starves painting and input; instead everything goes into one
// ordered queue, at most one drain waits on the main queue, and each drain
// delivers one slice of merged text (or the exit status) and posts itself
// again while items remain. A slice is at most sliceBytes long and holds at
// most kMaxSliceLines line ends (each a line to lay out: empty lines are
// costly), and is shorter while the receiver is slow to take it, so that no
// drain holds the main thread much longer than kDrainBudget. Text waiting for the main thread is
// bounded: past kMaxPendingBytes, pushText waits, so a script that prints
// faster than the window can show is held back by the pipe, not stored.
class DeliveryQueue : public std::enable_shared_from_this<DeliveryQueue> {
 public:
  static constexpr std::size_t kDefaultSliceBytes = std::size_t{64} * 1024;
  static constexpr std::size_t kMinSliceBytes = std::size_t{1} * 1024;
  static constexpr std::size_t kMaxSliceLines = 1024;
  static constexpr std::chrono::microseconds kDrainBudget{5000};
  static constexpr std::size_t kMaxPendingBytes = std::size_t{8} << 20;

  static std::shared_ptr<DeliveryQueue> Create(std::shared_ptr<MainQueue> mainQueue,
                                               std::weak_ptr<InstallReceiver> receiver,
                                               std::size_t sliceBytes = kDefaultSliceBytes);

  // Any thread but the main one. Empty text is dropped.
  void pushText(std::string text);
  void pushExitStatus(std::int32_t status);
  // Any thread: from now on pushText never waits.
  void stopHoldingBack();

 private:
  DeliveryQueue(std::shared_ptr<MainQueue> mainQueue, std::weak_ptr<InstallReceiver> receiver,
                std::size_t sliceBytes);

  struct Item {
    std::string text;
    std::optional<std::int32_t> status;
  };

  void push(Item item);
  void drain();
  void adaptSlice(std::size_t bytes, std::chrono::steady_clock::duration took);

  const std::shared_ptr<MainQueue> mainQueue_;
  const std::weak_ptr<InstallReceiver> receiver_;
  const std::size_t sliceBytes_;
  // Main thread only: the slice the receiver can take within the budget.
  std::size_t currentSliceBytes_;

  std::mutex mutex_;
  std::condition_variable drained_;
  std::deque<Item> items_;
  std::size_t pendingBytes_ = 0;
  bool holdingBack_ = true;
  bool drainPosted_ = false;
};

}  // namespace corvane
