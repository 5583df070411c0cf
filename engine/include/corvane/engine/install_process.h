#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "corvane/engine/install_receiver.h"
#include "corvane/engine/log_file.h"
#include "corvane/engine/main_queue.h"
#include "corvane/engine/spawn.h"

namespace corvane {

inline constexpr const char* kDefaultShellPath = "/bin/bash";
// The keeper, a program of ours beside the installer: should the installer
// end before the run, it takes the run over, its output and its turn.
inline constexpr const char* kKeeperName = "corvane-keeper";

// How long the exit status waits for output written after the exit, by a
// background process that still holds the pipe. What the script wrote before
// it exited always comes before its status, however long that takes.
inline constexpr std::chrono::milliseconds kOutputGracePeriod{200};

// Who takes the run over should the program end before it does.
struct HandOff {
  // The keeper program; empty: none, and once we are gone the script's next
  // write fails.
  std::string keeper;
  // The turn, a lock descriptor held while the script runs; negative: none.
  int lock = -1;
};

// One run of the install script: `<shell> -c <script>`, standard output and
// standard error merged into one pipe, standard input, environment and working
// directory inherited, in a process group of its own. The child gets no other
// descriptor of ours, is never signalled and never waited for with a time
// limit.
class InstallProcess {
 public:
  explicit InstallProcess(std::string script, std::string shellPath = kDefaultShellPath,
                          std::chrono::milliseconds grace = kOutputGracePeriod);
  ~InstallProcess();

  InstallProcess(const InstallProcess&) = delete;
  InstallProcess& operator=(const InstallProcess&) = delete;

  // Starts the keeper, then the child, and returns at once. Output, then the
  // exit status, reach the receiver on the main queue; nothing does if the
  // receiver is gone. The output also goes, as bytes, to `file` when there
  // is one, each read before anything else is done with it. Throws
  // LaunchError when the keeper, the child, or the thread the run needs
  // cannot be started: the script does not run then, and nothing is
  // delivered. Launches at most once.
  void launch(std::shared_ptr<MainQueue> mainQueue, std::weak_ptr<InstallReceiver> receiver,
              std::shared_ptr<LogFile> file = nullptr, const HandOff& handOff = {});

  const std::string& shellPath() const { return shellPath_; }
  // 0 until launched.
  pid_t processIdentifier() const { return pid_; }
  // False once every writer has closed the output, the script has ended, the
  // last of the output and the status have been queued for delivery and the
  // keeper dismissed; or once the run was handed off.
  bool isOutputOpen() const;
  // Whether a keeper stands by to take the run over.
  bool isKept() const;
  // For when the program ends before the run: nothing more is delivered, and
  // the keeper takes the run over at once. With no keeper to take it, the run
  // goes on here, and this returns only once it is done.
  void handOff();

  struct Run;

 private:
  std::string script_;
  std::string shellPath_;
  std::chrono::milliseconds grace_;
  pid_t pid_ = 0;
  std::shared_ptr<Run> run_;
};

// Exit status as shells report it: the exit code, or 128 + N for a child ended
// by signal N.
int ExitStatusFromWaitStatus(int waitStatus);

}  // namespace corvane
