#include "delivery_queue.h"

#include <utility>

namespace corvane {

std::shared_ptr<DeliveryQueue> DeliveryQueue::Create(std::shared_ptr<MainQueue> mainQueue,
                                                     std::weak_ptr<InstallReceiver> receiver,
                                                     std::size_t sliceBytes) {
  return std::shared_ptr<DeliveryQueue>(
      new DeliveryQueue(std::move(mainQueue), std::move(receiver), sliceBytes));
}

DeliveryQueue::DeliveryQueue(std::shared_ptr<MainQueue> mainQueue,
                             std::weak_ptr<InstallReceiver> receiver, std::size_t sliceBytes)
    : mainQueue_(std::move(mainQueue)),
      receiver_(std::move(receiver)),
      sliceBytes_(sliceBytes > 0 ? sliceBytes : kDefaultSliceBytes) {}

void DeliveryQueue::pushText(std::string&& text) {
  if (text.empty()) return;
  push(Item::Kind::kText, std::move(text), 0);
}

void DeliveryQueue::pushLogFileFailure(std::string reason) {
  push(Item::Kind::kLogFileFailure, std::move(reason), 0);
}

void DeliveryQueue::pushExitStatus(std::int32_t status) { push(Item::Kind::kStatus, {}, status); }

void DeliveryQueue::push(Item::Kind kind, std::string&& text, std::int32_t status) {
  bool postDrain = false;
  {
    std::unique_lock lock(mutex_);
    const std::size_t size = kind == Item::Kind::kText ? text.size() : 0;
    if (size > 0) {
      drained_.wait(lock, [this] { return abandoned_ || pendingBytes_ < kMaxPendingBytes; });
    }
    if (abandoned_) return;
    // Made in place: if there is no memory for it, the text stays the caller's.
    items_.emplace_back(kind, std::move(text), status);
    pendingBytes_ += size;
    postDrain = !std::exchange(drainPosted_, true);
  }
  if (postDrain) mainQueue_->post([self = shared_from_this()] { self->drain(); });
}

void DeliveryQueue::waitUntilDrained() {
  std::unique_lock lock(mutex_);
  drained_.wait(lock, [this] { return items_.empty(); });
}

void DeliveryQueue::abandon() {
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    items_.clear();
    pendingBytes_ = 0;
  }
  drained_.notify_all();
}

void DeliveryQueue::drain() {
  const auto receiver = receiver_.lock();
  std::size_t delivered = 0;
  bool more = false;
  for (;;) {
    Item item;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty() || delivered >= sliceBytes_) {
        more = !items_.empty();
        drainPosted_ = more;
        break;
      }
      item = std::move(items_.front());
      items_.pop_front();
      if (item.kind == Item::Kind::kText) pendingBytes_ -= item.text.size();
    }
    drained_.notify_all();
    if (!receiver) continue;
    switch (item.kind) {
      case Item::Kind::kText:
        delivered += item.text.size();
        receiver->appendLog(item.text);
        break;
      case Item::Kind::kLogFileFailure:
        receiver->logFileDidFail(item.text);
        break;
      case Item::Kind::kStatus:
        receiver->installDidFinishWithStatus(item.status);
        break;
    }
  }
  drained_.notify_all();
  if (more) mainQueue_->post([self = shared_from_this()] { self->drain(); });
}

}  // namespace corvane
