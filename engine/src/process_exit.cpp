#include "process_exit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "corvane/engine/install_process.h"

#ifdef __linux__
#include <sys/syscall.h>
#endif
#ifdef __APPLE__
#include <sys/event.h>
#endif

namespace corvane {
namespace {

// A descriptor that turns readable when `pid` ends; negative when the system
// cannot give one, or the process has ended already (`gone`).
int ExitDescriptor(pid_t pid, bool& gone) {
  gone = false;
#if defined(__linux__) && defined(SYS_pidfd_open)
  const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
  }
  gone = errno == ESRCH;
  return -1;
#elif defined(__APPLE__)
  const int queue = ::kqueue();
  if (queue < 0) return -1;
  struct kevent change {};
  EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
         nullptr);
  if (::kevent(queue, &change, 1, nullptr, 0, nullptr) != 0) {
    gone = errno == ESRCH;
    ::close(queue);
    return -1;
  }
  return queue;
#else
  (void)pid;
  return -1;
#endif
}

bool Readable(int fd) {
  pollfd slot{fd, POLLIN, 0};
  return ::poll(&slot, 1, 0) > 0;
}

}  // namespace

ProcessExit ProcessExit::OfChild(pid_t pid) {
  ProcessExit exit;
  exit.pid_ = pid;
  exit.child_ = true;
  bool gone = false;
  // A child is not reaped until we do: its id stays its own until then.
  exit.fd_ = ExitDescriptor(pid, gone);
  return exit;
}

ProcessExit ProcessExit::Of(const ProcessIdentity& process) {
  ProcessExit exit;
  exit.pid_ = process.pid;
  exit.identity_ = process;
  bool gone = false;
  exit.fd_ = ExitDescriptor(process.pid, gone);
  // Looked at after the descriptor is had: should the id have gone to another
  // process before, this tells.
  exit.ended_ = gone || !IsRunning(process);
  return exit;
}

ProcessExit::ProcessExit(ProcessExit&& other) noexcept { *this = std::move(other); }

ProcessExit& ProcessExit::operator=(ProcessExit&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    pid_ = std::exchange(other.pid_, 0);
    child_ = other.child_;
    identity_ = other.identity_;
    fd_ = std::exchange(other.fd_, -1);
    ended_ = other.ended_;
    status_ = other.status_;
  }
  return *this;
}

ProcessExit::~ProcessExit() {
  if (fd_ >= 0) ::close(fd_);
}

bool ProcessExit::ended() {
  if (ended_ || pid_ <= 0) return ended_;
  if (child_) {
    int waitStatus = 0;
    pid_t waited = 0;
    while ((waited = ::waitpid(pid_, &waitStatus, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (waited == 0) return false;
    // Reaped by someone else (SIGCHLD ignored after all): no status to give.
    status_ = waited == pid_ ? ExitStatusFromWaitStatus(waitStatus) : 128 + SIGKILL;
  } else if (fd_ >= 0 ? !Readable(fd_) : IsRunning(*identity_)) {
    return false;
  }
  ended_ = true;
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  return true;
}

}  // namespace corvane
