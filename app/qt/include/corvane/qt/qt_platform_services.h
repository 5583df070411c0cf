#pragma once

#include <memory>
#include <string>

#include "corvane/app/platform_services.h"
#include "corvane/qt/qt_main_queue.h"

namespace corvane::qt {

// The resources folder of a bundle laid out as X.app/Contents/MacOS/<exe>;
// for a bare executable, its own folder.
std::string ResourceDirectoryForExecutableDir(const std::string& executableDir);

// $HOME when set and absolute, else the password database's entry.
std::string UserHomeDirectory();

// The executable inside an application bundle: Contents/MacOS/<name without .app>.
std::string BundleExecutablePath(const std::string& bundlePath);

// Starts a program detached: its own session, standard streams on /dev/null,
// none of our descriptors. True when it was started.
bool SpawnDetached(const std::string& executable);

class QtPlatformServices : public PlatformServices {
 public:
  QtPlatformServices();
  ~QtPlatformServices() override;
  QtPlatformServices(const QtPlatformServices&) = delete;
  QtPlatformServices& operator=(const QtPlatformServices&) = delete;

  InstallerWindow buildWindow(WindowActions actions) override;
  std::shared_ptr<MainQueue> mainQueue() override { return mainQueue_; }
  std::string resourceDirectory() override;
  std::string homeDirectory() override;
  bool openApplication(const std::string& bundlePath) override;
  void terminate() override;

  // Main thread, after the event loop: drops every queued and later closure.
  void shutdown() { mainQueue_->close(); }

 private:
  std::shared_ptr<QtMainQueue> mainQueue_;
};

}  // namespace corvane::qt
