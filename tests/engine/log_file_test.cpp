#include "corvane/engine/log_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#endif

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
// file size limit makes one: said once, then quiet.
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
  EXPECT_TRUE(file->failed());
}

#ifdef __linux__
// Fills a 1 MiB file system mounted in a namespace of its own; 0 when the file
// gave back all the room it took.
int FillASmallDisk() {
  testing::TempDir dir;
  const std::string disk = dir.path().string();
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    std::perror("a mount namespace of its own");
    return 2;
  }
  if (uid != 0) {
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    std::perror("a small disk");
    return 2;
  }
  std::string error;
  auto file = LogFile::Open(disk + "/logs", error);
  std::optional<std::string> failure;
  for (const std::string chunk(4096, 'x'); file && !failure;) failure = file->write(chunk);
  struct statvfs space {};
  ::statvfs(disk.c_str(), &space);
  std::fprintf(stderr, "%s\n", failure.value_or(error).c_str());
  file.reset();
  ::umount(disk.c_str());
  return space.f_bfree == space.f_blocks ? 0 : 1;
}

// The install needs the room more than the window's output needs a copy.
TEST(LogFile, GivesItsRoomBackWhenTheDiskIsFull) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(FillASmallDisk()), ::testing::ExitedWithCode(0),
              "logs/install.log: No space left on device");
}
#endif

}  // namespace
}  // namespace corvane
