#include "corvane/engine/install_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "corvane/engine/delivery_queue.h"
#include "corvane/engine/output_decoder.h"

extern char** environ;

namespace corvane {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
[[maybe_unused]] constexpr int kPipeBytes = 1024 * 1024;

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
};

[[noreturn]] void ThrowLaunchError(const std::string& path, int error) {
  throw LaunchError(path + ": " + std::strerror(error));
}

// Names show in debuggers and in /proc, where tests look for threads left behind.
void NameThisThread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

}  // namespace

struct InstallProcess::OutputState {
  std::mutex mutex;
  std::condition_variable ended;
  bool open = false;
};

namespace {

void ReadUntilEnd(int fd, const std::shared_ptr<DeliveryQueue>& deliveries) {
  OutputDecoder decoder;
  std::vector<char> buffer(kChunkBytes);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    deliveries->pushText(decoder.decode({buffer.data(), static_cast<std::size_t>(n)}));
  }
  deliveries->pushText(decoder.finish());
  ::close(fd);
}

int WaitForExit(pid_t pid) {
  int waitStatus = 0;
  while (::waitpid(pid, &waitStatus, 0) < 0) {
    if (errno != EINTR) return 128 + SIGKILL;  // cannot happen for our own child
  }
  return ExitStatusFromWaitStatus(waitStatus);
}

}  // namespace

int ExitStatusFromWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 128;
}

bool InstallProcess::isOutputOpen() const {
  if (!output_) return false;
  std::lock_guard lock(output_->mutex);
  return output_->open;
}

InstallProcess::InstallProcess(std::string script, std::string shellPath)
    : script_(std::move(script)), shellPath_(std::move(shellPath)) {}

void InstallProcess::launch(std::shared_ptr<MainQueue> mainQueue,
                            std::weak_ptr<InstallReceiver> receiver) {
  if (pid_ != 0) throw LaunchError("the install process has already been launched");

  int fds[2];
#ifdef __APPLE__
  // No pipe2 there; POSIX_SPAWN_CLOEXEC_DEFAULT keeps both ends out of the child.
  if (::pipe(fds) != 0) ThrowLaunchError(shellPath_, errno);
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) ThrowLaunchError(shellPath_, errno);
#endif
  const int readEnd = fds[0];
  const int writeEnd = fds[1];
#ifdef F_SETPIPE_SZ
  // A deeper pipe lets a fast script write ahead while we read; reads stay
  // at most one chunk. Failure only costs speed.
  ::fcntl(writeEnd, F_SETPIPE_SZ, kPipeBytes);
#endif

  FileActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd, STDERR_FILENO);
  SpawnAttributes attributes;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
  // Only 0, 1 and 2 survive into the child.
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  posix_spawn_file_actions_addinherit_np(actions.get(), STDIN_FILENO);
#else
  posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
  posix_spawnattr_setflags(attributes.get(), flags);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(attributes.get(), &signals);
  // Toolkits often ignore SIGPIPE; a script's `producer | head` must not inherit that.
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(attributes.get(), &signals);

  std::string argument0 = shellPath_;
  std::string dashC = "-c";
  char* argv[] = {argument0.data(), dashC.data(), script_.data(), nullptr};

  pid_t pid = 0;
  const int error =
      ::posix_spawn(&pid, shellPath_.c_str(), actions.get(), attributes.get(), argv, environ);
  // Close our write end at once, so end of stream follows the last writer's exit.
  ::close(writeEnd);
  if (error != 0) {
    ::close(readEnd);
    ThrowLaunchError(shellPath_, error);
  }
  pid_ = pid;

  auto deliveries = DeliveryQueue::Create(std::move(mainQueue), std::move(receiver));
  auto output = std::make_shared<OutputState>();
  output->open = true;
  output_ = output;
  std::thread([readEnd, deliveries, output] {
    NameThisThread("install-output");
    ReadUntilEnd(readEnd, deliveries);
    {
      std::lock_guard lock(output->mutex);
      output->open = false;
    }
    output->ended.notify_all();
  }).detach();
  std::thread([pid, deliveries, output] {
    NameThisThread("install-exit");
    const int status = WaitForExit(pid);
    deliveries->stopHoldingBack();
    {
      std::unique_lock lock(output->mutex);
      output->ended.wait_for(lock, kOutputGracePeriod, [&] { return !output->open; });
    }
    deliveries->pushExitStatus(status);
  }).detach();
}

}  // namespace corvane
