#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "corvane/engine/install_receiver.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

// Hands output, notices and the exit status from the runner's threads to the
// main thread, in the order they were pushed. Posting one closure per read
// would flood the main queue; instead at most one drain waits on it, and each
// drain delivers items up to about sliceBytes of text and posts itself again
// while items remain, so input and painting run between drains. Text waiting
// for the main thread is bounded: past kMaxPendingBytes pushText waits, so a
// main thread that is kept busy holds a fast script back through the pipe
// instead of in memory.
class DeliveryQueue : public std::enable_shared_from_this<DeliveryQueue> {
 public:
  static constexpr std::size_t kDefaultSliceBytes = std::size_t{256} << 10;
  static constexpr std::size_t kMaxPendingBytes = std::size_t{4} << 20;

  static std::shared_ptr<DeliveryQueue> Create(std::shared_ptr<MainQueue> mainQueue,
                                               std::weak_ptr<InstallReceiver> receiver,
                                               std::size_t sliceBytes = kDefaultSliceBytes);

  // Any thread but the main one. Empty text is dropped. Out of memory, it
  // throws std::bad_alloc and leaves `text` as it was.
  void pushText(std::string&& text);
  void pushLogFileFailure(std::string reason);
  void pushExitStatus(std::int32_t status);
  // Until the main thread has taken everything queued.
  void waitUntilDrained();
  // The main thread takes nothing more: what is queued goes, and pushes that
  // wait, or come later, return at once.
  void abandon();

 private:
  DeliveryQueue(std::shared_ptr<MainQueue> mainQueue, std::weak_ptr<InstallReceiver> receiver,
                std::size_t sliceBytes);

  struct Item {
    enum class Kind { kText, kLogFileFailure, kStatus };
    Item() = default;
    Item(Kind k, std::string&& t, std::int32_t s = 0) : kind(k), text(std::move(t)), status(s) {}
    Kind kind = Kind::kText;
    std::string text;
    std::int32_t status = 0;
  };

  void push(Item::Kind kind, std::string&& text, std::int32_t status);
  void drain();

  const std::shared_ptr<MainQueue> mainQueue_;
  const std::weak_ptr<InstallReceiver> receiver_;
  const std::size_t sliceBytes_;

  std::mutex mutex_;
  std::condition_variable drained_;
  std::deque<Item> items_;
  std::size_t pendingBytes_ = 0;
  bool drainPosted_ = false;
  bool abandoned_ = false;
};

}  // namespace corvane
