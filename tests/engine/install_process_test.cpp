#include "corvane/engine/install_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "corvane/engine/delivery_queue.h"
#include "corvane/engine/output_decoder.h"
#include "script_run.h"
#include "temp_dir.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::RecordingReceiver;
using testing::RunScript;
using Events = std::vector<std::string>;

std::size_t CountEntries(const char* dir) {
  std::size_t count = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* entry = ::readdir(d)) count += entry->d_name[0] != '.';
    ::closedir(d);
  }
  return count;
}

// Waits for the runner's threads, which it names, to be gone; false after 10 s.
bool RunnerThreadsGone() {
  for (int i = 0; i < 500; ++i) {
    bool found = false;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      found |= testing::ReadFile(task.path() / "comm").starts_with("install-");
    }
    if (!found) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class InstallProcessTest : public ::testing::Test {
 protected:
  void TearDown() override { queue->close(); }
  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<RecordingReceiver> receiver = std::make_shared<RecordingReceiver>();
};

// The script as a shell runs it: output and errors in one stream, in order,
// with a character cut at the very end shown as Mac OS Roman; statuses as
// shells report them; SIGPIPE back to its default though we ignore it, as
// toolkits do (`yes` would complain of EPIPE instead of ending quietly); and
// no descriptor of ours.
TEST(InstallProcess, RunsTheScriptAsAShellWould) {
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  const int extra = ::open("/dev/null", O_RDONLY);
  const struct {
    const char* script;
    const char* output;
    int status;
  } cases[] = {
      {"echo out; echo err >&2; printf 'cut \\xe3\\x81'", "out\nerr\ncut \u201E\u00C5", 0},
      {"exit 255", "", 255},
      {"kill -TERM $$", "", 128 + SIGTERM},
      {"yes | head -n 1; echo \"${PIPESTATUS[0]}\"", "y\n141\n", 0},  // 128 + SIGPIPE
      {"ls /proc/self/fd", "0\n1\n2\n3\n", 0},                        // 3: the folder ls reads
  };
  for (const auto& c : cases) {
    const auto result = RunScript(c.script);
    EXPECT_EQ(result.output, c.output) << c.script;
    EXPECT_EQ(result.status, c.status) << c.script;
  }
  ::close(extra);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(InstallProcessTest, BackgroundWriterKeepsOutputFlowingAfterTheStatus) {
  InstallProcess process("echo before; (sleep 0.5; echo late) & exit 3");
  process.launch(queue, receiver);
  ASSERT_TRUE(queue->runUntil([&] { return receiver->status.has_value(); }));
  EXPECT_TRUE(process.isOutputOpen()) << "the background process still holds the pipe";
  ASSERT_TRUE(queue->runUntil([&] { return !process.isOutputOpen() && queue->pending() == 0; }));
  EXPECT_EQ(receiver->events, (Events{"before\n", "status 3", "late\n"}));
}

TEST(InstallProcess, OutputWrittenBeforeTheExitIsAboveTheStatus) {
  // Reader and waiter race: without the grace period for the pipe's last
  // output, a loaded machine puts the final lines below the outcome now and then.
  for (int i = 0; i < 200; ++i) {
    auto queue = std::make_shared<ManualMainQueue>();
    auto receiver = std::make_shared<RecordingReceiver>();
    InstallProcess process("seq 1 300; echo last >&2; exit 2");
    process.launch(queue, receiver);
    ASSERT_TRUE(queue->runUntil([&] { return receiver->status.has_value(); }));
    ASSERT_TRUE(receiver->output.ends_with("300\nlast\n")) << "run " << i;
  }
}

// A script that prints faster than the window takes it is held back by the
// pipe, yet what it printed before exiting still comes before its status.
TEST_F(InstallProcessTest, FastOutputIsHeldBackYetAllAboveTheStatus) {
  InstallProcess process("head -c 9500000 /dev/zero | tr '\\0' x; echo end");
  process.launch(queue, receiver);
  // A slow main thread: a pipe's worth still waits when the script exits.
  while (!receiver->status) {
    queue->runOne();
    std::this_thread::sleep_for(25ms);
  }
  EXPECT_EQ(receiver->output.size(), 9500004U);
  EXPECT_TRUE(receiver->output.ends_with("xend\n"));
}

TEST_F(InstallProcessTest, WaitingOutputIsBoundedUntilTheScriptHasExited) {
  auto deliveries = DeliveryQueue::Create(queue, receiver);
  std::atomic<int> pushed = 0;
  std::thread writer([&] {
    for (int i = 0; i < 3; ++i) {
      deliveries->pushText(std::string(DeliveryQueue::kMaxPendingBytes / 2, 'x'));
      ++pushed;
    }
  });
  while (pushed < 2) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed, 2) << "the third waits for the main thread";
  EXPECT_TRUE(queue->runUntil([&] { return pushed == 3; }));
  writer.join();
  deliveries->stopHoldingBack();
  for (int i = 0; i < 3; ++i)
    deliveries->pushText(std::string(DeliveryQueue::kMaxPendingBytes, 'x'));
}

TEST_F(InstallProcessTest, FailedLaunchThrowsItsReasonAndDeliversNothing) {
  InstallProcess process("echo never", "/no/such/bash");
  try {
    process.launch(queue, receiver);
    FAIL() << "launch should have failed";
  } catch (const LaunchError& error) {
    EXPECT_STREQ(error.what(), "/no/such/bash: No such file or directory");
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(queue->pending(), 0U);
}

TEST(InstallProcess, ManyRunsLeakNoDescriptorOrThread) {
  const std::size_t fdsBefore = CountEntries("/proc/self/fd");
  for (int i = 0; i < 500; ++i) ASSERT_EQ(RunScript("echo $$").status, 0);
  EXPECT_TRUE(RunnerThreadsGone());
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
}

// The hand-off between the runner's threads and the main queue.
TEST_F(InstallProcessTest, BurstDrainsInBoundedOrderedSlices) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 4096);
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) texts.push_back("line " + std::to_string(i) + " ツ\n");
  texts.emplace_back();  // longer than a slice: it must be cut between characters
  for (int k = 0; k < 2000; ++k) texts.back() += "ツ";
  texts.emplace_back(3000, '\n');  // every line end is a line to lay out
  std::string sent;
  for (const auto& text : texts) {
    deliveries->pushText(text);
    sent += text;
  }
  EXPECT_EQ(queue->pending(), 1U) << "one drain waits, however much is queued";
  while (queue->runOne()) EXPECT_LE(queue->pending(), 1U);
  EXPECT_EQ(receiver->output, sent);
  EXPECT_LE(receiver->events.size(), sent.size() / 3000 + 3) << "adjacent texts are merged";
  for (const auto& slice : receiver->events) {
    EXPECT_TRUE(slice.size() <= 4096 && IsValidUtf8(slice));
    EXPECT_LE(std::count(slice.begin(), slice.end(), '\n'), DeliveryQueue::kMaxSliceLines);
  }
}

TEST_F(InstallProcessTest, StatusSitsBetweenOutputReadBeforeAndAfterIt) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 4);
  deliveries->pushText("abcdef");
  deliveries->pushExitStatus(7);
  queue->runOne();
  deliveries->pushText("gh");
  while (queue->runOne()) {
  }
  EXPECT_EQ(receiver->events, (Events{"abcd", "ef", "status 7", "gh"}));
}

}  // namespace
}  // namespace corvane
