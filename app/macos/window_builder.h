#pragma once

#include <memory>

#include "corvane/app/platform_services.h"

namespace corvane::macos {

// Builds the installer window, shows it in front and activates the
// application. The buttons call `actions`, the log view draws `log`; the
// returned controls own the AppKit objects.
InstallerWindow BuildInstallerWindow(WindowActions actions, std::shared_ptr<LogModel> log);

}  // namespace corvane::macos
