#include "corvane/engine/install_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "corvane/engine/delivery_queue.h"
#include "corvane/engine/hand_off.h"
#include "corvane/engine/output_decoder.h"

namespace corvane {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
// After a read of a few lines the reader waits this long before the next, so
// that a script printing line by line is read a frame's worth at a time, not
// a read and a delivery per line.
constexpr int kBatchMilliseconds = 16;

// Names show in debuggers and process listings.
void NameThisThread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

void ClosePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
}

void WriteWord(int fd) {
  const char word = 'x';
  while (::write(fd, &word, 1) < 0 && errno == EINTR) {
  }
}

// A script in a process group of its own that reads a terminal would be
// stopped for it; ignored, the read fails as it does with no input at all.
void KeepTerminalFromStoppingScripts() {
  for (const int signal : {SIGTTIN, SIGTTOU}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      ::sigaction(signal, &ignore, nullptr);
    }
  }
}

// Where the pump puts each read of the output, in order.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void take(std::string_view bytes) = 0;
  // At the end of the output.
  virtual void finish() {}

 protected:
  OutputSink() = default;
  OutputSink(const OutputSink&) = default;
  OutputSink& operator=(const OutputSink&) = default;
};

// The bytes as they came, on disk. First, so that a read is in the file
// before anything else can go wrong with it. At the end, a keeper puts the
// file in order, as it is dismissed: should we be gone before that is done,
// it still gets done.
class FileSink final : public OutputSink {
 public:
  FileSink(std::shared_ptr<LogFile> file, std::shared_ptr<DeliveryQueue> deliveries,
           bool keeperFinishes)
      : file_(std::move(file)),
        deliveries_(std::move(deliveries)),
        keeperFinishes_(keeperFinishes) {}
  void take(std::string_view bytes) override {
    if (auto failure = file_->write(bytes)) deliveries_->pushLogFileFailure(*failure);
  }
  void finish() override {
    if (auto failure = file_->finish()) deliveries_->pushLogFileFailure(*failure);
  }

 private:
  std::shared_ptr<LogFile> file_;
  std::shared_ptr<DeliveryQueue> deliveries_;
  bool keeperFinishes_;
};

// The text, decoded, to the main thread.
class DeliverySink final : public OutputSink {
 public:
  explicit DeliverySink(std::shared_ptr<DeliveryQueue> deliveries)
      : deliveries_(std::move(deliveries)) {}
  void take(std::string_view bytes) override {
    std::string text;
    untilMemoryAllows([&] { text = decoder_.decode(bytes); });
    untilMemoryAllows([&] { deliveries_->pushText(std::move(text)); });
  }
  void finish() override { deliveries_->pushText(decoder_.finish()); }

 private:
  // Out of memory, waits for the window to take what is queued (the log
  // makes room by dropping older output) and tries again: the script is paced
  // rather than its output lost or the program ended.
  template <typename Step>
  void untilMemoryAllows(Step step) {
    for (;;) {
      try {
        step();
        return;
      } catch (const std::bad_alloc&) {
        deliveries_->waitUntilDrained();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  std::shared_ptr<DeliveryQueue> deliveries_;
  OutputDecoder decoder_;
};

}  // namespace

int ExitStatusFromWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 128;
}

// What the exit watcher and the output pump share. The pump alone pushes to
// the delivery queue, the status included, so that the order of output and
// status is decided in one place.
struct InstallProcess::Run {
  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() {
    ClosePipe(output);
    ClosePipe(exited);
    ClosePipe(stop);
  }

  enum class Stage { kStarting, kRunning, kAbandoned };
  // Where the pump is, as the main thread sees it.
  enum class Pump {
    kReading,
    kStopped,   // handed off: it reads no more
    kDrained,   // end of the output; the status may still be to come
    kFinished,  // everything queued for delivery
  };

  std::shared_ptr<DeliveryQueue> deliveries;
  std::shared_ptr<LogFile> file;
  std::shared_ptr<Keeper> keeper;
  std::chrono::milliseconds grace{};
  int output[2] = {-1, -1};
  // The exit watcher's word to the pump that the status is there.
  int exited[2] = {-1, -1};
  // Ours, that the run is handed off.
  int stop[2] = {-1, -1};
  std::mutex mutex;
  std::condition_variable changed;
  Stage stage = Stage::kStarting;
  Pump pump = Pump::kReading;
  pid_t pid = 0;
  int status = 0;

  // Both threads wait here until the child runs, or never will.
  bool waitUntilStarted() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return stage != Stage::kStarting; });
    return stage == Stage::kRunning;
  }

  void setPump(Pump state) {
    {
      std::lock_guard lock(mutex);
      pump = state;
    }
    changed.notify_all();
  }
};

namespace {

using Run = InstallProcess::Run;

// Reaps the script and says so: to the pump, and to the keeper, which no
// longer needs to hold the turn for it.
void WatchExit(Run& run) {
  int waitStatus = 0;
  pid_t waited = 0;
  while ((waited = ::waitpid(run.pid, &waitStatus, 0)) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(run.mutex);
    run.status = waited == run.pid ? ExitStatusFromWaitStatus(waitStatus) : 128 + SIGKILL;
  }
  if (run.keeper) run.keeper->scriptEnded();
  WriteWord(run.exited[1]);
}

// Reads the output into its sinks, and places the exit status among it: what
// the script wrote before it exited comes first, and so does what a
// background process writes within the grace after it.
class OutputPump {
 public:
  explicit OutputPump(Run& run) : run_(run), buffer_(kChunkBytes) {
    if (run.file) {
      sinks_.push_back(std::make_unique<FileSink>(run.file, run.deliveries, run.keeper != nullptr));
    }
    sinks_.push_back(std::make_unique<DeliverySink>(run.deliveries));
  }

  void pump() {
    Phase phase = Phase::kScriptRuns;
    std::chrono::steady_clock::time_point graceEnds;
    for (;;) {
      pollfd slots[kSlots] = {};
      slots[kOutput] = {run_.output[0], POLLIN, 0};
      slots[kStop] = {run_.stop[0], POLLIN, 0};
      slots[kExited] = {run_.exited[0], POLLIN, 0};
      // The exit word is read once; the slot goes with it.
      const nfds_t watched = phase == Phase::kScriptRuns ? kSlots : kExited;
      int timeout = -1;
      if (phase == Phase::kGrace) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            graceEnds - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
      const int ready = ::poll(slots, watched, timeout);
      if (ready < 0) continue;
      if (slots[kStop].revents != 0) {
        run_.setPump(Run::Pump::kStopped);
        return;
      }
      // Checked on every pass: one that keeps writing must not hold it back.
      if (phase == Phase::kGrace && (ready == 0 || std::chrono::steady_clock::now() >= graceEnds)) {
        giveStatus();
        phase = Phase::kStatusGiven;
      } else if (phase == Phase::kScriptRuns && (slots[kExited].revents & POLLIN) != 0) {
        char word = 0;
        (void)::read(run_.exited[0], &word, 1);
        phase = Phase::kGrace;
        // All the script wrote before it exited is read now, ahead of its
        // status, however slowly the main thread takes it.
        if (!readWhatIsThere()) break;
        graceEnds = std::chrono::steady_clock::now() + run_.grace;
      } else if (slots[kOutput].revents != 0) {
        const std::size_t got = readOnce(kChunkBytes);
        if (got == 0) break;
        if (phase == Phase::kScriptRuns && got < kChunkBytes / 16) {
          pollfd wake{run_.exited[0], POLLIN, 0};
          ::poll(&wake, 1, kBatchMilliseconds);
        }
      }
    }
    endOfOutput(phase);
  }

 private:
  enum class Phase {
    kScriptRuns,
    // The script has exited; what follows soon still comes before the status.
    kGrace,
    // A background process still holds the pipe; the rest comes after.
    kStatusGiven,
  };
  enum Slot : nfds_t { kOutput, kStop, kExited, kSlots };

  // Reads at most `limit` bytes once into the sinks; 0 at end of stream (or
  // on a read error, which ends it too).
  std::size_t readOnce(std::size_t limit) {
    ssize_t n = 0;
    while ((n = ::read(run_.output[0], buffer_.data(), std::min(limit, buffer_.size()))) < 0 &&
           errno == EINTR) {
    }
    if (n <= 0) return 0;
    const std::string_view bytes(buffer_.data(), static_cast<std::size_t>(n));
    for (const auto& sink : sinks_) sink->take(bytes);
    return bytes.size();
  }

  // False at end of stream.
  bool readWhatIsThere() {
    int inPipe = 0;
    if (::ioctl(run_.output[0], FIONREAD, &inPipe) != 0) inPipe = 0;
    for (auto left = static_cast<std::size_t>(std::max(inPipe, 0)); left > 0;) {
      const std::size_t got = readOnce(left);
      if (got == 0) return false;
      left -= std::min(left, got);
    }
    return true;
  }

  void giveStatus() {
    int status = 0;
    {
      std::lock_guard lock(run_.mutex);
      status = run_.status;
    }
    run_.deliveries->pushExitStatus(status);
  }

  void endOfOutput(Phase phase) {
    // From here on the keeper may take over at once: nothing of ours reads
    // the output or writes the file any more.
    run_.setPump(Run::Pump::kDrained);
    for (const auto& sink : sinks_) sink->finish();
    if (phase == Phase::kScriptRuns) {
      char word = 0;
      while (::read(run_.exited[0], &word, 1) < 0 && errno == EINTR) {
      }
    }
    if (phase != Phase::kStatusGiven) giveStatus();
    if (run_.keeper) run_.keeper->dismiss();
    run_.setPump(Run::Pump::kFinished);
  }

  Run& run_;
  std::vector<char> buffer_;
  std::vector<std::unique_ptr<OutputSink>> sinks_;
};

}  // namespace

InstallProcess::InstallProcess(std::string script, std::string shellPath,
                               std::chrono::milliseconds grace)
    : script_(std::move(script)), shellPath_(std::move(shellPath)), grace_(grace) {}

InstallProcess::~InstallProcess() = default;

bool InstallProcess::isOutputOpen() const {
  if (!run_) return false;
  std::lock_guard lock(run_->mutex);
  return run_->pump == Run::Pump::kReading || run_->pump == Run::Pump::kDrained;
}

void InstallProcess::handOff() {
  if (!run_) return;
  run_->deliveries->abandon();
  WriteWord(run_->stop[1]);
  std::unique_lock guard(run_->mutex);
  // A pump held up by a stalled disk is let be: the keeper takes over once
  // the program has ended, whatever it was doing.
  const bool idle = run_->changed.wait_for(guard, std::chrono::seconds(2),
                                           [&] { return run_->pump != Run::Pump::kReading; });
  guard.unlock();
  if (idle && run_->keeper) run_->keeper->takeOver();
}

void InstallProcess::launch(std::shared_ptr<MainQueue> mainQueue,
                            std::weak_ptr<InstallReceiver> receiver, std::shared_ptr<LogFile> file,
                            const HandOff& handOff) {
  if (pid_ != 0 || run_) throw LaunchError("the install process has already been launched");
  KeepTerminalFromStoppingScripts();

  auto run = std::make_shared<Run>();
  run->deliveries = DeliveryQueue::Create(std::move(mainQueue), std::move(receiver));
  run->file = std::move(file);
  run->grace = grace_;
  MakePipe(run->output);
  MakePipe(run->exited);
  MakePipe(run->stop);
#ifdef F_SETPIPE_SZ
  // A deeper pipe lets a fast script write ahead while we read; reads stay
  // at most one chunk. Failure only costs speed.
  ::fcntl(run->output[1], F_SETPIPE_SZ, 1024 * 1024);
#endif
  auto abandon = [&] {
    {
      std::lock_guard lock(run->mutex);
      run->stage = Run::Stage::kAbandoned;
      run->pump = Run::Pump::kFinished;
    }
    run->changed.notify_all();
  };

  // The threads come first: once the script runs, it must be waited for.
  try {
    std::thread([run] {
      NameThisThread("install-exit");
      if (run->waitUntilStarted()) WatchExit(*run);
    }).detach();
    std::thread([run] {
      NameThisThread("install-output");
      if (run->waitUntilStarted()) OutputPump(*run).pump();
    }).detach();
  } catch (const std::system_error& error) {
    abandon();
    throw LaunchError(std::string("thread: ") + error.what());
  }

  pid_t pid = 0;
  try {
    pid = Spawn({.path = shellPath_,
                 .arguments = {shellPath_, "-c", script_},
                 .input = StandardStream::kOurs,
                 .output = run->output[1],
                 .errors = run->output[1],
                 .extra = {},
                 .detached = false});
  } catch (const LaunchError&) {
    abandon();
    throw;
  }
  // End of stream follows the last writer's exit: ours goes now.
  ::close(std::exchange(run->output[1], -1));
  pid_ = pid;
  run_ = run;
  if (!handOff.keeper.empty()) {
    // Looked at before the exit watcher may reap it.
    run->keeper = Keeper::Start(handOff.keeper, run->output[0], handOff.lock, run->file.get(),
                                RunningProcess(pid));
  }
  {
    std::lock_guard lock(run->mutex);
    run->pid = pid;
    run->stage = Run::Stage::kRunning;
  }
  run->changed.notify_all();
}

}  // namespace corvane
