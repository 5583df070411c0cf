#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/engine/install_process.h"
#include "manual_main_queue.h"

namespace corvane::testing {

// Records what a run hands back, in order; the status as "status N".
class RecordingReceiver : public InstallReceiver {
 public:
  void appendLog(std::optional<std::string_view> text) override {
    if (!text) return;
    output += *text;
    events.emplace_back(*text);
  }
  void installDidFinishWithStatus(std::int32_t s) override {
    status = s;
    events.push_back(std::string("status ").append(std::to_string(s)));
  }
  void logFileDidFail(const std::string& reason) override {
    events.push_back(std::string("log file: ").append(reason));
  }
  std::string output;
  std::vector<std::string> events;
  std::optional<std::int32_t> status;
};

struct ScriptResult {
  std::string output;
  std::int32_t status = -1;
};

// Runs a script through the real runner and pumps a manual main queue until
// the exit status has arrived and the output has ended.
inline ScriptResult RunScript(const std::string& script, const HandOff& handOff = {}) {
  auto queue = std::make_shared<ManualMainQueue>();
  auto receiver = std::make_shared<RecordingReceiver>();
  InstallProcess process(script);
  process.launch(queue, receiver, nullptr, handOff);
  queue->runUntil(
      [&] { return receiver->status && !process.isOutputOpen() && queue->pending() == 0; });
  return {receiver->output, receiver->status.value_or(-1)};
}

}  // namespace corvane::testing
