#include "output_pump.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "corvane/engine/spawn.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
// After a read of a few lines the pump waits this long before the next, so
// that a script printing line by line is read a frame's worth at a time, not
// a read and a delivery per line.
constexpr int kBatchMilliseconds = 16;
// A keeper that keeps ending is started again this many times in a run, no
// more.
constexpr int kMostKeeperStarts = 16;

class Pump {
 public:
  explicit Pump(PumpPlan plan) : plan_(std::move(plan)), buffer_(kChunkBytes) {}

  void run() {
    tellKeeperStandsBy();
    scriptKnown_ = plan_.script.watching();
    scriptRuns_ = scriptKnown_;
    set(RunState::kRunning);
    if (scriptKnown_ && plan_.script.ended()) scriptEnded();
    while (outputOpen_ || scriptRuns_) {
      enum Slot { kOutput, kStop, kExit, kKeeper, kSlots };
      pollfd slots[kSlots] = {};
      slots[kOutput] = {outputOpen_ ? plan_.output : -1, POLLIN, 0};
      slots[kStop] = {plan_.stop, POLLIN, 0};
      slots[kExit] = {scriptRuns_ ? plan_.script.descriptor() : -1, POLLIN, 0};
      slots[kKeeper] = {plan_.standby ? plan_.standby->lifeline() : -1, POLLIN, 0};
      const bool looking = scriptRuns_ && plan_.script.descriptor() < 0;
      const int ready = ::poll(slots, kSlots, timeout(looking));
      if (ready < 0) continue;
      if (slots[kStop].revents != 0) {
        if (plan_.standby) keepStandingBy();
        if (plan_.standby) {
          set(RunState::kHandedOff);
          return;
        }
        // None to hand the run to: it is ours to the end.
        plan_.stop = -1;
      }
      if (slots[kKeeper].revents != 0) keepStandingBy();
      if (scriptRuns_ && (slots[kExit].revents != 0 || looking) && plan_.script.ended()) {
        scriptEnded();
      }
      // Checked on every pass: output that keeps coming must not hold it back.
      if (state_ == RunState::kExited && Clock::now() >= graceEnds_) {
        giveStatus();
        set(RunState::kStatusGiven);
      }
      if (outputOpen_ && slots[kOutput].revents != 0) {
        const std::size_t got = readOnce(kChunkBytes);
        if (got == 0) {
          outputEnded();
        } else if (state_ == RunState::kRunning && got < kChunkBytes / 16) {
          pollfd wake{plan_.script.descriptor(), POLLIN, 0};
          ::poll(&wake, 1, kBatchMilliseconds);
        }
      }
    }
    // The keeper, which holds the turn too, is gone before the outcome is
    // told: a second installer started then finds the turn free.
    if (plan_.standby) plan_.standby->dismiss();
    plan_.standby.reset();
    if (scriptKnown_ && !statusGiven_) giveStatus();
    set(RunState::kDone);
  }

  ~Pump() {
    if (plan_.turn >= 0) ::close(plan_.turn);
  }
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;

 private:
  void set(RunState state) {
    state_ = state;
    if (plan_.changed) plan_.changed(state);
  }

  void tellKeeperStandsBy() {
    if (plan_.keeperStandsBy) plan_.keeperStandsBy(plan_.standby != nullptr);
  }

  // What is left of the grace, or of the time until the script is looked at
  // again; -1 for no limit.
  int timeout(bool looking) const {
    int milliseconds = looking ? ProcessExit::kLookMilliseconds : -1;
    if (state_ == RunState::kExited) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(graceEnds_ - Clock::now()).count();
      const int grace = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60000));
      milliseconds = milliseconds < 0 ? grace : std::min(milliseconds, grace);
    }
    return milliseconds;
  }

  // Reads at most `limit` bytes once into the sinks; 0 at end of stream (or
  // on a read error, which ends it too).
  std::size_t readOnce(std::size_t limit) {
    ssize_t n = 0;
    while ((n = ::read(plan_.output, buffer_.data(), std::min(limit, buffer_.size()))) < 0 &&
           errno == EINTR) {
    }
    if (n <= 0) return 0;
    const std::string_view bytes(buffer_.data(), static_cast<std::size_t>(n));
    for (const auto& sink : plan_.sinks) sink->take(bytes);
    return bytes.size();
  }

  // All the script wrote before it exited, read now, ahead of its status,
  // however slowly the sinks take it.
  void readWhatIsThere() {
    int inPipe = 0;
    if (::ioctl(plan_.output, FIONREAD, &inPipe) != 0) inPipe = 0;
    for (auto left = static_cast<std::size_t>(std::max(inPipe, 0)); left > 0 && outputOpen_;) {
      const std::size_t got = readOnce(left);
      if (got == 0) outputEnded();
      left -= std::min(left, got);
    }
  }

  void letGoOfTheTurn() {
    if (plan_.turn >= 0) ::close(std::exchange(plan_.turn, -1));
    plan_.gifts.turn = -1;
    if (plan_.standby) plan_.standby->scriptEnded();
  }

  void scriptEnded() {
    scriptRuns_ = false;
    letGoOfTheTurn();
    if (!outputOpen_) return;
    state_ = RunState::kExited;
    readWhatIsThere();
    if (outputOpen_) {
      graceEnds_ = Clock::now() + plan_.grace;
      set(RunState::kExited);
    }
  }

  void giveStatus() {
    statusGiven_ = true;
    for (const auto& sink : plan_.sinks) sink->scriptEnded(plan_.script.status());
  }

  void outputEnded() {
    outputOpen_ = false;
    for (const auto& sink : plan_.sinks) sink->finish();
    // With no script known, the turn is held for as long as its output.
    if (!scriptKnown_) letGoOfTheTurn();
    if (scriptRuns_) set(RunState::kOutputEnded);
  }

  // The keeper standing by has said something or ended: one that has ended
  // is replaced, while that works.
  void keepStandingBy() {
    if (plan_.standby->stillThere()) return;
    plan_.standby.reset();
    if (!plan_.keeper.empty() && keeperStarts_ < kMostKeeperStarts) {
      ++keeperStarts_;
      plan_.gifts.turn = plan_.turn;
      try {
        plan_.standby = Standby::Start(plan_.keeper, plan_.gifts);
        if (scriptRuns_ && plan_.scriptIdentity) plan_.standby->tellScript(*plan_.scriptIdentity);
      } catch (const LaunchError&) {
        // The run goes on, held by this process alone.
      }
    }
    tellKeeperStandsBy();
  }

  PumpPlan plan_;
  std::vector<char> buffer_;
  RunState state_ = RunState::kStarting;
  bool outputOpen_ = true;
  bool scriptKnown_ = false;
  bool scriptRuns_ = false;
  bool statusGiven_ = false;
  Clock::time_point graceEnds_;
  int keeperStarts_ = 0;
};

}  // namespace

void PumpOutput(PumpPlan plan) {
  const int output = plan.output;
  {
    Pump pump(std::move(plan));
    pump.run();
  }
  ::close(output);
}

}  // namespace corvane
