#pragma once

#include <gtest/gtest.h>

#include <string>

#include "corvane/engine/log_file.h"

namespace corvane::testing {

// Whether `kept`, the file, is `all`, the output, as a bounded log file keeps
// it once the output has ended: whole; or its first headBytes, one line saying
// how many bytes were left out, then at least the latest tailBytes.
inline ::testing::AssertionResult KeptAsTheFileKeepsOutput(const std::string& kept,
                                                           const std::string& all,
                                                           LogFileLimits limits) {
  const std::string head = all.substr(0, limits.headBytes);
  if (!kept.starts_with(head)) return ::testing::AssertionFailure() << "not the head";
  if (kept.size() == all.size()) {
    return kept == all ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "changed";
  }
  const bool headEndsLine = head.empty() || head.ends_with('\n');
  const std::size_t tailStart = kept.find('\n', head.size() + 1) + 1;
  const std::string tail = kept.substr(tailStart);
  if (!all.ends_with(tail)) return ::testing::AssertionFailure() << "not the end";
  if (tail.size() > 2 * limits.tailBytes || tail.size() < limits.tailBytes) {
    return ::testing::AssertionFailure() << "an end of " << tail.size() << " bytes";
  }
  const std::size_t leftOut = all.size() - head.size() - tail.size();
  const std::string line = kept.substr(head.size(), tailStart - head.size());
  const std::string says = std::string(headEndsLine ? "" : "\n") + "--- 出力 " +
                           std::to_string(leftOut) + " バイトを省略しました ---";
  if (!line.starts_with(says) || line.find_first_not_of(' ', says.size()) != line.size() - 1) {
    return ::testing::AssertionFailure() << "the line says: " << line << ", not " << says;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace corvane::testing
