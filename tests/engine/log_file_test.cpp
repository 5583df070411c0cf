#include "corvane/engine/log_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <regex>

#include "log_file_layout.h"
#include "temp_dir.h"

namespace corvane {
namespace {

using testing::KeptAsTheFileKeepsOutput;
using testing::ReadFile;

// Every shape of the line between the head and the kept end, padded as the
// file pads it: output may hold any of them, anywhere.
std::vector<std::string> LinesShapedLikeTheFiles() {
  std::vector<std::string> lines;
  for (const std::string says :
       {"--- 出力 7 バイトを省略しました ---",
        "--- 出力 99 バイトを省略しました (最新 23 バイトが先) ---",
        "--- 出力 5 バイトを省略しました (最新 3 バイトが先、続く 2 バイトは省略) ---",
        "--- 出力 0 バイトを省略しました (以下の 1-9、続いて 0-1 バイト目の順) ---",
        "--- 出力 1 バイトを省略しました (以下は空) ---"}) {
    for (const std::size_t width : {std::size_t{128}, std::size_t{256}}) {
      std::string line = says;
      line.resize(width - 1, ' ');
      lines.push_back(line + "\n");
      lines.push_back("\n" + line.substr(0, width - 2) + "\n");
    }
  }
  return lines;
}

// Written in pieces of every size, a long output keeps its beginning and at
// least its latest tailBytes, from a line start where one was near, with the
// line that says how much went; also when other writers take the file over
// midway, as the keeper does, whatever the output held: lines shaped like the
// file's own fall anywhere over the rounds, the head's end and lap ends among
// them.
TEST(LogFile, KeepsTheBeginningAndTheEndOfLongOutputByteForByte) {
  testing::TempDir dir;
  const std::vector<std::string> shaped = LinesShapedLikeTheFiles();
  std::mt19937 random(5);
  for (int round = 0; round < 60; ++round) {
    const LogFile::Limits limits{random() % 300, 1 + random() % 400};
    std::string error;
    auto file = LogFile::Open((dir.path() / "logs").string(), error, limits);
    ASSERT_TRUE(file) << error;
    const std::string path = file->path();
    std::string all;
    while (all.size() < 6000) {
      if (random() % 8 == 0) {
        file = LogFile::Resume(::dup(file->descriptor()), ::dup(file->layoutDescriptor()));
        ASSERT_TRUE(file);
        ASSERT_EQ(file->outputBytes(), all.size()) << "round " << round;
      }
      std::string piece;
      if (random() % 6 == 0) {
        piece = shaped[random() % shaped.size()];
      } else {
        for (auto n = random() % 90; n > 0; --n) {
          piece += random() % 9 == 0 ? '\n' : static_cast<char>(random() % 256);
        }
      }
      const auto failure = file->write(piece);
      ASSERT_FALSE(failure) << *failure;
      all += piece;
    }
    ASSERT_FALSE(file->finish());
    ASSERT_TRUE(KeptAsTheFileKeepsOutput(ReadFile(path), all, limits)) << "round " << round;
  }
}

#ifdef __linux__
// Linked with --wrap: each write and cut of the file counts down, and the
// process is killed outright at the chosen one, halfway through it, the
// side file's too; but the line's, 256 bytes, which a kill does not tear
// (killed before a write is killed after the one before). Only in a child
// the test forks.
long writesUntilKill = 0;

extern "C" {
ssize_t __real_pwrite(int fd, const void* bytes, size_t length, off_t offset);
int __real_ftruncate(int fd, off_t length);

void CountDownToTheKill(int fd, const void* bytes, size_t length, off_t offset) {
  if (writesUntilKill <= 0 || --writesUntilKill > 0) return;
  if (bytes != nullptr && length != 256) (void)__real_pwrite(fd, bytes, length / 2, offset);
  ::raise(SIGKILL);
}

ssize_t __wrap_pwrite(int fd, const void* bytes, size_t length, off_t offset) {
  CountDownToTheKill(fd, bytes, length, offset);
  return __real_pwrite(fd, bytes, length, offset);
}

int __wrap_ftruncate(int fd, off_t length) {
  CountDownToTheKill(fd, nullptr, 0, 0);
  return __real_ftruncate(fd, length);
}
}

// The output a stopped file holds, read as its line tells a reader to read
// it: it must be the output's head, the line, and the end of the output up
// to some point, with the count of what went between them.
::testing::AssertionResult ReadsAsItsLineSays(const std::string& file, const std::string& all,
                                              LogFile::Limits limits) {
  if (all.starts_with(file)) return ::testing::AssertionSuccess();  // nothing left out yet
  const std::size_t head = limits.headBytes;
  if (file.compare(0, head, all, 0, head) != 0) return ::testing::AssertionFailure() << "head";
  const std::string line = file.substr(head, 256);
  const std::string body = file.substr(std::min(file.size(), head + 256));
  static const std::regex kLine(
      "\n?--- 出力 ([0-9]+) バイトを省略しました"
      "(?: \\(最新 ([0-9]+) バイトが先(?:、続く ([0-9]+) バイトは省略)?\\)"
      "| \\(以下の (?:([0-9]+)-([0-9]+))?(?:、続いて )?(?:([0-9]+)-([0-9]+))? バイト目の順\\)"
      "| \\(以下は空\\))? --- *\n");
  std::smatch says;
  if (line.size() != 256 || !std::regex_match(line, says, kLine)) {
    return ::testing::AssertionFailure() << "no line: " << line;
  }
  auto number = [&](std::size_t k) { return says[k].matched ? std::stoull(says[k].str()) : 0; };
  auto part = [&](std::uint64_t from, std::uint64_t to) -> std::optional<std::string> {
    if (from > to || to > body.size()) return std::nullopt;
    return body.substr(from, to - from);
  };
  std::optional<std::string> first, second;
  if (says[2].matched) {
    first = part(number(2) + number(3), body.size());
    second = part(0, number(2));
  } else if (says[4].matched || says[6].matched) {
    first = part(number(4), number(5));
    second = part(number(6), number(7));
  } else {
    first = line.find("以下は空") == std::string::npos ? body : "";
    second = "";
  }
  if (!first || !second) return ::testing::AssertionFailure() << "past the end: " << line;
  const std::string kept = *first + *second;
  const std::uint64_t upTo = head + number(1) + kept.size();
  if (upTo > all.size() || all.compare(upTo - kept.size(), kept.size(), kept) != 0) {
    return ::testing::AssertionFailure() << "not the output up to " << upTo << ": " << line;
  }
  return ::testing::AssertionSuccess();
}

// Killed at any write or cut, halfway through one or before it, whatever
// it was doing (a lap ending, the ring put in order), the file reads as its
// line says; and whoever resumes it from its side file ends with exactly
// what an unstopped writer would have kept.
TEST(LogFile, AWriterKilledAtAnyMomentLeavesAFileThatReadsAsItsLineSays) {
  testing::TempDir dir;
  std::mt19937 random(7);
  // Each ends with the newest short of tailBytes, so that the older are
  // moved in after them, but for the last.
  const struct {
    LogFile::Limits limits;
    std::size_t output;
  } runs[] = {{{40, 150}, 2400}, {{0, 120}, 1500}, {{61, 97}, 2500}};
  for (const auto& [limits, output] : runs) {
    std::string all;
    std::vector<std::string> pieces;
    while (all.size() < output) {
      std::string piece;
      for (auto n = 1 + random() % 60; n > 0; --n) {
        piece += random() % 7 == 0 ? '\n' : static_cast<char>('a' + random() % 26);
      }
      pieces.push_back(piece);
      all += piece;
    }
    bool survived = false;
    for (long kill = 1; !survived; ++kill) {
      {
        std::string error;
        const auto file = LogFile::Open((dir.path() / "logs").string(), error, limits);
        ASSERT_TRUE(file) << error;
        const pid_t child = ::fork();
        if (child == 0) {
          writesUntilKill = kill;
          for (const std::string& piece : pieces) (void)file->write(piece);
          (void)file->finish();
          ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        survived = WIFEXITED(status);
        const std::string stopped = ReadFile(file->path());
        ASSERT_TRUE(ReadsAsItsLineSays(stopped, all, limits)) << "killed at " << kill;
        const auto resumed =
            LogFile::Resume(::dup(file->descriptor()), ::dup(file->layoutDescriptor()));
        ASSERT_TRUE(resumed) << "killed at " << kill;
        ASSERT_LE(resumed->outputBytes(), all.size());
        ASSERT_FALSE(resumed->write(all.substr(resumed->outputBytes())));
        ASSERT_FALSE(resumed->finish());
        ASSERT_TRUE(KeptAsTheFileKeepsOutput(ReadFile(file->path()), all, limits))
            << "killed at " << kill;
      }
    }
  }
}
#endif

}  // namespace
}  // namespace corvane
