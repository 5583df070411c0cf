#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "corvane/engine/log_file.h"
#include "corvane/engine/process_identity.h"

namespace corvane {

// The keeper is a small program of ours, in the bundle beside the installer,
// that stands by from the start of a run with a copy of the output pipe, of
// the log file and of the turn. Should the installer end before the run does,
// however it ends (SIGKILL included), the keeper takes the run over: it reads
// the rest of the output into the log file, continuing it as the installer
// would have, so that the script's writes never fail, and it holds the turn
// while the script runs. It learns of the installer's end by its lifeline, a
// pipe whose write end only the installer holds, reaching end of file.
inline constexpr const char* kKeeperName = "corvane-keeper";

// The installer's side.
class Keeper {
 public:
  // Starts the keeper with `output` (the read end of the output pipe), the
  // turn (`lock`, a descriptor; negative: none) and `file` (null: none).
  // Null when it cannot be started: the run goes on without one.
  static std::shared_ptr<Keeper> Start(const std::string& program, int output, int lock,
                                       const LogFile* file, std::optional<ProcessIdentity> script);
  ~Keeper();
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;

  // The script has ended: the keeper lets go of the turn.
  void scriptEnded();
  // The log file failed and was emptied: the keeper leaves it so.
  void fileFailed();
  // The run is over: the keeper puts the log file in order and ends, and is
  // waited for.
  void dismiss();
  // The installer is ending: the keeper takes over now rather than when the
  // installer is gone. Only once nothing of ours reads the output or writes
  // the file any more.
  void takeOver();

 private:
  explicit Keeper(int lifeline) : lifeline_(lifeline) {}
  void tell(char word);

  std::mutex mutex_;
  int lifeline_;
  pid_t pid_ = 0;
};

// The keeper's side: its whole program, given its command line.
int RunKeeper(int argc, const char* const* argv);

}  // namespace corvane
