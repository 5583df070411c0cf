#include "corvane/engine/install_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "corvane/engine/output_decoder.h"
#include "delivery_queue.h"
#include "output_pump.h"

namespace corvane {
namespace {

// How long the program, as it ends, waits for the pump to stop reading before
// it lets the keeper take over regardless: a disk that stalls must not hold
// it. The keeper then takes over once the program has gone.
constexpr auto kStopMilliseconds = std::chrono::milliseconds(2000);

// Names show in debuggers and process listings.
void NameThisThread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

void CloseOnce(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
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

// The text, decoded, and the status, to the main thread.
class DeliverySink final : public OutputSink {
 public:
  explicit DeliverySink(std::shared_ptr<DeliveryQueue> deliveries)
      : deliveries_(std::move(deliveries)) {}
  void take(std::string_view bytes) override {
    std::string text;
    untilMemoryAllows([&] { text = decoder_.decode(bytes); });
    untilMemoryAllows([&] { deliveries_->pushText(std::move(text)); });
  }
  void scriptEnded(int status) override { deliveries_->pushExitStatus(status); }
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

// What the pump's thread and the main thread share.
struct InstallProcess::Run {
  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() {
    CloseOnce(stop[0]);
    CloseOnce(stop[1]);
  }

  std::shared_ptr<DeliveryQueue> deliveries;
  // Ours, that the run is handed off.
  int stop[2] = {-1, -1};
  std::mutex mutex;
  std::condition_variable changed;
  RunState state = RunState::kStarting;
  bool kept = false;
  // Filled in before the state leaves kStarting; then the pump's.
  PumpPlan plan;

  void set(RunState to) {
    {
      std::lock_guard lock(mutex);
      state = to;
    }
    changed.notify_all();
  }
};

InstallProcess::InstallProcess(std::string script, std::string shellPath,
                               std::chrono::milliseconds grace)
    : script_(std::move(script)), shellPath_(std::move(shellPath)), grace_(grace) {}

InstallProcess::~InstallProcess() = default;

bool InstallProcess::isOutputOpen() const {
  if (!run_) return false;
  std::lock_guard lock(run_->mutex);
  return run_->state != RunState::kDone && run_->state != RunState::kHandedOff;
}

bool InstallProcess::isKept() const {
  if (!run_) return false;
  std::lock_guard lock(run_->mutex);
  return run_->kept;
}

void InstallProcess::handOff() {
  if (!run_) return;
  run_->deliveries->abandon();
  WriteWord(run_->stop[1]);
  const auto stopBy = std::chrono::steady_clock::now() + kStopMilliseconds;
  std::unique_lock lock(run_->mutex);
  // With a keeper, the pump stops and the keeper takes over as it returns;
  // without, the run is ours to its end, however long that takes.
  while (run_->state != RunState::kHandedOff && run_->state != RunState::kDone &&
         (!run_->kept || std::chrono::steady_clock::now() < stopBy)) {
    run_->changed.wait_for(lock, std::chrono::milliseconds(100));
  }
}

void InstallProcess::launch(std::shared_ptr<MainQueue> mainQueue,
                            std::weak_ptr<InstallReceiver> receiver, std::shared_ptr<LogFile> file,
                            const HandOff& handOff) {
  if (pid_ != 0 || run_) throw LaunchError("the install process has already been launched");
  KeepTerminalFromStoppingScripts();

  auto run = std::make_shared<Run>();
  run->deliveries = DeliveryQueue::Create(std::move(mainQueue), std::move(receiver));
  PumpPlan& plan = run->plan;
  int output[2] = {-1, -1};
  // Whatever fails from here on leaves nothing behind: no script, no keeper.
  auto abandon = [&] {
    if (plan.standby) plan.standby->dismiss();
    plan.standby.reset();
    CloseOnce(output[0]);
    CloseOnce(output[1]);
    CloseOnce(plan.turn);
    run->set(RunState::kDone);
  };
  try {
    MakePipe(output);
    MakePipe(run->stop);
#ifdef F_SETPIPE_SZ
    // A deeper pipe lets a fast script write ahead while we read; reads stay
    // at most one chunk. Failure only costs speed.
    ::fcntl(output[1], F_SETPIPE_SZ, 1024 * 1024);
#endif
    if (handOff.lock >= 0 && (plan.turn = ::fcntl(handOff.lock, F_DUPFD_CLOEXEC, 3)) < 0) {
      const int error = errno;
      throw LaunchError(std::string("turn: ") + std::strerror(error), error, LimitMet(error));
    }
    plan.gifts = {.output = output[0],
                  .file = file ? file->descriptor() : -1,
                  .layout = file ? file->layoutDescriptor() : -1,
                  .turn = plan.turn};
    plan.keeper = handOff.keeper;
    // The keeper first: without one, the run would not hold, and so does not
    // start.
    if (!plan.keeper.empty()) plan.standby = Standby::Start(plan.keeper, plan.gifts);
  } catch (const LaunchError&) {
    abandon();
    throw;
  }
  plan.output = output[0];
  plan.grace = grace_;
  plan.stop = run->stop[0];
  if (file) {
    plan.sinks.push_back(std::make_unique<FileSink>(
        std::move(file), [deliveries = run->deliveries](std::string reason) {
          deliveries->pushLogFileFailure(std::move(reason));
        }));
  }
  plan.sinks.push_back(std::make_unique<DeliverySink>(run->deliveries));
  plan.changed = [weak = std::weak_ptr<Run>(run)](RunState state) {
    if (auto held = weak.lock()) held->set(state);
  };
  plan.keeperStandsBy = [weak = std::weak_ptr<Run>(run)](bool kept) {
    if (auto held = weak.lock()) {
      std::lock_guard lock(held->mutex);
      held->kept = kept;
    }
  };

  // The thread before the script: once the script runs, it must be waited for.
  try {
    std::thread([run] {
      NameThisThread("install-output");
      std::unique_lock lock(run->mutex);
      run->changed.wait(lock, [&] { return run->state != RunState::kStarting; });
      if (run->state == RunState::kDone) return;
      PumpPlan pumped = std::move(run->plan);
      lock.unlock();
      PumpOutput(std::move(pumped));
    }).detach();
  } catch (const std::system_error& error) {
    abandon();
    const int number = error.code().value();
    throw LaunchError(std::string("thread: ") + error.what(), number, LimitMet(number));
  }

  pid_t pid = 0;
  try {
    pid = Spawn({.path = shellPath_,
                 .arguments = {shellPath_, "-c", script_},
                 .input = StandardStream::kOurs,
                 .output = output[1],
                 .errors = output[1],
                 .extra = {},
                 .detached = false});
  } catch (const LaunchError&) {
    abandon();
    throw;
  }
  // End of stream follows the last writer's exit: ours goes now.
  CloseOnce(output[1]);
  {
    std::lock_guard lock(run->mutex);
    // Looked at before anything may reap it.
    plan.script = ProcessExit::OfChild(pid);
    plan.scriptIdentity = RunningProcess(pid);
    if (plan.standby && plan.scriptIdentity) plan.standby->tellScript(*plan.scriptIdentity);
    run->kept = plan.standby != nullptr;
    run->state = RunState::kRunning;
  }
  run->changed.notify_all();
  pid_ = pid;
  run_ = run;
}

}  // namespace corvane
