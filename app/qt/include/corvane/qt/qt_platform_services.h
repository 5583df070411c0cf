#pragma once

#include <memory>
#include <string>

#include "corvane/app/platform_services.h"
#include "corvane/app/posix_services.h"
#include "corvane/qt/qt_main_queue.h"

namespace corvane::qt {

class QtPlatformServices : public PlatformServices {
 public:
  QtPlatformServices();
  ~QtPlatformServices() override;
  QtPlatformServices(const QtPlatformServices&) = delete;
  QtPlatformServices& operator=(const QtPlatformServices&) = delete;

  InstallerWindow buildWindow(WindowActions actions, std::shared_ptr<LogModel> log) override;
  std::shared_ptr<MainQueue> mainQueue() override { return mainQueue_; }
  std::string resourceDirectory() override;
  std::string homeDirectory() override;
  bool openApplication(const std::string& bundlePath) override;
  void terminate() override;
  void withdrawWindow() override;

  // Main thread, after the event loop: drops every queued and later closure.
  void shutdown() { mainQueue_->close(); }

 private:
  std::shared_ptr<QtMainQueue> mainQueue_;
  AppLauncher launcher_;
};

// Qt's own texts (the scroll bar's menu, say) in Japanese, as the rest of the
// window is. Call once the application object exists.
void LoadJapaneseTranslations();

}  // namespace corvane::qt
