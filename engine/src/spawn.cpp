#include "corvane/engine/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>

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

void Give(posix_spawn_file_actions_t* actions, int ours, int theirs) {
  if (ours == SpawnRequest::kNull) {
    posix_spawn_file_actions_addopen(actions, theirs, "/dev/null",
                                     theirs == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  } else if (ours == SpawnRequest::kOurs) {
#ifdef __APPLE__
    posix_spawn_file_actions_addinherit_np(actions, theirs);
#endif
  } else {
    posix_spawn_file_actions_adddup2(actions, ours, theirs);
  }
}

}  // namespace

pid_t Spawn(const SpawnRequest& request) {
  // Given under its own number, a descriptor would keep its close-on-exec flag.
  int extra = request.extra;
  if (extra == 3) extra = ::fcntl(extra, F_DUPFD_CLOEXEC, 4);
  FileActions actions;
  Give(actions.get(), request.input, STDIN_FILENO);
  Give(actions.get(), request.output, STDOUT_FILENO);
  Give(actions.get(), request.errors, STDERR_FILENO);
  if (extra >= 0) posix_spawn_file_actions_adddup2(actions.get(), extra, 3);
  int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
#ifdef POSIX_SPAWN_SETSID
  // A new session is a new group already, and may not be asked for with one.
  if (request.detached) flags = (flags & ~POSIX_SPAWN_SETPGROUP) | POSIX_SPAWN_SETSID;
#endif
#ifdef __APPLE__
  // Only what the file actions name survives into the child.
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  posix_spawn_file_actions_addclosefrom_np(actions.get(), extra >= 0 ? 4 : 3);
#endif
  SpawnAttributes attributes;
  posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags));
  posix_spawnattr_setpgroup(attributes.get(), 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(attributes.get(), &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(attributes.get(), &signals);

  std::vector<std::string> arguments = request.arguments;
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, request.path.c_str(), actions.get(), attributes.get(),
                                  argv.data(), environ);
  if (extra != request.extra && extra >= 0) ::close(extra);
  if (error != 0) throw LaunchError(request.path + ": " + std::strerror(error));
  return pid;
}

}  // namespace corvane
