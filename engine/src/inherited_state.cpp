#include "corvane/engine/inherited_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace corvane {
namespace {

std::atomic<bool> fileSizeSignalWasDefault = false;

}  // namespace

void SettleInheritedState() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one: the lower ones
    // are open by now.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &action, nullptr);
  struct sigaction before = {};
  ::sigaction(SIGXFSZ, &action, &before);
  fileSizeSignalWasDefault = before.sa_handler == SIG_DFL;
}

sigset_t SignalsChildrenGetAtDefault() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  if (fileSizeSignalWasDefault) sigaddset(&signals, SIGXFSZ);
  return signals;
}

}  // namespace corvane
