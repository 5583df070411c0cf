#include "process_identity.h"

#ifdef __APPLE__
#include <sys/proc.h>
#include <sys/sysctl.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#endif

namespace corvane {

std::optional<ProcessIdentity> RunningProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
#ifdef __APPLE__
  kinfo_proc info{};
  std::size_t size = sizeof info;
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size == 0 || info.kp_proc.p_pid != pid) {
    return std::nullopt;
  }
  if (info.kp_proc.p_stat == SZOMB) return std::nullopt;
  const timeval& started = info.kp_proc.p_starttime;
  return ProcessIdentity{pid, static_cast<std::uint64_t>(started.tv_sec) * 1000000U +
                                  static_cast<std::uint64_t>(started.tv_usec)};
#else
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  const std::string stat(buffer, static_cast<std::size_t>(n));
  // The name in parentheses may hold anything, ") Z " included: the fields
  // start after its last ')'. They are the state, then from the fourth field
  // on numbers, the 22nd the start time.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return std::nullopt;
  const char state = stat[close + 2];
  if (state == 'Z' || state == 'X' || state == 'x') return std::nullopt;
  const char* field = stat.c_str() + close + 2;
  for (int k = 3; k < 22 && field != nullptr; ++k) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  if (field == nullptr) return std::nullopt;
  return ProcessIdentity{pid, std::strtoull(field, nullptr, 10)};
#endif
}

bool IsRunning(const ProcessIdentity& process) {
  const auto now = RunningProcess(process.pid);
  return now && now->started == process.started;
}

}  // namespace corvane
