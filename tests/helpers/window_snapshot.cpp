// Runs the installer in-process over a payload and a scratch home, and saves a
// picture of its window once the run is over, in the light or the dark palette:
//   window_snapshot PAYLOAD_DIR HOME OUT.png [light|dark]
#include <QApplication>
#include <QPalette>
#include <QStyleFactory>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "corvane/app/installer_delegate.h"
#include "corvane/qt/installer_window.h"
#include "corvane/qt/qt_platform_services.h"
#include "corvane/qt/spinner_widget.h"

namespace {

class SnapshotPlatform : public corvane::qt::QtPlatformServices {
 public:
  explicit SnapshotPlatform(std::string resources) : resources_(std::move(resources)) {}
  std::string resourceDirectory() override { return resources_; }
  bool openApplication(const std::string& /*bundlePath*/) override { return true; }

 private:
  std::string resources_;
};

QPalette DarkPalette() {
  QPalette p;
  const QColor window(0x32, 0x32, 0x32), base(0x1e, 0x1e, 0x1e), text(0xe6, 0xe6, 0xe6);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0x4a, 0x4a, 0x4a));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
  p.setColor(QPalette::Highlight, QColor(0x2f, 0x65, 0xca));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: window_snapshot PAYLOAD_DIR HOME OUT.png [light|dark]\n";
    return 64;
  }
  QApplication application(argc, argv);
  if (argc > 4 && std::string(argv[4]) == "dark") {
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(DarkPalette());
  }
  namespace fs = std::filesystem;
  const fs::path resources = fs::path(argv[2]) / "bundle/Contents/Resources";
  fs::create_directories(resources);
  fs::remove_all(resources / "payload");
  fs::copy(argv[1], resources / "payload", fs::copy_options::recursive);
  ::setenv("HOME", argv[2], 1);

  auto platform = std::make_shared<SnapshotPlatform>(resources.string());
  auto delegate = std::make_shared<corvane::InstallerDelegate>(platform);
  delegate->applicationDidFinishLaunching();
  QWidget* window = static_cast<corvane::qt::QtWindow*>(delegate->window().get())->widget();
  auto* spinner = window->findChild<corvane::qt::SpinnerWidget*>(corvane::qt::names::kSpinner);
  if (!QTest::qWaitFor([&] { return !spinner->isAnimating(); }, 30000)) return 1;
  QTest::qWait(300);
  const bool saved = window->grab().save(QString::fromLocal8Bit(argv[3]));
  platform->shutdown();
  return saved ? 0 : 1;
}
