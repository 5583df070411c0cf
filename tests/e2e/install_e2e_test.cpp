// The whole Linux installer in-process, real bash and real files: what the
// window's accessible text cannot show exactly (NUL, CR, lines split for
// display, 100 MB) must come through byte for byte, in the log and, as the
// script's own bytes, in the log file.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <filesystem>

#include "corvane/app/installer_delegate.h"
#include "corvane/engine/install_plan.h"
#include "corvane/engine/output_decoder.h"
#include "corvane/qt/installer_window.h"
#include "corvane/qt/log_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "corvane/qt/spinner_widget.h"
#include "temp_dir.h"

namespace corvane::qt {
namespace {

namespace fs = std::filesystem;
using testing::WriteFile;

struct BundlePlatform : QtPlatformServices {
  explicit BundlePlatform(std::string folder) : resources(std::move(folder)) {}
  std::string resourceDirectory() override { return resources; }
  std::string homeDirectory() override { return resources + "/home"; }
  bool openApplication(const std::string& /*bundlePath*/) override { return true; }
  std::string resources;
};

TEST(InstallEndToEnd, OddBytesAndAHundredMegabytesComeThroughExactly) {
  testing::TempDir dir;
  const fs::path payload = dir.path() / "payload";
  // Japanese and the one byte that is not UTF-8 are more than a read apart, so
  // however the reads fall, no chunk holds both.
  const std::string pieces[] = {"日本語の行\r\n",
                                std::string("nul\0in the middle\n", 18),
                                "progress 50%\rprogress 100%\r",
                                std::string(300000, 'x') + "\n",
                                "caf\xE9 latin-1\n",
                                "no line feed"};
  std::string script = "#!/bin/bash\n";
  for (std::size_t i = 0; i < std::size(pieces); ++i) {
    WriteFile(payload / "pieces" / std::to_string(i), pieces[i]);
    // Apart in time, so that most are reads of their own.
    script += "cat pieces/" + std::to_string(i) + "; sleep 0.1\n";
  }
  script +=
      "seq -f '%08.0f 0123456789012345678901234567890123456789012345678901234567890' 0 1499999\n";
  WriteFile(payload / "scripts/install_mac_app.sh", script);
  fs::permissions(payload / "scripts/install_mac_app.sh", fs::perms::owner_all);

  auto platform = std::make_shared<BundlePlatform>(dir.path().string());
  auto delegate = std::make_shared<InstallerDelegate>(platform);
  delegate->applicationDidFinishLaunching();
  QWidget* window = static_cast<QtWindow*>(delegate->window().window.get())->widget();
  auto* log = window->findChild<LogView*>(names::kLogView);
  auto* status = window->findChild<QLabel*>(names::kStatusLabel);
  // All the output was written before the exit, so it is in by the outcome.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !window->findChild<SpinnerWidget*>(names::kSpinner)->isAnimating(); }, 300000));
  ASSERT_EQ(status->text(), QString::fromUtf8(texts::kSucceededStatus.data()));
  std::string written;
  std::string expected = std::string(texts::kWelcome) +
                         "インストール先: " + InstallRootPath(platform->homeDirectory()) + "\n";
  for (const auto& piece : pieces) {
    written += piece;
    expected += IsValidUtf8(piece) ? piece : DecodeMacRoman(piece);
  }
  std::string lines;
  char line[96];
  for (int i = 0; i < 1500000; ++i) {
    lines.append(line,
                 static_cast<std::size_t>(std::snprintf(
                     line, sizeof line,
                     "%08d 0123456789012345678901234567890123456789012345678901234567890\n", i)));
  }
  written += lines;
  expected += lines + std::string(texts::kSucceededLog);
  const std::string shown = log->model()->store().text();
  EXPECT_GT(shown.size(), 100'000'000U);
  EXPECT_TRUE(shown == expected);
  EXPECT_TRUE(testing::ReadFile(fs::path(LogFolderPath(platform->homeDirectory())) /
                                "install.log") == written)
      << "the file keeps the script's own bytes";
  platform->shutdown();
}

}  // namespace
}  // namespace corvane::qt
