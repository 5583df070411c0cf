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
#include "corvane/engine/output_decoder.h"

namespace corvane {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
// After a short read the reader waits this long before the next, so that a
// script printing line by line is read a batch of lines at a time, not a
// read and a delivery per line.
constexpr int kBatchMilliseconds = 8;

// Names show in debuggers and process listings.
void NameThisThread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

// Whether process $1 still runs.
constexpr const char* kScriptRuns =
#ifdef __linux__
    // A zombie has ended: whoever adopts the script may never reap it (a
    // container's init, say).
    "runs() { /bin/grep -qv '^[0-9]* (.*) Z ' \"/proc/$1/stat\" 2>/dev/null; }\n";
#else
    "runs() { kill -0 \"$1\" 2>/dev/null; }\n";
#endif

// Run by /bin/sh once we are gone: reads the rest of the output, so that the
// script's writes never fail, appends up to $1 bytes of it to the log file
// (standard output), and holds the home's lock (descriptor 3) while the
// script, process $2 when given, runs.
constexpr const char* kDrainScript =
    "while [ -n \"$2\" ] && runs \"$2\"; do /bin/sleep 1; done >/dev/null &\n"
    "exec 3>&-\n"
    "/usr/bin/head -c \"$1\"\n"
    "exec /bin/cat >/dev/null\n";

void ClosePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
}

void MakePipe(int fds[2]) {
#ifdef __linux__
  if (::pipe2(fds, O_CLOEXEC) != 0) throw LaunchError(std::string("pipe: ") + std::strerror(errno));
#else
  // Spawn closes every descriptor it is not told to keep; this covers the
  // moment before it.
  if (::pipe(fds) != 0) throw LaunchError(std::string("pipe: ") + std::strerror(errno));
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
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

}  // namespace

int ExitStatusFromWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 128;
}

// What the reader and the exit waiter share. The reader alone reads the
// output and pushes everything, the status included, so that the order of
// output and status is decided in one place.
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

  std::shared_ptr<DeliveryQueue> deliveries;
  std::shared_ptr<LogFile> file;
  int output[2] = {-1, -1};
  // The exit waiter's word to the reader that the status is there.
  int exited[2] = {-1, -1};
  // Ours, that the output goes to a helper.
  int stop[2] = {-1, -1};
  std::mutex mutex;
  std::condition_variable changed;
  Stage stage = Stage::kStarting;
  pid_t pid = 0;
  int status = 0;
  bool reaped = false;
  bool open = true;
  bool endOfStream = false;
  bool stopped = false;

  // Both threads wait here until the child runs, or never will.
  bool waitUntilStarted() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return stage != Stage::kStarting; });
    return stage == Stage::kRunning;
  }

  void waitForExit() {
    int waitStatus = 0;
    pid_t waited = 0;
    while ((waited = ::waitpid(pid, &waitStatus, 0)) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard lock(mutex);
      status = waited == pid ? ExitStatusFromWaitStatus(waitStatus) : 128 + SIGKILL;
      reaped = true;
    }
    const char word = 'x';
    while (::write(exited[1], &word, 1) < 0 && errno == EINTR) {
    }
  }

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
        deliveries->waitUntilDrained();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  void deliver(const char* bytes, std::size_t length, OutputDecoder& decoder) {
    if (file) {
      if (auto failure = file->write({bytes, length})) deliveries->pushLogFileFailure(*failure);
    }
    std::string text;
    untilMemoryAllows([&] { text = decoder.decode({bytes, length}); });
    untilMemoryAllows([&] { deliveries->pushText(std::move(text)); });
  }

  // Reads at most `limit` bytes once and delivers them; 0 at end of stream
  // (or on a read error, which ends it too).
  std::size_t readOnce(std::vector<char>& buffer, OutputDecoder& decoder, std::size_t limit) {
    ssize_t n = 0;
    while ((n = ::read(output[0], buffer.data(), std::min(limit, buffer.size()))) < 0 &&
           errno == EINTR) {
    }
    if (n <= 0) return 0;
    deliver(buffer.data(), static_cast<std::size_t>(n), decoder);
    return static_cast<std::size_t>(n);
  }

  void pushStatus() {
    int code = 0;
    {
      std::lock_guard lock(mutex);
      code = status;
    }
    deliveries->pushExitStatus(code);
  }

  void readUntilEnd() {
    OutputDecoder decoder;
    std::vector<char> buffer(kChunkBytes);
    bool hasExited = false;
    bool statusPushed = false;
    bool ended = false;
    std::chrono::steady_clock::time_point graceEnds;
    while (!ended) {
      pollfd fds[3] = {{output[0], POLLIN, 0}, {stop[0], POLLIN, 0}, {exited[0], POLLIN, 0}};
      int timeout = -1;
      if (hasExited && !statusPushed) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            graceEnds - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
      const int ready = ::poll(fds, hasExited ? 2 : 3, timeout);
      if (ready < 0 && errno == EINTR) continue;
      if (fds[1].revents != 0) {
        {
          std::lock_guard lock(mutex);
          stopped = true;
          open = false;
        }
        changed.notify_all();
        return;
      }
      // Checked on every pass: one that keeps writing must not hold it back.
      if (ready == 0 || (timeout >= 0 && std::chrono::steady_clock::now() >= graceEnds)) {
        // A background process holds the pipe: the status goes ahead.
        pushStatus();
        statusPushed = true;
      } else if (!hasExited && (fds[2].revents & POLLIN) != 0) {
        char word = 0;
        (void)::read(exited[0], &word, 1);
        hasExited = true;
        // All the script wrote before it exited is read now, ahead of its
        // status, however slowly the main thread takes it.
        int inPipe = 0;
        if (::ioctl(output[0], FIONREAD, &inPipe) != 0) inPipe = 0;
        for (auto left = static_cast<std::size_t>(std::max(inPipe, 0)); left > 0 && !ended;) {
          const std::size_t got = readOnce(buffer, decoder, left);
          ended = got == 0;
          left -= std::min(left, got);
        }
        graceEnds = std::chrono::steady_clock::now() + kOutputGracePeriod;
      } else if (fds[0].revents != 0) {
        const std::size_t got = readOnce(buffer, decoder, buffer.size());
        ended = got == 0;
        if (!ended && !hasExited && got < buffer.size()) {
          pollfd wake{exited[0], POLLIN, 0};
          ::poll(&wake, 1, kBatchMilliseconds);
        }
      }
    }
    {
      std::lock_guard lock(mutex);
      endOfStream = true;
    }
    changed.notify_all();
    deliveries->pushText(decoder.finish());
    if (!statusPushed) {
      if (!hasExited) {
        char word = 0;
        while (::read(exited[0], &word, 1) < 0 && errno == EINTR) {
        }
      }
      pushStatus();
    }
    {
      std::lock_guard lock(mutex);
      open = false;
    }
    changed.notify_all();
  }
};

InstallProcess::InstallProcess(std::string script, std::string shellPath)
    : script_(std::move(script)), shellPath_(std::move(shellPath)) {}

InstallProcess::~InstallProcess() = default;

bool InstallProcess::isOutputOpen() const {
  if (!run_) return false;
  std::lock_guard lock(run_->mutex);
  return run_->open;
}

void InstallProcess::handOff(int lock) {
  if (!run_) return;
  run_->deliveries->abandon();
  const char word = 's';
  while (::write(run_->stop[1], &word, 1) < 0 && errno == EINTR) {
  }
  std::unique_lock guard(run_->mutex);
  // A reader held up by a stalled disk is let be: the program ends either way.
  const bool handed = run_->changed.wait_for(guard, std::chrono::seconds(2), [&] {
    return run_->stopped || run_->endOfStream;
  }) && run_->stopped;
  const bool scriptRuns = !run_->reaped;
  guard.unlock();
  if (!handed) return;
  std::uint64_t room = 0;
  const int file = run_->file ? run_->file->openForAppending(room) : -1;
  try {
    Spawn({.path = "/bin/sh",
           .arguments = {"/bin/sh", "-c", std::string(kScriptRuns) + kDrainScript, "corvane-drain",
                         std::to_string(room), scriptRuns && lock >= 0 ? std::to_string(pid_) : ""},
           .input = run_->output[0],
           .output = file >= 0 ? file : SpawnRequest::kNull,
           .extra = scriptRuns ? lock : -1});
  } catch (const LaunchError&) {
    // As if there were no helper: the script's next write fails.
  }
  if (file >= 0) ::close(file);
}

void InstallProcess::launch(std::shared_ptr<MainQueue> mainQueue,
                            std::weak_ptr<InstallReceiver> receiver,
                            std::shared_ptr<LogFile> file) {
  if (pid_ != 0 || run_) throw LaunchError("the install process has already been launched");
  KeepTerminalFromStoppingScripts();

  auto run = std::make_shared<Run>();
  run->deliveries = DeliveryQueue::Create(std::move(mainQueue), std::move(receiver));
  run->file = std::move(file);
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
      run->open = false;
    }
    run->changed.notify_all();
  };

  // The threads come first: once the script runs, it must be waited for.
  try {
    std::thread([run] {
      NameThisThread("install-exit");
      if (run->waitUntilStarted()) run->waitForExit();
    }).detach();
    std::thread([run] {
      NameThisThread("install-output");
      if (run->waitUntilStarted()) run->readUntilEnd();
    }).detach();
  } catch (const std::system_error& error) {
    abandon();
    throw LaunchError(std::string("thread: ") + error.what());
  }

  pid_t pid = 0;
  try {
    pid = Spawn({.path = shellPath_,
                 .arguments = {shellPath_, "-c", script_},
                 .input = SpawnRequest::kOurs,
                 .output = run->output[1],
                 .errors = run->output[1],
                 .detached = false});
  } catch (const LaunchError&) {
    abandon();
    throw;
  }
  // End of stream follows the last writer's exit: ours goes now.
  ::close(std::exchange(run->output[1], -1));
  pid_ = pid;
  run_ = run;
  {
    std::lock_guard lock(run->mutex);
    run->pid = pid;
    run->stage = Run::Stage::kRunning;
  }
  run->changed.notify_all();
}

}  // namespace corvane
