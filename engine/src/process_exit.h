#pragma once

#include <sys/types.h>

#include <optional>

#include "process_identity.h"

namespace corvane {

// A process's end as an event that a poll can wait for beside anything else:
// a pidfd on Linux, a kqueue with EVFILT_PROC on macOS. Where the system has
// neither (or it cannot be had), there is no descriptor, and whoever waits
// looks again every kLookMilliseconds.
class ProcessExit {
 public:
  static constexpr int kLookMilliseconds = 200;

  // Our child, not yet reaped: it is reaped once it has ended.
  static ProcessExit OfChild(pid_t pid);
  // A process not ours, told apart from a later one given its id.
  static ProcessExit Of(const ProcessIdentity& process);
  ProcessExit() = default;
  ProcessExit(ProcessExit&& other) noexcept;
  ProcessExit& operator=(ProcessExit&& other) noexcept;
  ProcessExit(const ProcessExit&) = delete;
  ProcessExit& operator=(const ProcessExit&) = delete;
  ~ProcessExit();

  // Readable once the process has ended; negative: look again in a while.
  int descriptor() const { return fd_; }
  // Whether it has ended, without waiting. Once it has, a child has been
  // reaped and status() is its exit status.
  bool ended();
  int status() const { return status_; }
  bool watching() const { return pid_ > 0; }

 private:
  pid_t pid_ = 0;
  bool child_ = false;
  std::optional<ProcessIdentity> identity_;
  int fd_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

}  // namespace corvane
