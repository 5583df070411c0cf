#include "corvane/engine/delivery_queue.h"

#include <algorithm>
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
      sliceBytes_(sliceBytes > 0 ? sliceBytes : kDefaultSliceBytes),
      currentSliceBytes_(sliceBytes_) {}

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
      const std::size_t slice = currentSliceBytes_;
      while (!items_.empty() && !items_.front().status) {
        std::string& front = items_.front().text;
        const std::size_t room = slice - text.size();
        if (front.size() <= room) {
          if (text.empty()) {
            text = std::move(front);
          } else {
            text += front;
          }
          items_.pop_front();
          if (text.size() == slice) break;
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
    const auto start = std::chrono::steady_clock::now();
    receiver->appendLog(text);
    adaptSlice(text.size(), std::chrono::steady_clock::now() - start);
  }
}

void DeliveryQueue::adaptSlice(std::size_t bytes, std::chrono::steady_clock::duration took) {
  // Only a full slice says how fast the receiver is; a short one may just be
  // all there was.
  if (bytes < currentSliceBytes_ / 2) return;
  const auto micros = std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  const auto fitting = static_cast<std::size_t>(static_cast<double>(bytes) *
                                                static_cast<double>(kDrainBudget.count()) /
                                                static_cast<double>(micros));
  // Shrink at once, grow by doubling at most: one slow pass (a preempted main
  // thread) must not leave the slices tiny, nor one fast pass make them huge.
  const std::size_t floor = std::min(kMinSliceBytes, sliceBytes_);
  currentSliceBytes_ = std::clamp(std::min(fitting, currentSliceBytes_ * 2), floor, sliceBytes_);
}

}  // namespace corvane
