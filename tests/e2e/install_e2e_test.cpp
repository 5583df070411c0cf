// The whole installer in-process: the Qt front end, the controller, the engine,
// real bash and real files, in a temporary bundle and a temporary home.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>

#include "corvane/app/installer_delegate.h"
#include "corvane/engine/install_plan.h"
#include "corvane/qt/installer_window.h"
#include "corvane/qt/log_text_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "corvane/qt/spinner_widget.h"
#include "temp_dir.h"

namespace corvane::qt {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

class BundlePlatform : public QtPlatformServices {
 public:
  explicit BundlePlatform(std::string resources) : resources_(std::move(resources)) {}
  std::string resourceDirectory() override { return resources_; }

 private:
  std::string resources_;
};

class InstallEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    resources = dir.path() / "Corvane Installer.app/Contents/Resources";
    home = dir.path() / "home";
    fs::create_directories(resources);
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
  }

  void BundleDemoPayload() {
    fs::copy(CORVANE_DEMO_PAYLOAD, resources / "payload", fs::copy_options::recursive);
  }

  void Start() {
    platform = std::make_shared<BundlePlatform>(resources.string());
    delegate = std::make_shared<InstallerDelegate>(platform);
    delegate->applicationDidFinishLaunching();
    window = static_cast<QtWindow*>(delegate->window().get())->widget();
  }

  // Waits for the outcome, then for the output still on its way.
  void WaitForOutcome() {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Spinner()->isAnimating(); }, 30000));
    QTest::qWait(100);
  }

  QString Status() { return window->findChild<QLabel*>(names::kStatusLabel)->text(); }
  QString Log() { return window->findChild<LogTextView*>(names::kLogView)->text(); }
  SpinnerWidget* Spinner() { return window->findChild<SpinnerWidget*>(names::kSpinner); }
  QPushButton* OpenButton() { return window->findChild<QPushButton*>(names::kOpenButton); }
  fs::path InstallRoot() const { return InstallRootPath(home.string()); }

  TempDir dir;
  fs::path resources;
  fs::path home;
  std::shared_ptr<BundlePlatform> platform;
  std::shared_ptr<InstallerDelegate> delegate;
  QWidget* window = nullptr;
};

TEST_F(InstallEndToEnd, DemoPayloadInstallsAndOpensTheApp) {
  BundleDemoPayload();
  Start();
  EXPECT_EQ(Log(), QString::fromStdString(std::string(texts::kWelcome)));
  WaitForOutcome();

  EXPECT_EQ(Status(), "セットアップが完了しました。");
  EXPECT_TRUE(OpenButton()->isEnabled());
  const QString log = Log();
  const QString rootLine =
      "インストール先: " + QString::fromStdString(InstallRoot().string()) + "\n";
  EXPECT_TRUE(log.startsWith(QString::fromStdString(std::string(texts::kWelcome)) + rootLine))
      << log.toStdString();
  EXPECT_TRUE(log.contains("==> Corvane 1.0.0 をインストールします\n")) << log.toStdString();
  EXPECT_TRUE(log.contains("警告: デモ版のため、署名は行いません\n")) << "stderr is in the log too";
  EXPECT_TRUE(log.endsWith(
      "==> 完了しました (Corvane 1.0.0)\n\nセットアップが完了しました。Corvane.app を開きます。\n"))
      << log.toStdString();

  // The demo app records its start in the install root.
  const fs::path started = InstallRoot() / "logs/start.log";
  EXPECT_TRUE(QTest::qWaitFor([&] { return fs::exists(started); }, 10000));
  EXPECT_NE(ReadFile(started).find("Corvane 1.0.0 started"), std::string::npos);

  // Each press of the open button opens it again.
  QTest::mouseClick(OpenButton(), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const std::string text = ReadFile(started);
        return std::count(text.begin(), text.end(), '\n') == 2;
      },
      10000));
}

}  // namespace
}  // namespace corvane::qt
