#include <QApplication>
#include <memory>

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "corvane/engine/standard_descriptors.h"
#include "corvane/qt/qt_platform_services.h"

int main(int argc, char* argv[]) {
  corvane::EnsureStandardDescriptors();
  corvane::SettleHomeEnvironment();
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(
      corvane::InstallerDelegate::applicationShouldTerminateAfterLastWindowClosed());
  corvane::qt::LoadJapaneseTranslations();

  auto platform = std::make_shared<corvane::qt::QtPlatformServices>();
  auto delegate = std::make_shared<corvane::InstallerDelegate>(platform);
  delegate->applicationDidFinishLaunching();
  QApplication::exec();
  // From here on, output from a script that outlives us is dropped, and the
  // closures still queued let go of the controller.
  platform->shutdown();
  return 0;
}
