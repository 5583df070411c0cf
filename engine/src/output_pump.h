#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/engine/log_file.h"
#include "process_exit.h"
#include "standby.h"

namespace corvane {

// Where the pump puts each read of the output, in order.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void take(std::string_view bytes) = 0;
  // The script has ended with `status`: after what it wrote before, and what
  // came within the grace after.
  virtual void scriptEnded(int /*status*/) {}
  // At the end of the output.
  virtual void finish() {}

 protected:
  OutputSink() = default;
  OutputSink(const OutputSink&) = default;
  OutputSink& operator=(const OutputSink&) = default;
};

// The bytes as they came, on disk, each read before anything else is done
// with it; at the end, the file in order. Its one failure goes to `failed`.
class FileSink final : public OutputSink {
 public:
  FileSink(std::shared_ptr<LogFile> file, std::function<void(std::string)> failed)
      : file_(std::move(file)), failed_(std::move(failed)) {}
  void take(std::string_view bytes) override {
    if (auto failure = file_->write(bytes)) failed_(*failure);
  }
  void finish() override {
    if (auto failure = file_->finish()) failed_(*failure);
  }

 private:
  std::shared_ptr<LogFile> file_;
  std::function<void(std::string)> failed_;
};

// Where a run is. One for the whole of it, as its holder's pump sees it.
enum class RunState {
  kStarting,
  kRunning,      // the script runs; its output is read
  kExited,       // it has ended: what follows within the grace comes before its status
  kStatusGiven,  // a process it left still holds the output
  kOutputEnded,  // every writer has closed the output; the script still runs
  kHandedOff,    // the keeper has the run
  kDone,         // all of it is where it goes; the keeper dismissed
};

// What the pump is given: all of it becomes its own.
struct PumpPlan {
  int output = -1;  // the read end
  // The script's end, or none when it is not known which it is: then its
  // turn is held to the end of the output.
  ProcessExit script;
  std::optional<ProcessIdentity> scriptIdentity;
  int turn = -1;  // held while the script runs
  std::vector<std::unique_ptr<OutputSink>> sinks;
  std::chrono::milliseconds grace{0};
  // Readable when the holder is about to end and the keeper is to take over.
  int stop = -1;
  // The keeper standing by, and the program to start another from should it
  // end, with what to give it; none: the run is held by the pump's process
  // alone. Handing off closes the keeper's lifeline as the pump returns.
  std::unique_ptr<Standby> standby;
  std::string keeper;
  Standby::Gifts gifts;
  // Told every change of state, and whether a keeper stands by, from the
  // pump's thread.
  std::function<void(RunState)> changed;
  std::function<void(bool)> keeperStandsBy;
};

// One loop for a run: the output, the script's end, the grace after it, the
// keeper standing by and a word to stop are all events of one wait. Reads the
// output into the sinks and tells them of the script's end; lets go of the
// turn when the script ends; starts a new keeper should the one standing by
// end. Returns once the run is done or handed off.
void PumpOutput(PumpPlan plan);

}  // namespace corvane
