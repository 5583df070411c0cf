#include "corvane/app/installer_delegate.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "corvane/engine/install_plan.h"
#include "manual_main_queue.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::TempDir;
using testing::WriteFile;

// Controls that remember what was done to them.
struct FakeLabel : StatusLabel {
  void setText(const std::string& t) override { text = t; }
  std::string text = "環境構築を準備しています...";
};
struct FakeSpinner : Spinner {
  void stopAnimation() override { animating = false; }
  bool animating = true;
};
struct FakeButton : Button {
  explicit FakeButton(bool e) : enabled(e) {}
  void setEnabled(bool e) override { enabled = e; }
  bool enabled;
};
struct FakeLog : LogView {
  void appendText(std::string_view t) override { text += t; }
  void scrollToEnd() override {
    scrolledAt = text.size();
    ++scrolls;
  }
  std::string text;
  std::size_t scrolledAt = 0;
  int scrolls = 0;
};

class FakePlatform : public PlatformServices {
 public:
  InstallerWindow buildWindow(WindowActions a) override {
    actions = std::move(a);
    ++windowsBuilt;
    return {std::make_shared<Window>(), label, log, spinner, openButton, quitButton};
  }
  std::shared_ptr<MainQueue> mainQueue() override { return queue; }
  std::string resourceDirectory() override { return resources; }
  std::string homeDirectory() override { return home; }
  bool openApplication(const std::string& path) override {
    opened.push_back(path);
    return acceptOpen;
  }
  void terminate() override { ++terminations; }
  std::string shellPath() override { return shell; }

  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<FakeLabel> label = std::make_shared<FakeLabel>();
  std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
  std::shared_ptr<FakeSpinner> spinner = std::make_shared<FakeSpinner>();
  std::shared_ptr<FakeButton> openButton = std::make_shared<FakeButton>(false);
  std::shared_ptr<FakeButton> quitButton = std::make_shared<FakeButton>(true);
  WindowActions actions;
  std::string resources;
  std::string home;
  std::string shell = "/bin/bash";
  bool acceptOpen = true;
  std::vector<std::string> opened;
  int windowsBuilt = 0;
  int terminations = 0;
};

const std::string kWelcome(texts::kWelcome);

class InstallerDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform->resources = (dir.path() / "Setup.app/Contents/Resources").string();
    platform->home = (dir.path() / "home").string();
    fs::create_directories(platform->home);
  }

  void TearDown() override { platform->queue->discardAll(); }

  void GivePayload(const std::string& installScript) {
    WriteFile(fs::path(platform->resources) / "payload/scripts/install_mac_app.sh",
              "#!/bin/bash\n" + installScript);
  }

  // Start-up, then the delayed start.
  void Launch() {
    delegate->applicationDidFinishLaunching();
    ASSERT_EQ(platform->queue->delays(), std::deque<std::chrono::milliseconds>{400ms});
    platform->queue->runDelayed();
  }

  void RunToOutcome() {
    ASSERT_TRUE(platform->queue->runUntil([&] { return !delegate->task(); }));
  }

  std::string RootLine() const {
    return "インストール先: " + InstallRootPath(platform->home) + "\n";
  }

  TempDir dir;
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  std::shared_ptr<InstallerDelegate> delegate = std::make_shared<InstallerDelegate>(platform);
};

TEST_F(InstallerDelegateTest, StartUpShowsTheWindowAndWelcomeThenWaits) {
  GivePayload("exit 0\n");
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(platform->windowsBuilt, 1);
  EXPECT_EQ(platform->log->text, kWelcome);
  EXPECT_EQ(platform->log->scrolledAt, kWelcome.size());
  EXPECT_EQ(platform->label->text, "環境構築を準備しています...");
  EXPECT_TRUE(platform->spinner->animating);
  EXPECT_FALSE(platform->openButton->enabled);
  EXPECT_EQ(delegate->statusLabel(), platform->label);
  EXPECT_FALSE(delegate->task());
  EXPECT_TRUE(InstallerDelegate::applicationShouldTerminateAfterLastWindowClosed());
}

TEST_F(InstallerDelegateTest, SuccessShowsItsTextsAndOpensTheApp) {
  GivePayload("echo 'コピー完了'\necho warn >&2\n");
  Launch();
  EXPECT_EQ(platform->label->text, "必要ファイルを配置し、依存関係をインストールしています...");
  EXPECT_EQ(delegate->installedAppPath(), AppBundlePath(platform->home));
  ASSERT_TRUE(delegate->task());
  EXPECT_NE(delegate->task()->processIdentifier(), 0);
  RunToOutcome();
  // Output read before the exit may still be on its way.
  platform->queue->runUntil([&] { return platform->log->text.find("warn\n") != std::string::npos; },
                            5s);

  EXPECT_EQ(platform->label->text, "セットアップが完了しました。");
  EXPECT_FALSE(platform->spinner->animating);
  EXPECT_TRUE(platform->openButton->enabled);
  EXPECT_TRUE(platform->quitButton->enabled);
  const std::string success = "\nセットアップが完了しました。Corvane.app を開きます。\n";
  const std::string& log = platform->log->text;
  EXPECT_EQ(log.rfind(kWelcome + RootLine(), 0), 0U) << log;
  EXPECT_NE(log.find("コピー完了\n"), std::string::npos) << log;
  EXPECT_NE(log.find(success), std::string::npos) << log;
  EXPECT_EQ(platform->opened, std::vector<std::string>{AppBundlePath(platform->home)});
}

TEST_F(InstallerDelegateTest, NonZeroStatusIsAFailureWithItsCode) {
  GivePayload("exit 127\n");
  Launch();
  RunToOutcome();
  EXPECT_EQ(platform->label->text, "セットアップに失敗しました。ログを確認してください。");
  EXPECT_EQ(platform->log->text,
            kWelcome + RootLine() + "\nセットアップに失敗しました。終了コード: 127\n");
  EXPECT_FALSE(platform->spinner->animating);
  EXPECT_FALSE(platform->openButton->enabled);
  EXPECT_TRUE(platform->opened.empty());
}

TEST_F(InstallerDelegateTest, NegativeStatusIsShownSigned) {
  delegate->buildWindow();
  delegate->installDidFinishWithStatus(-2);
  EXPECT_EQ(platform->log->text, "\nセットアップに失敗しました。終了コード: -2\n");
}

TEST_F(InstallerDelegateTest, PlainFilePayloadStopsBeforeAnything) {
  WriteFile(fs::path(platform->resources) / "payload", "");
  Launch();
  EXPECT_EQ(platform->label->text, "インストール用ファイルが見つかりませんでした。");
  EXPECT_EQ(platform->log->text, kWelcome + "インストール用ファイルが見つかりませんでした。\n");
  EXPECT_FALSE(platform->spinner->animating);
  EXPECT_FALSE(platform->openButton->enabled);
  EXPECT_FALSE(delegate->task());
  EXPECT_TRUE(delegate->installedAppPath().empty());
  EXPECT_FALSE(fs::exists(fs::path(platform->home) / "Library"));
  delegate->openInstalledApp();
  EXPECT_TRUE(platform->opened.empty());
}

TEST_F(InstallerDelegateTest, LaunchFailureShowsTheReasonAfterTheRootLine) {
  GivePayload("exit 0\n");
  platform->shell = (dir.path() / "no such shell").string();
  Launch();
  const std::string message =
      "インストーラーを起動できませんでした: " + platform->shell + ": No such file or directory";
  EXPECT_EQ(platform->label->text, message);
  EXPECT_EQ(platform->log->text, kWelcome + RootLine() + message + "\n");
  EXPECT_FALSE(platform->spinner->animating);
  EXPECT_FALSE(platform->openButton->enabled);
  ASSERT_TRUE(delegate->task()) << "the unlaunched process stays in task";
  EXPECT_EQ(platform->queue->runAll(), 0U);
}

TEST_F(InstallerDelegateTest, PathBytesThatAreNotUtf8AreShownNotDropped) {
  platform->home += "/caf\xE9";
  platform->shell = platform->home + "/no shell";
  fs::create_directories(platform->home);
  GivePayload("exit 0\n");
  Launch();
  const std::string shown = (dir.path() / "home").string() + "/caf\u00C8";
  EXPECT_EQ(platform->log->text, kWelcome + "インストール先: " + shown +
                                     "/Library/Application Support/Corvane\n" +
                                     "インストーラーを起動できませんでした: " + shown +
                                     "/no shell: No such file or directory\n");
  // The paths themselves keep their bytes.
  EXPECT_EQ(delegate->installedAppPath(), platform->home + "/Applications/Corvane.app");
}

TEST_F(InstallerDelegateTest, RefusedOpenIsLoggedOnEveryTry) {
  const std::string refusal =
      "Corvane.app を自動で開けませんでした。~/Applications から開いてください。\n";
  GivePayload("exit 0\n");
  platform->acceptOpen = false;
  Launch();
  RunToOutcome();
  EXPECT_EQ(
      platform->log->text,
      kWelcome + RootLine() + "\nセットアップが完了しました。Corvane.app を開きます。\n" + refusal);
  platform->actions.openInstalledApp();
  platform->actions.openInstalledApp();
  EXPECT_EQ(platform->opened.size(), 3U);
  EXPECT_EQ(platform->log->text.size() - platform->log->text.rfind(refusal + refusal + refusal),
            3 * refusal.size());
  EXPECT_EQ(platform->label->text, "セットアップが完了しました。");
  EXPECT_TRUE(platform->openButton->enabled);
  platform->acceptOpen = true;
  platform->actions.openInstalledApp();
  EXPECT_TRUE(platform->log->text.ends_with(refusal + refusal + refusal));
}

TEST_F(InstallerDelegateTest, OutputAfterTheOutcomeIsAppendedBelowIt) {
  GivePayload("(sleep 0.3; echo late) &\nexit 0\n");
  Launch();
  RunToOutcome();
  ASSERT_TRUE(platform->queue->runUntil([&] { return platform->log->text.ends_with("late\n"); }));
  EXPECT_TRUE(platform->log->text.ends_with("を開きます。\nlate\n"));
}

TEST_F(InstallerDelegateTest, AppendLogIgnoresAbsentTextButScrollsForEmpty) {
  delegate->buildWindow();
  delegate->appendLog(std::nullopt);
  EXPECT_EQ(platform->log->scrolls, 0);
  delegate->appendLog("");
  EXPECT_EQ(platform->log->scrolls, 1);
  EXPECT_EQ(platform->log->text, "");
  delegate->appendLog("no line feed");
  delegate->appendLog(" continues");
  EXPECT_EQ(platform->log->text, "no line feed continues");
}

TEST_F(InstallerDelegateTest, QuitTerminatesAtAnyTime) {
  GivePayload("sleep 30\n");
  Launch();
  platform->actions.quit();
  EXPECT_EQ(platform->terminations, 1);
  ASSERT_TRUE(delegate->task());
  // The script is left alone: still running.
  EXPECT_EQ(::kill(delegate->task()->processIdentifier(), 0), 0);
  ::kill(delegate->task()->processIdentifier(), SIGKILL);
  RunToOutcome();
}

TEST_F(InstallerDelegateTest, DelegateGoneBeforeItsDeliveriesIsHarmless) {
  GivePayload("echo one; echo two; exit 5\n");
  Launch();
  std::weak_ptr<InstallerDelegate> weak = delegate;
  auto task = delegate->task();
  delegate.reset();
  ASSERT_TRUE(weak.expired());
  const std::string logBefore = platform->log->text;
  ASSERT_TRUE(platform->queue->runUntil(
      [&] { return !task->isOutputOpen() && platform->queue->pending() == 0; }));
  EXPECT_EQ(platform->log->text, logBefore);
  EXPECT_TRUE(platform->spinner->animating);
  // Buttons outlive the delegate in a toolkit; pressing them now does nothing.
  platform->actions.openInstalledApp();
  platform->actions.quit();
  EXPECT_EQ(platform->terminations, 0);
}

}  // namespace
}  // namespace corvane
