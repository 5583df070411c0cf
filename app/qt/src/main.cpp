#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "corvane/engine/inherited_state.h"
#include "corvane/qt/qt_platform_services.h"

int main(int argc, char* argv[]) {
  corvane::SettleInheritedState();
  corvane::SettleHomeEnvironment();
#ifdef __GLIBC__
  // Each thread's malloc arena would reserve 64 MiB of address space; under a
  // limit on it (ulimit -v), that is room the log needs.
  mallopt(M_ARENA_MAX, 2);
#endif
  // Qt reads X11 events on a thread of its own and talks D-Bus on another,
  // and starts one more on the way. Without them there would be no window
  // and no end: near the process limit, say so and stop instead.
  if (const std::string reason = corvane::WhyThreadsCannotStart(3); !reason.empty()) {
    (void)std::fprintf(stderr, "Corvane Installer: ウィンドウを開けませんでした: %s\n",
                       reason.c_str());
    return 1;
  }
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(
      corvane::InstallerDelegate::applicationShouldTerminateAfterLastWindowClosed());
  corvane::qt::LoadJapaneseTranslations();
  std::unique_ptr<QSocketNotifier> endOnSignal;
  if (const int fd = corvane::WatchTerminationSignals(); fd >= 0) {
    endOnSignal = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(endOnSignal.get(), &QSocketNotifier::activated, &QApplication::quit);
  }

  auto platform = std::make_shared<corvane::qt::QtPlatformServices>();
  auto delegate = std::make_shared<corvane::InstallerDelegate>(platform);
  delegate->applicationDidFinishLaunching();
  QApplication::exec();
  delegate->applicationWillTerminate();
  // The closures still queued let go of the controller.
  platform->shutdown();
  return 0;
}
