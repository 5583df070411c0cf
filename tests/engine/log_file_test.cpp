#include "corvane/engine/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "log_file_layout.h"
#include "temp_dir.h"

namespace corvane {
namespace {

using testing::KeptAsTheFileKeepsOutput;
using testing::ReadFile;

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

}  // namespace
}  // namespace corvane
