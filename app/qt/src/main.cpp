#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "corvane/engine/inherited_state.h"
#include "corvane/qt/qt_platform_services.h"

namespace {

constexpr const char* kCannotOpenWindow = "Corvane Installer: ウィンドウを開けませんでした: ";

// What Qt says while it starts, held back: without a display it says it in
// three English messages and aborts, advising a reinstall. One line of ours
// says it instead; once the window system is there, Qt's own go out as usual.
struct HeldMessage {
  QtMsgType type;
  std::string category;
  QString text;
};
// Also from the toolkit's own threads.
std::mutex heldMutex;
std::vector<HeldMessage> heldMessages;

void HoldStartUpMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    const std::lock_guard lock(heldMutex);
    heldMessages.push_back({type, context.category != nullptr ? context.category : "", text});
    return;
  }
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  (void)std::fprintf(stderr, "%s画面に接続できません (DISPLAY=%s WAYLAND_DISPLAY=%s)\n",
                     kCannotOpenWindow, display != nullptr ? display : "",
                     wayland != nullptr ? wayland : "");
  (void)std::fflush(stderr);
  ::_exit(1);
}

void ReleaseStartUpMessages() {
  qInstallMessageHandler(nullptr);
  const std::lock_guard lock(heldMutex);
  for (const HeldMessage& message : heldMessages) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
    qt_message_output(message.type, context, message.text);
  }
  heldMessages.clear();
}

}  // namespace

int main(int argc, char* argv[]) {
  corvane::SettleInheritedState();
  corvane::SettleHomeEnvironment();
  // Near a limit, say so and stop: the toolkit met there ends the program
  // by abort, or waits for events that never come.
  for (const std::string& reason : {corvane::FitStackLimit(), corvane::FitAddressSpaceLimit()}) {
    if (!reason.empty()) {
      (void)std::fprintf(stderr, "%s%s\n", kCannotOpenWindow, reason.c_str());
      return 1;
    }
  }
  // Qt reads X11 events on a thread of its own and talks D-Bus on another,
  // and starts one more on the way.
  if (const std::string reason = corvane::WhyThreadsCannotStart(3); !reason.empty()) {
    (void)std::fprintf(stderr, "%s%s\n", kCannotOpenWindow, reason.c_str());
    return 1;
  }
  qInstallMessageHandler(HoldStartUpMessage);
  QApplication application(argc, argv);
  ReleaseStartUpMessages();
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
  // A desktop that speaks XSMP asks before it logs out. It may be refused
  // only while it lets us interact; otherwise the run is handed off, as at
  // any other end.
  QObject::connect(&application, &QGuiApplication::commitDataRequest,
                   [&delegate](QSessionManager& manager) {
                     if (!manager.allowsInteraction()) return;
                     if (!delegate->applicationShouldTerminate(true)) manager.cancel();
                     manager.release();
                   });
  delegate->applicationDidFinishLaunching();
  QApplication::exec();
  delegate->applicationWillTerminate();
  // The closures still queued let go of the controller.
  platform->shutdown();
  return 0;
}
