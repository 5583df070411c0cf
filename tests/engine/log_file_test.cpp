#include "corvane/engine/log_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "log_file_layout.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::KeptAsTheFileKeepsOutput;
using testing::ReadFile;
using testing::WriteFile;

// Written in pieces of every size, a long output keeps its beginning and its
// latest end, from a line start, with the line that says how much went; also
// when another writer takes the file over midway, as the keeper does.
TEST(LogFile, KeepsTheBeginningAndTheEndOfLongOutputByteForByte) {
  testing::TempDir dir;
  std::mt19937 random(5);
  for (int round = 0; round < 40; ++round) {
    const LogFile::Limits limits{random() % 300, 1 + random() % 400};
    std::string error;
    auto file = LogFile::Open((dir.path() / "logs").string(), error, limits);
    ASSERT_TRUE(file) << error;
    const std::string path = file->path();
    std::string all;
    const auto takeOverAt = random() % 5000;
    while (all.size() < 5000) {
      if (all.size() >= takeOverAt && !file->path().empty()) {
        file = LogFile::Resume(::dup(file->descriptor()), limits);
      }
      std::string piece;
      for (auto n = random() % 90; n > 0; --n) {
        piece += random() % 9 == 0 ? '\n' : static_cast<char>(random() % 256);
      }
      const auto failure = file->write(piece);
      ASSERT_FALSE(failure) << *failure;
      all += piece;
    }
    ASSERT_FALSE(file->finish());
    ASSERT_TRUE(KeptAsTheFileKeepsOutput(ReadFile(path), all, limits)) << "round " << round;
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
  EXPECT_EQ(fs::status(file->path()).permissions(), fs::perms::owner_read | fs::perms::owner_write)
      << "the output may hold secrets";
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
