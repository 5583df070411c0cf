#pragma once

#include <memory>
#include <string>

#include "corvane/app/platform_services.h"
#include "corvane/qt/qt_main_queue.h"

namespace corvane::qt {

// The resources folder of a bundle laid out as X.app/Contents/MacOS/<exe>;
// for a bare executable, its own folder.
std::string ResourceDirectoryForExecutableDir(const std::string& executableDir);

// $HOME when set and absolute, else the password database's entry; empty
// when neither gives an absolute path.
std::string UserHomeDirectory();

// Makes $HOME the home the installer uses, so that the install script sees the
// same one: the password database's entry when $HOME is unset, empty or
// relative. Call before any thread starts.
void SettleHomeEnvironment();

// The folder of the running executable, as the kernel has it: bytes, never
// decoded. Empty when it cannot be found.
std::string ExecutableDirectory();

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
