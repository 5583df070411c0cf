#include "corvane/engine/log_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

// Written in pieces of every size, a long output keeps its beginning and its
// latest end, from a line start, with the line that says how much went.
TEST(LogFile, KeepsTheBeginningAndTheEndOfLongOutputByteForByte) {
  testing::TempDir dir;
  std::mt19937 random(5);
  for (int round = 0; round < 40; ++round) {
    const LogFile::Limits limits{random() % 300, 1 + random() % 400};
    std::string error;
    const auto file = LogFile::Open((dir.path() / "logs").string(), error, limits);
    ASSERT_TRUE(file) << error;
    std::string all;
    while (all.size() < 5000) {
      std::string piece;
      for (auto n = random() % 90; n > 0; --n) {
        piece += random() % 9 == 0 ? '\n' : static_cast<char>(random() % 256);
      }
      const auto failure = file->write(piece);
      ASSERT_FALSE(failure) << *failure;
      all += piece;
    }
    const std::string kept = ReadFile(file->path());
    const std::string head = all.substr(0, limits.headBytes);
    ASSERT_TRUE(kept.starts_with(head)) << "round " << round;
    if (kept.size() == all.size()) {
      ASSERT_EQ(kept, all);
      continue;
    }
    const bool headEndsLine = head.empty() || head.ends_with('\n');
    const std::size_t tailStart = kept.find('\n', head.size() + 1) + 1;
    const std::string tail = kept.substr(tailStart);
    ASSERT_TRUE(all.ends_with(tail)) << "round " << round;
    ASSERT_LE(tail.size(), 2 * limits.tailBytes);
    ASSERT_GE(2 * tail.size(), limits.tailBytes) << "round " << round;
    const std::size_t leftOut = all.size() - head.size() - tail.size();
    const std::string line = kept.substr(head.size(), tailStart - head.size());
    const std::string says = std::string(headEndsLine ? "" : "\n") + "--- 出力 " +
                             std::to_string(leftOut) + " バイトを省略しました ---";
    ASSERT_TRUE(line.starts_with(says)) << "round " << round << ": " << line;
    ASSERT_EQ(line.find_first_not_of(' ', says.size()), line.size() - 1) << "then only spaces";
    // The end starts with a whole line, unless none started near the cut.
    const std::size_t cut = all.size() - tail.size();
    ASSERT_TRUE(all[cut - 1] == '\n' || tail.size() >= limits.tailBytes) << "round " << round;
  }
}

// Turned over and refused in the controller's tests; here, a full disk, as a
// file size limit makes one: said once, then quiet, and the part written gone.
TEST(LogFile, SaysOnceWhyItCannotBeWritten) {
  testing::TempDir dir;
  std::string error;
  const fs::path folder = dir.path() / "Library/Logs/Corvane Installer";
  const auto file = LogFile::Open(folder.string(), error);
  ASSERT_TRUE(file);
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "made private";
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{10, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const auto first = file->write("more than ten bytes\n");
  const auto second = file->write("and more\n");
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, file->path() + ": File too large");
  EXPECT_FALSE(second);
  EXPECT_TRUE(file->failed() && fs::file_size(file->path()) == 0);
}

}  // namespace
}  // namespace corvane
