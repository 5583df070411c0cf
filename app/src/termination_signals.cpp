#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "corvane/app/posix_services.h"

namespace corvane {
namespace {

int signalled[2] = {-1, -1};

extern "C" void NoteTerminationSignal(int /*signal*/) {
  const int saved = errno;
  const char word = 's';
  (void)::write(signalled[1], &word, 1);
  errno = saved;
}

}  // namespace

int WatchTerminationSignals() {
  if (::pipe(signalled) != 0) return -1;
  for (const int fd : signalled) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A burst of signals must not block the handler once the pipe is full.
  (void)::fcntl(signalled[1], F_SETFL, O_NONBLOCK);
  struct sigaction action = {};
  action.sa_handler = NoteTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // Ignored by whoever started us (nohup; a background job's SIGINT): it
    // stays ignored, as it would for any program.
    struct sigaction inherited = {};
    if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
  return signalled[0];
}

}  // namespace corvane
