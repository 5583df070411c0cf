#include <sys/wait.h>

#include <string>

#include "corvane/app/posix_services.h"
#include "corvane/engine/spawn.h"

namespace corvane {

bool AppLauncher::open(const std::string& executable) {
  if (running_ != 0 && executable == executable_) {
    // Reaped here rather than by a thread of its own: still running, it is
    // not started twice; ended, it is started again.
    int status = 0;
    if (::waitpid(running_, &status, WNOHANG) == 0) return true;
  }
  running_ = 0;
  try {
    running_ = Spawn({executable, {executable}});
  } catch (const LaunchError&) {
    return false;
  }
  executable_ = executable;
  return true;
}

}  // namespace corvane
