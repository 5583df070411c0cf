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
  // For a standard descriptor: the same as ours, or /dev/null.
  static constexpr int kOurs = -1;
  static constexpr int kNull = -2;

  std::string path;
  // argv, the program name included.
  std::vector<std::string> arguments;
  // Standard input, output and error: one of our descriptors, kOurs or kNull.
  int input = kNull;
  int output = kNull;
  int errors = kNull;
  // Given to the child as descriptor 3 when not negative.
  int extra = -1;
  // In a session of its own, for a program that outlives us; otherwise in a
  // process group of its own.
  bool detached = true;
};

// Starts a program with an empty signal mask, SIGPIPE at its default (toolkits
// ignore it; a script's `producer | head` must not), none of our descriptors
// but those the request names, and a process group of its own, so that a `kill 0` in it
// reaches only its own. Throws LaunchError.
pid_t Spawn(const SpawnRequest& request);

}  // namespace corvane
