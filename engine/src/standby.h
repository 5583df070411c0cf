#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "process_identity.h"

namespace corvane {

// The keeper is a small program of ours, in the bundle beside the installer,
// that stands by from the start of a run with a copy of the output pipe, of
// the log file and its side file, and of the turn. Should whoever holds the
// run end before the run does, however it ends (SIGKILL included), the keeper
// takes the run over: it reads the rest of the output into the log file,
// continuing it as the holder would have, so that the script's writes never
// fail, and it holds the turn while the script runs. It learns of the
// holder's end by its lifeline, a socket whose other end only the holder
// holds, reaching end of file; the holder learns of the keeper's the same
// way. A keeper that has taken over has a keeper of its own standing by.
//
// This is the holder's side.
class Standby {
 public:
  // Ours, each given to the keeper as a copy; negative: none.
  struct Gifts {
    int output = -1;
    int file = -1;
    int layout = -1;
    int turn = -1;
  };

  // How long a keeper has to say that it stands by; one that has not by then
  // does not work. Generous, for a machine that is busy.
  static constexpr int kReadyMilliseconds = 10000;

  // Starts `program` with copies of `gifts` and waits until it stands by.
  // Throws LaunchError, its cause what a user can be told.
  static std::unique_ptr<Standby> Start(const std::string& program, const Gifts& gifts);
  // A keeper still standing by takes over.
  ~Standby();
  Standby(const Standby&) = delete;
  Standby& operator=(const Standby&) = delete;

  // Readable once the keeper has ended.
  int lifeline() const { return lifeline_; }
  // After lifeline() turned readable: false once it has ended (and is reaped).
  bool stillThere();
  // Which process the script is, for holding its turn.
  void tellScript(const ProcessIdentity& script);
  // The script has ended: the keeper lets go of the turn.
  void scriptEnded();
  // The run is over: the keeper ends, and is waited for.
  void dismiss();
  // The holder is ending: the keeper takes over now rather than when it is
  // gone. Only once the holder reads the output and writes the file no more.
  void takeOver();

 private:
  Standby(int lifeline, pid_t pid) : lifeline_(lifeline), pid_(pid) {}
  void tell(const std::string& words);
  void reap();

  std::mutex mutex_;
  int lifeline_;
  pid_t pid_;
};

// The words on a lifeline.
namespace lifeline {
inline constexpr char kReady = 'r';        // keeper: I stand by
inline constexpr char kScript = 's';       // holder: "s<pid> <started>\n"
inline constexpr char kScriptEnded = 'e';  // holder: let go of the turn
inline constexpr char kDismissed = 'd';    // holder: the run is over; end
}  // namespace lifeline

}  // namespace corvane
