#include "corvane/engine/delivery_queue.h"

#include <algorithm>
#include <utility>

namespace corvane {
namespace {

// The longest prefix of `text` with at most `bytes` bytes, cut between
// characters; empty only when there is no room at all.
std::size_t SliceOf(const std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return text.size();
  std::size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  return cut > 0 ? cut : bytes;
}

}  // namespace

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

void DeliveryQueue::pushText(std::string text) {
  if (text.empty()) return;
  {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return pendingBytes_ < kMaxPendingBytes; });
    pendingBytes_ += text.size();
  }
  push(Item{Item::Kind::kText, std::move(text)});
}

void DeliveryQueue::pushLogFileFailure(std::string reason) {
  push(Item{Item::Kind::kLogFileFailure, std::move(reason)});
}

void DeliveryQueue::pushExitStatus(std::int32_t status) {
  push(Item{Item::Kind::kStatus, {}, status});
}

void DeliveryQueue::push(Item item) {
  bool postDrain = false;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    postDrain = !std::exchange(drainPosted_, true);
  }
  if (postDrain) mainQueue_->post([self = shared_from_this()] { self->drain(); });
}

void DeliveryQueue::drain() {
  Item slice{Item::Kind::kText, {}};
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty() && items_.front().kind != Item::Kind::kText) {
      slice = std::move(items_.front());
      items_.pop_front();
    } else {
      // Adjacent texts merge into one slice; only the first may be cut.
      std::string& text = slice.text;
      while (!items_.empty() && items_.front().kind == Item::Kind::kText &&
             text.size() < sliceBytes_) {
        std::string& front = items_.front().text;
        const std::size_t length = SliceOf(front, sliceBytes_ - text.size());
        if (length == front.size()) {
          if (text.empty()) {
            text = std::move(front);
          } else {
            text += front;
          }
          items_.pop_front();
        } else {
          if (text.empty()) {
            text.assign(front, 0, length);
            front.erase(0, length);
          }
          break;
        }
      }
      pendingBytes_ -= text.size();
    }
    more = !items_.empty();
    drainPosted_ = more;
  }
  drained_.notify_all();
  if (more) mainQueue_->post([self = shared_from_this()] { self->drain(); });

  const auto receiver = receiver_.lock();
  if (!receiver) return;
  switch (slice.kind) {
    case Item::Kind::kText:
      if (!slice.text.empty()) receiver->appendLog(slice.text);
      break;
    case Item::Kind::kLogFileFailure:
      receiver->logFileDidFail(slice.text);
      break;
    case Item::Kind::kStatus:
      receiver->installDidFinishWithStatus(slice.status);
      break;
  }
}

}  // namespace corvane
