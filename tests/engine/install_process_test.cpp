#include "corvane/engine/install_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "corvane/engine/folder_lock.h"
#include "corvane/engine/install_plan.h"
#include "delivery_queue.h"
#include "log_file_layout.h"
#include "process_identity.h"
#include "script_run.h"
#include "temp_dir.h"

#ifdef __APPLE__
#include <libproc.h>
#endif

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::RecordingReceiver;
using testing::RunScript;
using Events = std::vector<std::string>;

int OpenDescriptors() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
  return count;
}

// The runner's threads, which it names "install-…".
int RunnerThreads() {
  int count = 0;
#ifdef __linux__
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    count += testing::ReadFile(task.path() / "comm").starts_with("install-");
  }
#elif defined(__APPLE__)
  std::vector<std::uint64_t> threads(4096);
  const int bytes = proc_pidinfo(::getpid(), PROC_PIDLISTTHREADS, 0, threads.data(),
                                 static_cast<int>(threads.size() * sizeof(std::uint64_t)));
  for (int i = 0; i < bytes / static_cast<int>(sizeof(std::uint64_t)); ++i) {
    proc_threadinfo info{};
    if (proc_pidinfo(::getpid(), PROC_PIDTHREADINFO, threads[static_cast<std::size_t>(i)], &info,
                     sizeof info) == sizeof info) {
      count += std::string_view(info.pth_name).starts_with("install-");
    }
  }
#endif
  return count;
}

// Waits for a condition that other threads make true; false after a minute.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class InstallProcessTest : public ::testing::Test {
 protected:
  // A test that failed midway leaves nothing running: each script's
  // process group goes, background loops included.
  void TearDown() override {
    queue->close();
    for (const pid_t script : scripts) ::kill(-script, SIGKILL);
  }
  std::vector<pid_t> scripts;
  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<RecordingReceiver> receiver = std::make_shared<RecordingReceiver>();
};

// The script as a shell runs it: output and errors in one stream, in order,
// with a character cut at the very end shown as Mac OS Roman; statuses as
// shells report them; SIGPIPE back to its default though we ignore it, as
// toolkits do (`yes` would complain of EPIPE instead of ending quietly); no
// descriptor of ours; and a process group of its own, so that its `kill 0`
// ends only itself.
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
      {"kill -KILL $$", "", 128 + SIGKILL},
      {"yes | head -n 1; echo \"${PIPESTATUS[0]}\"", "y\n141\n", 0},  // 128 + SIGPIPE
      {"for fd in $(seq 3 255); do (true <&$fd) 2>/dev/null && echo $fd; done; echo none", "none\n",
       0},
      {"echo before; kill 0", "before\n", 128 + SIGTERM},
      {"trap 'kill 0' EXIT; echo cleaning", "cleaning\n", 128 + SIGTERM},
      {"(kill -- -$$); echo unreached", "", 128 + SIGTERM},
  };
  for (const auto& c : cases) {
    const auto result = RunScript(c.script);
    EXPECT_EQ(result.output, c.output) << c.script;
    EXPECT_EQ(result.status, c.status) << c.script;
  }
  ::close(extra);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

// A slow window, so that the pipe is full whenever the reader looks; it keeps
// each delivery's ends only, as the writer below never stops by itself.
struct EndsReceiver : testing::RecordingReceiver {
  void appendLog(std::optional<std::string_view> text) override {
    std::this_thread::sleep_for(1ms);
    const std::string t(text.value_or(""));
    events.push_back(t.size() <= 32 ? t : t.substr(0, 16) + t.substr(t.size() - 16));
  }
};

// One that keeps the pipe full holds the status back no longer than one that
// is quiet.
TEST_F(InstallProcessTest, BackgroundWriterKeepsOutputFlowingAfterTheStatus) {
  testing::TempDir dir;
  const std::string go = (dir.path() / "go").string();
  auto ends = std::make_shared<EndsReceiver>();
  InstallProcess process("echo before; (yes noise & until [ -e " + ShellQuote(go) +
                         " ]; do sleep 0.01; done; kill $!; wait; echo late) & exit 3");
  process.launch(queue, ends);
  scripts.push_back(process.processIdentifier());
  const bool statusCame = queue->runUntil([&] { return ends->status.has_value(); });
  const bool writerThere = process.isOutputOpen();
  testing::WriteFile(go, "");
  ASSERT_TRUE(statusCame);
  EXPECT_TRUE(writerThere) << "the background process still holds the pipe";
  ASSERT_TRUE(queue->runUntil([&] { return !process.isOutputOpen() && queue->pending() == 0; }));
  const Events& events = ends->events;
  const auto status = std::find(events.begin(), events.end(), "status 3");
  ASSERT_NE(status, events.end());
  EXPECT_TRUE(events.front().starts_with("before\n"));
  EXPECT_TRUE(status + 1 != events.end() && events.back().ends_with("late\n"));
}

// With no keeper to take the run, the program holds it itself: handing off
// returns only once the script and its output have ended, with its turn held
// until then and the file's ring, past a lap, put in order by the program.
TEST_F(InstallProcessTest, WithNoKeeperTheProgramHoldsTheRunToItsEnd) {
  testing::TempDir dir;
  const std::string go = (dir.path() / "go").string();
  const std::string home = (dir.path() / "home").string();
  std::string error;
  const LogFile::Limits limits{100, 1000};
  const auto file = LogFile::Open((dir.path() / "logs").string(), error, limits);
  auto lock = std::make_unique<FolderLock>(home);
  InstallProcess process("echo begin; until [ -e " + ShellQuote(go) +
                         " ]; do sleep 0.01; done; seq 1 5000");
  process.launch(queue, receiver, file, {"", lock->descriptor()});
  scripts.push_back(process.processIdentifier());
  ASSERT_TRUE(queue->runUntil([&] { return receiver->output == "begin\n"; }));
  lock.reset();
  std::thread later([&] {
    // Past the time a run with a keeper is given to stop: this one is not.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(FolderLock(home).state(), FolderLock::State::kBusy) << "the turn is ours";
    testing::WriteFile(go, "");
  });
  process.handOff();
  std::string all = "begin\n";
  for (int i = 1; i <= 5000; ++i) all += std::to_string(i) + "\n";
  EXPECT_TRUE(testing::KeptAsTheFileKeepsOutput(testing::ReadFile(file->path()), all, limits));
  EXPECT_EQ(FolderLock(home).state(), FolderLock::State::kHeld);
  later.join();
}

// The file is private: the output may hold secrets. Full, as a file size
// limit makes it, it is emptied and stays so: the keeper does not take it up
// again for the output that follows the hand-off.
TEST_F(InstallProcessTest, LogFileIsPrivateAndStaysEmptyOnceFullAfterTheHandOff) {
  namespace fs = std::filesystem;
  testing::TempDir dir;
  const std::string go = (dir.path() / "go").string();
  std::string error;
  const auto file = LogFile::Open((dir.path() / "logs").string(), error);
  EXPECT_EQ(fs::status(dir.path() / "logs").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file->path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, nullptr);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{10, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);  // the keeper's too
  InstallProcess process("echo more than ten bytes; until [ -e " + ShellQuote(go) +
                         " ]; do sleep 0.01; done; echo late");
  process.launch(queue, receiver, file, {CORVANE_KEEPER});
  scripts.push_back(process.processIdentifier());
  ASSERT_TRUE(queue->runUntil([&] { return receiver->events.size() == 2; }));
  process.handOff();
  testing::WriteFile(go, "");
  const pid_t script = process.processIdentifier();
  // Reaped here: a run handed off leaves its script to whoever outlives it.
  ASSERT_TRUE(Eventually([&] { return ::waitpid(script, nullptr, WNOHANG) == script; }));
  // Only the keeper is left of our children; until it has ended.
  EXPECT_TRUE(Eventually([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }));
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(receiver->events[0], "log file: " + file->path() + ": File too large");
  EXPECT_EQ(testing::ReadFile(file->path()), "");
}

// The keeper of a run that ends while we live goes with it.
TEST(InstallProcess, ManyRunsLeakNoDescriptorThreadOrProcess) {
  const int before = OpenDescriptors();
  for (int i = 0; i < 300; ++i) ASSERT_EQ(RunScript("echo $$", {CORVANE_KEEPER}).status, 0);
  EXPECT_TRUE(Eventually([] { return RunnerThreads() == 0; }));
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child left behind";
}

// Whether the script still runs, by its id and start: a process of any name
// while it lives; a zombie has ended.
TEST(InstallProcess, ProcessIdentityHoldsWhileItRunsWhateverItsName) {
  testing::TempDir dir;
  const auto odd = dir.path() / "x) Z y";
  std::filesystem::copy_file("/bin/sleep", odd);
  const pid_t pid = Spawn({odd.string(), {odd.string(), "60"}});
  std::optional<ProcessIdentity> running;
  ASSERT_TRUE(Eventually([&] { return (running = RunningProcess(pid)).has_value(); }));
  EXPECT_TRUE(IsRunning(*running));
  EXPECT_FALSE(IsRunning({pid, running->started + 1})) << "another process given its id";
  ::kill(pid, SIGKILL);
  EXPECT_TRUE(Eventually([&] { return !IsRunning(*running); })) << "a zombie";
  ::waitpid(pid, nullptr, 0);
}

// A line a background process writes 50 ms after the script has exited comes
// above the status; here with a grace that cannot run out first.
TEST_F(InstallProcessTest, OutputSoonAfterTheExitIsAboveTheStatus) {
  InstallProcess process(
      "(while kill -0 $$ 2>/dev/null; do sleep 0.01; done; sleep 0.05; echo late) & "
      "echo early; exit 4",
      kDefaultShellPath, 60s);
  process.launch(queue, receiver);
  scripts.push_back(process.processIdentifier());
  ASSERT_TRUE(queue->runUntil([&] { return !process.isOutputOpen() && queue->pending() == 0; }));
  EXPECT_EQ(receiver->events, (Events{"early\n", "late\n", "status 4"}));
}

// What the script wrote before it exited comes before its status, however
// long the main thread leaves it waiting: here it takes nothing until the
// script has exited, with the hand-off full and the rest of the output still
// in the pipe, and no grace to wait for it.
TEST_F(InstallProcessTest, OutputWrittenBeforeTheExitIsAboveTheStatus) {
  const std::size_t size = DeliveryQueue::kMaxPendingBytes + 512 * 1024;
  InstallProcess process(
      "head -c " + std::to_string(size - 4) + " /dev/zero | tr '\\0' x; " + "echo end; exit 2",
      kDefaultShellPath, 0ms);
  process.launch(queue, receiver);
  const pid_t pid = process.processIdentifier();
  ASSERT_TRUE(Eventually([&] { return !RunningProcess(pid); })) << "the script never ended";
  ASSERT_TRUE(queue->runUntil([&] { return !process.isOutputOpen() && queue->pending() == 0; }));
  EXPECT_TRUE(receiver->output.size() == size && receiver->output.ends_with("xend\n"));
  EXPECT_EQ(receiver->events.back(), "status 2");
}

// A shell that cannot be run, or a keeper that ends at once: the run never
// starts, nothing is delivered, and nothing of it is left, no child, no thread.
TEST_F(InstallProcessTest, FailedLaunchThrowsItsReasonAndLeavesNothing) {
  testing::TempDir dir;
  const auto endsAtOnce = dir.path() / "ends";
  testing::WriteFile(endsAtOnce, "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(endsAtOnce, std::filesystem::perms::owner_all);
  // What earlier runs handed off has ended by now, and is reaped.
  ASSERT_TRUE(Eventually([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }));
  InstallProcess noShell("echo never", "/no/such/bash");
  InstallProcess unkept("echo never");
  try {
    noShell.launch(queue, receiver);
    ADD_FAILURE() << "no shell let it start";
  } catch (const LaunchError& error) {
    EXPECT_STREQ(error.what(), "/no/such/bash: No such file or directory");
  }
  try {
    unkept.launch(queue, receiver, nullptr, {endsAtOnce.string()});
    ADD_FAILURE() << "a keeper that ends at once let it start";
  } catch (const LaunchError& error) {
    EXPECT_EQ(error.cause(), LaunchError::Cause::kKeeperEnded) << error.what();
  }
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child left behind";
  EXPECT_TRUE(receiver->events.empty() && queue->pending() == 0);
  EXPECT_TRUE(Eventually([] { return RunnerThreads() == 0; })) << "its threads give up";
}

// The hand-off between the runner's threads and the main queue: in order,
// one drain waiting however much is queued, each pass short.
TEST_F(InstallProcessTest, DeliveriesComeInOrderInShortPasses) {
  auto deliveries = DeliveryQueue::Create(queue, receiver, 4096);
  std::string sent;
  for (int i = 0; i < 500; ++i) {
    std::string text = "line " + std::to_string(i) + " ツ\n";
    sent += text;
    deliveries->pushText(std::move(text));
  }
  deliveries->pushExitStatus(7);
  deliveries->pushText("late\n");
  EXPECT_EQ(queue->pending(), 1U) << "one drain waits, however much is queued";
  std::size_t before = 0;
  while (queue->runOne()) {
    EXPECT_LE(queue->pending(), 1U);
    EXPECT_LE(receiver->output.size() - before, 4096U + 64) << "a pass stops past its slice";
    before = receiver->output.size();
  }
  EXPECT_EQ(receiver->output, sent + "late\n");
  EXPECT_EQ(receiver->events[receiver->events.size() - 2], "status 7") << "then late\\n";
}

// A main thread that takes nothing holds a fast script back through the pipe,
// with a bounded amount waiting in memory.
TEST_F(InstallProcessTest, WaitingOutputIsBounded) {
  auto deliveries = DeliveryQueue::Create(queue, receiver);
  std::atomic<int> pushed = 0;
  std::thread writer([&] {
    for (int i = 0; i < 3; ++i) {
      deliveries->pushText(std::string(DeliveryQueue::kMaxPendingBytes / 2, 'x'));
      ++pushed;
    }
  });
  ASSERT_TRUE(Eventually([&] { return pushed == 2; }));
  std::this_thread::sleep_for(50ms);  // room for a third that would not wait
  EXPECT_EQ(pushed, 2) << "the third waits for the main thread";
  EXPECT_TRUE(queue->runUntil([&] { return pushed == 3; }));
  writer.join();
}

}  // namespace
}  // namespace corvane
