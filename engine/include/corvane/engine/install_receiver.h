#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// What an install run hands back on the main thread.
class InstallReceiver {
 public:
  virtual ~InstallReceiver() = default;
  // Absent text is ignored; the runner always passes text.
  virtual void appendLog(std::optional<std::string_view> text) = 0;
  virtual void installDidFinishWithStatus(std::int32_t status) = 0;
  // The output could not be kept on disk; the run goes on.
  virtual void logFileDidFail(const std::string& /*reason*/) {}

 protected:
  InstallReceiver() = default;
  InstallReceiver(const InstallReceiver&) = default;
  InstallReceiver& operator=(const InstallReceiver&) = default;
};

}  // namespace corvane
