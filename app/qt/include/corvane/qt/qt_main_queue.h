#pragma once

#include <QObject>
#include <mutex>

#include "corvane/engine/main_queue.h"

namespace corvane::qt {

// The main queue on Qt's event loop. Posts from other threads become queued
// calls on a context object of the main thread; once closed, posts are dropped,
// so a reader thread that outlives the window touches nothing freed.
class QtMainQueue : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> closure) override;
  void postAfter(std::chrono::milliseconds delay, std::function<void()> closure) override;

  // Main thread. Drops what is still queued and every later post.
  void close();

 private:
  std::mutex mutex_;
  QObject* context_;  // lives on the main thread; deleted by close()
};

}  // namespace corvane::qt
