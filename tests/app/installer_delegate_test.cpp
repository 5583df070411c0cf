#include "corvane/app/installer_delegate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "corvane/engine/install_plan.h"
#include "manual_main_queue.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct FakeButton : Button {
  void setEnabled(bool e) override { enabled = e; }
  bool enabled = false;
};

const std::string kWelcome = "Corvane のセットアップを開始します。\n";
const std::string kSuccessLine = "\nセットアップが完了しました。Corvane.app を開きます。\n";

// The controller with the real plan and runner, real bash and files; the
// fixture is its platform, its status label and spinner.
class InstallerDelegateTest : public ::testing::Test,
                              public PlatformServices,
                              public StatusLabel,
                              public Spinner {
 protected:
  InstallerWindow buildWindow(WindowActions a, std::shared_ptr<LogModel> /*log*/) override {
    actions = std::move(a);
    const std::shared_ptr<InstallerDelegateTest> self(std::shared_ptr<void>(), this);  // unowned
    return {std::make_shared<Window>(), self, self, openButton, nullptr};
  }
  std::shared_ptr<MainQueue> mainQueue() override { return queue; }
  std::string resourceDirectory() override { return resources; }
  std::string homeDirectory() override { return home; }
  bool openApplication(const std::string& path) override {
    opened.push_back(path);
    return true;
  }
  void terminate() override { ++terminations; }
  void setRunInProgress(bool inProgress) override { runInProgress.push_back(inProgress); }
  std::string shellPath() override { return shell; }
  std::string keeperPath() override { return CORVANE_KEEPER; }
  void setText(const std::string& t) override { status = t; }
  void stopAnimation() override { animating = false; }

  void TearDown() override { queue->close(); }

  void GivePayload(const std::string& installScript) {
    const fs::path script = fs::path(resources) / "payload/scripts/install_mac_app.sh";
    testing::WriteFile(script, "#!/bin/bash\n" + installScript);
    fs::permissions(script, fs::perms::owner_all);
  }
  // Start-up shows the welcome at once; the run starts only after the delay.
  void Launch() {
    delegate->applicationDidFinishLaunching();
    EXPECT_TRUE(Log() == kWelcome && !delegate->task()) << Log();
    queue->runDelayed();
  }
  void RunToOutcome() {
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->task(); }));
  }
  std::string Log() const { return delegate->log()->store().text(); }
  std::string RootLine() const { return "インストール先: " + InstallRootPath(home) + "\n"; }
  fs::path LogFile(const char* name = "install.log") const {
    return fs::path(LogFolderPath(home)) / name;
  }

  testing::TempDir dir;
  std::string resources = (dir.path() / "Setup.app/Contents/Resources").string();
  std::string home = dir.path().string();
  std::string shell = "/bin/bash";
  std::shared_ptr<testing::ManualMainQueue> queue = std::make_shared<testing::ManualMainQueue>();
  std::shared_ptr<FakeButton> openButton = std::make_shared<FakeButton>();
  WindowActions actions;
  std::string status = "環境構築を準備しています...";
  bool animating = true;
  std::vector<std::string> opened;
  std::vector<bool> runInProgress;
  int terminations = 0;
  std::shared_ptr<InstallerDelegate> delegate = std::make_shared<InstallerDelegate>(
      std::shared_ptr<InstallerDelegateTest>(std::shared_ptr<void>(), this));
};

// A folder where the last run's file should go is said once; the run goes
// on, and the last run's file is not left to pass for this one's.
TEST_F(InstallerDelegateTest, LogFileThatCannotBeWrittenIsSaidOnceAndTheRunGoesOn) {
  testing::WriteFile(LogFile(), "the run before\n");
  fs::create_directories(LogFile("install.1.log"));
  GivePayload("echo fine\n");
  Launch();
  RunToOutcome();
  EXPECT_EQ(Log(), kWelcome + RootLine() +
                       "ログファイルに書き込めませんでした: " + LogFile("install.1.log").string() +
                       ": " + std::strerror(EISDIR) + "\nfine\n" + kSuccessLine);
  EXPECT_FALSE(testing::ReadFile(LogFile()).starts_with("the run before"));
}

// No home stops the run before anything is made: never an install under "/".
TEST_F(InstallerDelegateTest, StopsBeforeAnythingWithoutAHome) {
  GivePayload("exit 0\n");
  const fs::path was = home;
  home.clear();
  Launch();
  EXPECT_EQ(status, "ホームフォルダが見つかりませんでした。");
  EXPECT_EQ(Log(), kWelcome + status + "\n");
  EXPECT_FALSE(animating || delegate->task());
  EXPECT_FALSE(fs::exists(was / "Library"));
  actions.openInstalledApp();
  EXPECT_TRUE(opened.empty()) << "no app path without a home";
}

// A home that does not exist yet is made first, so that both lock the same
// folder; the waiting is said once.
TEST_F(InstallerDelegateTest, WaitsWhileAnotherInstallerHasAHomeNotMadeYet) {
  home += "/not yet";
  GivePayload("exit 0\n");
  delegate->buildWindow();
  auto other = std::make_unique<FolderLock>(home);
  ASSERT_EQ(other->state(), FolderLock::State::kHeld);
  delegate->startInstall();
  queue->runDelayed();  // still taken: it goes on waiting
  EXPECT_EQ(status, "別のインストーラーの完了を待っています...");
  EXPECT_EQ(Log(), status + "\n") << "said once";
  EXPECT_FALSE(delegate->task());
  other.reset();
  queue->runDelayed();
  ASSERT_TRUE(delegate->task());
  EXPECT_EQ(FolderLock(home).state(), FolderLock::State::kBusy) << "held while it installs";
  RunToOutcome();
  // Its keeper lets go of its copy as the script ends, in a process of its own.
  EXPECT_TRUE(queue->runUntil([&] { return FolderLock(home).state() == FolderLock::State::kHeld; }))
      << "and let go once the run is over";
}

TEST_F(InstallerDelegateTest, DelegateGoneBeforeItsDeliveriesIsHarmless) {
  GivePayload("echo one; echo two; exit 5\n");
  Launch();
  const std::weak_ptr<InstallerDelegate> weak = delegate;
  const std::shared_ptr<LogModel> model = delegate->log();
  const std::shared_ptr<InstallProcess> process = delegate->task();
  delegate.reset();
  ASSERT_TRUE(weak.expired()) << "only the delayed start and the entry hold it";
  const std::string before = model->store().text();
  ASSERT_TRUE(queue->runUntil([&] { return !process->isOutputOpen() && queue->pending() == 0; }));
  EXPECT_EQ(model->store().text(), before);
  EXPECT_TRUE(animating);
  // Buttons outlive the delegate in a toolkit; pressing them now does nothing.
  actions.openInstalledApp();
  actions.quit();
  EXPECT_EQ(terminations, 0);
}

}  // namespace
}  // namespace corvane
