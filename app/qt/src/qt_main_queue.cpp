#include "corvane/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QTimer>

namespace corvane::qt {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
  // The last owner may be a reader thread: leave the deletion to the main thread.
  if (context_ != nullptr) context_->deleteLater();
}

void QtMainQueue::post(std::function<void()> closure) {
  std::lock_guard lock(mutex_);
  if (context_ == nullptr) return;
  QMetaObject::invokeMethod(context_, std::move(closure), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::chrono::milliseconds delay, std::function<void()> closure) {
  std::lock_guard lock(mutex_);
  if (context_ == nullptr) return;
  QTimer::singleShot(delay, context_, std::move(closure));
}

void QtMainQueue::close() {
  QObject* context = nullptr;
  {
    std::lock_guard lock(mutex_);
    context = std::exchange(context_, nullptr);
  }
  // Deleting the context discards its pending calls and timers.
  delete context;
}

}  // namespace corvane::qt
