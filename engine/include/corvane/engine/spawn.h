#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

// A program could not be started; what() is the reason text.
class LaunchError : public std::runtime_error {
 public:
  // What the user can be told to do about it.
  enum class Cause {
    kOther,
    kKeeperMissing,    // the bundle lacks the keeper
    kKeeperBroken,     // it is there but cannot be run
    kKeeperEnded,      // it ran, and ended before it stood by
    kDescriptorLimit,  // ulimit -n
    kProcessLimit,     // ulimit -u, threads included
  };

  explicit LaunchError(const std::string& what, int error = 0, Cause cause = Cause::kOther)
      : std::runtime_error(what), error_(error), cause_(cause) {}
  // The system's error number; 0 when none.
  int error() const { return error_; }
  Cause cause() const { return cause_; }

 private:
  int error_;
  Cause cause_;
};

// The limit an error number says was met, or kOther.
LaunchError::Cause LimitMet(int error);

// A child's standard descriptor when it is none of ours in particular.
enum class StandardStream {
  kOurs,  // the same as ours
  kNull,  // /dev/null
};

// One of our descriptors, or a StandardStream.
using ChildStream = std::variant<StandardStream, int>;

struct SpawnRequest {
  std::string path;
  // argv, the program name included.
  std::vector<std::string> arguments;
  ChildStream input = StandardStream::kNull;
  ChildStream output = StandardStream::kNull;
  ChildStream errors = StandardStream::kNull;
  // Given to the child as descriptors 3, 4, ... in this order.
  std::vector<int> extra{};
  // In a session of its own, for a program that outlives us; otherwise in a
  // process group of its own.
  bool detached = true;
};

// Starts a program with an empty signal mask, SIGPIPE at its default (toolkits
// ignore it; a script's `producer | head` must not), none of our descriptors
// but those the request names, and a process group of its own, so that a
// `kill 0` in it reaches only its own. Throws LaunchError, with the limit met
// as its cause when one was.
pid_t Spawn(const SpawnRequest& request);

// A pipe with both ends close-on-exec. Throws LaunchError.
void MakePipe(int fds[2]);

}  // namespace corvane
