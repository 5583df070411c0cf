#include "corvane/app/keeper_copy.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "corvane/engine/spawn.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

// The keeper runs from a copy under the caches, byte for byte its own (the
// signature with it) and runnable; made again once, not on every run; made
// afresh when it differs, a keeper still running from the old copy running
// on; and one copy left when the version changes.
TEST(KeeperCopy, IsTheKeepersBytesMadeAfreshWhenTheyOrTheVersionDiffer) {
  testing::TempDir dir;
  const fs::path keeper = dir.path() / "bundle/corvane-keeper";
  const fs::path caches = dir.path() / "Library/Caches/com.corvane.installer";
  fs::create_directories(keeper.parent_path());
  fs::copy_file("/bin/sleep", keeper);
  const fs::path copy = caches / "keeper/1.0.0/corvane-keeper";

  ASSERT_EQ(KeeperCopy(keeper.string(), caches.string(), "1.0.0"), copy.string());
  EXPECT_EQ(ReadFile(copy), ReadFile(keeper));
  EXPECT_EQ(::access(copy.c_str(), X_OK), 0);
  const auto made = fs::last_write_time(copy);
  struct stat first {};
  ::stat(copy.c_str(), &first);
  ASSERT_EQ(KeeperCopy(keeper.string(), caches.string(), "1.0.0"), copy.string());
  struct stat again {};
  ::stat(copy.c_str(), &again);
  EXPECT_TRUE(first.st_ino == again.st_ino && fs::last_write_time(copy) == made) << "made again";

  WriteFile(copy, "damaged");
  ASSERT_EQ(KeeperCopy(keeper.string(), caches.string(), "1.0.0"), copy.string());
  EXPECT_EQ(ReadFile(copy), ReadFile(keeper));

  const pid_t running = Spawn({copy.string(), {copy.string(), "60"}});
  ASSERT_EQ(KeeperCopy(keeper.string(), caches.string(), "1.1.0"),
            (caches / "keeper/1.1.0/corvane-keeper").string());
  EXPECT_FALSE(fs::exists(caches / "keeper/1.0.0"));
  EXPECT_EQ(::waitpid(running, nullptr, WNOHANG), 0) << "the one running from the old copy runs on";
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(caches / "keeper/1.1.0"), {}), 1)
      << "no half-made copy left beside it";
}

// No copy to be had: the bundle's own keeper, which still holds the run; and
// a keeper that is not there stays missing, so that the run says so.
TEST(KeeperCopy, WithoutACopyTheBundlesKeeperIsUsed) {
  testing::TempDir dir;
  const fs::path keeper = dir.path() / "corvane-keeper";
  WriteFile(keeper, "keeper");
  WriteFile(dir.path() / "file", "");
  const struct {
    std::string keeper, caches, version;
  } cases[] = {
      {keeper.string(), (dir.path() / "file/caches").string(), "1.0.0"},  // not a folder
      {keeper.string(), (dir.path() / "caches").string(), "../1.0.0"},
      {keeper.string(), (dir.path() / "caches").string(), ""},
      {(dir.path() / "missing").string(), (dir.path() / "caches").string(), "1.0.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KeeperCopy(c.keeper, c.caches, c.version), c.keeper) << c.caches << " " << c.version;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "caches/keeper/1.0.0/corvane-keeper"));
}

}  // namespace
}  // namespace corvane
