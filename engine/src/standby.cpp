#include "standby.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "corvane/engine/spawn.h"

namespace corvane {
namespace {

// Where a keeper finds its lifeline.
constexpr int kKeeperLifeline = 3;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void CloseOnce(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A keeper's trouble, in words its holder's user can act on.
LaunchError KeeperError(const LaunchError& error) {
  const int number = error.error();
  LaunchError::Cause cause = LimitMet(number);
  if (cause == LaunchError::Cause::kOther) {
    cause =
        number == ENOENT ? LaunchError::Cause::kKeeperMissing : LaunchError::Cause::kKeeperBroken;
  }
  return LaunchError(error.what(), number, cause);
}

}  // namespace

std::unique_ptr<Standby> Standby::Start(const std::string& program, const Gifts& gifts) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    const int error = errno;
    throw LaunchError(std::string("socketpair: ") + std::strerror(error), error, LimitMet(error));
  }
  for (const int end : ends) (void)::fcntl(end, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
  const int on = 1;
  (void)::setsockopt(ends[0], SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  std::vector<std::string> arguments{program, "--output=0",
                                     "--lifeline=" + std::to_string(kKeeperLifeline)};
  std::vector<int> extra{ends[1]};
  auto give = [&](const char* name, int fd) {
    if (fd < 0) return;
    arguments.push_back(std::string("--") + name + "=" +
                        std::to_string(kKeeperLifeline + static_cast<int>(extra.size())));
    extra.push_back(fd);
  };
  if (gifts.file >= 0 && gifts.layout >= 0) {
    give("log", gifts.file);
    give("layout", gifts.layout);
  }
  give("turn", gifts.turn);
  pid_t pid = 0;
  try {
    pid = Spawn({.path = program,
                 .arguments = arguments,
                 .input = gifts.output,
                 .output = StandardStream::kNull,
                 .errors = StandardStream::kNull,
                 .extra = extra,
                 .detached = true});
  } catch (const LaunchError& error) {
    CloseOnce(ends[0]);
    CloseOnce(ends[1]);
    throw KeeperError(error);
  }
  CloseOnce(ends[1]);
  std::unique_ptr<Standby> standby(new Standby(ends[0], pid));
  pollfd ready{standby->lifeline_, POLLIN, 0};
  int got = 0;
  while ((got = ::poll(&ready, 1, kReadyMilliseconds)) < 0 && errno == EINTR) {
  }
  char word = 0;
  if (got <= 0 || ::read(standby->lifeline_, &word, 1) != 1 || word != lifeline::kReady) {
    // Ended at once (or not a keeper at all): gone before it was any use.
    ::kill(pid, SIGKILL);
    standby->reap();
    throw LaunchError(program + ": ended before it stood by", 0, LaunchError::Cause::kKeeperEnded);
  }
  return standby;
}

Standby::~Standby() {
  std::lock_guard lock(mutex_);
  CloseOnce(lifeline_);
}

bool Standby::stillThere() {
  char word = 0;
  ssize_t n = 0;
  while ((n = ::recv(lifeline_, &word, 1, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n != 0 && !(n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
  reap();
  return false;
}

void Standby::tell(const std::string& words) {
  std::lock_guard lock(mutex_);
  if (lifeline_ < 0) return;
  for (std::size_t sent = 0; sent < words.size();) {
    const ssize_t n = ::send(lifeline_, words.data() + sent, words.size() - sent, kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // it has ended; its holder hears so by the lifeline
    sent += static_cast<std::size_t>(n);
  }
}

void Standby::tellScript(const ProcessIdentity& script) {
  tell(std::string(1, lifeline::kScript) + std::to_string(script.pid) + " " +
       std::to_string(script.started) + "\n");
}

void Standby::scriptEnded() { tell(std::string(1, lifeline::kScriptEnded)); }

void Standby::dismiss() {
  tell(std::string(1, lifeline::kDismissed));
  {
    std::lock_guard lock(mutex_);
    CloseOnce(lifeline_);
  }
  reap();
}

void Standby::takeOver() {
  std::lock_guard lock(mutex_);
  CloseOnce(lifeline_);
}

void Standby::reap() {
  if (pid_ <= 0) return;
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
}

}  // namespace corvane
