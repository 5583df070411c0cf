#include "corvane/engine/install_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "corvane/engine/delivery_queue.h"
#include "script_run.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::RecordingReceiver;
using testing::RunScript;

std::size_t CountEntries(const char* dir) {
  std::size_t count = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* entry = ::readdir(d)) count += entry->d_name[0] != '.';
    ::closedir(d);
  }
  return count;
}

// Threads of this process once a run's threads are gone. A first run comes
// before, since sanitizers start helper threads of their own with the first.
std::size_t QuietThreadCount() {
  RunScript("true");
  std::size_t count = CountEntries("/proc/self/task");
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(20ms);
    const std::size_t now = CountEntries("/proc/self/task");
    if (now == count) break;
    count = now;
  }
  return count;
}

TEST(InstallProcess, MergesStdoutAndStderrInTheOrderWritten) {
  const auto result = RunScript("echo out; echo err >&2; echo out2; printf 'no newline'");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "out\nerr\nout2\nno newline");
}

TEST(InstallProcess, ExitStatusesComeBackUnchanged) {
  EXPECT_EQ(RunScript("exit 0").status, 0);
  EXPECT_EQ(RunScript("exit 1").status, 1);
  EXPECT_EQ(RunScript("exit 255").status, 255);
  const auto missing = RunScript("/no/such/program");
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.output.find("/no/such/program"), std::string::npos);
  // Ended by a signal: 128 + N, as shells report it.
  EXPECT_EQ(RunScript("kill -TERM $$").status, 128 + SIGTERM);
  EXPECT_EQ(RunScript("kill -KILL $$").status, 128 + SIGKILL);
}

TEST(InstallProcess, SilentScriptDeliversOnlyItsStatus) {
  auto queue = std::make_shared<ManualMainQueue>();
  auto receiver = std::make_shared<RecordingReceiver>();
  InstallProcess process("true");
  process.launch(queue, receiver);
  ASSERT_TRUE(
      queue->runUntil([&] { return receiver->statusCount == 1 && !process.isOutputOpen(); }));
  queue->runAll();
  EXPECT_EQ(receiver->events, (std::vector<std::string>{"\x01"
                                                        "0"}));
}

TEST(InstallProcess, FiftyMegabytesArriveCompleteAndInOrder) {
  // Numbered lines: any loss, duplicate or reordering changes the text.
  const auto result = RunScript(
      "for ((i = 0; i < 800000; i++)); do printf '%07d %s\\n' $i "
      "'the quick brown fox jumps over the lazy dog 0123456789'; done");
  ASSERT_EQ(result.status, 0);
  std::string expected;
  expected.reserve(result.output.size());
  char line[128];
  for (int i = 0; i < 800000; ++i) {
    std::snprintf(line, sizeof line,
                  "%07d the quick brown fox jumps over the lazy dog 0123456789\n", i);
    expected += line;
  }
  ASSERT_EQ(result.output.size(), expected.size());
  EXPECT_TRUE(result.output == expected);
}

TEST(InstallProcess, BackgroundWriterKeepsOutputFlowingAfterTheStatus) {
  auto queue = std::make_shared<ManualMainQueue>();
  auto receiver = std::make_shared<RecordingReceiver>();
  InstallProcess process("echo before; (sleep 0.5; echo late) & exit 3");
  process.launch(queue, receiver);
  ASSERT_TRUE(queue->runUntil([&] { return receiver->statusCount == 1; }));
  EXPECT_TRUE(process.isOutputOpen()) << "the background process still holds the pipe";
  EXPECT_EQ(receiver->output, "before\n");
  ASSERT_TRUE(queue->runUntil([&] { return !process.isOutputOpen() && queue->pending() == 0; }));
  EXPECT_EQ(receiver->events, (std::vector<std::string>{"before\n",
                                                        "\x01"
                                                        "3",
                                                        "late\n"}));
}

TEST(InstallProcess, OutputWrittenBeforeTheExitIsAboveTheStatus) {
  // Reader and waiter race: without the grace period for the pipe's last
  // output, a loaded machine puts the final lines below the outcome now and then.
  for (int i = 0; i < 200; ++i) {
    auto queue = std::make_shared<ManualMainQueue>();
    auto receiver = std::make_shared<RecordingReceiver>();
    InstallProcess process("seq 1 300; echo last >&2; exit 2");
    process.launch(queue, receiver);
    ASSERT_TRUE(queue->runUntil([&] { return receiver->statusCount == 1; }));
    ASSERT_TRUE(receiver->output.ends_with("300\nlast\n")) << "run " << i;
    queue->runAll();
    ASSERT_EQ(receiver->events.back(),
              "\x01"
              "2");
  }
}

TEST(InstallProcess, FailedLaunchThrowsItsReasonAndDeliversNothing) {
  auto queue = std::make_shared<ManualMainQueue>();
  auto receiver = std::make_shared<RecordingReceiver>();
  InstallProcess process("echo never", "/no/such/bash");
  try {
    process.launch(queue, receiver);
    FAIL() << "launch should have failed";
  } catch (const LaunchError& error) {
    EXPECT_EQ(std::string(error.what()), "/no/such/bash: No such file or directory");
  }
  EXPECT_EQ(process.processIdentifier(), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(queue->runAll(), 0U);
  EXPECT_TRUE(receiver->events.empty());
}

TEST(InstallProcess, ReceiverThatIsGoneGetsNothing) {
  const std::size_t threadsBefore = QuietThreadCount();
  auto queue = std::make_shared<ManualMainQueue>();
  auto receiver = std::make_shared<RecordingReceiver>();
  InstallProcess process("echo one; echo two >&2; exit 4");
  process.launch(queue, receiver);
  std::weak_ptr<RecordingReceiver> weak = receiver;
  receiver.reset();
  ASSERT_TRUE(weak.expired());
  // The run still completes: everything is read and drained, touching nothing.
  // Once the runner's threads are gone, every delivery has been posted.
  EXPECT_TRUE(queue->runUntil([&] { return CountEntries("/proc/self/task") == threadsBefore; }));
  queue->runAll();
  EXPECT_EQ(queue->pending(), 0U);
}

TEST(InstallProcess, ChildSeesOnlyStandardDescriptors) {
  // Descriptors of ours that must not leak: a plain file and a socket-like pipe.
  const int extra = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(extra, 0);
  const auto result = RunScript("ls /proc/self/fd");
  ::close(extra);
  // ls itself opens one descriptor to list the directory.
  EXPECT_EQ(result.output, "0\n1\n2\n3\n");
}

TEST(InstallProcess, ManyRunsLeakNoDescriptorOrThread) {
  const std::size_t threadsBefore = QuietThreadCount();
  const std::size_t fdsBefore = CountEntries("/proc/self/fd");
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(RunScript("echo $$").status, 0);
  // Reader and waiter threads end just after their last delivery.
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > threadsBefore; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
  EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
}

// The hand-off between the runner's threads and the main queue.
class DeliveryQueueTest : public ::testing::Test {
 protected:
  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<RecordingReceiver> receiver = std::make_shared<RecordingReceiver>();
};

TEST_F(DeliveryQueueTest, BurstDrainsInBoundedOrderedSlices) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 1000);
  std::string sent;
  for (int i = 0; i < 500; ++i) {
    std::string line = "line " + std::to_string(i) + " ツ\n";
    sent += line;
    deliveries->pushText(line);
  }
  deliveries->pushText(std::string(2500, 'x'));
  sent += std::string(2500, 'x');
  EXPECT_EQ(queue->pending(), 1U) << "one drain waits, however much is queued";
  while (queue->runOne()) EXPECT_LE(queue->pending(), 1U);
  EXPECT_EQ(receiver->output, sent);
  // Adjacent texts are merged: about one slice per kilobyte.
  EXPECT_LE(receiver->events.size(), sent.size() / 900 + 2);
  for (const auto& slice : receiver->events) {
    EXPECT_LE(slice.size(), 1000U);
    EXPECT_NE(static_cast<unsigned char>(slice.back()) & 0xC0U, 0x80U) << "no character is cut";
  }
}

TEST_F(DeliveryQueueTest, StatusSitsBetweenOutputReadBeforeAndAfterIt) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 4);
  deliveries->pushText("abcdef");
  deliveries->pushExitStatus(7);
  queue->runOne();
  deliveries->pushText("gh");
  queue->runAll();
  EXPECT_EQ(receiver->events, (std::vector<std::string>{"abcd", "ef",
                                                        "\x01"
                                                        "7",
                                                        "gh"}));
}

TEST_F(DeliveryQueueTest, OutputFromManyThreadsArrivesWhole) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 64);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&deliveries, t] {
      for (int i = 0; i < 2000; ++i)
        deliveries->pushText(std::string(1, static_cast<char>('a' + t)));
    });
  }
  std::thread pump([&] { queue->runUntil([&] { return receiver->output.size() == 8000; }, 20s); });
  for (auto& w : writers) w.join();
  pump.join();
  queue->runAll();
  for (char c : std::string("abcd"))
    EXPECT_EQ(std::count(receiver->output.begin(), receiver->output.end(), c), 2000);
}

}  // namespace
}  // namespace corvane
