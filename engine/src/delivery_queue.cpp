#include "corvane/engine/delivery_queue.h"

#include <utility>

namespace corvane {
namespace {

// The longest prefix of valid UTF-8 text that fits in `limit` bytes without
// cutting a character; never empty.
std::size_t SliceLength(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  return cut > 0 ? cut : limit;
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
  push(Item{std::move(text), std::nullopt});
}

void DeliveryQueue::pushExitStatus(std::int32_t status) { push(Item{{}, status}); }

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
  std::string text;
  std::optional<std::int32_t> status;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty() && items_.front().status) {
      status = items_.front().status;
      items_.pop_front();
    } else {
      while (!items_.empty() && !items_.front().status) {
        std::string& front = items_.front().text;
        const std::size_t room = sliceBytes_ - text.size();
        if (front.size() <= room) {
          text += front;
          items_.pop_front();
          if (text.size() == sliceBytes_) break;
          continue;
        }
        // Only the first piece of a slice may be cut; a later one waits whole.
        if (!text.empty()) break;
        const std::size_t length = SliceLength(front, room);
        text.assign(front, 0, length);
        front.erase(0, length);
        break;
      }
    }
    more = !items_.empty();
    drainPosted_ = more;
  }
  if (more) mainQueue_->post([self = shared_from_this()] { self->drain(); });

  const auto receiver = receiver_.lock();
  if (!receiver) return;
  if (status) {
    receiver->installDidFinishWithStatus(*status);
  } else if (!text.empty()) {
    receiver->appendLog(text);
  }
}

}  // namespace corvane
