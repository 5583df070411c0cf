#include "corvane/engine/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corvane/engine/inherited_state.h"

extern char** environ;

namespace corvane {
namespace {

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

// Copies of the extra descriptors above every number they go to, so that
// none is overwritten before it is given, and none keeps close-on-exec under
// its own number.
class MovedDescriptors {
 public:
  explicit MovedDescriptors(const std::vector<int>& extra) {
    const auto above = 3 + static_cast<int>(extra.size());
    for (const int fd : extra) {
      const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, above);
      if (moved < 0) {
        const int error = errno;
        throw LaunchError(std::string("descriptor: ") + std::strerror(error), error,
                          LimitMet(error));
      }
      fds_.push_back(moved);
    }
  }
  ~MovedDescriptors() {
    for (const int fd : fds_) ::close(fd);
  }
  MovedDescriptors(const MovedDescriptors&) = delete;
  MovedDescriptors& operator=(const MovedDescriptors&) = delete;
  const std::vector<int>& fds() const { return fds_; }

 private:
  std::vector<int> fds_;
};

void Give(posix_spawn_file_actions_t* actions, const ChildStream& ours, int theirs) {
  if (const int* fd = std::get_if<int>(&ours)) {
    posix_spawn_file_actions_adddup2(actions, *fd, theirs);
  } else if (std::get<StandardStream>(ours) == StandardStream::kNull) {
    posix_spawn_file_actions_addopen(actions, theirs, "/dev/null",
                                     theirs == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  } else {
#ifdef __APPLE__
    posix_spawn_file_actions_addinherit_np(actions, theirs);
#endif
  }
}

}  // namespace

pid_t Spawn(const SpawnRequest& request) {
  const MovedDescriptors extra(request.extra);
  FileActions actions;
  Give(actions.get(), request.input, STDIN_FILENO);
  Give(actions.get(), request.output, STDOUT_FILENO);
  Give(actions.get(), request.errors, STDERR_FILENO);
  int next = 3;
  for (const int fd : extra.fds()) posix_spawn_file_actions_adddup2(actions.get(), fd, next++);
  int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
#ifdef POSIX_SPAWN_SETSID
  // A new session is a new group already, and may not be asked for with one.
  if (request.detached) flags = (flags & ~POSIX_SPAWN_SETPGROUP) | POSIX_SPAWN_SETSID;
#endif
#ifdef __APPLE__
  // Only what the file actions name survives into the child.
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  posix_spawn_file_actions_addclosefrom_np(actions.get(), next);
#endif
  SpawnAttributes attributes;
  posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags));
  posix_spawnattr_setpgroup(attributes.get(), 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(attributes.get(), &signals);
  signals = SignalsChildrenGetAtDefault();
  posix_spawnattr_setsigdefault(attributes.get(), &signals);

  std::vector<std::string> arguments = request.arguments;
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, request.path.c_str(), actions.get(), attributes.get(),
                                  argv.data(), environ);
  if (error != 0) {
    throw LaunchError(request.path + ": " + std::strerror(error), error, LimitMet(error));
  }
  return pid;
}

LaunchError::Cause LimitMet(int error) {
  if (error == EMFILE || error == ENFILE) return LaunchError::Cause::kDescriptorLimit;
  if (error == EAGAIN) return LaunchError::Cause::kProcessLimit;
  return LaunchError::Cause::kOther;
}

namespace {

[[noreturn]] void PipeFailed() {
  const int error = errno;
  throw LaunchError(std::string("pipe: ") + std::strerror(error), error, LimitMet(error));
}

}  // namespace

void MakePipe(int fds[2]) {
#ifdef __linux__
  if (::pipe2(fds, O_CLOEXEC) != 0) PipeFailed();
#else
  // Spawn closes every descriptor it is not told to keep; this covers the
  // moment before it.
  if (::pipe(fds) != 0) PipeFailed();
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
}

}  // namespace corvane
