#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

// A program could not be started; what() is the reason text.
class LaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SpawnRequest {
  std::string path;
  // argv, the program name included.
  std::vector<std::string> arguments;
  // Standard output and standard error both go to this descriptor; standard
  // input is ours. Negative: all three on /dev/null, in a session of its own
  // (a program that outlives us).
  int output = -1;
};

// Starts a program with an empty signal mask, SIGPIPE at its default (toolkits
// ignore it; a script's `producer | head` must not), none of our descriptors
// beyond 0 to 2, and a process group of its own, so that a `kill 0` in it
// reaches only its own. Throws LaunchError.
pid_t Spawn(const SpawnRequest& request);

}  // namespace corvane
