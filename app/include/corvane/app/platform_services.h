#pragma once

#include <functional>
#include <memory>
#include <string>

#include "corvane/app/controls.h"
#include "corvane/app/log_model.h"
#include "corvane/engine/install_process.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

// What building the window gives the controller: the window and the controls
// it must reach again. The log view draws the controller's log model and
// needs nothing more from it.
struct InstallerWindow {
  std::shared_ptr<Window> window;
  std::shared_ptr<StatusLabel> statusLabel;
  std::shared_ptr<Spinner> spinner;
  std::shared_ptr<Button> openButton;
  std::shared_ptr<Button> quitButton;
};

// The buttons' targets.
struct WindowActions {
  std::function<void()> openInstalledApp;
  std::function<void()> quit;
};

// Everything the controller needs from the platform.
class PlatformServices {
 public:
  virtual ~PlatformServices() = default;

  // Builds and shows the installer window with its buttons wired to `actions`
  // and its log view drawing `log`.
  virtual InstallerWindow buildWindow(WindowActions actions, std::shared_ptr<LogModel> log) = 0;
  virtual std::shared_ptr<MainQueue> mainQueue() = 0;
  virtual std::string resourceDirectory() = 0;
  virtual std::string homeDirectory() = 0;
  // True when the request to open the application bundle was accepted.
  virtual bool openApplication(const std::string& bundlePath) = 0;
  virtual void terminate() = 0;
  // Takes the window off the screen at once: the program stays on only to
  // hold a run that nothing else can.
  virtual void withdrawWindow() {}
  // True from the start of a run to its outcome. A Mac throttles a hidden
  // app (App Nap) unless it says it is busy.
  virtual void setRunInProgress(bool /*inProgress*/) {}
  // The shell the install script runs in; tests swap it for one that cannot start.
  virtual std::string shellPath() { return kDefaultShellPath; }
  // The keeper program, which takes the run over should we end first: beside
  // our own executable. Empty when that cannot be found.
  virtual std::string keeperPath();
};

}  // namespace corvane
