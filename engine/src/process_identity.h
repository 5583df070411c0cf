#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace corvane {

// A process told apart from any later one given the same id: by its id and
// the time it started, as the system counts it.
struct ProcessIdentity {
  pid_t pid = 0;
  std::uint64_t started = 0;
};

// The process with that id, while it runs; none once it has ended, a zombie
// included (whoever adopts it may never reap it).
std::optional<ProcessIdentity> RunningProcess(pid_t pid);

// Whether that very process still runs.
bool IsRunning(const ProcessIdentity& process);

}  // namespace corvane
