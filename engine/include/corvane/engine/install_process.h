#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "corvane/engine/install_receiver.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

inline constexpr const char* kDefaultShellPath = "/bin/bash";

// The install process could not be started; what() is the reason text.
class LaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One run of the install script: `<shell> -c <script>`, standard output and
// standard error merged into one pipe, standard input, environment and working
// directory inherited. The child gets no other descriptor of ours, is never
// signalled and never waited for with a time limit.
class InstallProcess {
 public:
  explicit InstallProcess(std::string script, std::string shellPath = kDefaultShellPath);

  InstallProcess(const InstallProcess&) = delete;
  InstallProcess& operator=(const InstallProcess&) = delete;

  // Starts the child and returns at once. Output, then the exit status, reach
  // the receiver on the main queue; nothing does if the receiver is gone.
  // Throws LaunchError when the child cannot be started; nothing is delivered
  // then. Launches at most once.
  void launch(std::shared_ptr<MainQueue> mainQueue, std::weak_ptr<InstallReceiver> receiver);

  const std::string& shellPath() const { return shellPath_; }
  // 0 until launched.
  pid_t processIdentifier() const { return pid_; }
  // False once every writer has closed the output and the last of it has been
  // queued for delivery.
  bool isOutputOpen() const;

 private:
  std::string script_;
  std::string shellPath_;
  pid_t pid_ = 0;
  struct OutputState;
  std::shared_ptr<OutputState> output_;
};

// How long the exit status waits for the output still in the pipe. Without it
// the last lines a script printed could land below the outcome; a background
// process that keeps the pipe open delays the outcome by no more than this.
inline constexpr std::chrono::milliseconds kOutputGracePeriod{200};

// Exit status as shells report it: the exit code, or 128 + N for a child ended
// by signal N.
int ExitStatusFromWaitStatus(int waitStatus);

}  // namespace corvane
