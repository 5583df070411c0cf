#include "corvane/engine/delivery_queue.h"

#include <algorithm>
#include <utility>

namespace corvane {
namespace {

struct Slice {
  std::size_t length;
  std::size_t lines;
};

// The longest prefix of `text` with at most `bytes` bytes and `lines` line
// ends, cut between characters; empty only when there is no room at all.
Slice SliceOf(const std::string& text, std::size_t bytes, std::size_t lines) {
  Slice slice{std::min(text.size(), bytes), 0};
  for (std::size_t i = 0; i < slice.length; ++i) {
    if ((text[i] == '\n' || text[i] == '\r') && ++slice.lines == lines) slice.length = i + 1;
  }
  if (slice.length == text.size()) return slice;
  std::size_t cut = slice.length;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  if (cut > 0) slice.length = cut;
  return slice;
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
  {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return pendingBytes_ < kMaxPendingBytes || !holdingBack_; });
    pendingBytes_ += text.size();
  }
  push(Item{std::move(text), std::nullopt});
}

void DeliveryQueue::pushExitStatus(std::int32_t status) { push(Item{{}, status}); }

void DeliveryQueue::stopHoldingBack() {
  {
    std::lock_guard lock(mutex_);
    holdingBack_ = false;
  }
  drained_.notify_all();
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
  std::string text;
  std::optional<std::int32_t> status;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty() && items_.front().status) {
      status = items_.front().status;
      items_.pop_front();
    } else {
      std::size_t lines = kMaxSliceLines;
      while (!items_.empty() && !items_.front().status && text.size() < currentSliceBytes_ &&
             lines > 0) {
        std::string& front = items_.front().text;
        const Slice piece = SliceOf(front, currentSliceBytes_ - text.size(), lines);
        lines -= piece.lines;
        if (piece.length == front.size()) {
          if (text.empty()) {
            text = std::move(front);
          } else {
            text += front;
          }
          items_.pop_front();
          continue;
        }
        // Only the first piece of a slice is cut; a later one waits whole.
        if (text.empty()) {
          text.assign(front, 0, piece.length);
          front.erase(0, piece.length);
        }
        break;
      }
    }
    more = !items_.empty();
    drainPosted_ = more;
    pendingBytes_ -= text.size();
  }
  drained_.notify_all();
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
