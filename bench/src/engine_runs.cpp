// The runner alone: a producer's output through the install process, its
// reader, decoder and hand-off, into a receiver that drops it.
#include "engine_runs.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "bench_support.h"
#include "corvane/engine/install_plan.h"
#include "corvane/engine/install_process.h"

namespace bench {
namespace {

// A main queue served by this thread's own loop, as a toolkit's would be.
class LoopQueue : public corvane::MainQueue {
 public:
  void post(std::function<void()> closure) override {
    {
      std::lock_guard lock(mutex_);
      closures_.push_back(std::move(closure));
    }
    ready_.notify_one();
  }
  void postAfter(std::chrono::milliseconds /*delay*/, std::function<void()> closure) override {
    post(std::move(closure));
  }
  void runUntil(const std::function<bool()>& done) {
    while (!done()) {
      std::function<void()> closure;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !closures_.empty(); });
        closure = std::move(closures_.front());
        closures_.pop_front();
      }
      closure();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> closures_;
};

class DiscardingReceiver : public corvane::InstallReceiver {
 public:
  void appendLog(std::optional<std::string_view> text) override {
    if (text) bytes += text->size();
  }
  void installDidFinishWithStatus(std::int32_t exitStatus) override { status = exitStatus; }

  std::size_t bytes = 0;
  std::optional<std::int32_t> status;
};

// One line of mixed ASCII and Japanese; the stream is this line repeated, so
// 64 KiB writes cut its characters.
const std::string& ProducerLine() {
  static const std::string line =
      "[engine] 依存関係をインストールしています: libcorvane-0.4.1 (x86_64) ... ok\n";
  return line;
}

}  // namespace

std::size_t ProducedBytes(std::size_t approximate) {
  return approximate / ProducerLine().size() * ProducerLine().size();
}

int RunProducer(std::size_t bytes) {
  const std::string& line = ProducerLine();
  std::string pattern;
  while (pattern.size() < (64U << 10) + line.size()) pattern += line;
  std::size_t offset = 0;
  std::size_t left = bytes;
  while (left > 0) {
    const std::size_t n = std::min<std::size_t>(left, 64U << 10);
    const ssize_t written = ::write(STDOUT_FILENO, pattern.data() + offset, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return 1;
    left -= static_cast<std::size_t>(written);
    offset = (offset + static_cast<std::size_t>(written)) % line.size();
  }
  return 0;
}

int RunEngineThroughput(std::size_t bytes) {
  const std::string script =
      "exec " + corvane::ShellQuote(ExecutablePath()) + " produce " + std::to_string(bytes);
  auto queue = std::make_shared<LoopQueue>();
  auto receiver = std::make_shared<DiscardingReceiver>();
  corvane::InstallProcess process(script);
  const std::int64_t start = NowNs();
  process.launch(queue, receiver);
  queue->runUntil([&] { return receiver->status.has_value() && receiver->bytes >= bytes; });
  const double ms = MsBetween(start, NowNs());
  std::printf("total_ms=%.1f\nbytes_ok=%d\nstatus=%d\n", ms, receiver->bytes == bytes ? 1 : 0,
              *receiver->status);
  return receiver->bytes == bytes && *receiver->status == 0 ? 0 : 1;
}

}  // namespace bench
